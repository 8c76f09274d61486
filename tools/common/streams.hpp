#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The C streams the programs read and write through: owned, opened the way each input and
// output needs, read and written at an offset.

// Owns one C stream and closes it on every path out of its scope. close() closes it early and
// says whether everything written reached the file.
class Stream {
 public:
  Stream() = default;
  explicit Stream(std::FILE* file) noexcept : file_(file) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  Stream(Stream&& other) noexcept : file_(other.release()) {}
  Stream& operator=(Stream&& other) noexcept {
    if (this != &other) {
      if (file_ != nullptr) std::fclose(file_);
      file_ = other.release();
    }
    return *this;
  }
  ~Stream();

  std::FILE* get() const noexcept { return file_; }
  // Hands the stream over to the caller, who closes it.
  std::FILE* release() noexcept {
    std::FILE* file = file_;
    file_ = nullptr;
    return file;
  }
  explicit operator bool() const noexcept { return file_ != nullptr; }

  // Flushes and closes the stream; false when buffered data could not be written or the
  // close itself failed. The stream is released either way.
  bool close() noexcept;

 private:
  std::FILE* file_ = nullptr;
};

// Opens path with an fopen mode ("rb", "wb", "wb+"), unbuffered; an empty Stream when that fails.
Stream openStream(const std::string& path, const char* mode);

// Opens `path` for reading, unbuffered, when it is a regular file, and never waits: an ordinary
// open of a FIFO with no writer would block for ever. An empty Stream otherwise, with
// *notRegular true when the path names something else (a directory, a FIFO, a device), and
// false with errno saying why when it could not be opened at all.
Stream openRegularFile(const std::string& path, bool* notRegular);

// Why openRegularFile refused `path`, for a message: "cannot open PATH: REASON" (the system's
// reason for `error`) or "cannot read PATH: not a regular file"; the path escaped.
std::string inputRefusal(const std::string& path, bool notRegular, int error);

// The whole of a small regular file (a key, a signature): nullopt, with *problem saying why,
// where it cannot be read or holds more than `most` bytes.
std::optional<std::vector<unsigned char>> readSmallFile(const std::string& path, std::size_t most,
                                                        std::string* problem);

// The system's text for `error`, or for EIO where there is none.
std::string systemReason(int error);

// Size in bytes of an open stream, as a 64-bit value, when the stream is a regular file;
// nullopt for a directory, a device or a pipe, or when the query fails.
std::optional<std::uint64_t> regularFileSize(std::FILE* stream);

// A scratch file for reading something twice that arrives once (standard input): opened for
// update, already nameless or deleted when closed, so that it is gone on every path out of
// the program, a signal included. An empty Stream, with errno, when none can be made.
Stream openSpoolFile();

// Removes an output that a failed run written in place left incomplete, so that nothing that
// looks finished but is wrong stays behind; where it cannot be removed (its folder takes no
// change), empties it. Only a regular file is touched (the file a link points to, where the
// path is a link); a device such as /dev/full is left alone.
void removeIncompleteOutput(const std::string& path);

// Reads into.size() bytes of `in` at `offset` from its start (64-bit offsets on every system);
// false when they are not all there.
bool readAt(std::FILE* in, std::uint64_t offset, std::span<unsigned char> into);

// Writes `bytes` at `offset` from the start of `out` (a check value patched into a header).
bool writeAt(std::FILE* out, std::size_t offset, std::span<const unsigned char> bytes);
