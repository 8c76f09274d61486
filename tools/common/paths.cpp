#include "paths.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <system_error>
#include <vector>

#include "programMain.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace fs = std::filesystem;

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

#endif

bool namesStandardOutput(const std::string& path) {
  const auto named = fileIdentity(path);
  return named && named == fileIdentity(1);
}
