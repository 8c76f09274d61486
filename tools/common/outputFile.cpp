#include "outputFile.hpp"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "fileSupport.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <random>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace fs = std::filesystem;

namespace {

// The file that `path` finally names once every symbolic link on the way is followed; the name a
// dangling link points to, if it is one. Relative links count from the link's own directory.
fs::path followLinks(fs::path path) {
  // The bound on hops is the system's usual one; a longer chain fails when it is opened.
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(path, error)) return path;
    const fs::path link = fs::read_symlink(path, error);
    if (error) return path;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path;
}

// ".NAME.XXXXXX" beside the target: a name a user recognises as belonging to NAME should a kill
// or a power cut leave it behind, and a dot file, so that it stays out of plain listings. A NAME
// too long for the 8 more characters within the file system's limit on a name keeps as much of
// its start as fits, in whole characters, and always the random part: every name the system
// takes gets a temporary file.
fs::path temporaryPattern(const fs::path& target) {
  constexpr std::size_t kAdded = 8;  // the dot in front and ".XXXXXX"
#ifdef _WIN32
  constexpr std::size_t kLongestName = 255;  // UTF-16 units
  std::wstring name = target.filename().wstring();
  std::size_t keep = std::min(name.size(), kLongestName - kAdded);
  if (keep < name.size() && name[keep] >= 0xDC00 && name[keep] <= 0xDFFF) --keep;  // not half a surrogate pair
  std::wstring pattern = L".";
  pattern.append(name, 0, keep);
  pattern += L".XXXXXX";
  return target.parent_path() / pattern;
#else
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
#endif
}

#ifdef _WIN32

// The console control handler runs on a thread of its own, while the main thread goes on: it
// takes gCleanupLock, which the main thread holds while it registers, commits or gives up a file,
// so that it never acts on a file half committed (a descriptor just closed, a rename under way);
// and it stops the main thread before touching the file, so that no write follows the cleanup.
// Only system calls there: the main thread, stopped anywhere, may hold the C runtime's locks.
SRWLOCK gCleanupLock = SRWLOCK_INIT;
// The temporary file the handler removes, or null.
std::atomic<const wchar_t*> gPendingTemporary{nullptr};
// A regular file written in place, which the handler removes or, where it cannot, empties
// through its handle.
std::atomic<const wchar_t*> gPendingInPlace{nullptr};
std::atomic<HANDLE> gPendingInPlaceHandle{INVALID_HANDLE_VALUE};
// The thread that writes the file.
std::atomic<DWORD> gWritingThread{0};

// The console control handler: for every event (Ctrl-C, Ctrl-Break, the console closing).
BOOL WINAPI removePendingTemporary(DWORD) {
  AcquireSRWLockExclusive(&gCleanupLock);
  const bool pending = gPendingTemporary.load() != nullptr || gPendingInPlace.load() != nullptr;
  ReleaseSRWLockExclusive(&gCleanupLock);
  // Nothing being written: the default handler ends the program as it always does.
  if (!pending) return FALSE;
  endOnConsoleControl();
}

}  // namespace

void endOnConsoleControl() {
  AcquireSRWLockExclusive(&gCleanupLock);  // kept: the process ends before anything else may run
  if (const DWORD writer = gWritingThread.load(); writer != 0 && writer != GetCurrentThreadId()) {
    if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, writer)) {
      // Suspension completes once the thread's context can be read.
      CONTEXT context{};
      context.ContextFlags = CONTEXT_CONTROL;
      if (SuspendThread(thread) != static_cast<DWORD>(-1)) GetThreadContext(thread, &context);
      CloseHandle(thread);
    }
  }
  // The file was opened with FILE_SHARE_DELETE, so it can go while still open; it disappears
  // when the process ends, just below.
  if (const wchar_t* path = gPendingTemporary.load()) DeleteFileW(path);
  // A file opened in place cannot be deleted while open: it is emptied instead.
  if (const wchar_t* path = gPendingInPlace.load(); path != nullptr && DeleteFileW(path) == 0) {
    if (const HANDLE handle = gPendingInPlaceHandle.load(); handle != INVALID_HANDLE_VALUE) {
      FILE_END_OF_FILE_INFO end{};
      SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
    }
  }
  // Ended here, with the status the default handler gives: an orderly exit would flush the C
  // runtime's streams, whose locks the stopped thread may hold.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  for (;;) Sleep(INFINITE);  // TerminateProcess does not return for the calling process
}

namespace {

// Keeps the console control handler out for its lifetime, so that it never sees the file half
// registered, half committed or half given up.
class SignalsHeld {
 public:
  SignalsHeld() noexcept { AcquireSRWLockExclusive(&gCleanupLock); }
  ~SignalsHeld() { ReleaseSRWLockExclusive(&gCleanupLock); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// Installs the handler once.
void installConsoleHandler() {
  static const bool installed = SetConsoleCtrlHandler(removePendingTemporary, TRUE) != 0;
  (void)installed;
}

void removeFile(const std::string& path) { DeleteFileW(nativePath(path).c_str()); }

bool renameOver(const std::string& from, const std::string& to) {
  return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

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

// Holds the cleanup signals back for its lifetime, so that the handler never sees the
// temporary file half made or half renamed.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signalNumber : kCleanupSignals) sigaddset(&held, signalNumber);
    sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

void removeFile(const std::string& path) { unlink(path.c_str()); }

bool sameFile(const struct stat& first, const struct stat& second) {
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool renameOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

#endif

}  // namespace

OutputFile::~OutputFile() { discard(); }

#ifdef _WIN32

bool isDeviceName(const std::string& path) {
  if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) return true;
  std::string name = toUtf8(fs::path(std::u8string(path.begin(), path.end())).filename());
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (name == "NUL" || name == "CON" || name == "PRN" || name == "AUX" || name == "CONIN$" || name == "CONOUT$") {
    return true;
  }
  if (name.rfind("COM", 0) != 0 && name.rfind("LPT", 0) != 0) return false;
  // A digit from 0 to 9, or a superscript one, two or three (in UTF-8), all of which Windows reserves.
  const std::string digit = name.substr(3);
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
         digit == "\xC2\xB3";
}

bool OutputFile::openInPlace(const std::string& path, bool regular) {
  target_ = path;
  stream_ = openStream(path, "wb").release();
  seekable_ = regular;
  removeOnFailure_ = regular;
  if (stream_ != nullptr && regular) {
    installConsoleHandler();
    targetWide_ = nativePath(target_).wstring();
    const SignalsHeld held;
    gWritingThread.store(GetCurrentThreadId());
    gPendingInPlaceHandle.store(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_))));
    gPendingInPlace.store(targetWide_.c_str());
  }
  return stream_ != nullptr;
}

