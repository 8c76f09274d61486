#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "streams.hpp"

// The copy behind a header, in large blocks through one buffer, with the check value run over
// each block in memory.

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

// The block size the programs read and write with: large enough that a copy costs few system
// calls, small enough that a block stays in the CPU's cache from the read through the check
// value to the write (measured: 256 KiB copies a large file faster than 1 MiB or 4 MiB).
inline constexpr std::size_t kCopyBlockSize = std::size_t{256} << 10;

// Output offsets the copy's writes end on: a multiple of every common page size (4 KiB to
// 64 KiB), so that the system never has to merge a partial page of the output file.
inline constexpr std::size_t kWriteAlignment = std::size_t{64} << 10;

// Writes `header`, then exactly `count` payload bytes taken from read(std::span<unsigned char>)
// (true when it filled the span), then `trailer`, all through write(std::span<const unsigned
// char>) (true when it wrote the whole span). The payload is read straight behind the bytes
// still waiting to be written, in pieces of buffer.size() - alignment bytes, and each new piece
// goes to onPayload(std::span<const unsigned char>) once, in order, while it is in the cache.
// Every write but the last ends on a multiple of `alignment` in the output. The header and
// the trailer must each be at most `alignment` bytes, and the buffer more than that.
template <typename Read, typename OnPayload, typename Write>
CopyStatus copyBehindHeader(std::span<const unsigned char> header, std::uint64_t count,
                            std::span<const unsigned char> trailer, std::span<unsigned char> buffer,
                            std::size_t alignment, Read&& read, OnPayload&& onPayload, Write&& write) {
  const std::size_t pieceSize = buffer.size() - alignment;
  std::copy(header.begin(), header.end(), buffer.begin());
  std::size_t pending = header.size();  // bytes at the buffer's start not yet written
  while (count > 0) {
    const std::size_t want = count < pieceSize ? static_cast<std::size_t>(count) : pieceSize;
    const std::span<unsigned char> piece = buffer.subspan(pending, want);
    if (!read(piece)) return CopyStatus::readFailed;
    onPayload(std::span<const unsigned char>(piece));
    count -= want;
    const std::size_t filled = pending + want;
    const std::size_t whole = filled - filled % alignment;
    if (whole > 0 && !write(std::span<const unsigned char>(buffer.first(whole)))) return CopyStatus::writeFailed;
    // Less than `alignment` bytes move to the front, to go out with the next piece.
    std::memmove(buffer.data(), buffer.data() + whole, filled - whole);
    pending = filled - whole;
  }
  std::copy(trailer.begin(), trailer.end(), buffer.begin() + static_cast<std::ptrdiff_t>(pending));
  pending += trailer.size();
  if (pending > 0 && !write(std::span<const unsigned char>(buffer.first(pending)))) return CopyStatus::writeFailed;
  return CopyStatus::ok;
}

// The one block buffer a program copies through (kCopyBlockSize + kWriteAlignment bytes, page
// aligned): memory stays the same whatever the size of the input.
std::span<unsigned char> copyBuffer();

// copyBehindHeader from the stream `in` to the stream `out`, in blocks of kCopyBlockSize.
// readFailed: an I/O error, or the input ended early; writeFailed: a failed or short write.
template <typename OnPayload>
CopyStatus copyBehindHeader(std::FILE* in, std::FILE* out, std::span<const unsigned char> header, std::uint64_t count,
                            std::span<const unsigned char> trailer, OnPayload&& onPayload) {
  return copyBehindHeader(
      header, count, trailer, copyBuffer(), kWriteAlignment,
      [in](std::span<unsigned char> piece) { return std::fread(piece.data(), 1, piece.size(), in) == piece.size(); },
      onPayload,
      [out](std::span<const unsigned char> bytes) {
        return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
      });
}

// Writes a header, `count` payload bytes from the regular file `in` (read from its start) and
// `trailer` to `out`, with the check value of the payload in the header. `check` takes every
// payload block through update(std::span<const unsigned char>) and holds the final value
// afterwards; encodeHeader(const Check&) gives the header's bytes for a check value.
//
// Where `out` can seek, the header goes out first with the value so far, and its bytes
// [patchOffset, patchOffset + patchSize) are written again once the copy is done. Where it
// cannot (a pipe, a FIFO, a terminal), every byte goes out once and in order: a first pass over
// `in` computes the check value, and the copy behind the finished header must then find the
// same value and the same size, else readFailed (the source changed between the passes).
template <typename Check, typename EncodeHeader>
CopyStatus copyWithCheckValue(std::FILE* in, std::FILE* out, bool seekable, std::uint64_t count,
                              std::span<const unsigned char> trailer, std::size_t patchOffset, std::size_t patchSize,
                              Check& check, EncodeHeader&& encodeHeader) {
  const auto feed = [&check](std::span<const unsigned char> block) { check.update(block); };
  if (seekable) {
    const auto placeholder = encodeHeader(check);
    const CopyStatus copied = copyBehindHeader(in, out, placeholder, count, trailer, feed);
    if (copied != CopyStatus::ok) return copied;
    const auto header = encodeHeader(check);
    return writeAt(out, patchOffset, std::span<const unsigned char>(header).subspan(patchOffset, patchSize))
               ? CopyStatus::ok
               : CopyStatus::writeFailed;
  }
  Check first = check;
  const CopyStatus measured = readBytes(in, count, copyBuffer(), [&first](std::span<const unsigned char> block) {
    first.update(block);
    return true;
  });
  if (measured != CopyStatus::ok) return measured;
  if (std::fseek(in, 0, SEEK_SET) != 0) return CopyStatus::readFailed;
  const auto header = encodeHeader(first);
  const CopyStatus copied = copyBehindHeader(in, out, header, count, trailer, feed);
  if (copied != CopyStatus::ok) return copied;
  return encodeHeader(check) == header && regularFileSize(in) == count ? CopyStatus::ok : CopyStatus::readFailed;
}

