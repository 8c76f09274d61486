/* The application the boot loader starts: linked to run from RAM at its load address, or with
 * APP_IN_PLACE from flash where its image stands, it prints one line and ends the program with
 * status 0. Its entry is its first byte. With APP_VERSION it says its version in that line;
 * with APP_STAGES it then receives a new image, the host's file update.img over semihosting,
 * stages it in the update slot through the target library and resets into the boot loader,
 * as an application that took an update over a UART or BLE would (unless the update it staged
 * was reverted: then it says so). With APP_ON_TRIAL, an image installed on trial: when it runs
 * on trial it confirms itself (APP_ON_TRIAL=1) or not (0, as one that crashes) and resets;
 * once confirmed it says it stays. */
#include <stdint.h>

#include "semihosting.h"
#if defined(APP_STAGES) || defined(APP_ON_TRIAL)
#include "boardFlash.h"
#include "imageUpdate.h"

/* The boot loader's vector table, at 0 where the core takes it at reset (app.ld). */
extern const uint32_t bootVectors[];

/* Starts the boot loader again as a reset does, through its reset vector with its initial
 * stack pointer. Not a system reset: at one, qemu writes the images it was given into flash
 * again, and the update would be lost. */
static __attribute__((noreturn)) void resetIntoLoader(void) {
  __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(bootVectors[0]), "r"(bootVectors[1]) : "memory");
  for (;;) {
  }
}

/* The update's layout, as the boot loader has it. */
static ldrUpdateLayout updateLayout(void) {
  const ldrUpdateLayout layout = {boardFlash(),  PRIMARY_SLOT,  UPDATE_SLOT,  SLOT_SIZE,
                                  STATUS_AREA,   APP_RAM_START, APP_RAM_SIZE, SCRATCH_SECTOR, NULL,
                                  STATUS_SECTORS};
  return layout;
}
#endif

extern const unsigned char appStart[];

#ifdef APP_STAGES
/* Stages update.img through a 256-byte buffer, says how it went, and resets if it went well. */
static void stageUpdate(void) {
  const ldrUpdateLayout layout = updateLayout();
  unsigned char buffer[256];
  ldrStaging staging;
  uint32_t total = 0;
  uint32_t n;
  ldrStatus status;
  ldrUpdateState state;
  int32_t file;
  if (ldrReadUpdateState(&layout, &state) == LDR_OK && state == LDR_STATE_REVERTED) {
    shPrint("app: the update was reverted\n");
    shExit(0);
  }
  file = shOpen("update.img", 10u);
  if (file < 0) {
    shPrint("app: cannot open update.img\n");
    shExit(6);
  }
  status = ldrStageBegin(&staging, &layout);
  while (status == LDR_OK && (n = shRead(file, buffer, sizeof buffer)) > 0u) {
    status = ldrStageWrite(&staging, buffer, n);
    total += n;
  }
  if (status == LDR_OK) status = ldrStageFinish(&staging);
  shClose(file);
  if (status != LDR_OK) {
    shPrint("app: staging refused: ");
    shPrint(ldrStatusName(status));
    shPrint("\n");
    shExit(6);
  }
  shPrint("app: staged ");
  shPrintDecimal(total);
  shPrint(" bytes of update.img, resetting\n");
  resetIntoLoader();
}
#endif

#ifdef APP_ON_TRIAL
/* On trial: confirms itself or not, and resets; confirmed: says it stays. */
static void onTrial(void) {
  const ldrUpdateLayout layout = updateLayout();
  ldrUpdateState state;
  if (ldrReadUpdateState(&layout, &state) != LDR_OK) shExit(7);
  if (state == LDR_STATE_CONFIRMED) {
    shPrint("app: confirmed, staying\n");
    return;
  }
  if (state != LDR_STATE_ON_TRIAL) return;
#if APP_ON_TRIAL
  if (ldrConfirm(&layout) != LDR_OK) shExit(7);
  shPrint("app: on trial, confirmed myself, resetting\n");
#else
  shPrint("app: on trial, not confirming, resetting\n");
#endif
  resetIntoLoader();
}
#endif

__attribute__((section(".entry"), noreturn)) void appEntry(void) {
#if defined(APP_VERSION)
  shPrint("app: version ");
  shPrintDecimal(APP_VERSION);
  shPrint(" running from RAM at ");
#elif defined(APP_IN_PLACE)
  shPrint("app: running in place at ");
#else
  shPrint("app: running from RAM at ");
#endif
  shPrintHex((uint32_t)(uintptr_t)appStart, 8);
  shPrint("\n");
#ifdef APP_STAGES
  stageUpdate();
#endif
#ifdef APP_ON_TRIAL
  onTrial();
#endif
  shExit(0);
}

/* The image's last word, every byte of it non-zero: a copy that stops short of the end differs
 * from the image even in RAM that starts zeroed, so the boot loader's check of the copy sees it. */
__attribute__((section(".lastWord"), used)) static const uint32_t lastWord = 0x5AA5C33Cu;
