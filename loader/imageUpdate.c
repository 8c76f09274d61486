/* Staging and installing load images through the board's flash callbacks; see imageUpdate.h
 * for the contract of each call.
 *
 * What is written where, and in what order:
 * - The status area is a log of 32-byte records, appended one after another in one of its
 *   sectors, each in a slot of its own: 32 bytes, or one program unit where units are wider.
 *   Each record is four little-endian words (a tag with the record's kind, a sequence number,
 *   the image's checksum and size) followed by their four complements. A torn program or erase
 *   moves bits one way only, so it can never leave a word and its complement that still agree:
 *   a torn record is recognised as such and never read as another. The newest whole record
 *   (the highest sequence number) is the state. When a sector is full, the next one round the
 *   area, which holds only older records, is erased and the log goes on there: each sector is
 *   erased once for every round of the log.
 * - Staging first records "idle" if an image was staged (so that nothing in the update slot is
 *   installable while it changes), then erases the slot's sectors as the stream reaches them and
 *   programs the payload, each program read back; at the end it erases the rest of the slot as
 *   far as the primary's image reaches, so that a swap reads no unit an older staging tore. The
 *   header's program units come last: under the ECC rule the unit that holds the magic number is
 *   the very last, and without it every header unit is first programmed with the magic left
 *   erased and then once more with it, so that a cut inside the header leaves a magic number
 *   that is not whole. Then "staged".
 * - Install acts on "staged" only: it checks the update slot against the record, then rewrites
 *   the primary slot sector by sector where it differs, compares every byte, and records
 *   "installed". The update slot is not written while it is staged, so a cut anywhere leaves a
 *   primary slot that the next install finishes from the same bytes.
 * - Install on trial swaps the slots instead: "swap in" first, then one record per finished step,
 *   then "on trial". A swap of n sectors first moves the primary's sectors one up, the last into
 *   the scratch sector, from the last down; then per sector, the update's to the primary's and
 *   the primary's old one, moved up, to the update's: each sector of the slots and the scratch
 *   sector is erased once (the primary's twice, but its first), where a swap through a scratch
 *   sector would erase that one n times. The next boot that finds "on
 *   trial" records "swap back" and swaps the same way, then "reverted"; a confirm records
 *   "confirmed". Staging is refused from "swap in" to the end of the trial, so the old image in
 *   the update slot stays whole for as long as a revert may need it. */
#include "imageUpdate.h"

#include "imageVerify.h" /* the trust's fields only: its verification is reached through a pointer */

#define LDR_RECORD_SIZE 32u
/* "LDU" in the top three bytes; the kind in the low one. */
#define LDR_RECORD_TAG 0x4C445500u

/* Bytes read and compared through the stack at a time. */
#define LDR_PIECE 32u
/* The header's program units: 64 bytes, or one unit where units are wider. */
#define LDR_HEAD_BYTES (LDR_MAX_PROGRAM_UNIT > 64u ? LDR_MAX_PROGRAM_UNIT : 64u)
/* Bytes copied through the stack at a time: a whole number of any program unit the build takes. */
#define LDR_COPY_PIECE (LDR_MAX_PROGRAM_UNIT > LDR_PIECE ? LDR_MAX_PROGRAM_UNIT : LDR_PIECE)

/* The largest program unit is a power of two from 32 to 512 bytes. */
typedef char ldrMaxProgramUnitIsAPowerOfTwoFrom32To512
    [(LDR_MAX_PROGRAM_UNIT & (LDR_MAX_PROGRAM_UNIT - 1u)) == 0u && LDR_MAX_PROGRAM_UNIT >= 32u &&
             LDR_MAX_PROGRAM_UNIT <= 512u
         ? 1
         : -1];

/* The kinds of record. A swap record's size word holds the swap's progress (see swapSlots). */
enum {
  RECORD_IDLE = 1,
  RECORD_STAGED = 2,
  RECORD_INSTALLED = 3,
  RECORD_REFUSED = 4,
  RECORD_SWAP_IN = 5,   /* install on trial under way */
  RECORD_SWAP_BACK = 6, /* revert under way */
  RECORD_ON_TRIAL = 7,
  RECORD_CONFIRMED = 8,
  RECORD_REVERTED = 9
};

/* The state each kind of record says, by kind: a table rather than a switch, for the reason
 * ldrStatusName gives. */
static const uint8_t stateOfRecord[] = {
    LDR_STATE_NONE,     LDR_STATE_NONE /* idle */, LDR_STATE_STAGED,   LDR_STATE_INSTALLED, LDR_STATE_REFUSED,
    LDR_STATE_SWAPPING, LDR_STATE_SWAPPING,        LDR_STATE_ON_TRIAL, LDR_STATE_CONFIRMED, LDR_STATE_REVERTED};

/* A swap record's progress word: bit 31, no revert possible (the primary slot held no intact
 * image); bits 20-30, the sectors to swap; bits 0-19, the next of its 3n steps (see swapSlots). */
#define LDR_SWAP_NO_REVERT 0x80000000u
#define LDR_SWAP_SECTORS(progress) (((progress) >> 20) & 0x7FFu)
#define LDR_SWAP_STEP(progress) ((progress)&0xFFFFFu)
#define LDR_SWAP_MAX_SECTORS 0x7FFu

/* Tests only: how many sectors a revert leaves out, the fault the power-cut campaign must
 * catch (the planted build sets 1). */
#ifndef LDR_TEST_REVERT_SHORTFALL
#define LDR_TEST_REVERT_SHORTFALL 0u
#endif

/* One record of the status log. */
typedef struct {
  uint32_t kind;
  uint32_t sequence;
  uint32_t checksum;
  uint32_t imageSize;
} ldrRecord;

