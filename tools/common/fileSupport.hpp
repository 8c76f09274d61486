#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

// Owns one C stream and closes it on every path out of its scope. close() closes it early and
// says whether everything written reached the file.
class Stream {
 public:
  Stream() = default;
  explicit Stream(std::FILE* file) noexcept : file_(file) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream();

  std::FILE* get() const noexcept { return file_; }
  explicit operator bool() const noexcept { return file_ != nullptr; }

  // Flushes and closes the stream; false when buffered data could not be written or the
  // close itself failed. The stream is released either way.
  bool close() noexcept;

 private:
  std::FILE* file_ = nullptr;
};

// Opens path with an fopen mode ("rb", "wb", "wb+"), unbuffered; an empty Stream when that fails.
Stream openStream(const std::string& path, const char* mode);

// Size in bytes of an open stream, as a 64-bit value, when the stream is a regular file;
// nullopt for a directory, a device or a pipe, or when the query fails.
std::optional<std::uint64_t> regularFileSize(std::FILE* stream);

// True when both paths name one existing file, however spelt: through a link, with "./" or
// "..", or (on Windows) in another letter case. False when either does not exist.
bool isSameFile(const std::string& first, const std::string& second);

// Removes an output that a failed run left incomplete, so that nothing that looks finished but
// is wrong stays behind. Only a regular file is removed (the file a link points to, where the
// path is a link); a device such as /dev/full is left alone.
void removeIncompleteOutput(const std::string& path);

enum class CopyStatus { ok, readFailed, writeFailed };

// Reads exactly `count` bytes from `in` through `buffer`, one buffer-full at a time, and hands
// every block to onBlock(std::span<const unsigned char>), which returns false to stop with
// writeFailed. readFailed: an I/O error, or the input ended before `count` bytes (it shrank
// since its size was taken).
template <typename OnBlock>
CopyStatus readBytes(std::FILE* in, std::uint64_t count, std::span<unsigned char> buffer, OnBlock&& onBlock) {
  while (count > 0) {
    const std::size_t want = count < buffer.size() ? static_cast<std::size_t>(count) : buffer.size();
    if (std::fread(buffer.data(), 1, want, in) != want) return CopyStatus::readFailed;
    if (!onBlock(std::span<const unsigned char>(buffer.data(), want))) return CopyStatus::writeFailed;
    count -= want;
  }
  return CopyStatus::ok;
}

// Copies exactly `count` bytes from `in` to `out` as readBytes does, handing every block to
// onBlock(std::span<const unsigned char>) before writing it. writeFailed: a failed or short write.
template <typename OnBlock>
CopyStatus copyBytes(std::FILE* in, std::FILE* out, std::uint64_t count, std::span<unsigned char> buffer,
                     OnBlock&& onBlock) {
  return readBytes(in, count, buffer, [&](std::span<const unsigned char> block) {
    onBlock(block);
    return std::fwrite(block.data(), 1, block.size(), out) == block.size();
  });
}

// The block size the programs read and write with: large enough that a copy costs few system
// calls, small enough that a block stays in the CPU's cache from the read through the check
// value to the write (measured: 256 KiB copies a large file faster than 1 MiB or 4 MiB).
inline constexpr std::size_t kCopyBlockSize = std::size_t{256} << 10;
