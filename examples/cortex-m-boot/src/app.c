/* The application the boot loader starts: linked to run from RAM at its load address, it
 * prints one line and ends the program with status 0. Its entry is its first byte. */
#include <stdint.h>

#include "semihosting.h"

extern const unsigned char appStart[];

__attribute__((section(".entry"), noreturn)) void appEntry(void) {
  shPrint("app: running from RAM at ");
  shPrintHex((uint32_t)(uintptr_t)appStart, 8);
  shPrint("\n");
  shExit(0);
}
