/* The target's checks of both image formats; see imageLoader.h for the contract of each call. */
#include "imageLoader.h"

/* CRC-8 over x^8 + x^2 + x + 1 (0x07), processed least significant bit first: the register
 * shifts right and, when the bit shifted out was 1, is XORed with the bit-reversed polynomial. */
#define LDR_CRC8_REFLECTED_POLYNOMIAL 0xE0u

/* One bit through the register: the mask is all ones exactly when the low bit is set, which
 * avoids a branch. */
#define LDR_CRC8_BIT(c) (((c) >> 1) ^ (LDR_CRC8_REFLECTED_POLYNOMIAL & (0u - ((c)&1u))))

#ifndef LDR_CRC8_BITWISE

/* Table entry i is the register after the byte i has been shifted through it, bit by bit as
 * LDR_CRC8_BIT does (the tests hold every entry to that). */
static const uint8_t ldrCrc8Table[256] = {
    0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75, 0x0E, 0x9F, 0xED, 0x7C,
    0x09, 0x98, 0xEA, 0x7B, 0x1C, 0x8D, 0xFF, 0x6E, 0x1B, 0x8A, 0xF8, 0x69,
    0x12, 0x83, 0xF1, 0x60, 0x15, 0x84, 0xF6, 0x67, 0x38, 0xA9, 0xDB, 0x4A,
    0x3F, 0xAE, 0xDC, 0x4D, 0x36, 0xA7, 0xD5, 0x44, 0x31, 0xA0, 0xD2, 0x43,
    0x24, 0xB5, 0xC7, 0x56, 0x23, 0xB2, 0xC0, 0x51, 0x2A, 0xBB, 0xC9, 0x58,
    0x2D, 0xBC, 0xCE, 0x5F, 0x70, 0xE1, 0x93, 0x02, 0x77, 0xE6, 0x94, 0x05,
    0x7E, 0xEF, 0x9D, 0x0C, 0x79, 0xE8, 0x9A, 0x0B, 0x6C, 0xFD, 0x8F, 0x1E,
    0x6B, 0xFA, 0x88, 0x19, 0x62, 0xF3, 0x81, 0x10, 0x65, 0xF4, 0x86, 0x17,
    0x48, 0xD9, 0xAB, 0x3A, 0x4F, 0xDE, 0xAC, 0x3D, 0x46, 0xD7, 0xA5, 0x34,
    0x41, 0xD0, 0xA2, 0x33, 0x54, 0xC5, 0xB7, 0x26, 0x53, 0xC2, 0xB0, 0x21,
    0x5A, 0xCB, 0xB9, 0x28, 0x5D, 0xCC, 0xBE, 0x2F, 0xE0, 0x71, 0x03, 0x92,
    0xE7, 0x76, 0x04, 0x95, 0xEE, 0x7F, 0x0D, 0x9C, 0xE9, 0x78, 0x0A, 0x9B,
    0xFC, 0x6D, 0x1F, 0x8E, 0xFB, 0x6A, 0x18, 0x89, 0xF2, 0x63, 0x11, 0x80,
    0xF5, 0x64, 0x16, 0x87, 0xD8, 0x49, 0x3B, 0xAA, 0xDF, 0x4E, 0x3C, 0xAD,
    0xD6, 0x47, 0x35, 0xA4, 0xD1, 0x40, 0x32, 0xA3, 0xC4, 0x55, 0x27, 0xB6,
    0xC3, 0x52, 0x20, 0xB1, 0xCA, 0x5B, 0x29, 0xB8, 0xCD, 0x5C, 0x2E, 0xBF,
    0x90, 0x01, 0x73, 0xE2, 0x97, 0x06, 0x74, 0xE5, 0x9E, 0x0F, 0x7D, 0xEC,
    0x99, 0x08, 0x7A, 0xEB, 0x8C, 0x1D, 0x6F, 0xFE, 0x8B, 0x1A, 0x68, 0xF9,
    0x82, 0x13, 0x61, 0xF0, 0x85, 0x14, 0x66, 0xF7, 0xA8, 0x39, 0x4B, 0xDA,
    0xAF, 0x3E, 0x4C, 0xDD, 0xA6, 0x37, 0x45, 0xD4, 0xA1, 0x30, 0x42, 0xD3,
    0xB4, 0x25, 0x57, 0xC6, 0xB3, 0x22, 0x50, 0xC1, 0xBA, 0x2B, 0x59, 0xC8,
    0xBD, 0x2C, 0x5E, 0xCF};

