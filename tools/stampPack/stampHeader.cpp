#include "stampHeader.hpp"

namespace {

void storeBigEndian32(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

void storeBigEndian16(unsigned char* out, std::uint16_t value) {
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}

std::uint32_t loadBigEndian32(const unsigned char* in) {
  return static_cast<std::uint32_t>(in[0]) << 24 | static_cast<std::uint32_t>(in[1]) << 16 |
         static_cast<std::uint32_t>(in[2]) << 8 | static_cast<std::uint32_t>(in[3]);
}

}  // namespace

StampHeader makeStampHeader(std::uint32_t imageId, std::uint32_t dataLength, PackingDate date) {
  StampHeader header;
  header.imageId = imageId;
  header.dataLength = dataLength;
  header.year = date.year;
  header.month = date.month;
  header.day = date.day;
  return header;
}

std::array<unsigned char, kStampHeaderSize> encodeStampHeader(const StampHeader& header) {
  std::array<unsigned char, kStampHeaderSize> bytes{};
  storeBigEndian32(&bytes[0], header.imageId);
  bytes[kStampCrcOffset] = header.crc8;
  bytes[5] = header.reserved[0];
  bytes[6] = header.reserved[1];
  bytes[7] = header.reserved[2];
  storeBigEndian32(&bytes[8], header.dataLength);
  storeBigEndian16(&bytes[12], header.year);
  bytes[14] = header.month;
  bytes[15] = header.day;
  return bytes;
}

StampHeader decodeStampHeader(std::span<const unsigned char, kStampHeaderSize> bytes) {
  StampHeader header;
  header.imageId = loadBigEndian32(&bytes[0]);
  header.crc8 = bytes[kStampCrcOffset];
  header.reserved = {bytes[5], bytes[6], bytes[7]};
  header.dataLength = loadBigEndian32(&bytes[8]);
  header.year = static_cast<std::uint16_t>(bytes[12] << 8 | bytes[13]);
  header.month = bytes[14];
  header.day = bytes[15];
  return header;
}

std::optional<PackingDate> utcDateOfEpoch(std::string_view seconds) {
  constexpr std::uint64_t kLastSecondOf9999 = 253'402'300'799;
  if (seconds.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : seconds) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kLastSecondOf9999) return std::nullopt;  // also keeps the sum from overflowing
  }
  // The civil date of a day count in the proleptic Gregorian calendar, by 400-year eras that
  // start on 1 March 0000, so that the leap day falls last in each year (Howard Hinnant's
  // days-to-civil algorithm).
  const std::uint64_t days = value / 86'400 + 719'468;  // days since 0000-03-01
  const std::uint64_t era = days / 146'097;
  const std::uint64_t dayOfEra = days - era * 146'097;
  const std::uint64_t yearOfEra = (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const std::uint64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const std::uint64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const std::uint64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return PackingDate{static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(month),
                     static_cast<std::uint8_t>(day)};
}
