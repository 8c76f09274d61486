#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A path held as UTF-8, as the programs take it, in the system's form, and back. On Windows
// the narrow path functions would read the bytes in the ANSI code page instead.
std::filesystem::path pathOf(const std::string& utf8);
std::string utf8Of(const std::filesystem::path& path);

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the directory, as a string for command lines.
  std::string file(const std::string& name) const { return utf8Of(path_ / pathOf(name)); }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
// `count` bytes from a fixed-seed generator: the same bytes on every run and every host.
Bytes randomBytes(std::size_t count, std::uint32_t seed);
Bytes textBytes(const std::string& text);

// Appends a value's bytes to `out` in a given byte order, for building expected files by hand.
void appendLittleEndian32(Bytes& out, std::uint32_t value);
void appendBigEndian(Bytes& out, std::uint64_t value, int byteCount);

// A regular file that holds fewer bytes than its size says, as a file that shrank while being
// read would (Linux's sysfs files report 4096 bytes); nullopt on systems without one.
std::optional<std::string> fileShorterThanItsSize();

// The calendar time of `moment` in the local time zone, or in UTC.
std::tm localCalendar(std::time_t moment);
std::tm utcCalendar(std::time_t moment);
