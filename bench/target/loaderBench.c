/* Runs the target library's two whole-image checks and the two floor loops on payloads of 0 and
 * PAYLOAD bytes, at an aligned and an odd address, and stages and installs an image of each size
 * through the board's flash (the cortex-m-boot example's driver), between the two marks that the insnCount
 * plugin watches: benchReset before each measured call, benchReport after it. For each run it
 * prints "run CHECK OFFSET SIZE ok" on the semihosting console (FAILED where the answer is
 * wrong) and exits with status 1 if any was. .ci/loader-bench pairs these lines with the
 * plugin's counts. */
#include <stdint.h>

#include "boardFlash.h"
#include "floors.h"
#include "imageLoader.h"
#include "imageUpdate.h"
#include "semihosting.h"
#include "vectorTable.h"

#define PAYLOAD 8192u

/* Words, so that the floor loop reads them as what they are; the checks see the bytes. */
static uint32_t memory[(PAYLOAD + 64u) / 4u];
static uint8_t crcTable[256];
static unsigned failures;

/* The marks: their first instructions are what the plugin watches, so neither may be inlined. */
__attribute__((noinline, used)) void benchReset(void) { __asm__ volatile("nop"); }
__attribute__((noinline, used)) void benchReport(void) { __asm__ volatile("nop; nop"); }

static void fillRandom(unsigned char *bytes, uint32_t count, uint32_t seed) {
  uint32_t i;
  for (i = 0; i < count; ++i) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    bytes[i] = (unsigned char)seed;
  }
}

static void put32(unsigned char *at, uint32_t value, int bigEndian) {
  unsigned i;
  for (i = 0; i < 4u; ++i) at[bigEndian ? 3u - i : i] = (unsigned char)(value >> (8u * i));
}

/* The checksum byte by byte, outside the counted code. */
static uint32_t referenceSum(const unsigned char *bytes, uint32_t count) {
  uint64_t sum = 0;
  uint32_t i;
  for (i = 0; i < count; ++i) sum += (uint64_t)bytes[i] << (8u * (i & 3u));
  return ~((uint32_t)sum + (uint32_t)(sum >> 32));
}

static uint8_t referenceCrc(const unsigned char *bytes, uint32_t count) {
  uint32_t i;
  uint8_t crc = 0;
  for (i = 0; i < count; ++i) crc = crcTable[crc ^ bytes[i]];
  return crc;
}

static void report(const char *check, uintptr_t offset, uint32_t size, int ok) {
  benchReport();
  shPrint("run ");
  shPrint(check);
  shPrint(offset != 0u ? " odd " : " aligned ");
  shPrintDecimal(size);
  shPrint(ok ? " ok\n" : " FAILED\n");
  if (!ok) ++failures;
}

/* A load image with a random payload of `size` bytes at `image`, its padding and checksum. */
static void buildLoadImage(unsigned char *image, uint32_t size) {
  const uint32_t padded = (size + 3u) & ~3u;
  unsigned i;
  put32(image, LDR_LOAD_HEADER_SIZE, 0);
  put32(image + 4, size, 0);
  put32(image + 8, 0x20001000u, 0);
  put32(image + 12, 0x20001001u, 0);
  for (i = 0; i < LDR_IMAGE_NAME_SIZE; ++i) image[16 + i] = (unsigned char)"BENCH"[i < 5u ? i : 5u];
  put32(image + 32, LDR_LOAD_MAGIC, 0);
  put32(image + 36, LDR_LOAD_FIXED_CODE, 0);
  fillRandom(image + 44, size, 0x1234567u + size);
  for (i = size; i < padded; ++i) image[44 + i] = 0;
  put32(image + 40, referenceSum(image + 44, padded), 0);
}

static void measure(uint32_t size, unsigned offset) {
  unsigned char *image = (unsigned char *)memory + offset;
  const uint32_t padded = (size + 3u) & ~3u;
  ldrLoadImageInfo load;
  ldrStampedImageInfo stamped;
  ldrStatus status;

  buildLoadImage(image, size);
  benchReset();
  status = ldrCheckLoadImage(image, 44u + padded, &load);
  report("load", offset, size, status == LDR_OK && load.length == 44u + padded);

  put32(image, 0x64365577u, 1);
  put32(image + 8, size, 1);
  image[5] = image[6] = image[7] = 0;
  image[12] = 0x07;
  image[13] = 0xEA;
  image[14] = 12;
  image[15] = 8;
  image[4] = referenceCrc(image + 16, size);
  benchReset();
  status = ldrCheckStampedImage(image, 16u + size, &stamped);
  report("stamped", offset, size, status == LDR_OK && stamped.length == 16u + size);
}

/* Stages the load image at the start of `memory` (a payload of `size` bytes, built by
 * measure()) through the board's flash and installs it, each call measured; the board's own
 * driver is outside the counted code. */
