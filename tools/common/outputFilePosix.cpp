// The output file on POSIX systems: mkstemp beside the target, signal handlers that remove it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "paths.hpp"
#include "streams.hpp"
#include "outputFile.hpp"
#include "outputFileParts.hpp"

namespace fs = std::filesystem;
using outputFileParts::followLinks;
using outputFileParts::SignalsHeld;
using outputFileParts::temporaryPattern;

namespace {

// The temporary file the signal handler removes, or null.
std::atomic<const char*> gPendingTemporary{nullptr};
// A regular file written in place, which the handler removes or, where it cannot (a folder that
// takes no change), empties through its descriptor.
std::atomic<const char*> gPendingInPlace{nullptr};
std::atomic<int> gPendingInPlaceDescriptor{-1};
// Every signal whose default action ends the program and that a user, a shell, a pipeline or a
// resource limit sends while a run is under way.
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGPIPE, SIGXFSZ,
                                   SIGXCPU, SIGALRM, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2};

extern "C" void removePendingTemporaryAndDie(int signalNumber) {
  // Async-signal-safe only: unlink the path prepared before the copy, then die of the signal
  // the conventional way, so that the caller sees 128 + its number.
  if (const char* path = gPendingTemporary.load()) unlink(path);
  if (const char* path = gPendingInPlace.load(); path != nullptr && unlink(path) != 0) {
    if (const int descriptor = gPendingInPlaceDescriptor.load(); descriptor >= 0) ftruncate(descriptor, 0);
  }
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

void installSignalHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int signalNumber : kCleanupSignals) {
    struct sigaction previous {};
    // A signal ignored when the program started (nohup, a background job) stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removePendingTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
}

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

