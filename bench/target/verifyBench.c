/* Runs the signature check (ldrVerifyImage) on two signed load images that .ci/verify-bench
 * puts in flash, one with an empty payload at SIGNED_EMPTY and one with PAYLOAD bytes at
 * SIGNED_FULL, each between the two marks the insnCount plugin watches, and measures the stack
 * each check takes: the stack below the caller's frame is painted first, and the deepest byte
 * changed is found after. Prints "run verify SIZE ok" (FAILED where the check refuses an
 * image or finds the wrong counter) and "stack verify SIZE BYTES" on the semihosting console,
 * and exits with status 1 if a check failed. */
#include <stdint.h>

#include "imageVerify.h"
#include "semihosting.h"
#include "vectorTable.h"

#include "benchKey.h" /* imageInfo --key-as-c, made by .ci/verify-bench */

#define SIGNED_EMPTY 0x10000u
#define SIGNED_FULL 0x11000u
#define PAYLOAD 8192u
#define COUNTER 7u
#define PAINT 0xA5u
#define PAINTED 6144u /* bytes of stack painted below the caller's frame */

/* The marks: their first instructions are what the plugin watches, so neither may be inlined. */
__attribute__((noinline, used)) void benchReset(void) { __asm__ volatile("nop"); }
__attribute__((noinline, used)) void benchReport(void) { __asm__ volatile("nop; nop"); }

static unsigned failures;

/* The stack pointer where it is called. */
__attribute__((always_inline)) static inline uintptr_t stackPointer(void) {
  uintptr_t sp;
  __asm__ volatile("mov %0, sp" : "=r"(sp));
  return sp;
}

static void measure(uint32_t address, uint32_t size) {
  static const ldrTrustedKey keys[] = {BENCH_TRUSTED_KEY};
  const ldrTrust trust = LDR_TRUST(keys, 1);
  uint32_t counter = 0;
  ldrStatus status;
  volatile unsigned char *const top = (volatile unsigned char *)stackPointer();
  volatile unsigned char *deepest = top - PAINTED;
  uint32_t i;
  uint32_t used;
  /* Below the stack pointer, where the call's frames will be; nothing else runs meanwhile. */
  for (i = 0; i < PAINTED; ++i) top[-1 - (int32_t)i] = PAINT;
  benchReset();
  status = ldrVerifyImage(&trust, (const unsigned char *)address, 44u + size + LDR_TRAILER_SIZE, &counter);
  benchReport();
  while (deepest < top && *deepest == PAINT) ++deepest;
  used = (uint32_t)(top - deepest);
  shPrint("run verify aligned ");
  shPrintDecimal(size);
  shPrint(status == LDR_OK && counter == COUNTER ? " ok\n" : " FAILED\n");
  if (status != LDR_OK || counter != COUNTER) ++failures;
  shPrint("stack verify ");
  shPrintDecimal(size);
  shPrint(" ");
  shPrintDecimal(used);
  shPrint("\n");
}

void resetHandler(void) {
  measure(SIGNED_EMPTY, 0);
  measure(SIGNED_FULL, PAYLOAD);
  shExit(failures == 0u ? 0 : 1);
}

DEFINE_VECTOR_TABLE("verify bench: fault\n", 2)
