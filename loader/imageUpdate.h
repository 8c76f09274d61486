/*
 * Updates on the device: the application stages a new load image in an update slot, and the
 * boot loader installs it into the primary slot, the one that boots. No power cut, inside a
 * write or an erase included, leaves the device without an intact image, nor with one that is
 * not exactly the old or the new.
 *
 * Flash is reached only through the board's callbacks (ldrFlash), so that memory-mapped flash,
 * a flash controller and a serial part are alike. The update's state lives in a status area of
 * its own, outside both slots: whenever no swap is under way, both slots hold exactly the bytes
 * packLoadable wrote, readable by imageInfo and by any loader of the format.
 *
 * Wear: an update erases no sector more than twice when installed over the old image, three
 * times on trial and confirmed, four times on trial and reverted, staging included, where the
 * status area has the sectors LDR_STATUS_SECTORS gives (loader/README.md has the lifetimes).
 *
 * C99 and freestanding like the checks: no library call, no heap, no static state that changes.
 * Every buffer is the caller's record or on the stack: loader/README.md gives the stack of each
 * call, as CI measures it on a Cortex-M0 and M4.
 */
#ifndef IMAGE_UPDATE_H
#define IMAGE_UPDATE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "imageLoader.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The largest program unit the library drives: 32 bytes unless the build defines another power
 * of two up to 512 (-DLDR_MAX_PROGRAM_UNIT=512u for a part with 512-byte pages). It sizes
 * ldrStaging (three times it) and the stack of the calls that copy and append records (twice
 * it, at the most; loader/README.md gives the figures). */
#ifndef LDR_MAX_PROGRAM_UNIT
#define LDR_MAX_PROGRAM_UNIT 32u
#endif

/* The board's flash: three callbacks and the part's geometry. Each callback returns 0 on
 * success and anything else on failure, which the library hands back to its caller as a
 * status and never ignores, but for reads of the status area: a record that cannot be read
 * counts as a torn one, so an unreadable status area reads as nothing staged. Addresses are the board's own; the library adds offsets to the
 * addresses of the layout and never reads or writes outside it. */
typedef struct ldrFlash {
  /* Copies `count` bytes from `address` to `bytes`. A failure (an ECC fault on a unit torn by a
   * power cut, say) means the bytes are damaged: the slot that holds them is not intact. */
  int (*read)(const struct ldrFlash *flash, uint32_t address, unsigned char *bytes, size_t count);
  /* Sets the sector at `address` (a multiple of sectorSize) to the erased value. */
  int (*erase)(const struct ldrFlash *flash, uint32_t address);
  /* Programs `count` bytes at `address`, both whole program units, within one sector. */
  int (*program)(const struct ldrFlash *flash, uint32_t address, const unsigned char *bytes, size_t count);
  void *context;         /* the board's, for its callbacks */
  uint32_t sectorSize;   /* the erase unit: a power of two from 64 bytes to 16 MiB */
  uint32_t programUnit;  /* the program unit: a power of two up to LDR_MAX_PROGRAM_UNIT, and at most half a sector */
  uint8_t erasedValue;   /* 0xFF, or 0x00 as some flash has */
  bool programOnce;      /* a unit may be programmed only once between erases (flash with ECC) */
} ldrFlash;

/* Where the update's parts stand, and where the primary image runs. Both slots and the status
 * area are whole sectors and do not overlap. */
typedef struct {
  const ldrFlash *flash;
  uint32_t primarySlot; /* the slot that boots */
  uint32_t updateSlot;  /* the slot the application stages into */
  uint32_t slotSize;    /* of each slot: a whole number of sectors */
  uint32_t statusArea;  /* the sectors that hold the update's state: statusSectors of them */
  /* How the primary image runs: ramSize 0, in place in the primary slot (its loadAddress must
   * be the slot's address plus 44); otherwise copied into the RAM window [ramStart, ramStart +
   * ramSize), as ldrCheckPlacement checks. */
  uint32_t ramStart;
  uint32_t ramSize;
  /* Install on trial only: one sector, apart from the slots and the status area, that takes the
   * primary slot's last swapped sector while the slots swap (the rest move one sector up). */
  uint32_t scratchSector;
  /* Signed images only (imageVerify.h), or NULL to take any intact image as before. With keys,
   * staging's finish, ldrInstall and ldrInstallOnTrial refuse an image that is not signed by one
   * of them (LDR_NOT_SIGNED, LDR_UNTRUSTED_KEY, LDR_BAD_SIGNATURE, LDR_TRAILER_DAMAGED) or whose
   * security counter is below that of the signed image the primary slot holds (LDR_DOWNGRADE),
   * before a byte of the primary slot changes. */
  const struct ldrTrust *trust;
  /* The status area's sectors: 0 for two, as layouts made before this field have; else from 2
   * to 65535. The log of records goes round them, so that more sectors take fewer erases each:
   * LDR_STATUS_SECTORS gives how many hold the wear bounds above. */
  uint32_t statusSectors;
} ldrUpdateLayout;