bool OutputFile::open(const std::string& target) {
  // A device takes the bytes as they come, like one on Linux: no temporary file, no rename.
  if (isDeviceName(target)) {
    isStandardOutput_ = false;
    return openInPlace(target, false);
  }
  const fs::path resolved = followLinks(nativePath(target));
  isStandardOutput_ = namesStandardOutput(target);
  std::error_code error;
  const fs::file_status status = fs::status(resolved, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) return openInPlace(toUtf8(resolved), false);
  if (isStandardOutput_) {
    // The file standard output has open, however named: written through that descriptor, so
    // that what the caller wrote before stays, and no rename meets the file the shell holds open.
    target_ = target;
    const int descriptor = _dup(1);
    if (descriptor < 0) return false;
    _setmode(descriptor, _O_BINARY);
    stream_ = _fdopen(descriptor, "wb");
    if (stream_ == nullptr) {
      _close(descriptor);
      errno = EIO;
      return false;
    }
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    return true;
  }
  target_ = toUtf8(resolved);
  if (fs::exists(status)) {
    // A read-only file must stay refused; the rename would otherwise replace it.
    const int probe = _wopen(resolved.c_str(), _O_WRONLY | _O_BINARY);
    if (probe < 0) return false;
    _close(probe);
  }

  std::wstring pattern = temporaryPattern(resolved).wstring();
  std::random_device entropy;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
    for (std::size_t i = pattern.size() - 6; i < pattern.size(); ++i) pattern[i] = kDigits[entropy() % 36];
    handle = CreateFileW(pattern.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    // A folder that refuses new files is written in place, as before. A full disk, no handle
    // left or a quota is a failure with its reason: in place, the old target would be lost to
    // the next write that fails. Any other reason fails too where the target exists; where it
    // does not (a folder that is not there, a name the system refuses), nothing can be lost,
    // and opening it in place says why.
    const DWORD reason = GetLastError();
    if (reason == ERROR_ACCESS_DENIED || reason == ERROR_WRITE_PROTECT) return openInPlace(target_, true);
    if (reason == ERROR_DISK_FULL || reason == ERROR_HANDLE_DISK_FULL || reason == ERROR_NOT_ENOUGH_QUOTA) {
      errno = ENOSPC;
      return false;
    }
    if (reason == ERROR_TOO_MANY_OPEN_FILES) {
      errno = EMFILE;
      return false;
    }
    if (fs::exists(status)) {
      errno = EIO;
      return false;
    }
    return openInPlace(target_, true);
  }

  temporary_ = toUtf8(fs::path(pattern));
  temporaryWide_ = pattern;
  installConsoleHandler();
  {
    const SignalsHeld held;
    gWritingThread.store(GetCurrentThreadId());
    gPendingTemporary.store(temporaryWide_.c_str());
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
  if (descriptor < 0) CloseHandle(handle);
  stream_ = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
  if (stream_ == nullptr) {
    if (descriptor >= 0) _close(descriptor);
    discard();
    errno = EIO;
    return false;
  }
  std::setvbuf(stream_, nullptr, _IONBF, 0);
  seekable_ = true;
  return true;
}

#else

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

#endif

bool OutputFile::commit() {
  if (stream_ == nullptr) return false;
  // Held until the file is known complete or removed, so that no signal removes a complete file
  // or leaves an incomplete one.
  const SignalsHeld held;
  const bool written = std::ferror(stream_) == 0;
  bool complete = std::fclose(stream_) == 0 && written;
  stream_ = nullptr;
  forgetInPlace();
  if (temporary_.empty()) {
    if (!complete && removeOnFailure_) removeIncompleteOutput(target_);
    return complete;
  }
  complete = complete && renameOver(temporary_, target_);
  if (!complete) removeFile(temporary_);
  forgetTemporary();
  return complete;
}

void OutputFile::discard() noexcept {
  const SignalsHeld held;
  const bool wasOpen = stream_ != nullptr;
  if (wasOpen) std::fclose(stream_);
  stream_ = nullptr;
  forgetInPlace();
  if (!temporary_.empty()) {
    removeFile(temporary_);
    forgetTemporary();
  } else if (wasOpen && removeOnFailure_) {
    removeIncompleteOutput(target_);
  }
}

void OutputFile::forgetTemporary() noexcept {
  gPendingTemporary.store(nullptr);
  temporary_.clear();
#ifdef _WIN32
  temporaryWide_.clear();
#endif
}

void OutputFile::forgetInPlace() noexcept {
  gPendingInPlace.store(nullptr);
#ifdef _WIN32
  gPendingInPlaceHandle.store(INVALID_HANDLE_VALUE);
#else
  gPendingInPlaceDescriptor.store(-1);
#endif
}
