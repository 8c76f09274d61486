/* See boardFlash.h. */
#include "boardFlash.h"

#include <stdint.h>

/* Reads memory-mapped flash a byte at a time: an image may stand at any address. */
static int readMapped(const ldrFlash *flash, uint32_t address, unsigned char *bytes, size_t count) {
  const volatile unsigned char *from = (const volatile unsigned char *)(uintptr_t)address;
  size_t i;
  (void)flash;
  for (i = 0; i < count; ++i) bytes[i] = from[i];
  return 0;
}

#ifdef BOARD_NRF51

#define NVMC_READY (*(volatile uint32_t *)0x4001E400u)
#define NVMC_CONFIG (*(volatile uint32_t *)0x4001E504u)
#define NVMC_ERASEPAGE (*(volatile uint32_t *)0x4001E508u)
#define NVMC_CONFIG_READ 0u
#define NVMC_CONFIG_WRITE 1u
#define NVMC_CONFIG_ERASE 2u

static void waitReady(void) {
  while ((NVMC_READY & 1u) == 0u) {
  }
}

static int erasePage(const ldrFlash *flash, uint32_t address) {
  (void)flash;
  NVMC_CONFIG = NVMC_CONFIG_ERASE;
  waitReady();
  NVMC_ERASEPAGE = address;
  waitReady();
  NVMC_CONFIG = NVMC_CONFIG_READ;
  return 0;
}

/* Whole 32-bit words, each a store through the controller; the flash itself only clears bits. */
static int programWords(const ldrFlash *flash, uint32_t address, const unsigned char *bytes, size_t count) {
  size_t i;
  (void)flash;
  if ((address & 3u) != 0u || (count & 3u) != 0u) return -1;
  NVMC_CONFIG = NVMC_CONFIG_WRITE;
  waitReady();
  for (i = 0; i < count; i += 4u) {
    *(volatile uint32_t *)(uintptr_t)(address + i) =
        (uint32_t)bytes[i] | (uint32_t)bytes[i + 1u] << 8 | (uint32_t)bytes[i + 2u] << 16 | (uint32_t)bytes[i + 3u] << 24;
    waitReady();
  }
  NVMC_CONFIG = NVMC_CONFIG_READ;
  return 0;
}

static const ldrFlash board = {readMapped, erasePage, programWords, NULL, BOARD_SECTOR, 4u, 0xFFu, false};

#else

#define UNIT 8u

static int eraseSector(const ldrFlash *flash, uint32_t address) {
  volatile unsigned char *sector = (volatile unsigned char *)(uintptr_t)address;
  uint32_t i;
  if ((address & (flash->sectorSize - 1u)) != 0u) return -1;
  for (i = 0; i < flash->sectorSize; ++i) sector[i] = 0xFFu;
  return 0;
}

/* Refuses a unit that is not erased (the ECC rule) before changing any byte. */
static int programUnits(const ldrFlash *flash, uint32_t address, const unsigned char *bytes, size_t count) {
  volatile unsigned char *to = (volatile unsigned char *)(uintptr_t)address;
  size_t i;
  (void)flash;
  if ((address & (UNIT - 1u)) != 0u || (count & (UNIT - 1u)) != 0u) return -1;
  for (i = 0; i < count; ++i)
    if (to[i] != 0xFFu) return -1;
  for (i = 0; i < count; ++i) to[i] = bytes[i];
  return 0;
}

static const ldrFlash board = {readMapped, eraseSector, programUnits, NULL, BOARD_SECTOR, UNIT, 0xFFu, true};

#endif

const ldrFlash *boardFlash(void) { return &board; }

