/* The floors the target library is measured against: the plainest loops that compute each
 * check value, compiled with the same compiler and flags. */
#include "floors.h"

uint32_t floorWordSum(const uint32_t *words, size_t count) {
  uint64_t sum = 0;
  size_t i;
  for (i = 0; i < count; ++i) sum += words[i];
  return ~((uint32_t)sum + (uint32_t)(sum >> 32));
}

uint8_t floorCrc8(const uint8_t *table, const unsigned char *bytes, size_t count) {
  uint8_t crc = 0;
  size_t i;
  for (i = 0; i < count; ++i) crc = table[crc ^ bytes[i]];
  return crc;
}
