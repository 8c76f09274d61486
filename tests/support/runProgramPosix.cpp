#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
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

// The user the programs run as when the tests, as root, ask for an unprivileged one.
constexpr uid_t kNobody = 65534;

// In the child between fork and exec: only async-signal-safe calls, and _exit on any failure.
// `out` is -1 where standard output is to be closed.
[[noreturn]] void execChild(const char* program, char** argv, char** envp, int in, int out, int err,
                            const RunOptions& options) {
  if (in >= 0 ? dup2(in, 0) < 0 : close(0) != 0) _exit(126);
  if (dup2(err, 2) < 0) _exit(126);
  if (out >= 0 ? dup2(out, 1) < 0 : close(1) != 0) _exit(126);
  for (const auto& [mine, theirs] : options.descriptors) {
    // dup2 onto itself would keep a close-on-exec flag; clear it either way.
    if (dup2(mine, theirs) < 0 || fcntl(theirs, F_SETFD, 0) != 0) _exit(126);
  }
  if (options.fileSizeLimit) {
    const rlimit limit{static_cast<rlim_t>(*options.fileSizeLimit), static_cast<rlim_t>(*options.fileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  // The tests ignore SIGPIPE themselves (see below); a program starts with the default, as it
  // would from a shell. An ignored signal stays ignored across exec, as nohup relies on.
  if (signal(SIGPIPE, SIG_DFL) == SIG_ERR) _exit(126);
  for (const int ignored : options.ignoredSignals) {
    if (signal(ignored, SIG_IGN) == SIG_ERR) _exit(126);
  }
  // A program that dies of SIGQUIT or SIGXFSZ leaves no core file in the test's directory.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
  if (options.unprivileged && geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
  execve(program, argv, envp);
  _exit(127);
}

}  // namespace

struct RunningProgram::Capture {
  TempDir dir;
  std::string outPath = dir.file("stdout");
  std::string errPath = dir.file("stderr");
  bool outCaptured = true;
};

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const RunOptions& options)
    : capture_(std::make_unique<Capture>()) {
  std::vector<std::string> argStrings = kProgramEmulator;
  argStrings.push_back(program);
  if (options.unprivileged && geteuid() == 0) {
    // The build tree may lie where the unprivileged user cannot reach (a clone in a private
    // temporary directory): it runs a copy from a directory everyone may enter.
    namespace fs = std::filesystem;
    fs::permissions(capture_->dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
    const fs::path copy = capture_->dir.path() / fs::path(program).filename();
    fs::copy_file(program, copy);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    argStrings.back() = copy.string();
  }
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = childEnvironment(options.environment);
  std::vector<char*> argv = pointers(argStrings);
  std::vector<char*> envp = pointers(envStrings);

  int out = -1;
  if (options.standardOutput.empty()) {
    out = open(capture_->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  } else if (options.standardOutput != kClosedOutput) {
    out = open(options.standardOutput.c_str(), O_WRONLY | O_APPEND);
  }
  capture_->outCaptured = options.standardOutput.empty();
  const int err = open(capture_->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if ((out < 0 && options.standardOutput != kClosedOutput) || err < 0) {
    throw std::runtime_error("cannot capture the output of " + program);
  }
  int pipeEnds[2] = {-1, -1};
  if (!options.standardInput.empty() && pipe(pipeEnds) != 0) throw std::runtime_error("cannot make a pipe");
  int in = pipeEnds[0];
  if (!options.standardInputFile.empty()) {
    in = options.standardInputFile == kClosedInput ? -1 : open(options.standardInputFile.c_str(), O_RDONLY);
    if (in < 0 && options.standardInputFile != kClosedInput)
      throw std::runtime_error("cannot open " + options.standardInputFile);
  } else if (options.standardInput.empty()) {
    in = open("/dev/null", O_RDONLY);
  }
  pid_ = fork();
  if (pid_ == 0) {
    if (pipeEnds[1] >= 0) close(pipeEnds[1]);
    execChild(argv[0], argv.data(), envp.data(), in, out, err, options);
  }
  if (out >= 0) close(out);
  close(err);
  if (in >= 0) close(in);
  if (pid_ < 0) throw std::runtime_error("cannot start " + program);
  if (pipeEnds[1] >= 0) {
    // The program may stop reading early; that must fail the write here, not end the tests.
    std::signal(SIGPIPE, SIG_IGN);
    const Bytes bytes = readFile(options.standardInput);
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t written = write(pipeEnds[1], bytes.data() + done, bytes.size() - done);
      if (written <= 0) break;
      done += static_cast<std::size_t>(written);
    }
    close(pipeEnds[1]);
  }
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0) wait();
}

void RunningProgram::signal(int signalNumber) const { kill(pid_, signalNumber); }

ProgramResult RunningProgram::wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for a program");
  }
  pid_ = -1;
  ProgramResult result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const Bytes outBytes = capture_->outCaptured ? readFile(capture_->outPath) : Bytes{};
  const Bytes errBytes = readFile(capture_->errPath);
  result.out.assign(outBytes.begin(), outBytes.end());
  result.err.assign(errBytes.begin(), errBytes.end());
  return result;
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  return RunningProgram(program, args, options).wait();
}