#endif

/* The word-sum reads whole aligned words where the compiler can be told that such a load may
 * alias the caller's bytes (GCC and clang: may_alias, so no strict-aliasing rule is broken) and
 * the host's byte order is known. Everywhere else, and with LDR_WORDSUM_BYTEWISE defined (the
 * smaller form), it assembles each word from bytes. */
#if !defined(LDR_WORDSUM_BYTEWISE) && defined(__GNUC__) && defined(__BYTE_ORDER__) && \
    (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ || __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#define LDR_WORD_LOADS 1
typedef uint32_t ldrAliasingWord __attribute__((__may_alias__));

/* The aligned word at `bytes` as the little-endian value the checksum adds. */
static uint32_t loadLittleWord(const unsigned char *bytes) {
  /* Through void: the caller has proven the alignment, which the cast cannot see. */
  const uint32_t word = *(const ldrAliasingWord *)(const void *)bytes;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return __builtin_bswap32(word);
#else
  return word;
#endif
}

/* `sum` plus the words from `bytes` (aligned) to `end`, a whole number of words on. */
/* The word loops stand alone: inlined into ldrWordSumUpdate, its own values crowd out theirs
 * and a Cortex-M0 (eight low registers) keeps them on the stack. */
static LDR_NOINLINE uint64_t addAlignedWords(uint64_t sum, const unsigned char *bytes, const unsigned char *end) {
  /* Four words a turn while four are left: the loop's own instructions then cost a quarter. */
  for (; end - bytes >= 16; bytes += 16) {
    sum += loadLittleWord(bytes);
    sum += loadLittleWord(bytes + 4);
    sum += loadLittleWord(bytes + 8);
    sum += loadLittleWord(bytes + 12);
  }
  for (; bytes != end; bytes += 4) sum += loadLittleWord(bytes);
  return sum;
}

/* One loop of addStraddlingWords, for a payload word whose first `low` bits are in `carry`:
 * the shifts are constants, which keeps every value of the loop in a register on a Cortex-M0. */
#define LDR_ADD_STRADDLING(low)                  \
  for (; bytes != end; bytes += 4) {             \
    const uint32_t next = loadLittleWord(bytes); \
    sum += carry | next << (low);                \
    carry = next >> (32u - (low));               \
  }

/* `sum` plus the payload words that straddle the aligned words from `bytes` to `end`: each is
 * the `filled` (1 to 3) bytes left in *partial and the first 4 - `filled` bytes of the next
 * aligned word, whose remaining bytes are left in *partial. No word is loaded unaligned. */
static LDR_NOINLINE uint64_t addStraddlingWords(uint64_t sum, const unsigned char *bytes, const unsigned char *end,
                                          uint32_t *partial, uint32_t filled) {
  uint32_t carry = *partial;
  if (filled == 1u) {
    LDR_ADD_STRADDLING(8u)
  } else if (filled == 2u) {
    LDR_ADD_STRADDLING(16u)
  } else {
    LDR_ADD_STRADDLING(24u)
  }
  *partial = carry;
  return sum;
}
#endif

static LDR_NOINLINE uint32_t readLittle32(const unsigned char *bytes) {
  return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static LDR_NOINLINE uint32_t readBig32(const unsigned char *bytes) {
  return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | (uint32_t)bytes[3];
}

const char *ldrStatusName(ldrStatus status) {
  /* A table, in the enumeration's order, rather than a switch: gcc turns a switch this long into
   * a call of a libgcc helper on a Cortex-M0 (__gnu_thumb1_case_uqi), and the library calls
   * nothing. */
  static const char *const names[] = {
      "LDR_OK",
      "LDR_NULL_ARGUMENT",
      "LDR_TOO_SHORT",
      "LDR_BAD_HEADER_SIZE",
      "LDR_BAD_MAGIC",
      "LDR_BAD_FIXED_CODE",
      "LDR_IMAGE_TRUNCATED",
      "LDR_BAD_CHECKSUM",
      "LDR_BAD_RESERVED",
      "LDR_BAD_DATE",
      "LDR_STAMP_TRUNCATED",
      "LDR_BAD_CRC",
      "LDR_OUTSIDE_RAM",
      "LDR_ENTRY_OUTSIDE_PAYLOAD",
      "LDR_BAD_RAM_WINDOW",
      "LDR_NOT_AT_LOAD_ADDRESS",
      "LDR_BAD_LAYOUT",
      "LDR_FLASH_READ_FAILED",
      "LDR_FLASH_ERASE_FAILED",
      "LDR_FLASH_PROGRAM_FAILED",
      "LDR_FLASH_VERIFY_FAILED",
      "LDR_IMAGE_TOO_LARGE",
      "LDR_STREAM_TOO_LONG",
      "LDR_STREAM_TOO_SHORT",
      "LDR_STAGING_CLOSED",
      "LDR_NOT_AS_STAGED",
      "LDR_NOT_CONFIRMED",
      "LDR_NOT_ON_TRIAL",
      "LDR_NOT_SIGNED",
      "LDR_UNTRUSTED_KEY",
      "LDR_BAD_SIGNATURE",
      "LDR_TRAILER_DAMAGED",
      "LDR_DOWNGRADE"};
  return (unsigned)status < sizeof names / sizeof names[0] ? names[status] : "LDR_UNKNOWN_STATUS";
}

/* A header with every field zero: what a caller sees where no header could be read. */
static void clearLoadHeader(ldrLoadHeader *header) {
  unsigned i;
  header->headerSize = 0;
  header->imageSize = 0;
  header->loadAddress = 0;
  header->execAddress = 0;
  for (i = 0; i < LDR_IMAGE_NAME_SIZE; ++i) header->imageName[i] = 0;
  header->magic = 0;
  header->fixedCode = 0;
  header->checksum = 0;
}

ldrStatus ldrReadLoadHeader(const unsigned char *bytes, size_t available, ldrLoadHeader *header) {
  unsigned i;
  if (header == NULL) return LDR_NULL_ARGUMENT;
  if (bytes == NULL || available < LDR_LOAD_HEADER_SIZE) {
    clearLoadHeader(header);
    return bytes == NULL ? LDR_NULL_ARGUMENT : LDR_TOO_SHORT;
  }
  header->headerSize = readLittle32(bytes);
  header->imageSize = readLittle32(bytes + 4);
  header->loadAddress = readLittle32(bytes + 8);
  header->execAddress = readLittle32(bytes + 12);
  for (i = 0; i < LDR_IMAGE_NAME_SIZE; ++i) header->imageName[i] = bytes[16 + i];
  header->magic = readLittle32(bytes + 32);
  header->fixedCode = readLittle32(bytes + 36);
  header->checksum = readLittle32(bytes + 40);
  if (header->headerSize != LDR_LOAD_HEADER_SIZE) return LDR_BAD_HEADER_SIZE;
  if (header->magic != LDR_LOAD_MAGIC) return LDR_BAD_MAGIC;
  if (header->fixedCode != LDR_LOAD_FIXED_CODE) return LDR_BAD_FIXED_CODE;
  return LDR_OK;
}

LDR_NOINLINE ldrStatus ldrLoadImageExtent(const ldrLoadHeader *header, size_t regionSize, size_t *payloadBytes) {
  uint32_t size;
  uint32_t padding;
  size_t rest;
  if (header == NULL || payloadBytes == NULL) return LDR_NULL_ARGUMENT;
  *payloadBytes = 0;
  if (regionSize < LDR_LOAD_HEADER_SIZE) return LDR_IMAGE_TRUNCATED;
  /* Compared piece by piece, so that no imageSize up to 0xFFFFFFFF can wrap a sum, even where
   * size_t has 32 bits. */
  rest = regionSize - LDR_LOAD_HEADER_SIZE;
  size = header->imageSize;
  padding = (uint32_t)(0u - size) & 3u;
  if (size > rest || rest - size < padding) return LDR_IMAGE_TRUNCATED;
  *payloadBytes = (size_t)size + padding;
  return LDR_OK;
}

void ldrWordSumStart(ldrWordSum *state) {
  state->sum = 0;
  state->partialWord = 0;
  state->partialBytes = 0;
}

LDR_NOINLINE void ldrWordSumUpdate(ldrWordSum *state, const unsigned char *bytes, size_t count) {
  uint64_t sum = state->sum;
  uint32_t word = state->partialWord;
  uint32_t filled = state->partialBytes;
  const unsigned char *end;
  if (count == 0u) return; /* before any arithmetic on `bytes`, which may then be null */
  end = bytes + count;
#ifdef LDR_WORD_LOADS
  /* Long runs go through aligned word loads: bytes up to an aligned address first, then whole
   * words. */
  if (count >= 16u) {
    const unsigned char *wordsEnd;
    for (; ((uintptr_t)bytes & 3u) != 0u; ++bytes) {
      word |= (uint32_t)*bytes << (filled << 3);
      if (++filled == 4u) {
        sum += word;
        word = 0;
        filled = 0;
      }
    }
    wordsEnd = bytes + ((size_t)(end - bytes) & ~(size_t)3u);
    if (filled == 0u) {
      sum = addAlignedWords(sum, bytes, wordsEnd);
    } else {
      sum = addStraddlingWords(sum, bytes, wordsEnd, &word, filled);
    }
    bytes = wordsEnd;
  }
#endif
  for (; bytes != end; ++bytes) {
    word |= (uint32_t)*bytes << (filled << 3); /* little-endian: byte k holds bits 8k to 8k+7 */
    if (++filled == 4u) {
      sum += word;
      word = 0;
      filled = 0;
    }
  }
  state->sum = sum;
  state->partialWord = word;
  state->partialBytes = filled;
}

uint32_t ldrWordSumFinish(const ldrWordSum *state) {
  const uint64_t sum = state->sum + state->partialWord;          /* the missing bytes of a tail are zeros */
  const uint32_t folded = (uint32_t)sum + (uint32_t)(sum >> 32); /* a carry out of this is dropped */
  return ~folded;
}

ldrStatus ldrCheckLoadImage(const unsigned char *image, size_t available, ldrLoadImageInfo *info) {
  ldrStatus status;
  size_t payloadBytes;
  ldrWordSum sum;
  if (info == NULL) return LDR_NULL_ARGUMENT;
  info->computedChecksum = 0;
  info->payload = NULL;
  info->length = 0;
  status = ldrReadLoadHeader(image, available, &info->header);
  if (status == LDR_OK) status = ldrLoadImageExtent(&info->header, available, &payloadBytes);
  if (status != LDR_OK) return status;

  ldrWordSumStart(&sum);
  /* The padding as stored: the packer writes zeros, so a changed padding byte is damage too. */
  ldrWordSumUpdate(&sum, image + LDR_LOAD_HEADER_SIZE, payloadBytes);
  info->computedChecksum = ldrWordSumFinish(&sum);
  info->payload = image + LDR_LOAD_HEADER_SIZE;
  info->length = LDR_LOAD_HEADER_SIZE + payloadBytes;
  return info->computedChecksum == info->header.checksum ? LDR_OK : LDR_BAD_CHECKSUM;
}

/* Whether execAddress, bit 0 (the Thumb bit) cleared, lies inside the payload at loadAddress. */
static bool entryInsidePayload(const ldrLoadHeader *header) {
  const uint32_t entry = header->execAddress & ~1u;
  return entry >= header->loadAddress && entry - header->loadAddress < header->imageSize;
}

ldrStatus ldrCheckPlacement(const ldrLoadHeader *header, uint32_t ramStart, uint32_t ramSize) {
  uint32_t load;
  uint32_t size;
  if (header == NULL) return LDR_NULL_ARGUMENT;
  /* A window may end at 2^32 but not run past it, where a payload would wrap round to 0. */
  if (ramStart != 0u && ramSize > (uint32_t)(0u - ramStart)) return LDR_BAD_RAM_WINDOW;
  load = header->loadAddress;
  size = header->imageSize;
  /* Differences only: load - ramStart and ramSize - size cannot wrap once the first two hold. */
  if (load < ramStart || size > ramSize || load - ramStart > ramSize - size) return LDR_OUTSIDE_RAM;
  return entryInsidePayload(header) ? LDR_OK : LDR_ENTRY_OUTSIDE_PAYLOAD;
}

ldrStatus ldrCheckInPlace(const ldrLoadHeader *header, uint32_t payloadAddress) {
  if (header == NULL) return LDR_NULL_ARGUMENT;
  if (header->loadAddress != payloadAddress) return LDR_NOT_AT_LOAD_ADDRESS;
  return entryInsidePayload(header) ? LDR_OK : LDR_ENTRY_OUTSIDE_PAYLOAD;
}

ldrStatus ldrReadStampHeader(const unsigned char *bytes, size_t available, ldrStampHeader *header) {
  if (header == NULL) return LDR_NULL_ARGUMENT;
  if (bytes == NULL || available < LDR_STAMP_HEADER_SIZE) {
    header->imageId = 0;
    header->crc8 = 0;
    header->reserved[0] = header->reserved[1] = header->reserved[2] = 0;
    header->dataLength = 0;
    header->year = 0;
    header->month = 0;
    header->day = 0;
    return bytes == NULL ? LDR_NULL_ARGUMENT : LDR_TOO_SHORT;
  }
  header->imageId = readBig32(bytes);
  header->crc8 = bytes[4];
  header->reserved[0] = bytes[5];
  header->reserved[1] = bytes[6];
  header->reserved[2] = bytes[7];
  header->dataLength = readBig32(bytes + 8);
  header->year = (uint16_t)((unsigned)bytes[12] << 8 | bytes[13]);
  header->month = bytes[14];
  header->day = bytes[15];
  if ((bytes[5] | bytes[6] | bytes[7]) != 0) return LDR_BAD_RESERVED;
  if (header->month < 1u || header->month > 12u || header->day < 1u || header->day > 31u) return LDR_BAD_DATE;
  return LDR_OK;
}

LDR_NOINLINE ldrStatus ldrStampedImageExtent(const ldrStampHeader *header, size_t regionSize, size_t *payloadBytes) {
  if (header == NULL || payloadBytes == NULL) return LDR_NULL_ARGUMENT;
  *payloadBytes = 0;
  if (regionSize < LDR_STAMP_HEADER_SIZE || header->dataLength > regionSize - LDR_STAMP_HEADER_SIZE)
    return LDR_STAMP_TRUNCATED;
  *payloadBytes = header->dataLength;
  return LDR_OK;
}

LDR_NOINLINE uint8_t ldrCrc8Update(uint8_t crc, const unsigned char *bytes, size_t count) {
  size_t i;
#ifdef LDR_CRC8_BITWISE
  unsigned bit;
  unsigned c = crc;
  for (i = 0; i < count; ++i) {
    c ^= bytes[i];
    for (bit = 0; bit < 8u; ++bit) c = LDR_CRC8_BIT(c);
  }
  return (uint8_t)c;
#else
  /* The register in an unsigned int: kept in a uint8_t, it is narrowed again on every turn. Four
   * bytes a turn, so that the loop's own instructions cost a quarter. */
  unsigned c = crc;
  for (i = 0; count - i >= 4u; i += 4) {
    c = ldrCrc8Table[c ^ bytes[i]];
    c = ldrCrc8Table[c ^ bytes[i + 1]];
    c = ldrCrc8Table[c ^ bytes[i + 2]];
    c = ldrCrc8Table[c ^ bytes[i + 3]];
  }
  for (; i < count; ++i) c = ldrCrc8Table[c ^ bytes[i]];
  return (uint8_t)c;
#endif
}

ldrStatus ldrCheckStampedImage(const unsigned char *image, size_t available, ldrStampedImageInfo *info) {
  ldrStatus status;
  size_t payloadBytes;
  if (info == NULL) return LDR_NULL_ARGUMENT;
  info->computedCrc8 = 0;
  info->payload = NULL;
  info->length = 0;
  status = ldrReadStampHeader(image, available, &info->header);
  if (status == LDR_OK) status = ldrStampedImageExtent(&info->header, available, &payloadBytes);
  if (status != LDR_OK) return status;

  info->computedCrc8 = ldrCrc8Update(0, image + LDR_STAMP_HEADER_SIZE, payloadBytes);
  info->payload = image + LDR_STAMP_HEADER_SIZE;
  info->length = LDR_STAMP_HEADER_SIZE + payloadBytes;
  return info->computedCrc8 == info->header.crc8 ? LDR_OK : LDR_BAD_CRC;
}

static uint32_t trailerLittle16(const unsigned char *bytes) { return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8; }

static uint32_t trailerLittle32(const unsigned char *bytes) {
  return trailerLittle16(bytes) | trailerLittle16(bytes + 2) << 16;
}

ldrStatus ldrReadSignatureTrailer(const unsigned char *bytes, size_t available, ldrSignatureTrailer *trailer) {
  unsigned i;
  if (trailer != NULL) {
    for (i = 0; i < LDR_KEY_ID_SIZE; ++i) trailer->keyId[i] = 0;
    for (i = 0; i < LDR_SIGNATURE_SIZE; ++i) trailer->signature[i] = 0;
    trailer->securityCounter = 0;
  }
  if (bytes == NULL && available > 0u) return LDR_NULL_ARGUMENT;
  /* A magic number cut short is no trailer either: what follows an image in its slot is erased
   * flash or anything at all, and only "SIGN" says that a trailer was meant. */
  if (available < 4u || trailerLittle32(bytes) != LDR_TRAILER_MAGIC) return LDR_NOT_SIGNED;
  if (available < LDR_TRAILER_SIZE || trailerLittle16(bytes + 4) != LDR_TRAILER_VERSION ||
      trailerLittle16(bytes + 6) != LDR_TRAILER_SIZE || trailerLittle16(bytes + 8) != LDR_ALGORITHM_ECDSA_P256_SHA256 ||
      trailerLittle16(bytes + 10) != 0u)
    return LDR_TRAILER_DAMAGED;
  if (trailer == NULL) return LDR_OK;
  for (i = 0; i < LDR_KEY_ID_SIZE; ++i) trailer->keyId[i] = bytes[12u + i];
  trailer->securityCounter = trailerLittle32(bytes + 44);
  for (i = 0; i < LDR_SIGNATURE_SIZE; ++i) trailer->signature[i] = bytes[48u + i];
  return LDR_OK;
}

