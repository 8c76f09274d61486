/* Console output and exit through semihosting: the debugger, or an emulator such as qemu with
 * -semihosting-config enable=on, carries them to the host. Shared by the boot loader and the
 * application; no C library is involved. */
#ifndef SEMIHOSTING_H
#define SEMIHOSTING_H

#include <stdint.h>

#define SYS_OPEN 0x01u          /* r1: {name, mode, name length}; returns a handle or -1 */
#define SYS_CLOSE 0x02u         /* r1: {handle} */
#define SYS_WRITE0 0x04u        /* r1: a NUL-terminated text to print */
#define SYS_READ 0x06u          /* r1: {handle, buffer, length}; returns the bytes not read */
#define SYS_EXIT_EXTENDED 0x20u /* r1: {reason, exit code} */
#define ADP_STOPPED_APPLICATION_EXIT 0x20026u

/* One semihosting request: the operation in r0, its argument block in r1, BKPT 0xAB on an
 * M-profile core. */
static inline uint32_t semihost(uint32_t operation, const void *argument) {
  register uint32_t r0 __asm__("r0") = operation;
  register const void *r1 __asm__("r1") = argument;
  __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
  return r0;
}

/* Prints `text` as it is. */
static inline void shPrint(const char *text) { (void)semihost(SYS_WRITE0, text); }

/* Prints the low `digits` (1 to 8) hexadecimal digits of `value`, lower case, after 0x. */
static inline void shPrintHex(uint32_t value, unsigned digits) {
  char text[11];
  unsigned i;
  text[0] = '0';
  text[1] = 'x';
  for (i = 0; i < digits; ++i) text[2 + i] = "0123456789abcdef"[(value >> (4u * (digits - 1u - i))) & 0xFu];
  text[2 + digits] = '\0';
  shPrint(text);
}

/* Prints `value` in decimal. */
static inline void shPrintDecimal(uint32_t value) {
  /* Digits by subtracting powers of ten: a Cortex-M0 has no divide instruction. */
  static const uint32_t powers[] = {1000000000u, 100000000u, 10000000u, 1000000u, 100000u,
                                    10000u,      1000u,      100u,      10u,      1u};
  char text[11];
  unsigned length = 0;
  unsigned p;
  for (p = 0; p < 10u; ++p) {
    char digit = '0';
    while (value >= powers[p]) {
      value -= powers[p];
      ++digit;
    }
    if (digit != '0' || length > 0 || p == 9u) text[length++] = digit;
  }
  text[length] = '\0';
  shPrint(text);
}

/* Opens the host's file `name` (`length` characters) for reading in binary; -1 if it cannot. */
static inline int32_t shOpen(const char *name, uint32_t length) {
  const uint32_t block[3] = {(uint32_t)(uintptr_t)name, 1u /* "rb" */, length};
  return (int32_t)semihost(SYS_OPEN, block);
}

/* Reads up to `count` bytes of the open file into `buffer`; returns how many it read. */
static inline uint32_t shRead(int32_t handle, unsigned char *buffer, uint32_t count) {
  const uint32_t block[3] = {(uint32_t)handle, (uint32_t)(uintptr_t)buffer, count};
  return count - semihost(SYS_READ, block);
}

static inline void shClose(int32_t handle) {
  const uint32_t block[1] = {(uint32_t)handle};
  (void)semihost(SYS_CLOSE, block);
}

/* Ends the program; the emulator exits with `code`. */
static inline __attribute__((noreturn)) void shExit(uint32_t code) {
  const uint32_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, code};
  (void)semihost(SYS_EXIT_EXTENDED, block);
  for (;;) {
  }
}

#endif
