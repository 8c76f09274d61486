/* A boot loader: checks the load image and the stamped settings block that stand at fixed
 * places in flash, copies the application to its load address and starts it. It refuses
 * anything damaged or misplaced, says why on the semihosting console, and stops with
 * status 2 (load image) or 3 (settings block).
 *
 * The places come from the build (see CMakeLists.txt): IMAGE_FLASH and IMAGE_REGION_SIZE,
 * SETTINGS_FLASH and SETTINGS_REGION_SIZE, and the RAM window APP_RAM_START, APP_RAM_SIZE. */
#include <stdint.h>

#include "imageLoader.h"
#include "semihosting.h"

#define EXIT_IMAGE_REFUSED 2u
#define EXIT_SETTINGS_REFUSED 3u
#define EXIT_FAULT 4u

extern uint32_t stackTop;

static void printName(const unsigned char *name) {
  char text[LDR_IMAGE_NAME_SIZE + 1];
  unsigned i;
  for (i = 0; i < LDR_IMAGE_NAME_SIZE && name[i] != 0; ++i)
    text[i] = name[i] >= 0x20 && name[i] < 0x7F ? (char)name[i] : '?';
  text[i] = '\0';
  shPrint(text);
}

static void printTwoDigits(uint32_t value) {
  if (value < 10u) shPrint("0");
  shPrintDecimal(value);
}

/* The load image: checked, placed, copied. Returns the entry address with the Thumb bit set. */
static uint32_t loadApplication(void) {
  ldrLoadImageInfo image;
  const unsigned char *source;
  volatile unsigned char *target;
  uint32_t i;
  ldrStatus status = ldrCheckLoadImage((const unsigned char *)IMAGE_FLASH, IMAGE_REGION_SIZE, &image);
  if (status == LDR_OK) status = ldrCheckPlacement(&image.header, APP_RAM_START, APP_RAM_SIZE);
  if (status != LDR_OK) {
    shPrint("boot: load image refused: ");
    shPrint(ldrStatusName(status));
    shPrint(", stored checksum ");
    shPrintHex(image.header.checksum, 8);
    shPrint(", computed ");
    shPrintHex(image.computedChecksum, 8);
    shPrint("\n");
    shExit(EXIT_IMAGE_REFUSED);
  }
  shPrint("boot: load image \"");
  printName(image.header.imageName);
  shPrint("\", ");
  shPrintDecimal(image.header.imageSize);
  shPrint(" bytes to ");
  shPrintHex(image.header.loadAddress, 8);
  shPrint(", checksum ");
  shPrintHex(image.computedChecksum, 8);
  shPrint(" ok\n");

  /* Byte by byte: neither end need be word-aligned. Volatile, so that no compiler turns the
   * loop into a call to a memcpy this program does not have. */
  source = image.payload;
  target = (volatile unsigned char *)(uintptr_t)image.header.loadAddress;
  for (i = 0; i < image.header.imageSize; ++i) target[i] = source[i];
  return image.header.execAddress | 1u;
}

/* The settings block: checked, and its identifier and packing date shown. */
static void checkSettings(void) {
  ldrStampedImageInfo settings;
  const ldrStatus status = ldrCheckStampedImage((const unsigned char *)SETTINGS_FLASH, SETTINGS_REGION_SIZE, &settings);
  if (status != LDR_OK) {
    shPrint("boot: settings refused: ");
    shPrint(ldrStatusName(status));
    shPrint(", stored crc-8 ");
    shPrintHex(settings.header.crc8, 2);
    shPrint(", computed ");
    shPrintHex(settings.computedCrc8, 2);
    shPrint("\n");
    shExit(EXIT_SETTINGS_REFUSED);
  }
  shPrint("boot: settings id ");
  shPrintHex(settings.header.imageId, 8);
  shPrint(", ");
  shPrintDecimal(settings.header.dataLength);
  shPrint(" bytes, packed ");
  shPrintDecimal(settings.header.year);
  shPrint("-");
  printTwoDigits(settings.header.month);
  shPrint("-");
  printTwoDigits(settings.header.day);
  shPrint(" ok\n");
}

void resetHandler(void) {
  const uint32_t entry = loadApplication();
  checkSettings();
  /* The application runs on this stack and ends the program itself. */
  ((void (*)(void))(uintptr_t)entry)();
  shExit(EXIT_IMAGE_REFUSED);
}

static void faultHandler(void) {
  shPrint("boot: fault\n");
  shExit(EXIT_FAULT);
}

/* Entry 0 is the initial stack pointer, entry 1 the reset handler; NMI, HardFault and the
 * configurable faults of a Cortex-M4 follow, so that a fault ends the run instead of hanging. */
typedef union {
  uint32_t *stack;
  void (*handler)(void);
} vectorEntry;

__attribute__((section(".vectors"), used)) static const vectorEntry vectorTable[] = {
    {.stack = &stackTop},      {.handler = resetHandler}, {.handler = faultHandler}, {.handler = faultHandler},
    {.handler = faultHandler}, {.handler = faultHandler}, {.handler = faultHandler},
};
