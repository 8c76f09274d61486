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
