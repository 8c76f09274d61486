#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// The stamped file: a 16-byte big-endian header followed by the payload.
inline constexpr std::size_t kStampHeaderSize = 16;
inline constexpr std::size_t kStampCrcOffset = 4;
inline constexpr std::uint32_t kDefaultImageId = 0x64365577u;

// A calendar date as the header stores it: the full year, month 1-12, day 1-31.
struct PackingDate {
  std::uint16_t year = 0;
  std::uint8_t month = 0;
  std::uint8_t day = 0;
};

// The header fields in file order; encodeStampHeader() gives their on-disk form.
struct StampHeader {
  std::uint32_t imageId = 0;
  std::uint8_t crc8 = 0;
  std::array<std::uint8_t, 3> reserved{};
  std::uint32_t dataLength = 0;
  std::uint16_t year = 0;
  std::uint8_t month = 0;
  std::uint8_t day = 0;

  bool operator==(const StampHeader&) const = default;
};

// A header for a payload of dataLength bytes packed on `date`; crc8 and reserved are zero.
StampHeader makeStampHeader(std::uint32_t imageId, std::uint32_t dataLength, PackingDate date);

// The 16 bytes of the header as they stand in the file, whatever the host's byte order.
std::array<unsigned char, kStampHeaderSize> encodeStampHeader(const StampHeader& header);

// The header fields read back from the first 16 bytes of a file; the inverse of the encoding.
StampHeader decodeStampHeader(std::span<const unsigned char, kStampHeaderSize> bytes);

// CRC-8 over x^8 + x^2 + x + 1 (0x07), processed least significant bit first, so the register
// shifts right and XORs with the bit-reversed polynomial. Initial value 0, no final XOR.
inline constexpr std::uint8_t kCrc8ReflectedPolynomial = 0xE0;

// The byte-at-a-time table: entry i is the CRC register after shifting the byte i through it.
constexpr std::array<std::uint8_t, 256> makeCrc8Table() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? (c >> 1) ^ kCrc8ReflectedPolynomial : c >> 1;
    table[i] = static_cast<std::uint8_t>(c);
  }
  return table;
}

inline constexpr std::array<std::uint8_t, 256> kCrc8Table = makeCrc8Table();

// The payload CRC-8 as a running value: starts at 0, takes the payload in pieces of any size,
// and any split of the payload gives the same result as one piece.
class Crc8 {
 public:
  void update(std::span<const unsigned char> bytes) noexcept;
  std::uint8_t result() const noexcept { return crc_; }

 private:
  std::uint8_t crc_ = 0;
};
