#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "crc8.hpp"

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

// The date of a moment given as SOURCE_DATE_EPOCH gives it (the reproducible-builds convention):
// decimal seconds since 1970-01-01 00:00:00 UTC, taken in UTC whatever the time zone. Nullopt
// when the text is empty, holds anything but the digits 0-9, or names a moment past the year
// 9999. The same answer on every host: no time_t is involved.
std::optional<PackingDate> utcDateOfEpoch(std::string_view seconds);

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
