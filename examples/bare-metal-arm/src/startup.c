// Start-up for a Cortex-M: the vector table the core reads at reset, and the reset handler,
// which sets up RAM the way C expects it and calls main.

#include <stdint.h>

extern uint32_t dataStart, dataEnd, dataLoad, bssStart, bssEnd, stackTop;
int main(void);

void resetHandler(void) {
  // Initialised variables get their first values from flash; the rest of RAM's variables are zero.
  const uint32_t* from = &dataLoad;
  for (uint32_t* to = &dataStart; to < &dataEnd;) *to++ = *from++;
  for (uint32_t* to = &bssStart; to < &bssEnd;) *to++ = 0;
  main();
  for (;;) {
  }
}

static void haltHandler(void) {
  for (;;) {
  }
}

// Entry 0 is the initial stack pointer, entry 1 the reset handler; the core needs no more to
// start, and the faults after them stop here rather than run off into flash.
__attribute__((section(".vectors"), used)) static const void* const vectorTable[] = {
    &stackTop,   resetHandler, haltHandler, haltHandler, haltHandler, haltHandler, haltHandler,
};
