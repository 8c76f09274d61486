/* The target's checks of both image formats; see imageLoader.h for the contract of each call. */
#include "imageLoader.h"

/* CRC-8 over x^8 + x^2 + x + 1 (0x07), processed least significant bit first: the register
 * shifts right and, when the bit shifted out was 1, is XORed with the bit-reversed polynomial. */
#define LDR_CRC8_REFLECTED_POLYNOMIAL 0xE0u

/* One bit through the register: the mask is all ones exactly when the low bit is set, which
 * avoids a branch. */
#define LDR_CRC8_BIT(c) (((c) >> 1) ^ (LDR_CRC8_REFLECTED_POLYNOMIAL & (0u - ((c)&1u))))

#ifndef LDR_CRC8_BITWISE

/* Table entry i is the register after the byte i has been shifted through it. C99 has no
 * constant functions, so the preprocessor computes every entry while the table is compiled. */
#define LDR_CRC8_ENTRY(i)              \
  ((uint8_t)LDR_CRC8_BIT(LDR_CRC8_BIT( \
      LDR_CRC8_BIT(LDR_CRC8_BIT(LDR_CRC8_BIT(LDR_CRC8_BIT(LDR_CRC8_BIT(LDR_CRC8_BIT((unsigned)(i))))))))))
#define LDR_CRC8_ROW4(i) LDR_CRC8_ENTRY(i), LDR_CRC8_ENTRY((i) + 1u), LDR_CRC8_ENTRY((i) + 2u), LDR_CRC8_ENTRY((i) + 3u)
#define LDR_CRC8_ROW16(i) LDR_CRC8_ROW4(i), LDR_CRC8_ROW4((i) + 4u), LDR_CRC8_ROW4((i) + 8u), LDR_CRC8_ROW4((i) + 12u)
#define LDR_CRC8_ROW64(i) \
  LDR_CRC8_ROW16(i), LDR_CRC8_ROW16((i) + 16u), LDR_CRC8_ROW16((i) + 32u), LDR_CRC8_ROW16((i) + 48u)

static const uint8_t ldrCrc8Table[256] = {LDR_CRC8_ROW64(0u), LDR_CRC8_ROW64(64u), LDR_CRC8_ROW64(128u),
                                          LDR_CRC8_ROW64(192u)};

#endif

