#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
  int exitStatus = -1;  // the exit status, or 128 + signal number when the program was killed
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
};

// Runs a program with exactly these arguments (no shell, no wildcard expansion by a shell),
// standard input empty, and the test's environment plus `environment` overrides; waits for it.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment = {});
