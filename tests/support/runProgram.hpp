#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
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
  // Largest file the program may write, in bytes: a write beyond it raises SIGXFSZ, or fails
  // as on a full disk where SIGXFSZ is in ignoredSignals. Only where kCanLimitFileSize says so.
  std::optional<std::uint64_t> fileSizeLimit;
  // Signals the program starts with ignored, as under nohup or in a background job. POSIX only.
  std::vector<int> ignoredSignals;
  // Run as an unprivileged user (nobody) when the tests run as root, so that file permissions
  // apply to the program as they do to a user. Only where kCanDropPrivileges says so.
  bool unprivileged = false;
  // Standard output: captured when empty, else this file is opened for appending in its place,
  // as a shell's >> would ("/dev/full" for a full disk); kClosedOutput closes it instead.
  std::string standardOutput;
  // A file whose bytes the program reads on standard input, through a pipe on POSIX systems;
  // empty for an empty standard input.
  std::string standardInput;
  // Instead, a file opened as standard input itself (a directory too); kClosedInput closes it.
  // POSIX only.
  std::string standardInputFile;
  // Descriptors of the test's that the program gets, each {the test's, the number in the
  // program}, put in place after the standard streams above: a socket as both standard input
  // and output, or a file open as descriptor 3. POSIX only.
  std::vector<std::pair<int, int>> descriptors;
  // The directory the program starts in; empty for the test's own.
  std::string workingDirectory;
  // Standard output is bytes, not text: returned as written, line ends included (only Windows
  // would otherwise turn "\r\n" into "\n").
  bool binaryOutput = false;
};

inline const std::string kClosedOutput = "<closed>";
inline const std::string kClosedInput = "<closed>";

#ifdef _WIN32
inline constexpr bool kCanLimitFileSize = false;
#else
inline constexpr bool kCanLimitFileSize = true;
#endif

// Options under which every write past `limit` bytes fails as on a full disk (SIGXFSZ ignored,
// so that the write returns an error instead of ending the program).
inline RunOptions writesFailBeyond(std::uint64_t limit) {
  RunOptions options;
  options.fileSizeLimit = limit;
#ifndef _WIN32
  options.ignoredSignals = {SIGXFSZ};
#endif
  return options;
}

// NAME=value environment entries with the overrides applied: an overridden entry is dropped
// and the override added at the end.
inline std::vector<std::string> withOverrides(const std::vector<std::string>& entries,
                                              const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> result;
  for (const std::string& entry : entries) {
    bool replaced = false;
    for (const auto& [name, value] : overrides) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) result.push_back(entry);
  }
  for (const auto& [name, value] : overrides) result.push_back(name + "=" + value);
  return result;
}

// Runs a program with exactly these arguments (no shell, so no wildcard expansion by a shell)
// and an empty standard input, and waits for it. On Windows, where a console program's output
// ends its lines in "\r\n", those come back as "\n", so that one expected text serves every
// platform; a bare "\n" there comes back as "<bare LF>" and so fails any comparison.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options = {});

#ifndef _WIN32
// A program started and not yet waited for, for tests that act while it runs.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  void signal(int signalNumber) const;
  // Waits for the program to end, once.
  ProgramResult wait();

 private:
  struct Capture;
  std::unique_ptr<Capture> capture_;
  int pid_ = -1;
};
#endif
