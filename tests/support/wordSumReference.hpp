#pragma once

#include <cstdint>

#include "testFiles.hpp"

// The load-image checksum computed the plainest way, as an independent reference: the payload
// zero-padded to whole words, each word little-endian, summed in 64 bits, halves added once.
inline std::uint32_t referenceWordSum(Bytes payload) {
  while (payload.size() % 4 != 0) payload.push_back(0);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < payload.size(); i += 4) {
    sum += static_cast<std::uint64_t>(payload[i]) + (static_cast<std::uint64_t>(payload[i + 1]) << 8) +
           (static_cast<std::uint64_t>(payload[i + 2]) << 16) + (static_cast<std::uint64_t>(payload[i + 3]) << 24);
  }
  return ~static_cast<std::uint32_t>((sum & 0xFFFFFFFFu) + (sum >> 32));
}
