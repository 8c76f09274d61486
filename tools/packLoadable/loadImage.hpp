#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The ".img" load image: a 44-byte little-endian header followed by the payload.
inline constexpr std::size_t kLoadImageHeaderSize = 44;
inline constexpr std::size_t kLoadImageChecksumOffset = 40;
inline constexpr std::size_t kImageNameSize = 16;
inline constexpr std::uint32_t kLoadImageMagic = 0xA0FFFF9Fu;
inline constexpr std::uint32_t kLoadImageFixedCode = 7;

// The header fields in file order; encodeLoadImageHeader() gives their on-disk form.
struct LoadImageHeader {
  std::uint32_t headerSize = 0;
  std::uint32_t imageSize = 0;
  std::uint32_t loadAddress = 0;
  std::uint32_t execAddress = 0;
  std::array<unsigned char, kImageNameSize> imageName{};
  std::uint32_t magic = 0;
  std::uint32_t fixedCode = 0;
  std::uint32_t checksum = 0;

  bool operator==(const LoadImageHeader&) const = default;
};

// A header for an image of imageSize bytes, with the constant fields set and the checksum 0.
// The name keeps its first 16 bytes; a shorter one ends in a NUL and the rest of the field is
// zero, so that the same arguments always give the same bytes.
LoadImageHeader makeLoadImageHeader(std::uint32_t imageSize, std::uint32_t loadAddress, std::uint32_t execAddress,
                                    std::string_view name);

// The 44 bytes of the header as they stand in the file, whatever the host's byte order.
std::array<unsigned char, kLoadImageHeaderSize> encodeLoadImageHeader(const LoadImageHeader& header);

// The header fields read back from the first 44 bytes of a file; the inverse of the encoding.
LoadImageHeader decodeLoadImageHeader(std::span<const unsigned char, kLoadImageHeaderSize> bytes);

// The payload checksum as a running value. The payload is read as little-endian 32-bit words,
// summed in 64 bits; the checksum is the complement of the sum's two 32-bit halves added once,
// with the carry out of that addition dropped.
class WordSum {
 public:
  // Adds one payload word.
  void addWord(std::uint32_t word) noexcept { sum_ += word; }

  // Adds payload bytes in file order. A word split between calls is joined, so any split of
  // the payload gives the same checksum as one call over the whole.
  void update(std::span<const unsigned char> bytes) noexcept;

  // The checksum of everything added so far. One to three trailing bytes count as a word
  // padded with zeros, the same word the packer writes to the file.
  std::uint32_t finish() const noexcept;

 private:
  std::uint64_t sum_ = 0;
  std::uint32_t partialWord_ = 0;  // bytes of an incomplete word, already in their places
  unsigned partialBytes_ = 0;
};
