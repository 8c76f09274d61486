#pragma once

#include <cstdint>

#include "testFiles.hpp"

// The stamp CRC-8 computed bit by bit, without a table, as an independent reference:
// reflected polynomial 0x07 (0xE0 shifted right), initial value 0, no final XOR.
inline std::uint8_t referenceCrc8(const Bytes& bytes) {
  unsigned crc = 0;
  for (const unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xE0u : crc >> 1;
  }
  return static_cast<std::uint8_t>(crc);
}
