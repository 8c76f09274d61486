#ifndef FLOORS_H
#define FLOORS_H

#include <stddef.h>
#include <stdint.h>

/* The load-image checksum of `count` aligned words, each in the core's own (little-endian)
 * order: the 64-bit sum, its halves added once, complemented. */
uint32_t floorWordSum(const uint32_t *words, size_t count);

/* The stamped image's CRC-8 of `count` bytes through a 256-entry table, from 0. */
uint8_t floorCrc8(const uint8_t *table, const unsigned char *bytes, size_t count);

#endif
