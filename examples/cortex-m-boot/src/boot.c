/* A boot loader, in one of three kinds:
 * - by default it checks the load image and the stamped settings block that stand at fixed
 *   places in flash, copies the application to its load address, checks the copy and starts
 *   it;
 * - built with RUN_IN_PLACE, it looks for an intact image in two flash slots in turn and starts
 *   the first one that was linked to run where it stands, without copying it;
 * - built with INSTALL_UPDATES, it first installs an image staged in the update slot into the
 *   primary slot, through the board's flash (boardFlash.c), says what it did, and then starts
 *   the primary image as the default kind starts its image; with ON_TRIAL as well, it installs
 *   on trial and reverts an image that did not confirm itself; with VERIFY_SIGNATURES instead,
 *   it installs only images signed by the demo key (include/demoKey.h, made by the build) and
 *   not older than the primary one, and starts the primary image only once its signature
 *   verifies.
 * It refuses anything damaged or misplaced, says why on the semihosting console, and stops
 * with status 2 (load image), 3 (settings block) or 5 (an install that could not finish).
 *
 * The places come from the build (see CMakeLists.txt): IMAGE_FLASH and IMAGE_REGION_SIZE,
 * SETTINGS_FLASH and SETTINGS_REGION_SIZE, the RAM window APP_RAM_START, APP_RAM_SIZE, the
 * in-place slots XIP_FLASH and XIP_SLOT_SIZE, and the update's PRIMARY_SLOT, UPDATE_SLOT,
 * SLOT_SIZE, STATUS_AREA and SCRATCH_SECTOR. */
#include <stdint.h>

#include "imageLoader.h"
#include "semihosting.h"
#include "vectorTable.h"
#ifdef INSTALL_UPDATES
#include "boardFlash.h"
#include "imageUpdate.h"
#endif
#ifdef VERIFY_SIGNATURES
#include "demoKey.h"
#include "imageVerify.h"
#endif

#define EXIT_IMAGE_REFUSED 2u
#define EXIT_SETTINGS_REFUSED 3u
#define EXIT_FAULT 4u
#define EXIT_INSTALL_INCOMPLETE 5u

static void printName(const unsigned char *name) {
  char text[LDR_IMAGE_NAME_SIZE + 1];
  unsigned i;
  for (i = 0; i < LDR_IMAGE_NAME_SIZE && name[i] != 0; ++i)
    text[i] = name[i] >= 0x20 && name[i] < 0x7F ? (char)name[i] : '?';
  text[i] = '\0';
  shPrint(text);
}

/* Prints why an image was refused, with the stored and computed checksums. */
static void printRefusal(const char *what, ldrStatus status, const ldrLoadImageInfo *image) {
  shPrint(what);
  shPrint(ldrStatusName(status));
  shPrint(", stored checksum ");
  shPrintHex(image->header.checksum, 8);
  shPrint(", computed ");
  shPrintHex(image->computedChecksum, 8);
  shPrint("\n");
}

/* Starts the application at `entry` (the Thumb bit is added); it runs on this stack and ends the
 * program itself. */
static void start(uint32_t entry) {
  ((void (*)(void))(uintptr_t)(entry | 1u))();
  shExit(EXIT_IMAGE_REFUSED);
}

#ifndef RUN_IN_PLACE

/* The load image at `imageFlash`, in a region of `regionSize`: checked, placed, copied, and the
 * copy checked. Returns the entry address. */
