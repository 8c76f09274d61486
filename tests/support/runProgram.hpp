#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
  int exitStatus = -1;  // the exit status, or 128 + signal number when the program was killed
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
};

struct RunOptions {
  // Variables set (or replaced) in the program's environment; the rest is the test's own.
  std::vector<std::pair<std::string, std::string>> environment;
  // Largest file the program may write, in bytes; writes beyond it fail as on a full disk.
  std::optional<std::uint64_t> fileSizeLimit;
};

// Runs a program with exactly these arguments (no shell, so no wildcard expansion by a shell)
// and an empty standard input, and waits for it.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});
