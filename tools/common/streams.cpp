#include "streams.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "paths.hpp"
#include "textEscape.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32

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

std::optional<std::vector<unsigned char>> readSmallFile(const std::string& path, std::size_t most,
                                                        std::string* problem) {
  bool notRegular = false;
  errno = 0;
  const Stream file = openRegularFile(path, &notRegular);
  const auto size = file ? regularFileSize(file.get()) : std::nullopt;
  if (!size) {
    *problem = inputRefusal(path, notRegular, errno);
    return std::nullopt;
  }
  if (*size > most) {
    *problem = "cannot read " + escapePath(path) + ": more than " + std::to_string(most) + " bytes";
    return std::nullopt;
  }
  std::vector<unsigned char> bytes(static_cast<std::size_t>(*size));
  if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    *problem = "cannot read " + escapePath(path) + ": " + systemReason(errno);
    return std::nullopt;
  }
  return bytes;
}
