/* The vector table of a program that starts from flash at 0, for the one source that defines
 * resetHandler: entry 0 is the initial stack pointer (stackTop, from the linker script), entry 1
 * the reset handler; NMI, HardFault and the configurable faults of a Cortex-M4 follow, so that a
 * fault prints FAULT_TEXT and ends the run with FAULT_STATUS instead of hanging. */
#ifndef VECTOR_TABLE_H
#define VECTOR_TABLE_H

#include <stdint.h>

#include "semihosting.h"

extern uint32_t stackTop;

typedef union {
  uint32_t *stack;
  void (*handler)(void);
} vectorEntry;

#define DEFINE_VECTOR_TABLE(FAULT_TEXT, FAULT_STATUS)                                                          \
  static void faultHandler(void) {                                                                            \
    shPrint(FAULT_TEXT);                                                                                      \
    shExit(FAULT_STATUS);                                                                                     \
  }                                                                                                           \
  __attribute__((section(".vectors"), used)) static const vectorEntry vectorTable[] = {                       \
      {.stack = &stackTop},      {.handler = resetHandler}, {.handler = faultHandler}, {.handler = faultHandler}, \
      {.handler = faultHandler}, {.handler = faultHandler}, {.handler = faultHandler},                          \
  };

#endif