bool sameFile(const struct stat& first, const struct stat& second) {
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace

fs::path outputFileParts::temporaryPattern(const fs::path& target) {
  constexpr std::size_t kAdded = 8;  // the dot in front and ".XXXXXX"
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::size_t longestName = limit > static_cast<long>(kAdded) ? static_cast<std::size_t>(limit) : 255;
  const std::string name = target.filename().string();
  std::size_t keep = std::min(name.size(), longestName - kAdded);
  // Not inside a UTF-8 sequence: back off its continuation bytes (10xxxxxx) to where it starts.
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  std::string pattern = ".";
  pattern.append(name, 0, keep);
  pattern += ".XXXXXX";
  return target.parent_path() / pattern;
}

outputFileParts::SignalsHeld::SignalsHeld() noexcept {
  sigset_t held;
  sigemptyset(&held);
  for (const int signalNumber : kCleanupSignals) sigaddset(&held, signalNumber);
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

outputFileParts::SignalsHeld::~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void outputFileParts::removeFile(const std::string& path) { unlink(path.c_str()); }

bool outputFileParts::renameOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

// An unbuffered stream on `descriptor`, which it then owns; null, with the descriptor closed,
// when there is none.
std::FILE* streamOn(int descriptor) {
  std::FILE* stream = descriptor >= 0 ? fdopen(descriptor, "wb") : nullptr;
  if (stream == nullptr) {
    const int reason = errno;
    if (descriptor >= 0) close(descriptor);
    errno = reason;
    return nullptr;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

}  // namespace

bool OutputFile::openInPlace(const std::string& path, bool regular) {
  // Never O_CREAT or O_TRUNC on anything but a regular file: a FIFO that vanished must not come
  // back as a regular file, and a device is not a file to empty. An existing file is opened
  // without O_CREAT, which Linux refuses for another user's file in a sticky folder
  // (fs.protected_regular) where a plain open for writing is allowed.
  struct stat existing {};
  const bool exists = stat(path.c_str(), &existing) == 0;
  const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (regular ? O_TRUNC | (exists ? 0 : O_CREAT) : 0);
  target_ = path;
  if (regular) installSignalHandlers();
  stream_ = streamOn(::open(path.c_str(), flags, 0666));
  seekable_ = regular;
  removeOnFailure_ = regular;
  if (stream_ != nullptr && regular) {
    gPendingInPlaceDescriptor.store(fileno(stream_));
    gPendingInPlace.store(target_.c_str());
  }
  return stream_ != nullptr;
}

bool OutputFile::open(const std::string& target) {
  // The system's own lookup follows every link, /proc's descriptor links (/dev/stdout,
  // /dev/fd/N) too, whose link text ("pipe:[N]", or a path that may be gone) names nothing to
  // follow by hand.
  struct stat named {};
  const bool exists = stat(target.c_str(), &named) == 0;
  // Anything but "no such file" (a loop of links, a path through a file, no permission) is the
  // refusal opening the target itself would have met.
  if (!exists && errno != ENOENT) return false;
  isStandardOutput_ = exists && namesStandardOutput(target);
  if (exists && !S_ISREG(named.st_mode)) return openInPlace(target, false);
  if (isStandardOutput_) {
    // The file standard output has open, however named: written through that descriptor, so
    // that what the caller wrote before and its append mode stay as they are.
    target_ = target;
    stream_ = streamOn(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    return stream_ != nullptr;
  }

  const fs::path resolved = followLinks(nativePath(target));
  target_ = toUtf8(resolved);
  struct stat existing {};
  if (exists && (stat(target_.c_str(), &existing) != 0 || !sameFile(existing, named))) {
    // Reached through another descriptor's link: no name of ours reaches the file, so it is
    // written where it stands, and a failure leaves it to whoever opened it.
    if (!openInPlace(target, true)) return false;
    removeOnFailure_ = false;
    forgetInPlace();
    return true;
  }
  if (exists) {
    // The file must be writable as it is: the rename would otherwise replace a file its owner
    // made read-only. This is the check opening it for writing used to make.
    const int probe = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) return false;
    close(probe);
    // In a sticky folder (/tmp) only a file's owner, the folder's owner or root may replace
    // it; another user's file that everyone may write is written in place, as it always was.
    struct stat folder {};
    const uid_t user = geteuid();
    if (user != 0 && existing.st_uid != user &&
        stat(resolved.parent_path().empty() ? "." : resolved.parent_path().c_str(), &folder) == 0 &&
        (folder.st_mode & S_ISVTX) != 0 && folder.st_uid != user) {
      return openInPlace(target_, true);
    }
  }

  installSignalHandlers();
  int descriptor = -1;
  {
    const SignalsHeld held;
    std::string pattern = temporaryPattern(resolved).string();
    descriptor = mkstemp(pattern.data());
    if (descriptor >= 0) {
      temporary_ = pattern;
      gPendingTemporary.store(temporary_.c_str());
    }
  }
  if (descriptor < 0) {
    // A folder that refuses new files (by permission, or a read-only file system) is written in
    // place, as before. Any other failure (no space, no inode, a quota, no descriptor left) is
    // a failure: written in place, the old target would be lost to the next write that fails.
    if (errno == EACCES || errno == EPERM || errno == EROFS) return openInPlace(target_, true);
    return false;
  }

  if (exists) {
    // Keep the owner where the system lets us (as root); otherwise the file is ours, as any
    // new file would be.
    if (fchown(descriptor, existing.st_uid, existing.st_gid) != 0) errno = 0;
  }
  const mode_t mode = exists ? existing.st_mode & 07777 : 0666 & ~currentUmask();
  if (fchmod(descriptor, mode) != 0) {
    const int reason = errno;
    close(descriptor);
    discard();
    errno = reason;
    return false;
  }
  if ((stream_ = streamOn(descriptor)) == nullptr) {
    const int reason = errno;
    discard();
    errno = reason;
    return false;
  }
  seekable_ = true;
  return true;
}

void OutputFile::forgetTemporary() noexcept {
  gPendingTemporary.store(nullptr);
  temporary_.clear();
}

void OutputFile::forgetInPlace() noexcept {
  gPendingInPlace.store(nullptr);
  gPendingInPlaceDescriptor.store(-1);
}
