// The output file on Windows: a file made beside the target with CREATE_NEW, a console control
// handler that removes it.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

#include "paths.hpp"
#include "streams.hpp"
#include "outputFile.hpp"
#include "outputFileParts.hpp"

namespace fs = std::filesystem;
using outputFileParts::followLinks;
using outputFileParts::SignalsHeld;
using outputFileParts::temporaryPattern;

namespace {

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

// Installs the handler once.
void installConsoleHandler() {
  static const bool installed = SetConsoleCtrlHandler(removePendingTemporary, TRUE) != 0;
  (void)installed;
}

}  // namespace

fs::path outputFileParts::temporaryPattern(const fs::path& target) {
  constexpr std::size_t kAdded = 8;  // the dot in front and ".XXXXXX"
  constexpr std::size_t kLongestName = 255;  // UTF-16 units
  std::wstring name = target.filename().wstring();
  std::size_t keep = std::min(name.size(), kLongestName - kAdded);
  if (keep < name.size() && name[keep] >= 0xDC00 && name[keep] <= 0xDFFF) --keep;  // not half a surrogate pair
  std::wstring pattern = L".";
  pattern.append(name, 0, keep);
  pattern += L".XXXXXX";
  return target.parent_path() / pattern;
}

outputFileParts::SignalsHeld::SignalsHeld() noexcept { AcquireSRWLockExclusive(&gCleanupLock); }

outputFileParts::SignalsHeld::~SignalsHeld() { ReleaseSRWLockExclusive(&gCleanupLock); }

void outputFileParts::removeFile(const std::string& path) { DeleteFileW(nativePath(path).c_str()); }

bool outputFileParts::renameOver(const std::string& from, const std::string& to) {
  return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

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

void OutputFile::forgetTemporary() noexcept {
  gPendingTemporary.store(nullptr);
  temporary_.clear();
  temporaryWide_.clear();
}

void OutputFile::forgetInPlace() noexcept {
  gPendingInPlace.store(nullptr);
  gPendingInPlaceHandle.store(INVALID_HANDLE_VALUE);
}
