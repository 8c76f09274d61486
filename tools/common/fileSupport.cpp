#include "fileSupport.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "programMain.hpp"
#include "textEscape.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#include <system_error>

namespace fs = std::filesystem;

Stream::~Stream() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Stream::close() noexcept {
  if (file_ == nullptr) return true;
  const bool hadError = std::ferror(file_) != 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed && !hadError;
}

fs::path nativePath(const std::string& path) {
#ifdef _WIN32
  fs::path wide(std::u8string(path.begin(), path.end()));
  // Beyond MAX_PATH (260, less room for a file name in a directory), counted from the drive
  // whatever the path's own spelling, only the extended-length form reaches the file on a
  // system where long paths are not enabled. That form must be absolute and normalised (it is
  // not parsed again), so the full path is made first.
  if (wide.native().rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  if (full.size() < 240) {
    // Within reach the usual way: as given, or normalised where only the spelling was long.
    return wide.native().size() < 240 ? wide : fs::path(full);
  }
  if (full.rfind(L"\\\\", 0) == 0) return fs::path(L"\\\\?\\UNC\\" + full.substr(2));  // \\server\share\...
  return fs::path(L"\\\\?\\" + full);
#else
  return fs::path(path);
#endif
}

#ifdef _WIN32
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(toUtf8(fs::path(argv[i])));
  return args;
}
#endif

std::string toUtf8(const fs::path& path) {
#ifdef _WIN32
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
#else
  return path.string();
#endif
}

Stream openStream(const std::string& path, const char* mode) {
#ifdef _WIN32
  const std::string narrowMode = mode;
  std::FILE* file = _wfopen(nativePath(path).c_str(), std::wstring(narrowMode.begin(), narrowMode.end()).c_str());
#else
  std::FILE* file = std::fopen(path.c_str(), mode);
#endif
  // Unbuffered: every read and write already moves a large block, which then goes to the system
  // in one call instead of being copied through the stream's small buffer.
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return Stream(file);
}

Stream openRegularFile(const std::string& path, bool* notRegular) {
  *notRegular = false;
#ifdef _WIN32
  // Windows has no FIFO that an open could wait on; a directory is refused by the open itself.
  Stream stream = openStream(path, "rb");
  std::error_code ignored;
  if (!stream) {
    *notRegular = fs::is_directory(nativePath(path), ignored);
    return stream;
  }
  if (!regularFileSize(stream.get())) {
    *notRegular = true;
    return Stream();
  }
  return stream;
#else
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return Stream();
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    *notRegular = true;
    close(descriptor);
    return Stream();
  }
  // Reads of a regular file never wait anyway; blocking mode is what the C stream expects.
  const int flags = fcntl(descriptor, F_GETFL);
  std::FILE* file =
      flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(descriptor, "rb") : nullptr;
  if (file == nullptr) {
    close(descriptor);
    return Stream();
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  return Stream(file);
#endif
}

std::string inputRefusal(const std::string& path, bool notRegular, int error) {
  if (notRegular) return "cannot read " + escapePath(path) + ": not a regular file";
  return "cannot open " + escapePath(path) + ": " + systemReason(error);
}

std::string systemReason(int error) { return std::strerror(error != 0 ? error : EIO); }

std::optional<std::uint64_t> regularFileSize(std::FILE* stream) {
#ifdef _WIN32
  struct _stat64 info {};
  if (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return std::nullopt;
#else
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
#endif
  if (info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

bool isSameFile(const std::string& first, const std::string& second) {
  std::error_code error;
  const bool same = fs::equivalent(nativePath(first), nativePath(second), error);
  return !error && same;
}

#ifdef _WIN32

namespace {

std::optional<FileIdentity> handleIdentity(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                      GetFileType(handle) == FILE_TYPE_DISK && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0};
}

}  // namespace

std::optional<FileIdentity> fileIdentity(int descriptor) {
  return handleIdentity(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)));
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
  // No access asked for: only the file's information is read.
  HANDLE handle = CreateFileW(nativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const auto identity = handleIdentity(handle);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return identity;
}

Stream openSpoolFile() {
  wchar_t directory[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, directory) == 0 || GetTempFileNameW(directory, L"img", 0, name) == 0) return Stream();
  // "D": deleted when closed, also when the process ends.
  std::FILE* file = _wfopen(name, L"w+bD");
  if (file == nullptr) DeleteFileW(name);
  return Stream(file);
}

#else

namespace {

FileIdentity identityOf(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                      S_ISREG(info.st_mode)};
}

}  // namespace

std::optional<FileIdentity> fileIdentity(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0) return std::nullopt;
  return identityOf(info);
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return identityOf(info);
}

Stream openSpoolFile() {
  // In TMPDIR where it names a folder, as other tools take it (tmpfile() always uses /tmp);
  // unlinked at once, so that it goes with the process whatever ends it.
  const char* folder = std::getenv("TMPDIR");
  std::string pattern = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/.imagePackers.XXXXXX";
  const int descriptor = mkstemp(pattern.data());
  if (descriptor < 0) return Stream();
  unlink(pattern.c_str());
  std::FILE* file = fdopen(descriptor, "w+b");
  if (file == nullptr) close(descriptor);
  return Stream(file);
}

#endif

void removeIncompleteOutput(const std::string& path) {
  std::error_code error;
  const fs::path resolved = fs::canonical(nativePath(path), error);
  if (error || !fs::is_regular_file(resolved, error)) return;
  // A folder that takes no change keeps the file: then at least nothing incomplete is left in it.
  if (!fs::remove(resolved, error) || error) fs::resize_file(resolved, 0, error);
}

std::span<unsigned char> copyBuffer() {
  alignas(4096) static std::array<unsigned char, kCopyBlockSize + kWriteAlignment> buffer;
  return buffer;
}

bool readAt(std::FILE* in, std::uint64_t offset, std::span<unsigned char> into) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
#ifdef _WIN32
  const bool placed = _fseeki64(in, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  const bool placed = fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
  return placed && std::fread(into.data(), 1, into.size(), in) == into.size();
}

bool writeAt(std::FILE* out, std::size_t offset, std::span<const unsigned char> bytes) {
  return std::fseek(out, static_cast<long>(offset), SEEK_SET) == 0 &&
         std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

bool namesStandardOutput(const std::string& path) {
  const auto named = fileIdentity(path);
  return named && named == fileIdentity(1);
}
