#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// Paths, held as UTF-8 inside the programs, and which file a path or a descriptor names.

// The system's form of a path held as UTF-8: on Windows the wide path the system takes, elsewhere
// the same bytes (paths are bytes there, whatever their encoding).
std::filesystem::path nativePath(const std::string& path);
// The inverse of nativePath.
std::string toUtf8(const std::filesystem::path& path);

// True when both paths name one existing file, however spelt: through a link, with "./" or
// "..", or (on Windows) in another letter case. False when either does not exist.
bool isSameFile(const std::string& first, const std::string& second);

// Which file an open descriptor or a path names: equal for one file however it is reached.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  bool regular = false;  // a regular file, not a pipe, a terminal or a device
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> fileIdentity(int descriptor);
std::optional<FileIdentity> fileIdentity(const std::string& path);

// Whether `path` names the file standard output has open, however it is reached: /dev/stdout,
// /dev/fd/1, a link to either, or the redirected file's own path.
bool namesStandardOutput(const std::string& path);