static uint32_t readLittle32(const unsigned char *bytes) {
  return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static uint32_t readBig32(const unsigned char *bytes) {
  return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | (uint32_t)bytes[3];
}

const char *ldrStatusName(ldrStatus status) {
  switch (status) {
    case LDR_OK:
      return "LDR_OK";
    case LDR_NULL_ARGUMENT:
      return "LDR_NULL_ARGUMENT";
    case LDR_TOO_SHORT:
      return "LDR_TOO_SHORT";
    case LDR_BAD_HEADER_SIZE:
      return "LDR_BAD_HEADER_SIZE";
    case LDR_BAD_MAGIC:
      return "LDR_BAD_MAGIC";
    case LDR_BAD_FIXED_CODE:
      return "LDR_BAD_FIXED_CODE";
    case LDR_IMAGE_TRUNCATED:
      return "LDR_IMAGE_TRUNCATED";
    case LDR_BAD_CHECKSUM:
      return "LDR_BAD_CHECKSUM";
    case LDR_BAD_RESERVED:
      return "LDR_BAD_RESERVED";
    case LDR_BAD_DATE:
      return "LDR_BAD_DATE";
    case LDR_STAMP_TRUNCATED:
      return "LDR_STAMP_TRUNCATED";
    case LDR_BAD_CRC:
      return "LDR_BAD_CRC";
    case LDR_OUTSIDE_RAM:
      return "LDR_OUTSIDE_RAM";
    case LDR_ENTRY_OUTSIDE_PAYLOAD:
      return "LDR_ENTRY_OUTSIDE_PAYLOAD";
  }
  return "LDR_UNKNOWN_STATUS";
}

ldrStatus ldrReadLoadHeader(const unsigned char *bytes, size_t available, ldrLoadHeader *header) {
  unsigned i;
  if (bytes == NULL || header == NULL) return LDR_NULL_ARGUMENT;
  if (available < LDR_LOAD_HEADER_SIZE) return LDR_TOO_SHORT;
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

void ldrWordSumStart(ldrWordSum *state) {
  state->sum = 0;
  state->partialWord = 0;
  state->partialBytes = 0;
}

void ldrWordSumUpdate(ldrWordSum *state, const unsigned char *bytes, size_t count) {
  uint64_t sum = state->sum;
  uint32_t word = state->partialWord;
  uint32_t filled = state->partialBytes;
  size_t i;
  for (i = 0; i < count; ++i) {
    word |= (uint32_t)bytes[i] << (filled << 3); /* little-endian: byte k holds bits 8k to 8k+7 */
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
  size_t rest;
  uint32_t size;
  uint32_t padding;
  ldrWordSum sum;
  if (info == NULL) return LDR_NULL_ARGUMENT;
  info->computedChecksum = 0;
  info->payload = NULL;
  info->length = 0;
  status = ldrReadLoadHeader(image, available, &info->header);
  if (status != LDR_OK) return status;

  /* Compared piece by piece, so that no imageSize up to 0xFFFFFFFF can wrap a sum. */
  rest = available - LDR_LOAD_HEADER_SIZE;
  size = info->header.imageSize;
  padding = (0u - size) & 3u;
  if (size > rest || rest - size < padding) return LDR_IMAGE_TRUNCATED;

  ldrWordSumStart(&sum);
  /* The padding as stored: the packer writes zeros, so a changed padding byte is damage too. */
  ldrWordSumUpdate(&sum, image + LDR_LOAD_HEADER_SIZE, (size_t)size + padding);
  info->computedChecksum = ldrWordSumFinish(&sum);
  info->payload = image + LDR_LOAD_HEADER_SIZE;
  info->length = LDR_LOAD_HEADER_SIZE + (size_t)size + padding;
  return info->computedChecksum == info->header.checksum ? LDR_OK : LDR_BAD_CHECKSUM;
}

ldrStatus ldrCheckPlacement(const ldrLoadHeader *header, uint32_t ramStart, uint32_t ramSize) {
  uint32_t load;
  uint32_t size;
  uint32_t entry;
  if (header == NULL) return LDR_NULL_ARGUMENT;
  load = header->loadAddress;
  size = header->imageSize;
  /* Differences only: load - ramStart and ramSize - size cannot wrap once the first two hold. */
  if (load < ramStart || size > ramSize || load - ramStart > ramSize - size) return LDR_OUTSIDE_RAM;
  entry = header->execAddress & ~1u;
  if (entry < load || entry - load >= size) return LDR_ENTRY_OUTSIDE_PAYLOAD;
  return LDR_OK;
}

ldrStatus ldrReadStampHeader(const unsigned char *bytes, size_t available, ldrStampHeader *header) {
  if (bytes == NULL || header == NULL) return LDR_NULL_ARGUMENT;
  if (available < LDR_STAMP_HEADER_SIZE) return LDR_TOO_SHORT;
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

uint8_t ldrCrc8Update(uint8_t crc, const unsigned char *bytes, size_t count) {
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
  for (i = 0; i < count; ++i) crc = ldrCrc8Table[crc ^ bytes[i]];
  return crc;
#endif
}

ldrStatus ldrCheckStampedImage(const unsigned char *image, size_t available, ldrStampedImageInfo *info) {
  ldrStatus status;
  uint32_t size;
  if (info == NULL) return LDR_NULL_ARGUMENT;
  info->computedCrc8 = 0;
  info->payload = NULL;
  info->length = 0;
  status = ldrReadStampHeader(image, available, &info->header);
  if (status != LDR_OK) return status;

  size = info->header.dataLength;
  if (size > available - LDR_STAMP_HEADER_SIZE) return LDR_STAMP_TRUNCATED;
  info->computedCrc8 = ldrCrc8Update(0, image + LDR_STAMP_HEADER_SIZE, size);
  info->payload = image + LDR_STAMP_HEADER_SIZE;
  info->length = LDR_STAMP_HEADER_SIZE + (size_t)size;
  return info->computedCrc8 == info->header.crc8 ? LDR_OK : LDR_BAD_CRC;
}
