/* The application the boot loader starts: linked to run from RAM at its load address, or with
 * APP_IN_PLACE from flash where its image stands, it prints one line and ends the program with
 * status 0. Its entry is its first byte. */
#include <stdint.h>

#include "semihosting.h"

extern const unsigned char appStart[];

__attribute__((section(".entry"), noreturn)) void appEntry(void) {
#ifdef APP_IN_PLACE
  shPrint("app: running in place at ");
#else
  shPrint("app: running from RAM at ");
#endif
  shPrintHex((uint32_t)(uintptr_t)appStart, 8);
  shPrint("\n");
  shExit(0);
}

/* The image's last word, every byte of it non-zero: a copy that stops short of the end differs
 * from the image even in RAM that starts zeroed, so the boot loader's check of the copy sees it. */
__attribute__((section(".lastWord"), used)) static const uint32_t lastWord = 0x5AA5C33Cu;