static uint32_t loadApplication(uint32_t imageFlash, uint32_t regionSize) {
  ldrLoadImageInfo image;
  ldrWordSum copied;
  const unsigned char *source;
  volatile unsigned char *target;
  uint32_t i;
  ldrStatus status = ldrCheckLoadImage((const unsigned char *)(uintptr_t)imageFlash, regionSize, &image);
  if (status == LDR_OK) status = ldrCheckPlacement(&image.header, APP_RAM_START, APP_RAM_SIZE);
  if (status != LDR_OK) {
    printRefusal("boot: load image refused: ", status, &image);
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
  /* The copy must hold every byte before anything jumps into it: its word-sum (the padding
   * counts as zeros, as the packer wrote it) is the stored checksum. */
  ldrWordSumStart(&copied);
  ldrWordSumUpdate(&copied, (const unsigned char *)(uintptr_t)image.header.loadAddress, image.header.imageSize);
  if (ldrWordSumFinish(&copied) != image.header.checksum) {
    shPrint("boot: the copy in RAM differs from the image\n");
    shExit(EXIT_IMAGE_REFUSED);
  }
  return image.header.execAddress;
}

#ifndef INSTALL_UPDATES

static void printTwoDigits(uint32_t value) {
  if (value < 10u) shPrint("0");
  shPrintDecimal(value);
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

#endif

#ifdef INSTALL_UPDATES

#ifdef VERIFY_SIGNATURES
static const ldrTrustedKey trustedKeys[] = {DEMO_DEVICE_PUBLIC_TRUSTED_KEY};
static const ldrTrust trust = LDR_TRUST(trustedKeys, 1);
#define TRUST (&trust)

/* The boot check: the primary image started only if its signature verifies. */
static void verifyPrimary(void) {
  uint32_t counter;
  const ldrStatus status = ldrVerifyImage(&trust, (const unsigned char *)PRIMARY_SLOT, SLOT_SIZE, &counter);
  if (status != LDR_OK) {
    shPrint("boot: primary image refused: ");
    shPrint(ldrStatusName(status));
    shPrint("\n");
    shExit(EXIT_IMAGE_REFUSED);
  }
  shPrint("boot: signature verified, security counter ");
  shPrintDecimal(counter);
  shPrint("\n");
}
#else
#define TRUST NULL
#endif

/* Installs what the application staged, if anything (on trial, with ON_TRIAL), then starts
 * the primary image. */
void resetHandler(void) {
  const ldrUpdateLayout layout = {boardFlash(), PRIMARY_SLOT,  UPDATE_SLOT,  SLOT_SIZE,
                                  STATUS_AREA,  APP_RAM_START, APP_RAM_SIZE, SCRATCH_SECTOR, TRUST,
                                  STATUS_SECTORS};
  ldrInstallOutcome outcome;
#ifdef ON_TRIAL
  const ldrStatus status = ldrInstallOnTrial(&layout, &outcome);
#else
  const ldrStatus status = ldrInstall(&layout, &outcome);
#endif
  if (outcome == LDR_NOTHING_STAGED) {
    shPrint("boot: no update staged\n");
  } else if (outcome == LDR_INSTALLED) {
    shPrint("boot: installed the staged image\n");
  } else if (outcome == LDR_ON_TRIAL) {
    shPrint("boot: installed the staged image on trial\n");
  } else if (outcome == LDR_REVERTED) {
    shPrint("boot: reverted the image on trial, which did not confirm itself\n");
  } else {
    shPrint(outcome == LDR_UPDATE_REFUSED ? "boot: staged image refused: " : "boot: install incomplete: ");
    shPrint(ldrStatusName(status));
    shPrint("\n");
    /* A real loader would reset and let the next install go on. */
    if (outcome == LDR_INSTALL_INCOMPLETE) shExit(EXIT_INSTALL_INCOMPLETE);
  }
#ifdef VERIFY_SIGNATURES
  verifyPrimary();
#endif
  start(loadApplication(PRIMARY_SLOT, SLOT_SIZE));
}

#else

void resetHandler(void) {
  const uint32_t entry = loadApplication(IMAGE_FLASH, IMAGE_REGION_SIZE);
  checkSettings();
  start(entry);
}

#endif

#else

/* The first slot that holds an intact image linked for the place it stands in: started there,
 * without a copy. A slot that does not is passed over with its reason. */
void resetHandler(void) {
  uint32_t slot;
  for (slot = 0; slot < 2u; ++slot) {
    ldrLoadImageInfo image;
    ldrStatus status =
        ldrCheckLoadImage((const unsigned char *)(XIP_FLASH + slot * XIP_SLOT_SIZE), XIP_SLOT_SIZE, &image);
    if (status == LDR_OK) status = ldrCheckInPlace(&image.header, (uint32_t)(uintptr_t)image.payload);
    if (status == LDR_OK) {
      shPrint("boot: slot ");
      shPrintDecimal(slot);
      shPrint(": \"");
      printName(image.header.imageName);
      shPrint("\" runs in place at ");
      shPrintHex(image.header.loadAddress, 8);
      shPrint("\n");
      start(image.header.execAddress);
    }
    shPrint(slot == 0u ? "boot: slot 0 refused: " : "boot: slot 1 refused: ");
    printRefusal("", status, &image);
  }
  shExit(EXIT_IMAGE_REFUSED);
}

#endif

DEFINE_VECTOR_TABLE("boot: fault\n", EXIT_FAULT)
