/*
 * The target's half of the two image formats: reads and checks a load image (44-byte
 * little-endian header, word-sum checksum) and a stamped image (16-byte big-endian header,
 * CRC-8) where a boot loader finds them, usually in memory-mapped flash.
 *
 * C99 and freestanding: no library call, no heap, no static state that changes (every call is
 * reentrant), no recursion, no division. An image may start at any address: the word-sum loads
 * whole words only at aligned addresses (a Cortex-M0 faults on an unaligned one), and every
 * answer is the same on a host of either byte order.
 *
 * Neither check value covers a header field: addresses, name, identifier and date are taken as
 * they stand. An intact image is one whose payload matches its check value.
 *
 * Two switches choose size over speed: LDR_CRC8_BITWISE, a CRC-8 without its 256-byte table,
 * and LDR_WORDSUM_BYTEWISE, a word-sum that assembles every word from bytes. Both are smaller
 * and slower (the README gives instructions per byte for each).
 *
 * Every call that fills a record gives each of its fields a defined value on every path, a
 * refusal included: what could not be read is zero.
 */
#ifndef IMAGE_LOADER_H
#define IMAGE_LOADER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* For the library's own functions that are called from several places, where a call is smaller
 * than a copy of the body: kept out of line where the compiler allows. */
#ifdef __GNUC__
#define LDR_NOINLINE __attribute__((__noinline__))
#else
#define LDR_NOINLINE
#endif

/* What a check found; LDR_OK is the only success. */
typedef enum {
  LDR_OK = 0,
  LDR_NULL_ARGUMENT,         /* a pointer argument was null */
  LDR_TOO_SHORT,             /* fewer bytes available than the header needs */
  LDR_BAD_HEADER_SIZE,       /* load image: headerSize is not 44 */
  LDR_BAD_MAGIC,             /* load image: magic is not 0xA0FFFF9F */
  LDR_BAD_FIXED_CODE,        /* load image: fixedCode is not 7 */
  LDR_IMAGE_TRUNCATED,       /* load image: imageSize (padded to whole words) beyond what is available */
  LDR_BAD_CHECKSUM,          /* load image: the payload's word-sum differs from the stored checksum */
  LDR_BAD_RESERVED,          /* stamped image: reserved bytes 5-7 are not zero */
  LDR_BAD_DATE,              /* stamped image: month not 1-12 or day not 1-31 */
  LDR_STAMP_TRUNCATED,       /* stamped image: dataLength beyond what is available */
  LDR_BAD_CRC,               /* stamped image: the payload's CRC-8 differs from the stored one */
  LDR_OUTSIDE_RAM,           /* placement: [loadAddress, loadAddress + imageSize) leaves the RAM window */
  LDR_ENTRY_OUTSIDE_PAYLOAD, /* placement, in place: execAddress (bit 0 ignored) is not inside the payload */
  LDR_BAD_RAM_WINDOW,        /* placement: ramStart + ramSize runs past 2^32 */
  LDR_NOT_AT_LOAD_ADDRESS,   /* in place: the payload does not stand at loadAddress */
  /* Updates (imageUpdate.h): */
  LDR_BAD_LAYOUT,            /* the flash geometry or the slots' places are out of range */
  LDR_FLASH_READ_FAILED,     /* the board's read callback failed: the bytes are damaged */
  LDR_FLASH_ERASE_FAILED,    /* the board's erase callback failed */
  LDR_FLASH_PROGRAM_FAILED,  /* the board's program callback failed */
  LDR_FLASH_VERIFY_FAILED,   /* bytes read back after programming differ from those written */
  LDR_IMAGE_TOO_LARGE,       /* staging: the header's image does not fit in the slot */
  LDR_STREAM_TOO_LONG,       /* staging: more bytes than the header says */
  LDR_STREAM_TOO_SHORT,      /* staging: finished before the header's length */
  LDR_STAGING_CLOSED,        /* staging: finished already, or never begun: begin again */
  LDR_NOT_AS_STAGED,         /* install: the update slot no longer holds the image recorded as staged */
  LDR_NOT_CONFIRMED,         /* staging: an image runs on trial; confirm it first */
  LDR_NOT_ON_TRIAL,          /* confirm: no image is on trial */
  LDR_NOT_SIGNED,            /* signature: no trailer follows the payload, and keys are configured */
  LDR_UNTRUSTED_KEY,         /* signature: the trailer names a key the device does not trust */
  LDR_BAD_SIGNATURE,         /* signature: the trusted key's signature does not verify: a byte changed */
  LDR_TRAILER_DAMAGED,       /* signature: a trailer cut short, or of another version or algorithm */
  LDR_DOWNGRADE              /* install: the image's security counter is below the installed one's */
} ldrStatus;

