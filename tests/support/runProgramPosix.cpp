#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "programs.hpp"
#include "runProgram.hpp"
#include "testFiles.hpp"

extern char** environ;

namespace {

std::vector<std::string> childEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return withOverrides(entries, overrides);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// In the child between fork and exec: only async-signal-safe calls, and _exit on any failure.
[[noreturn]] void execChild(const char* program, char** argv, char** envp, int out, int err,
                            const std::optional<std::uint64_t>& fileSizeLimit) {
  const int in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  if (fileSizeLimit) {
    const rlimit limit{static_cast<rlim_t>(*fileSizeLimit), static_cast<rlim_t>(*fileSizeLimit)};
    // Ignoring SIGXFSZ (kept across exec) turns an oversized write into a failed write.
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR) _exit(126);
  }
  execve(program, argv, envp);
  _exit(127);
}

}  // namespace

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  TempDir captureDir;
  const std::string outPath = captureDir.file("stdout");
  const std::string errPath = captureDir.file("stderr");

  std::vector<std::string> argStrings = kProgramEmulator;
  argStrings.push_back(program);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = childEnvironment(options.environment);
  std::vector<char*> argv = pointers(argStrings);
  std::vector<char*> envp = pointers(envStrings);

  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0) throw std::runtime_error("cannot capture the output of " + program);
  const pid_t pid = fork();
  if (pid == 0) execChild(argv[0], argv.data(), envp.data(), out, err, options.fileSizeLimit);
  close(out);
  close(err);
  if (pid < 0) throw std::runtime_error("cannot start " + program);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for " + program);
  }
  ProgramResult result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const Bytes outBytes = readFile(outPath);
  const Bytes errBytes = readFile(errPath);
  result.out.assign(outBytes.begin(), outBytes.end());
  result.err.assign(errBytes.begin(), errBytes.end());
  return result;
}