/* Where the status log stands: what a scan found, kept up to date by each record appended. */
typedef struct {
  bool found;       /* a whole record exists */
  ldrRecord latest; /* the newest whole record, if found */
  uint32_t sector;  /* the status sector that holds it (the first, if none) */
  uint32_t next;    /* the offset in that sector of the slot after the last one that is not erased */
} ldrLogScan;

static uint32_t getLittle32(const unsigned char *bytes) {
  return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static void putLittle32(unsigned char *bytes, uint32_t value) {
  bytes[0] = (unsigned char)value;
  bytes[1] = (unsigned char)(value >> 8);
  bytes[2] = (unsigned char)(value >> 16);
  bytes[3] = (unsigned char)(value >> 24);
}

/* `value` rounded up to a multiple of `unit`, a power of two; no layout lets it wrap. */
static uint32_t roundUp(uint32_t value, uint32_t unit) { return (value + unit - 1u) & ~(unit - 1u); }

static bool isPowerOfTwo(uint32_t value) { return value != 0u && (value & (value - 1u)) == 0u; }

/* The status log's slot for one record: the record, in whole program units (the rest of a wider
 * unit left erased). */
static uint32_t recordSlot(const ldrFlash *flash) {
  return flash->programUnit > LDR_RECORD_SIZE ? flash->programUnit : LDR_RECORD_SIZE;
}

static ldrStatus flashRead(const ldrFlash *flash, uint32_t address, unsigned char *bytes, size_t count) {
  return flash->read(flash, address, bytes, count) == 0 ? LDR_OK : LDR_FLASH_READ_FAILED;
}

static ldrStatus flashErase(const ldrFlash *flash, uint32_t address) {
  return flash->erase(flash, address) == 0 ? LDR_OK : LDR_FLASH_ERASE_FAILED;
}

/* Programs `count` bytes (whole units, within one sector) and reads them back. */
static ldrStatus programVerified(const ldrFlash *flash, uint32_t address, const unsigned char *bytes, uint32_t count) {
  unsigned char back[LDR_PIECE];
  uint32_t done;
  if (flash->program(flash, address, bytes, count) != 0) return LDR_FLASH_PROGRAM_FAILED;
  for (done = 0; done < count;) {
    const uint32_t n = count - done < LDR_PIECE ? count - done : LDR_PIECE;
    uint32_t i;
    if (flashRead(flash, address + done, back, n) != LDR_OK) return LDR_FLASH_READ_FAILED;
    for (i = 0; i < n; ++i)
      if (back[i] != bytes[done + i]) return LDR_FLASH_VERIFY_FAILED;
    done += n;
  }
  return LDR_OK;
}

/* Whether [start, start + size) lies in the 32-bit address space (it may end at 2^32), aligned
 * to `sector`. */
static LDR_NOINLINE bool sectorRegion(uint32_t start, uint32_t size, uint32_t sector) {
  return size != 0u && ((start | size) & (sector - 1u)) == 0u && size - 1u <= ~start;
}

/* Whether two regions that each pass sectorRegion share no byte. */
static LDR_NOINLINE bool apart(uint32_t a, uint32_t aSize, uint32_t b, uint32_t bSize) {
  return b >= a ? b - a >= aSize : a - b >= bSize;
}

/* The status area's sectors. */
static uint32_t statusSectors(const ldrUpdateLayout *layout) {
  return layout->statusSectors == 0u ? 2u : layout->statusSectors;
}

/* The bytes of `count` sectors of `sector` bytes (a power of two), or 0 where they pass 2^32:
 * by shifts, for the reason scanLog gives. */
static uint32_t sectorsSize(uint32_t count, uint32_t sector) {
  for (; sector > 1u; sector >>= 1) {
    if (count > 0x7FFFFFFFu) return 0;
    count <<= 1;
  }
  return count;
}

ldrStatus ldrCheckUpdateLayout(const ldrUpdateLayout *layout) {
  const ldrFlash *flash;
  uint32_t sector;
  uint32_t statusSize;
  if (layout == NULL || layout->flash == NULL) return LDR_NULL_ARGUMENT;
  flash = layout->flash;
  if (flash->read == NULL || flash->erase == NULL || flash->program == NULL) return LDR_NULL_ARGUMENT;
  sector = flash->sectorSize;
  /* Sectors up to 16 MiB: no sum of two of them, nor a record's offset, can wrap. */
  if (layout->trust != NULL) {
    if (layout->trust->keys == NULL || layout->trust->verifySlot == NULL) return LDR_NULL_ARGUMENT;
    if (layout->trust->keyCount == 0u) return LDR_BAD_LAYOUT; /* a device that would refuse every image */
  }
  if (!isPowerOfTwo(flash->programUnit) || flash->programUnit > LDR_MAX_PROGRAM_UNIT || !isPowerOfTwo(sector) ||
      sector < 2u * recordSlot(flash) || sector > 0x1000000u || (flash->erasedValue != 0x00u && flash->erasedValue != 0xFFu))
    return LDR_BAD_LAYOUT;
  if (layout->statusSectors == 1u || layout->statusSectors > 0xFFFFu) return LDR_BAD_LAYOUT;
  statusSize = sectorsSize(statusSectors(layout), sector);
  if (!sectorRegion(layout->primarySlot, layout->slotSize, sector) ||
      !sectorRegion(layout->updateSlot, layout->slotSize, sector) ||
      !sectorRegion(layout->statusArea, statusSize, sector) ||
      !apart(layout->primarySlot, layout->slotSize, layout->updateSlot, layout->slotSize) ||
      !apart(layout->primarySlot, layout->slotSize, layout->statusArea, statusSize) ||
      !apart(layout->updateSlot, layout->slotSize, layout->statusArea, statusSize))
    return LDR_BAD_LAYOUT;
  return LDR_OK;
}

/* ---- The status log ---- */

/* Reads the record slot at `address`: *erased when every byte is the erased value, else *record
 * and whether it is whole. A slot that cannot be read is neither erased nor whole. */
static bool readRecord(const ldrFlash *flash, uint32_t address, ldrRecord *record, bool *erased) {
  unsigned char bytes[LDR_RECORD_SIZE];
  uint32_t words[8];
  unsigned i;
  *erased = false;
  if (flashRead(flash, address, bytes, LDR_RECORD_SIZE) != LDR_OK) return false;
  *erased = true;
  for (i = 0; i < LDR_RECORD_SIZE; ++i)
    if (bytes[i] != flash->erasedValue) *erased = false;
  if (*erased) return false;
  for (i = 0; i < 8u; ++i) words[i] = getLittle32(bytes + 4u * i);
  for (i = 0; i < 4u; ++i)
    if (words[i] != ~words[4u + i]) return false;
  if ((words[0] & 0xFFFFFF00u) != LDR_RECORD_TAG) return false;
  record->kind = words[0] & 0xFFu;
  record->sequence = words[1];
  record->checksum = words[2];
  record->imageSize = words[3];
  return true;
}

/* Reads the whole log into *scan. */
static void scanLog(const ldrUpdateLayout *layout, ldrLogScan *scan) {
  const ldrFlash *flash = layout->flash;
  const uint32_t stride = recordSlot(flash);
  const uint32_t sectors = statusSectors(layout);
  uint32_t address = layout->statusArea;
  uint32_t sector;
  scan->found = false;
  scan->sector = scan->next = 0;
  scan->latest.kind = scan->latest.sequence = scan->latest.checksum = scan->latest.imageSize = 0;
  for (sector = 0; sector < sectors; ++sector, address += flash->sectorSize) {
    uint32_t next = 0;
    uint32_t slot;
    bool newest = sector == 0u; /* where the log starts while it holds no record */
    /* By offsets, not by a count of slots: a division, which a Cortex-M0 has no instruction for. */
    for (slot = 0; slot < flash->sectorSize; slot += stride) {
      ldrRecord record;
      bool erased;
      const bool whole = readRecord(flash, address + slot, &record, &erased);
      if (!erased) next = slot + stride;
      if (whole && (!scan->found || record.sequence > scan->latest.sequence)) {
        scan->found = newest = true;
        scan->latest = record;
      }
    }
    if (newest) {
      scan->sector = sector;
      scan->next = next;
    }
  }
}

/* Appends a record of `kind` after the newest one *scan has, in its sector or, when that is
 * full, at the start of the next one round the area, erased first; then *scan says where the
 * log stands. A slot whose program is refused (one a cut tore before any bit moved reads as
 * erased, yet under the ECC rule takes no second program) is passed over for the next; a
 * program that was accepted but reads back wrong is a failure. */
static ldrStatus appendRecord(const ldrUpdateLayout *layout, ldrLogScan *scan, uint32_t kind, uint32_t checksum,
                              uint32_t imageSize) {
  const ldrFlash *flash = layout->flash;
  const uint32_t stride = recordSlot(flash);
  unsigned char bytes[LDR_MAX_PROGRAM_UNIT]; /* the record, then erased bytes to the unit's end */
  uint32_t words[4];
  uint32_t slot;
  unsigned i;
  ldrStatus status = LDR_FLASH_PROGRAM_FAILED;
  words[0] = LDR_RECORD_TAG | kind;
  words[1] = scan->found ? scan->latest.sequence + 1u : 1u;
  words[2] = checksum;
  words[3] = imageSize;
  for (i = 0; i < 4u; ++i) {
    putLittle32(bytes + 4u * i, words[i]);
    putLittle32(bytes + 16u + 4u * i, ~words[i]);
  }
  for (i = LDR_RECORD_SIZE; i < stride; ++i) bytes[i] = flash->erasedValue;
  /* Two tries at most in one sector: the slot after the last written, and the one after it. */
  for (slot = scan->next; slot < scan->next + 2u * stride && slot < flash->sectorSize && status == LDR_FLASH_PROGRAM_FAILED;
       slot += stride)
    status = programVerified(flash, layout->statusArea + scan->sector * flash->sectorSize + slot, bytes, stride);
  if (status == LDR_FLASH_PROGRAM_FAILED) {
    /* Full, or refused twice: the next sector holds only older records. */
    scan->sector = scan->sector + 1u == statusSectors(layout) ? 0u : scan->sector + 1u;
    const uint32_t address = layout->statusArea + scan->sector * flash->sectorSize;
    status = flashErase(flash, address);
    if (status == LDR_OK) status = programVerified(flash, address, bytes, stride);
    slot = stride;
  }
  if (status != LDR_OK) return status;
  scan->found = true;
  scan->next = slot;
  scan->latest.kind = kind;
  scan->latest.sequence = words[1];
  scan->latest.checksum = checksum;
  scan->latest.imageSize = imageSize;
  return LDR_OK;
}

/* ---- Signed images ---- */

/* The bytes an image of `length` (header and padded payload) spans in its slot: with the room
 * for a trailer after it where the slot has that room. Copies and swaps move these, so that a
 * trailer goes with its image and an unsigned image is followed by what followed it staged:
 * erased flash. */
static uint32_t withTrailerRoom(const ldrUpdateLayout *layout, uint32_t length) {
  return layout->slotSize - length < LDR_TRAILER_SIZE ? layout->slotSize : length + LDR_TRAILER_SIZE;
}

/* Where the image in the slot at `slot` ends, with its trailer's room, in whole units: an
 * offset into the slot; 0 if no image header that fits the slot is there. */
static uint32_t imageExtent(const ldrUpdateLayout *layout, uint32_t slot) {
  unsigned char bytes[LDR_LOAD_HEADER_SIZE];
  ldrLoadHeader header;
  size_t payloadBytes;
  if (flashRead(layout->flash, slot, bytes, LDR_LOAD_HEADER_SIZE) != LDR_OK ||
      ldrReadLoadHeader(bytes, LDR_LOAD_HEADER_SIZE, &header) != LDR_OK ||
      ldrLoadImageExtent(&header, layout->slotSize, &payloadBytes) != LDR_OK)
    return 0;
  return roundUp(withTrailerRoom(layout, LDR_LOAD_HEADER_SIZE + (uint32_t)payloadBytes), layout->flash->programUnit);
}

/* With trust configured: whether the image in the update slot is signed by a trusted key, and
 * its security counter at least that of the primary's image, where that one verifies. A primary
 * that does not (none yet, unsigned, or cut part way through its install, a torn unit that
 * cannot be read included) sets no floor: the image staged then is the one that was checked
 * against it before the install began, and nothing else can be staged until one runs. */
static ldrStatus checkTrust(const ldrUpdateLayout *layout) {
  const ldrTrust *trust = layout->trust;
  uint32_t counter;
  uint32_t floor;
  ldrStatus status;
  if (trust == NULL) return LDR_OK;
  status = trust->verifySlot(trust, layout->flash, layout->updateSlot, layout->slotSize, &counter);
  if (status != LDR_OK) return status;
  status = trust->verifySlot(trust, layout->flash, layout->primarySlot, layout->slotSize, &floor);
  return status == LDR_OK && counter < floor ? LDR_DOWNGRADE : LDR_OK;
}

/* ---- Staging ---- */

/* Erases the update slot's sectors up to `end` (an offset into the slot) that are not yet. */
static ldrStatus eraseUpTo(ldrStaging *staging, uint32_t end) {
  const ldrFlash *flash = staging->layout->flash;
  for (; staging->erasedEnd < end; staging->erasedEnd += flash->sectorSize) {
    const ldrStatus status = flashErase(flash, staging->layout->updateSlot + staging->erasedEnd);
    if (status != LDR_OK) return status;
  }
  return LDR_OK;
}

/* Programs `count` bytes (whole units) at `offset` into the update slot, erasing first where
 * needed and in one program per sector, each read back. */
static ldrStatus stageProgram(ldrStaging *staging, uint32_t offset, const unsigned char *bytes, uint32_t count) {
  const ldrFlash *flash = staging->layout->flash;
  ldrStatus status = eraseUpTo(staging, offset + count);
  while (status == LDR_OK && count > 0u) {
    const uint32_t room = flash->sectorSize - (offset & (flash->sectorSize - 1u));
    const uint32_t n = count < room ? count : room;
    status = programVerified(flash, staging->layout->updateSlot + offset, bytes, n);
    offset += n;
    bytes += n;
    count -= n;
  }
  return status;
}

/* Makes an image staged before uninstallable: records "idle" if the newest record is "staged".
 * Refuses while an image is on trial or a swap is under way: the update slot then holds the
 * image a revert brings back. */
static ldrStatus unstage(const ldrUpdateLayout *layout) {
  ldrLogScan scan;
  scanLog(layout, &scan);
  if (!scan.found) return LDR_OK;
  if (scan.latest.kind == RECORD_ON_TRIAL || scan.latest.kind == RECORD_SWAP_IN || scan.latest.kind == RECORD_SWAP_BACK)
    return LDR_NOT_CONFIRMED;
  if (scan.latest.kind != RECORD_STAGED) return LDR_OK;
  return appendRecord(layout, &scan, RECORD_IDLE, 0u, 0u);
}

ldrStatus ldrStageBegin(ldrStaging *staging, const ldrUpdateLayout *layout) {
  unsigned i;
  if (staging == NULL) return LDR_NULL_ARGUMENT;
  staging->layout = layout;
  (void)ldrReadLoadHeader(staging->head, 0u, &staging->header); /* too short: every field zero */
  ldrWordSumStart(&staging->sum);
  staging->received = staging->expected = staging->erasedEnd = staging->pendingCount = 0;
  for (i = 0; i < sizeof staging->head; ++i) staging->head[i] = 0;
  for (i = 0; i < sizeof staging->pending; ++i) staging->pending[i] = 0;
  staging->failure = ldrCheckUpdateLayout(layout);
  if (staging->failure == LDR_OK) staging->failure = unstage(layout);
  return staging->failure;
}

/* The header is in: checks it and that its image fits in the slot. */
static ldrStatus acceptHeader(ldrStaging *staging) {
  size_t payloadBytes;
  const ldrStatus status = ldrReadLoadHeader(staging->head, LDR_LOAD_HEADER_SIZE, &staging->header);
  if (status != LDR_OK) return status;
  if (ldrLoadImageExtent(&staging->header, staging->layout->slotSize, &payloadBytes) != LDR_OK)
    return LDR_IMAGE_TOO_LARGE;
  staging->expected = LDR_LOAD_HEADER_SIZE + (uint32_t)payloadBytes;
  return LDR_OK;
}

/* Adds the next `count` bytes of the stream, which start at `received`, to the word-sum as far
 * as they are payload: a trailer's bytes are not. */
static void sumPayload(ldrStaging *staging, const unsigned char *bytes, uint32_t count) {
  if (staging->received < staging->expected) {
    const uint32_t left = staging->expected - staging->received;
    ldrWordSumUpdate(&staging->sum, bytes, count < left ? count : left);
  }
}

/* Takes the stream's next bytes: the header's units into `head`, the rest a whole unit at a
 * time, straight from the caller's bytes where they hold whole units, else through `pending`.
 * A trailer may follow the padded payload where the slot has room for it. */
static ldrStatus takeBytes(ldrStaging *staging, const unsigned char *bytes, size_t count) {
  const uint32_t unit = staging->layout->flash->programUnit;
  const uint32_t headEnd = roundUp(LDR_LOAD_HEADER_SIZE, unit);
  ldrStatus status = LDR_OK;
  while (status == LDR_OK && count > 0u) {
    uint32_t n;
    if (staging->expected != 0u && count > withTrailerRoom(staging->layout, staging->expected) - staging->received)
      return LDR_STREAM_TOO_LONG;
    if (staging->received < headEnd) {
      /* Up to the end of the header first, so that it is checked before a byte more is taken. */
      const uint32_t stop = staging->received < LDR_LOAD_HEADER_SIZE ? LDR_LOAD_HEADER_SIZE : headEnd;
      uint32_t i;
      n = count < stop - staging->received ? (uint32_t)count : stop - staging->received;
      for (i = 0; i < n; ++i) staging->head[staging->received + i] = bytes[i];
      if (staging->received >= LDR_LOAD_HEADER_SIZE) sumPayload(staging, bytes, n);
      staging->received += n;
      if (staging->received == LDR_LOAD_HEADER_SIZE && stop == LDR_LOAD_HEADER_SIZE) status = acceptHeader(staging);
    } else if (staging->pendingCount > 0u || count < unit) {
      uint32_t i;
      n = count < unit - staging->pendingCount ? (uint32_t)count : unit - staging->pendingCount;
      for (i = 0; i < n; ++i) staging->pending[staging->pendingCount + i] = bytes[i];
      sumPayload(staging, bytes, n);
      staging->pendingCount += n;
      staging->received += n;
      if (staging->pendingCount == unit) {
        staging->pendingCount = 0;
        status = stageProgram(staging, staging->received - unit, staging->pending, unit);
      }
    } else {
      /* Whole units straight from the caller; no more than fits before the stream's end was
       * checked above, and the slot holds the whole stream. */
      n = (uint32_t)(count & ~(size_t)(unit - 1u));
      sumPayload(staging, bytes, n);
      status = stageProgram(staging, staging->received, bytes, n);
      staging->received += n;
    }
    bytes += n;
    count -= n;
  }
  return status;
}

ldrStatus ldrStageWrite(ldrStaging *staging, const unsigned char *bytes, size_t count) {
  if (staging == NULL || (bytes == NULL && count > 0u)) return LDR_NULL_ARGUMENT;
  if (staging->failure != LDR_OK) return staging->failure;
  if (staging->layout == NULL) return LDR_STAGING_CLOSED; /* zeroed, never begun */
  staging->failure = takeBytes(staging, bytes, count);
  return staging->failure;
}

/* Programs the header's units, the magic number's last (see the top of this file). Out of line,
 * so that its buffer and the record's are not on the stack at once. */
static LDR_NOINLINE ldrStatus programHead(ldrStaging *staging) {
  const ldrFlash *flash = staging->layout->flash;
  const uint32_t unit = flash->programUnit;
  const uint32_t headEnd = roundUp(LDR_LOAD_HEADER_SIZE, unit);
  /* The magic number is bytes 32 to 35: the units from magicStart to magicEnd hold it. */
  const uint32_t magicStart = 32u & ~(unit - 1u);
  const uint32_t magicEnd = roundUp(36u, unit);
  unsigned char first[LDR_HEAD_BYTES];
  ldrStatus status = eraseUpTo(staging, headEnd);
  if (status != LDR_OK) return status;
  if (flash->programOnce) {
    if (magicStart > 0u) status = stageProgram(staging, 0u, staging->head, magicStart);
    if (status == LDR_OK && magicEnd < headEnd)
      status = stageProgram(staging, magicEnd, staging->head + magicEnd, headEnd - magicEnd);
  } else {
    uint32_t i;
    for (i = 0; i < headEnd; ++i) first[i] = i >= 32u && i < 36u ? flash->erasedValue : staging->head[i];
    status = stageProgram(staging, 0u, first, headEnd);
  }
  if (status == LDR_OK)
    status = stageProgram(staging, magicStart, staging->head + magicStart, magicEnd - magicStart);
  return status;
}

/* Whether the stream's bytes after the payload are a trailer: none at all, or 112 that read as
 * one. Bytes that are no trailer are bytes past the image's end. Those that share the header's
 * units are still in `head`; the rest are in the slot, whole units programmed. */
static LDR_NOINLINE ldrStatus checkTrailerBytes(ldrStaging *staging) {
  const uint32_t headEnd = roundUp(LDR_LOAD_HEADER_SIZE, staging->layout->flash->programUnit);
  unsigned char bytes[LDR_TRAILER_SIZE];
  const uint32_t count = staging->received - staging->expected;
  uint32_t i;
  ldrStatus status = LDR_OK;
  if (count == 0u) return LDR_OK;
  for (i = 0; i < count && staging->expected + i < headEnd; ++i) bytes[i] = staging->head[staging->expected + i];
  if (i < count)
    status = flashRead(staging->layout->flash, staging->layout->updateSlot + staging->expected + i, bytes + i, count - i);
  if (status == LDR_OK) status = ldrReadSignatureTrailer(bytes, count, NULL);
  return status == LDR_NOT_SIGNED ? LDR_STREAM_TOO_LONG : status;
}

/* Ends a stream that has every byte: the last partial unit, the header, the trailer's check
 * and the signature's, the record. */
static ldrStatus finishStream(ldrStaging *staging) {
  const ldrFlash *flash = staging->layout->flash;
  const uint32_t unit = flash->programUnit;
  const uint32_t headEnd = roundUp(LDR_LOAD_HEADER_SIZE, unit);
  const uint32_t primaryEnd = imageExtent(staging->layout, staging->layout->primarySlot);
  const uint32_t imageEnd = withTrailerRoom(staging->layout, staging->expected);
  ldrLogScan scan;
  uint32_t i;
  ldrStatus status;
  if (staging->expected == 0u || staging->received < staging->expected) return LDR_STREAM_TOO_SHORT;
  /* The room for a trailer erased too, so that no old one follows an unsigned image; and the
   * rest of what a swap reads, so that it finds no unit an older staging tore. */
  status = eraseUpTo(staging, primaryEnd > imageEnd ? primaryEnd : imageEnd);
  /* What follows the image in its last unit stays erased. */
  for (i = staging->received; i < headEnd; ++i) staging->head[i] = flash->erasedValue;
  if (status == LDR_OK && staging->pendingCount > 0u) {
    for (i = staging->pendingCount; i < unit; ++i) staging->pending[i] = flash->erasedValue;
    status = stageProgram(staging, staging->received - staging->pendingCount, staging->pending, unit);
  }
  if (status == LDR_OK) status = checkTrailerBytes(staging);
  if (status == LDR_OK && ldrWordSumFinish(&staging->sum) != staging->header.checksum) status = LDR_BAD_CHECKSUM;
  if (status == LDR_OK) status = programHead(staging);
  if (status == LDR_OK) status = checkTrust(staging->layout);
  if (status != LDR_OK) return status;
  scanLog(staging->layout, &scan);
  return appendRecord(staging->layout, &scan, RECORD_STAGED, staging->header.checksum, staging->header.imageSize);
}

ldrStatus ldrStageFinish(ldrStaging *staging) {
  ldrStatus status;
  if (staging == NULL) return LDR_NULL_ARGUMENT;
  if (staging->failure != LDR_OK) return staging->failure;
  if (staging->layout == NULL) return LDR_STAGING_CLOSED; /* zeroed, never begun */
  status = finishStream(staging);
  staging->failure = status == LDR_OK ? LDR_STAGING_CLOSED : status;
  return status;
}

/* ---- Install ---- */

/* Whether the image can run from the primary slot, in place or copied to the RAM window. */
static ldrStatus runsFromPrimary(const ldrUpdateLayout *layout, const ldrLoadHeader *header) {
  if (layout->ramSize == 0u) return ldrCheckInPlace(header, layout->primarySlot + LDR_LOAD_HEADER_SIZE);
  return ldrCheckPlacement(header, layout->ramStart, layout->ramSize);
}

/* Checks the image in the slot at `slot`: a load image that fits the slot and is intact. On
 * LDR_OK, *header is its header and *length its file's length. */
static ldrStatus checkSlotImage(const ldrUpdateLayout *layout, uint32_t slot, ldrLoadHeader *header, uint32_t *length) {
  const ldrFlash *flash = layout->flash;
  unsigned char bytes[LDR_LOAD_HEADER_SIZE];
  size_t payloadBytes;
  uint32_t offset;
  ldrWordSum sum;
  ldrStatus status = flashRead(flash, slot, bytes, LDR_LOAD_HEADER_SIZE);
  if (status == LDR_OK) status = ldrReadLoadHeader(bytes, LDR_LOAD_HEADER_SIZE, header);
  if (status == LDR_OK) status = ldrLoadImageExtent(header, layout->slotSize, &payloadBytes);
  if (status != LDR_OK) return status;
  *length = LDR_LOAD_HEADER_SIZE + (uint32_t)payloadBytes;
  ldrWordSumStart(&sum);
  for (offset = LDR_LOAD_HEADER_SIZE; offset < *length;) {
    const uint32_t n = *length - offset < LDR_PIECE ? *length - offset : LDR_PIECE;
    status = flashRead(flash, slot + offset, bytes, n);
    if (status != LDR_OK) return status;
    ldrWordSumUpdate(&sum, bytes, n);
    offset += n;
  }
  return ldrWordSumFinish(&sum) == header->checksum ? LDR_OK : LDR_BAD_CHECKSUM;
}

/* Checks the staged image: intact in the update slot, the one the record names, and able to
 * run from the primary slot. */
static ldrStatus checkStaged(const ldrUpdateLayout *layout, const ldrRecord *record, ldrLoadHeader *header,
                             uint32_t *length) {
  ldrStatus status = checkSlotImage(layout, layout->updateSlot, header, length);
  if (status != LDR_OK) return status;
  if (header->checksum != record->checksum || header->imageSize != record->imageSize) return LDR_NOT_AS_STAGED;
  status = runsFromPrimary(layout, header);
  return status == LDR_OK ? checkTrust(layout) : status;
}

/* Erases the sector at `to` and programs it with the `count` bytes at `from` (whole units), a
 * piece at a time, each piece read back and compared as it is programmed. */
static ldrStatus copySector(const ldrFlash *flash, uint32_t from, uint32_t to, uint32_t count) {
  uint32_t done;
  ldrStatus status = flashErase(flash, to);
  /* 32 bytes a program, or a unit where units are wider: the same programs whatever the build's
   * widest unit. */
  const uint32_t step = flash->programUnit > LDR_PIECE ? flash->programUnit : LDR_PIECE;
  for (done = 0; status == LDR_OK && done < count; done += step) {
    unsigned char piece[LDR_COPY_PIECE];
    const uint32_t n = count - done < step ? count - done : step;
    status = flashRead(flash, from + done, piece, n);
    if (status == LDR_OK) status = programVerified(flash, to + done, piece, n);
  }
  return status;
}

/* Whether the primary slot holds at `offset` the `count` bytes the update slot holds there.
 * The primary's bytes that cannot be read differ; the update's are a failure. */
static ldrStatus samePrimary(const ldrUpdateLayout *layout, uint32_t offset, uint32_t count, bool *same) {
  unsigned char primary[LDR_PIECE];
  unsigned char update[LDR_PIECE];
  uint32_t done;
  *same = false;
  for (done = 0; done < count;) {
    const uint32_t n = count - done < LDR_PIECE ? count - done : LDR_PIECE;
    uint32_t i;
    const ldrStatus status = flashRead(layout->flash, layout->updateSlot + offset + done, update, n);
    if (status != LDR_OK) return status;
    if (flashRead(layout->flash, layout->primarySlot + offset + done, primary, n) != LDR_OK) return LDR_OK;
    for (i = 0; i < n; ++i)
      if (primary[i] != update[i]) return LDR_OK;
    done += n;
  }
  *same = true;
  return LDR_OK;
}

/* Rewrites every sector of the primary slot, up to the image's last unit, that differs from the
 * update slot. */
static ldrStatus copyToPrimary(const ldrUpdateLayout *layout, uint32_t length) {
  const ldrFlash *flash = layout->flash;
  const uint32_t end = roundUp(length, flash->programUnit);
  uint32_t sector;
  for (sector = 0; sector < end; sector += flash->sectorSize) {
    const uint32_t span = end - sector < flash->sectorSize ? end - sector : flash->sectorSize;
    bool same;
    ldrStatus status = samePrimary(layout, sector, span, &same);
    if (status == LDR_OK && !same)
      status = copySector(flash, layout->updateSlot + sector, layout->primarySlot + sector, span);
    if (status != LDR_OK) return status;
  }
  return LDR_OK;
}

/* Refuses the staged image for `why`. A refusal of what the slot holds is recorded, so that
 * later boots do not check it again; a read that failed may not fail next time, and is not. If
 * recording fails, the next boot refuses it again. */
static ldrStatus refuse(const ldrUpdateLayout *layout, ldrLogScan *scan, ldrStatus why, ldrInstallOutcome *outcome) {
  *outcome = LDR_UPDATE_REFUSED;
  if (why != LDR_FLASH_READ_FAILED) (void)appendRecord(layout, scan, RECORD_REFUSED, scan->latest.checksum, 0u);
  return why;
}

ldrStatus ldrInstall(const ldrUpdateLayout *layout, ldrInstallOutcome *outcome) {
  ldrLogScan scan;
  ldrLoadHeader header;
  uint32_t length = 0;
  ldrStatus status;
  if (outcome == NULL) return LDR_NULL_ARGUMENT;
  *outcome = LDR_NOTHING_STAGED;
  status = ldrCheckUpdateLayout(layout);
  if (status != LDR_OK) return status;
  scanLog(layout, &scan);
  if (!scan.found || scan.latest.kind != RECORD_STAGED) return LDR_OK;

  status = checkStaged(layout, &scan.latest, &header, &length);
  if (status != LDR_OK) return refuse(layout, &scan, status, outcome);
  status = copyToPrimary(layout, withTrailerRoom(layout, length));
  if (status != LDR_OK) {
    *outcome = LDR_INSTALL_INCOMPLETE;
    return status;
  }
  *outcome = LDR_INSTALLED;
  /* The primary slot holds the image whether or not this lands: if not, the next boot finds
   * every sector the same and records it then. */
  return appendRecord(layout, &scan, RECORD_INSTALLED, header.checksum, header.imageSize);
}

/* ---- Install on trial, with revert ---- */

/* Where the swap's first phase moves the primary's sector `index` of `sectors`: one sector up,
 * the last into the scratch sector. */
static uint32_t movedTo(const ldrUpdateLayout *layout, uint32_t index, uint32_t sectors) {
  return index + 1u < sectors ? layout->primarySlot + (index + 1u) * layout->flash->sectorSize : layout->scratchSector;
}

/* Swaps the first n sectors of the primary and update slots, n as `progress` says, in 3n steps
 * of one sector copy each: steps 0 to n - 1 move the primary's sectors n - 1 down to 0 one up
 * (movedTo); then sector i takes steps n + 2i, the update's to the primary's, and n + 2i + 1,
 * the primary's old one (moved up) to the update's. Each step's source is untouched until a
 * later step, and its destination holds nothing that another place does not hold too, so a step
 * cut part way is simply done again; each finished step is recorded (a record of `kind` whose
 * size word holds `progress`, advanced), and a resumed swap starts at the step after the last
 * one recorded. */
static ldrStatus swapSlots(const ldrUpdateLayout *layout, ldrLogScan *scan, uint32_t kind, uint32_t checksum,
                           uint32_t progress) {
  const ldrFlash *flash = layout->flash;
  const uint32_t sectors = LDR_SWAP_SECTORS(progress);
  uint32_t step = LDR_SWAP_STEP(progress);
  while (step < 3u * sectors) {
    uint32_t from;
    uint32_t to;
    ldrStatus status;
    if (step < sectors) {
      const uint32_t index = sectors - 1u - step;
      from = layout->primarySlot + index * flash->sectorSize;
      to = movedTo(layout, index, sectors);
    } else {
      const uint32_t index = (step - sectors) >> 1;
      const uint32_t update = layout->updateSlot + index * flash->sectorSize;
      const bool toPrimary = ((step - sectors) & 1u) == 0u;
      from = toPrimary ? update : movedTo(layout, index, sectors);
      to = toPrimary ? layout->primarySlot + index * flash->sectorSize : update;
    }
    status = copySector(flash, from, to, flash->sectorSize);
    ++step;
    if (status == LDR_OK) status = appendRecord(layout, scan, kind, checksum, (progress & ~0xFFFFFu) | step);
    if (status != LDR_OK) return status;
  }
  return LDR_OK;
}

/* The sectors that hold the first `end` bytes of a slot. */
static uint32_t sectorsUpTo(const ldrUpdateLayout *layout, uint32_t end) {
  uint32_t sectors = 0;
  uint32_t offset;
  for (offset = 0; offset < end; offset += layout->flash->sectorSize) ++sectors;
  return sectors;
}

/* Starts a swap of `kind` over the sectors both slots' images span, and records it first. */
static ldrStatus startSwap(const ldrUpdateLayout *layout, ldrLogScan *scan, uint32_t kind, uint32_t checksum,
                           bool noRevert, uint32_t *progress) {
  const uint32_t primary = imageExtent(layout, layout->primarySlot);
  const uint32_t update = imageExtent(layout, layout->updateSlot);
  uint32_t sectors = sectorsUpTo(layout, primary > update ? primary : update);
#if LDR_TEST_REVERT_SHORTFALL > 0
  if (kind == RECORD_SWAP_BACK && sectors >= LDR_TEST_REVERT_SHORTFALL) sectors -= LDR_TEST_REVERT_SHORTFALL;
#endif
  *progress = (noRevert ? LDR_SWAP_NO_REVERT : 0u) | sectors << 20;
  return appendRecord(layout, scan, kind, checksum, *progress);
}

/* Whether the scratch sector is one, aligned and apart from the slots and the status area. */
static bool scratchApart(const ldrUpdateLayout *layout) {
  const uint32_t sector = layout->flash->sectorSize;
  return sectorRegion(layout->scratchSector, sector, sector) &&
         apart(layout->scratchSector, sector, layout->primarySlot, layout->slotSize) &&
         apart(layout->scratchSector, sector, layout->updateSlot, layout->slotSize) &&
         apart(layout->scratchSector, sector, layout->statusArea, sectorsSize(statusSectors(layout), sector));
}

ldrStatus ldrCheckTrialLayout(const ldrUpdateLayout *layout) {
  const ldrStatus status = ldrCheckUpdateLayout(layout);
  if (status != LDR_OK) return status;
  /* The product wraps for sectors of 4 MiB and more, yet stays above 2^31, more than a slot can
   * be beside another. */
  if (!scratchApart(layout) || layout->slotSize > LDR_SWAP_MAX_SECTORS * layout->flash->sectorSize)
    return LDR_BAD_LAYOUT;
  return LDR_OK;
}

ldrStatus ldrInstallOnTrial(const ldrUpdateLayout *layout, ldrInstallOutcome *outcome) {
  ldrLogScan scan;
  ldrLoadHeader header;
  uint32_t length = 0;
  uint32_t progress;
  uint32_t kind;
  uint32_t checksum;
  ldrStatus status;
  if (outcome == NULL) return LDR_NULL_ARGUMENT;
  *outcome = LDR_NOTHING_STAGED;
  status = ldrCheckTrialLayout(layout);
  if (status != LDR_OK) return status;
  scanLog(layout, &scan);
  if (!scan.found) return LDR_OK;
  kind = scan.latest.kind;
  progress = scan.latest.imageSize;
  checksum = scan.latest.checksum;
  if (kind == RECORD_STAGED) {
    status = checkStaged(layout, &scan.latest, &header, &length);
    if (status != LDR_OK) return refuse(layout, &scan, status, outcome);
    /* Nothing intact to come back to: the new image is installed for good. */
    status = startSwap(layout, &scan, RECORD_SWAP_IN, checksum,
                       checkSlotImage(layout, layout->primarySlot, &header, &length) != LDR_OK, &progress);
    kind = RECORD_SWAP_IN;
  } else if (kind == RECORD_ON_TRIAL) {
    /* The trial boot is over and the image did not confirm itself. */
    status = startSwap(layout, &scan, RECORD_SWAP_BACK, checksum, false, &progress);
    kind = RECORD_SWAP_BACK;
  } else if (kind != RECORD_SWAP_IN && kind != RECORD_SWAP_BACK) {
    return LDR_OK;
  }
  if (status == LDR_OK) status = swapSlots(layout, &scan, kind, checksum, progress);
  if (status != LDR_OK) {
    *outcome = LDR_INSTALL_INCOMPLETE;
    return status;
  }
  if (kind == RECORD_SWAP_BACK) {
    *outcome = LDR_REVERTED;
    kind = RECORD_REVERTED;
  } else if ((progress & LDR_SWAP_NO_REVERT) != 0u) {
    *outcome = LDR_INSTALLED;
    kind = RECORD_CONFIRMED;
  } else {
    *outcome = LDR_ON_TRIAL;
    kind = RECORD_ON_TRIAL;
  }
  /* The slots are swapped whether or not this lands: if not, the next boot finds the swap's
   * last step recorded and records this then. */
  return appendRecord(layout, &scan, kind, checksum, 0u);
}

ldrStatus ldrReadUpdateState(const ldrUpdateLayout *layout, ldrUpdateState *state) {
  ldrLogScan scan;
  ldrStatus status;
  if (state == NULL) return LDR_NULL_ARGUMENT;
  *state = LDR_STATE_NONE;
  status = ldrCheckUpdateLayout(layout);
  if (status != LDR_OK) return status;
  scanLog(layout, &scan);
  if (!scan.found) return LDR_OK;
  if (scan.latest.kind < sizeof stateOfRecord) *state = (ldrUpdateState)stateOfRecord[scan.latest.kind];
  return LDR_OK;
}

ldrStatus ldrConfirm(const ldrUpdateLayout *layout) {
  ldrLogScan scan;
  const ldrStatus status = ldrCheckUpdateLayout(layout);
  if (status != LDR_OK) return status;
  scanLog(layout, &scan);
  if (scan.found && scan.latest.kind == RECORD_CONFIRMED) return LDR_OK;
  if (!scan.found || scan.latest.kind != RECORD_ON_TRIAL) return LDR_NOT_ON_TRIAL;
  return appendRecord(layout, &scan, RECORD_CONFIRMED, scan.latest.checksum, 0u);
}