/* The status's name as C text ("LDR_BAD_CHECKSUM"), for a loader to print. */
const char *ldrStatusName(ldrStatus status);

/* ---- Load image ---- */

#define LDR_LOAD_HEADER_SIZE 44u
#define LDR_LOAD_MAGIC 0xA0FFFF9Fu
#define LDR_LOAD_FIXED_CODE 7u
#define LDR_IMAGE_NAME_SIZE 16u

/* The load-image header's fields, in file order. */
typedef struct {
  uint32_t headerSize;
  uint32_t imageSize;
  uint32_t loadAddress;
  uint32_t execAddress;
  unsigned char imageName[LDR_IMAGE_NAME_SIZE]; /* NUL-terminated only when shorter than 16 */
  uint32_t magic;
  uint32_t fixedCode;
  uint32_t checksum;
} ldrLoadHeader;

/* Reads the 44 header bytes at `bytes` (of which `available` may be read) into *header and
 * checks the three constants. The fields are filled whenever 44 bytes are there, even when a
 * constant is wrong, so that a loader can show them; with fewer, or a null `bytes`, every field
 * is zero. */
ldrStatus ldrReadLoadHeader(const unsigned char *bytes, size_t available, ldrLoadHeader *header);

/* Whether the image that `header` describes, its imageSize padded to whole words, fits in a
 * region of `regionSize` bytes that starts with the header (for every 32-bit imageSize and any
 * size_t). On LDR_OK, *payloadBytes is the payload and its padding: the bytes that follow the
 * header and that the word-sum runs over. Otherwise LDR_IMAGE_TRUNCATED and *payloadBytes 0.
 * For a loader that reads the image in chunks rather than through a pointer. */
ldrStatus ldrLoadImageExtent(const ldrLoadHeader *header, size_t regionSize, size_t *payloadBytes);

/* The word-sum as a running value over payload bytes fed in chunks split anywhere. Start it
 * with ldrWordSumStart; the fields are private. */
typedef struct {
  uint64_t sum;
  uint32_t partialWord;  /* the bytes of an incomplete word, already in their places */
  uint32_t partialBytes; /* 0 to 3 */
} ldrWordSum;

/* Starts a word-sum with nothing added. */
void ldrWordSumStart(ldrWordSum *state);

/* Adds `count` payload bytes in file order, read as little-endian 32-bit words. A word split
 * between calls is joined, so any split gives the same result as one call. Long chunks run
 * fastest at a word-aligned address after whole words. */
void ldrWordSumUpdate(ldrWordSum *state, const unsigned char *bytes, size_t count);

/* The checksum of everything added: the complement of the 64-bit sum's two halves added once,
 * the carry out of that addition dropped. A tail of 1 to 3 bytes counts as a word padded with
 * zeros, as the packer writes it. The state is left as it was. */
uint32_t ldrWordSumFinish(const ldrWordSum *state);

/* What ldrCheckLoadImage found. The header is filled once 44 bytes are there, else zero; the
 * rest once the image fits in what is available (LDR_OK or LDR_BAD_CHECKSUM), else zero. */
typedef struct {
  ldrLoadHeader header;
  uint32_t computedChecksum;    /* compare with header.checksum */
  const unsigned char *payload; /* the imageSize payload bytes, right after the header */
  size_t length;                /* header, payload and padding to a whole word: the file's length */
} ldrLoadImageInfo;

/* Checks a whole load image at `image`, of which `available` bytes may be read (flash beyond
 * the image is allowed): the header, that imageSize padded to whole words fits in what is
 * available (for every 32-bit imageSize), and the checksum over the payload and its padding. */
ldrStatus ldrCheckLoadImage(const unsigned char *image, size_t available, ldrLoadImageInfo *info);

/* Whether the payload, copied to loadAddress, lies wholly inside the RAM window [ramStart,
 * ramStart + ramSize) and execAddress with bit 0 (the Thumb bit) cleared falls inside the
 * copied payload. A window that runs past 2^32 is LDR_BAD_RAM_WINDOW. No sum here can
 * overflow, for any 32-bit values. */
ldrStatus ldrCheckPlacement(const ldrLoadHeader *header, uint32_t ramStart, uint32_t ramSize);