static void measureUpdate(uint32_t size) {
  const ldrUpdateLayout layout = {boardFlash(), 0x10000u, 0x14000u, 0x4000u, 0x18000u, 0x20001000u, 0x3000u, 0x18800u, NULL, 0u};
  const unsigned char *image = (const unsigned char *)memory;
  const uint32_t length = 44u + ((size + 3u) & ~3u);
  ldrStaging staging;
  ldrInstallOutcome outcome;
  ldrStatus status;
  uint32_t i;
  int same = 1;
  buildLoadImage((unsigned char *)memory, size);
  benchReset();
  status = ldrStageBegin(&staging, &layout);
  if (status == LDR_OK) status = ldrStageWrite(&staging, image, length);
  if (status == LDR_OK) status = ldrStageFinish(&staging);
  report("stage", 0, size, status == LDR_OK);
  benchReset();
  status = ldrInstall(&layout, &outcome);
  for (i = 0; i < length; ++i) same = same && ((const unsigned char *)0x10000u)[i] == image[i];
  report("install", 0, size, status == LDR_OK && outcome == LDR_INSTALLED && same);
}

/* The stack a call takes, its callbacks' included: STACK_PAINTED bytes below the caller's stack
 * pointer are painted before it, and the deepest byte changed found after. */
#define STACK_PAINT 0xA5u
#define STACK_PAINTED 2048u

__attribute__((always_inline)) static inline volatile unsigned char *paintStack(void) {
  volatile unsigned char *top;
  uint32_t i;
  __asm__ volatile("mov %0, sp" : "=r"(top));
  for (i = 1; i <= STACK_PAINTED; ++i) top[-(int32_t)i] = STACK_PAINT;
  return top;
}

static void reportStack(const char *call, volatile unsigned char *top) {
  volatile unsigned char *deepest = top - STACK_PAINTED;
  while (deepest < top && *deepest == STACK_PAINT) ++deepest;
  shPrint("stack ");
  shPrint(call);
  shPrint(" ");
  shPrintDecimal((uint32_t)(top - deepest));
  shPrint("\n");
}

/* The stack of each update call with the board's driver, on the image built last: staging,
 * install, staging again and install on trial, the state, and the confirm. */
static void measureUpdateStack(void) {
  const ldrUpdateLayout layout = {boardFlash(), 0x10000u, 0x14000u, 0x4000u, 0x18000u, 0x20001000u, 0x3000u, 0x18800u, NULL, 0u};
  const unsigned char *image = (const unsigned char *)memory;
  const uint32_t length = 44u + PAYLOAD;
  volatile unsigned char *top;
  ldrStaging staging;
  ldrInstallOutcome outcome;
  ldrUpdateState state;
  unsigned round;
  int ok = 1;
  for (round = 0; round < 2u; ++round) {
    top = paintStack();
    ok = ok && ldrStageBegin(&staging, &layout) == LDR_OK;
    reportStack("ldrStageBegin", top);
    top = paintStack();
    ok = ok && ldrStageWrite(&staging, image, length) == LDR_OK;
    reportStack("ldrStageWrite", top);
    top = paintStack();
    ok = ok && ldrStageFinish(&staging) == LDR_OK;
    reportStack("ldrStageFinish", top);
    top = paintStack();
    ok = ok && (round == 0u ? ldrInstall(&layout, &outcome) : ldrInstallOnTrial(&layout, &outcome)) == LDR_OK;
    reportStack(round == 0u ? "ldrInstall" : "ldrInstallOnTrial", top);
    ((unsigned char *)memory)[100] ^= 1u; /* another image for the trial, its checksum made again */
    put32((unsigned char *)memory + 40, referenceSum(image + 44, PAYLOAD), 0);
  }
  top = paintStack();
  ok = ok && ldrReadUpdateState(&layout, &state) == LDR_OK && state == LDR_STATE_ON_TRIAL;
  reportStack("ldrReadUpdateState", top);
  top = paintStack();
  ok = ok && ldrConfirm(&layout) == LDR_OK;
  reportStack("ldrConfirm", top);
  if (!ok) {
    shPrint("stack run FAILED\n");
    ++failures;
  }
}

static void measureFloors(uint32_t size) {
  const unsigned char *bytes = (const unsigned char *)memory;
  uint32_t sum;
  uint8_t crc;
  fillRandom((unsigned char *)memory, size, 0xBADC0DEu);
  benchReset();
  sum = floorWordSum(memory, size / 4u);
  report("floor-wordsum", 0, size, sum == referenceSum(bytes, size));
  benchReset();
  crc = floorCrc8(crcTable, bytes, size);
  report("floor-crc8", 0, size, crc == referenceCrc(bytes, size));
}

void resetHandler(void) {
  unsigned i, bit;
  for (i = 0; i < 256u; ++i) {
    unsigned c = i;
    for (bit = 0; bit < 8u; ++bit) c = (c >> 1) ^ (0xE0u & (0u - (c & 1u)));
    crcTable[i] = (uint8_t)c;
  }
  measure(0, 0);
  measure(PAYLOAD, 0);
  measure(0, 1);
  measure(PAYLOAD, 1);
  measureFloors(0);
  measureFloors(PAYLOAD);
  measureUpdate(4); /* an empty payload cannot hold the entry: install refuses it */
  measureUpdate(PAYLOAD);
  measureUpdateStack();
  shExit(failures == 0u ? 0u : 1u);
}

DEFINE_VECTOR_TABLE("bench: fault\n", 4)
