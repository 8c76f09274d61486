#pragma once

#include <string>
#include <vector>

// The status both packers end with on any failure; calling scripts rely on it.
inline constexpr int kPackerFailure = 20;

// How each program begins the complaint about a standard output it could not write to:
// "packLoadable: cannot write to standard output: " (the system's reason follows).
inline std::string lostOutputComplaint(const char* program) {
  return std::string(program) + ": cannot write to standard output: ";
}

// IMAGEPACK_MAIN(run) defines the program's entry point, which hands run(const
// std::vector<std::string>&) the command line, program name first, every argument as UTF-8, and
// returns its status. On Windows the arguments come from the wide command line, so a name in any
// script arrives whole whatever the system's code page; elsewhere they are the bytes as passed.
#ifdef _WIN32
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
#define IMAGEPACK_MAIN(run) \
  int wmain(int argc, wchar_t** argv) { return run(utf8Arguments(argc, argv)); }
#else
#define IMAGEPACK_MAIN(run) \
  int main(int argc, char** argv) { return run(std::vector<std::string>(argv, argv + argc)); }
#endif