/* Records of the status log a sector holds, for `programUnit` units: one 32-byte record, or one
 * unit where units are wider, in each slot. */
#define LDR_RECORDS_PER_SECTOR(sectorSize, programUnit) ((sectorSize) / ((programUnit) > 32u ? (programUnit) : 32u))
/* The status sectors that hold the wear bounds for slots of `slotSize` bytes, at compile time:
 * an update reverted appends at most 6n + 6 records for slots of n sectors (three a sector for
 * each swap, six besides), and no status sector may be erased more than four times by them. */
#define LDR_STATUS_SECTORS(slotSize, sectorSize, programUnit)                                    \
  LDR_AT_LEAST_TWO(LDR_STATUS_SECTORS_FOR((slotSize) / (sectorSize), LDR_RECORDS_PER_SECTOR(sectorSize, programUnit)))
/* For n slot sectors and r records a sector: 6n + 6 records over four rounds of the log. */
#define LDR_STATUS_SECTORS_FOR(n, r) ((6u * (n) + 6u + 4u * (r)-1u) / (4u * (r)))
#define LDR_AT_LEAST_TWO(count) ((count) < 2u ? 2u : (count))

/* Checks a layout: callbacks present, geometry in range, slots and status area aligned to
 * sectors, inside the 32-bit address space and apart, a status area of 0 or 2 to 65535 sectors,
 * and trust, if any, with at least one key.
 * LDR_OK; LDR_NULL_ARGUMENT where the layout, its flash, a callback, or trust's keys or
 * verification are missing; LDR_BAD_LAYOUT otherwise. */
ldrStatus ldrCheckUpdateLayout(const ldrUpdateLayout *layout);

/* Checks a layout for install on trial, as ldrInstallOnTrial does before anything else, so
 * that a boot loader can assert it at start-up: what ldrCheckUpdateLayout checks, and a
 * scratch sector that is one whole sector apart from both slots and the status area, and slots
 * of at most 2047 sectors. The same statuses. */
ldrStatus ldrCheckTrialLayout(const ldrUpdateLayout *layout);

/* ---- Staging, in the application ---- */

/* A staging under way, kept by the caller from ldrStageBegin to ldrStageFinish. The fields
 * are private; a zeroed one that was never begun gets LDR_STAGING_CLOSED. */
typedef struct {
  const ldrUpdateLayout *layout;
  ldrLoadHeader header;
  ldrWordSum sum;        /* over the payload bytes received */
  uint32_t received;     /* bytes of the stream taken so far */
  uint32_t expected;     /* the stream's length once the header is in, else 0 */
  uint32_t erasedEnd;    /* the slot is erased from 0 to here, in whole sectors */
  uint32_t pendingCount; /* bytes waiting in `pending` for a whole program unit */
  ldrStatus failure;     /* LDR_OK until a call fails; then every later call returns it */
  /* The header and the payload bytes that share its program units, programmed last. */
  unsigned char head[2u * LDR_MAX_PROGRAM_UNIT];
  unsigned char pending[LDR_MAX_PROGRAM_UNIT];
} ldrStaging;

/* Starts staging a load image in the update slot. An image staged before is made
 * uninstallable first, before any of its bytes change. Erases nothing yet. Refused with
 * LDR_NOT_CONFIRMED while an image runs on trial: the update slot holds the one a revert
 * brings back. */
ldrStatus ldrStageBegin(ldrStaging *staging, const ldrUpdateLayout *layout);

/* Takes the next `count` bytes of the image file, as packLoadable wrote it, in order; chunks
 * may be of any size. Refuses a first 44 bytes that are no load-image header (the header's
 * statuses), an image larger than the slot (LDR_IMAGE_TOO_LARGE) and bytes past its end
 * (LDR_STREAM_TOO_LONG). Every byte programmed is read back and compared. After a refusal or
 * a flash failure every later call returns that status. */