/* For an image run where it stands (execute in place): whether it was linked for the place it
 * is in, that is loadAddress is `payloadAddress`, the address of the payload's first byte (the
 * image's address plus 44), and execAddress with bit 0 cleared falls inside the payload. */
ldrStatus ldrCheckInPlace(const ldrLoadHeader *header, uint32_t payloadAddress);

/* ---- Stamped image ---- */

/* ---- The signature trailer of a signed load image ----
 * A signed image is a load image followed, right after its padded payload, by a trailer of 112
 * bytes of fixed layout, little-endian: magic "SIGN", version 1, length 112, algorithm 1
 * (ECDSA over P-256 with SHA-256), 2 reserved bytes of zero, the key id (SHA-256 of the signing
 * key's DER SubjectPublicKeyInfo, 32 bytes), the security counter (4 bytes), and the signature
 * (r and s, 32 bytes each, big-endian). imageVerify.h checks the signature. */
#define LDR_TRAILER_SIZE 112u
#define LDR_SIGNED_TRAILER_BYTES 48u /* the trailer's bytes the signature covers */
#define LDR_TRAILER_MAGIC 0x4E474953u /* "SIGN" */
#define LDR_TRAILER_VERSION 1u
#define LDR_ALGORITHM_ECDSA_P256_SHA256 1u
#define LDR_KEY_ID_SIZE 32u
#define LDR_SIGNATURE_SIZE 64u

/* A trailer's fields. */
typedef struct {
  unsigned char keyId[LDR_KEY_ID_SIZE];
  uint32_t securityCounter;
  unsigned char signature[LDR_SIGNATURE_SIZE];
} ldrSignatureTrailer;

/* Reads the trailer from the `available` bytes that follow a padded payload. LDR_NOT_SIGNED
 * where they do not start with the magic number (erased flash, say, or none at all);
 * LDR_TRAILER_DAMAGED where they do but are fewer than 112, or a version, length, algorithm or
 * reserved field is not this layout's. On LDR_OK *trailer holds the fields, else zeros; a null
 * `trailer` asks for the check alone. */
ldrStatus ldrReadSignatureTrailer(const unsigned char *bytes, size_t available, ldrSignatureTrailer *trailer);

#define LDR_STAMP_HEADER_SIZE 16u

/* The stamp header's fields, in file order. */
typedef struct {
  uint32_t imageId;
  uint8_t crc8;
  uint8_t reserved[3];
  uint32_t dataLength;
  uint16_t year;
  uint8_t month;
  uint8_t day;
} ldrStampHeader;

/* Reads the 16 header bytes at `bytes` (of which `available` may be read) into *header and
 * checks that the reserved bytes are zero and the date is plausible (month 1-12, day 1-31).
 * The fields are filled whenever 16 bytes are there; with fewer, or a null `bytes`, every
 * field is zero. */
ldrStatus ldrReadStampHeader(const unsigned char *bytes, size_t available, ldrStampHeader *header);

/* Whether dataLength payload bytes fit in a region of `regionSize` bytes that starts with the
 * header. On LDR_OK, *payloadBytes is dataLength; otherwise LDR_STAMP_TRUNCATED and 0. */
ldrStatus ldrStampedImageExtent(const ldrStampHeader *header, size_t regionSize, size_t *payloadBytes);

/* Advances a running CRC-8 over `count` bytes: the reflected form of x^8 + x^2 + x + 1,
 * starting from 0 with no final XOR. Any split of the bytes gives the same result. */
uint8_t ldrCrc8Update(uint8_t crc, const unsigned char *bytes, size_t count);

/* What ldrCheckStampedImage found. The header is filled once 16 bytes are there, else zero; the
 * rest once the image fits in what is available (LDR_OK or LDR_BAD_CRC), else zero. */
typedef struct {
  ldrStampHeader header;
  uint8_t computedCrc8;         /* compare with header.crc8 */
  const unsigned char *payload; /* the dataLength payload bytes, right after the header */
  size_t length;                /* header and payload: the file's length */
} ldrStampedImageInfo;

/* Checks a whole stamped image at `image`, of which `available` bytes may be read: the
 * header, that dataLength fits in what is available, and the CRC-8 over the payload. */
ldrStatus ldrCheckStampedImage(const unsigned char *image, size_t available, ldrStampedImageInfo *info);

#ifdef __cplusplus
}
#endif

#endif /* IMAGE_LOADER_H */
