/* The board's flash, for staging and install: on the micro:bit (BOARD_NRF51) the nRF51's
 * flash through its controller (NVMC): 1 KiB pages, written a 32-bit word at a time; on the
 * MPS2 boards, whose "flash" is RAM, a driver that keeps flash's rules itself: 1 KiB sectors,
 * 8-byte units, erased 0xFF, and one program per unit between erases, as on a part with ECC.
 * Both refuse what their flash would not do. */
#ifndef BOARD_FLASH_H
#define BOARD_FLASH_H

#include "imageUpdate.h"

/* The flash callbacks and geometry of this board. */
const ldrFlash *boardFlash(void);

/* The erase unit of both boards' flash as driven here. */
#define BOARD_SECTOR 0x400u

/* The status area's sectors that hold the library's wear bounds for these slots (two, for 16
 * KiB slots); either board's unit, 4 or 8 bytes, takes a 32-byte record a slot. */
#define STATUS_SECTORS LDR_STATUS_SECTORS(SLOT_SIZE, BOARD_SECTOR, 8u)

#endif