ldrStatus ldrStageWrite(ldrStaging *staging, const unsigned char *bytes, size_t count);

/* Ends the staging: refuses a stream shorter than its header says (LDR_STREAM_TOO_SHORT) and a
 * payload whose word-sum is not the header's checksum (LDR_BAD_CHECKSUM); otherwise programs
 * the header, reads it back and records the image as staged. Only then is it installable. */
ldrStatus ldrStageFinish(ldrStaging *staging);

/* ---- Install, in the boot loader ---- */

/* What an install did to the primary slot. */
typedef enum {
  LDR_NOTHING_STAGED,     /* no staged image waits: the primary slot is as it was */
  LDR_INSTALLED,          /* the primary slot holds the staged image, byte for byte */
  LDR_UPDATE_REFUSED,     /* the staged image is damaged or cannot run from the primary slot
                             (the status says why); the primary slot is as it was */
  LDR_INSTALL_INCOMPLETE, /* a flash callback failed while the primary slot was rewritten: do
                             not start it; the next install, after a reset, goes on */
  LDR_ON_TRIAL,           /* install on trial: the primary slot holds the staged image, to run
                             on trial; the old one waits in the update slot */
  LDR_REVERTED            /* install on trial: the image on trial was not confirmed, and the
                             primary slot holds the old image again */
} ldrInstallOutcome;

/* Installs a staged image, if one waits that the primary slot does not hold yet: called at
 * every boot before the primary image is checked and started. Checks the staged image (intact,
 * as recorded, and able to run from the primary slot), rewrites only the primary's sectors that
 * differ, each unit programmed once, compares every byte, then records the install. A power cut
 * at any point, any number of times, leaves an install that the next call finishes. Returns
 * LDR_OK, or why the image was refused or which callback failed; *outcome says what the
 * primary slot holds. */
ldrStatus ldrInstall(const ldrUpdateLayout *layout, ldrInstallOutcome *outcome);

/* ---- Install on trial, with revert ---- */

/* Installs a staged image on trial: the primary and update slots swap, sector by sector,
 * the primary's first moved one sector up (its last into the scratch sector), so that each
 * sector of either slot is erased once a swap and the old image waits in the update slot; the boot that
 * finishes the swap starts the new image on trial (LDR_ON_TRIAL). If the next boot finds it
 * still on trial, unconfirmed (it crashed, a watchdog fired, the power failed), the slots swap
 * back and the old image starts (LDR_REVERTED); the refused image is not tried again unless it
 * is staged anew. Called at every boot instead of ldrInstall, with the same outcomes besides;
 * a power cut at any point, any number of times, leaves a swap the next call finishes. Where
 * the primary slot held no intact image, there is nothing to revert to, and the new one is
 * confirmed at once (LDR_INSTALLED). */
ldrStatus ldrInstallOnTrial(const ldrUpdateLayout *layout, ldrInstallOutcome *outcome);

/* The update's state, as the running application reads it. */
typedef enum {
  LDR_STATE_NONE,      /* nothing staged, nothing on trial */
  LDR_STATE_STAGED,    /* an image is staged, to install at the next boot */
  LDR_STATE_INSTALLED, /* the image staged last was installed for good (ldrInstall) */
  LDR_STATE_REFUSED,   /* the image staged last was refused */
  LDR_STATE_ON_TRIAL,  /* the running image is on trial: confirm it, or the next boot reverts it */
  LDR_STATE_CONFIRMED, /* the running image was installed on trial and confirmed */
  LDR_STATE_REVERTED,  /* the image installed on trial was not confirmed: the old one runs again */
  LDR_STATE_SWAPPING   /* a swap is under way (only a boot loader sees this) */
} ldrUpdateState;

/* Reads the update's state from the status area. */
ldrStatus ldrReadUpdateState(const ldrUpdateLayout *layout, ldrUpdateState *state);

/* Makes the image on trial permanent: after this returns LDR_OK no reset brings the old one
 * back. LDR_OK too if it is confirmed already; LDR_NOT_ON_TRIAL if no image is on trial. */
ldrStatus ldrConfirm(const ldrUpdateLayout *layout);

#ifdef __cplusplus
}
#endif

#endif /* IMAGE_UPDATE_H */
