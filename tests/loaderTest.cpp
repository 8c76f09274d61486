// The target library's checks, built as C for this host: known answers, any split of the
// payload at any alignment, every single-byte change, truncation, each header field wrong,
// 32-bit overflow, and a loader that reads the image in chunks. Built twice: the fast form and
// the small one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "imageLoader.h"
#include "support/crc8Reference.hpp"
#include "support/loadImageFile.hpp"
#include "support/testFiles.hpp"
#include "support/wordSumReference.hpp"

namespace {

// A stamped image as stampPack writes it.
Bytes stampedImage(const Bytes& payload, std::uint32_t id = 0x64365577) {
  Bytes file;
  appendBigEndian(file, id, 4);
  file.insert(file.end(), {referenceCrc8(payload), 0, 0, 0});
  appendBigEndian(file, payload.size(), 4);
  appendBigEndian(file, 2026, 2);
  file.insert(file.end(), {12, 8});
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

// The file's bytes; an empty file is still somewhere (a null pointer is refused on its own).
const unsigned char* bytesOf(const Bytes& file) {
  static const unsigned char nothing = 0;
  return file.empty() ? &nothing : file.data();
}

ldrStatus checkLoad(const Bytes& file, ldrLoadImageInfo* info = nullptr) {
  ldrLoadImageInfo ignored;
  return ldrCheckLoadImage(bytesOf(file), file.size(), info != nullptr ? info : &ignored);
}

ldrStatus checkStamped(const Bytes& file, ldrStampedImageInfo* info = nullptr) {
  ldrStampedImageInfo ignored;
  return ldrCheckStampedImage(bytesOf(file), file.size(), info != nullptr ? info : &ignored);
}

std::uint32_t wordSumOf(const Bytes& bytes) {
  ldrWordSum sum;
  ldrWordSumStart(&sum);
  ldrWordSumUpdate(&sum, bytes.data(), bytes.size());
  return ldrWordSumFinish(&sum);
}

// Hands `left` bytes of `file` from `offset` on to update(buffer, n) in `chunk`-byte pieces,
// each copied first into the start of `buffer`, as a read from flash would put it there.
template <typename Update>
void inChunks(const Bytes& file, std::size_t offset, std::size_t left, std::size_t chunk, Bytes& buffer,
              Update update) {
  for (; left > 0;) {
    const std::size_t n = std::min(left, chunk);
    std::copy_n(file.begin() + static_cast<long>(offset), n, buffer.begin());
    update(buffer.data(), n);
    offset += n;
    left -= n;
  }
}

// What a loader that reads the image in `chunk`-byte pieces through a small buffer concludes,
// using the calls exported for it; the region is the file.
ldrStatus streamLoad(const Bytes& file, std::size_t chunk) {
  Bytes buffer(std::max<std::size_t>(chunk, 44));
  const std::size_t headerBytes = std::min<std::size_t>(file.size(), 44);
  std::copy_n(file.begin(), headerBytes, buffer.begin());
  ldrLoadHeader header;
  std::size_t left = 0;
  ldrStatus status = ldrReadLoadHeader(buffer.data(), headerBytes, &header);
  if (status == LDR_OK) status = ldrLoadImageExtent(&header, file.size(), &left);
  if (status != LDR_OK) return status;
  ldrWordSum sum;
  ldrWordSumStart(&sum);
  inChunks(file, 44, left, chunk, buffer,
           [&sum](const unsigned char* bytes, std::size_t n) { ldrWordSumUpdate(&sum, bytes, n); });
  return ldrWordSumFinish(&sum) == header.checksum ? LDR_OK : LDR_BAD_CHECKSUM;
}

ldrStatus streamStamped(const Bytes& file, std::size_t chunk) {
  Bytes buffer(std::max<std::size_t>(chunk, 16));
  const std::size_t headerBytes = std::min<std::size_t>(file.size(), 16);
  std::copy_n(file.begin(), headerBytes, buffer.begin());
  ldrStampHeader header;
  std::size_t left = 0;
  ldrStatus status = ldrReadStampHeader(buffer.data(), headerBytes, &header);
  if (status == LDR_OK) status = ldrStampedImageExtent(&header, file.size(), &left);
  if (status != LDR_OK) return status;
  std::uint8_t crc = 0;
  inChunks(file, 16, left, chunk, buffer,
           [&crc](const unsigned char* bytes, std::size_t n) { crc = ldrCrc8Update(crc, bytes, n); });
  return crc == header.crc8 ? LDR_OK : LDR_BAD_CRC;
}

constexpr std::size_t kChunks[] = {1, 7, 512};

Bytes words(std::initializer_list<std::uint32_t> values) {
  Bytes bytes;
  for (const std::uint32_t value : values) appendLittleEndian32(bytes, value);
  return bytes;
}

}  // namespace

TEST(LoaderCheckValues, KnownAnswers) {
  const std::pair<Bytes, std::uint32_t> sums[] = {
      {{}, 0xFFFFFFFF},
      {words({1}), 0xFFFFFFFE},
      {words({0xFFFFFFFF, 0xFFFFFFFF}), 0},
      {words({0xFFFFFFFF, 0xFFFFFFFF, 1}), 0xFFFFFFFF},  // the carry of the fold is dropped
      {{1, 0, 0, 0, 2, 0, 0, 0}, 0xFFFFFFFC},
      {{1}, 0xFFFFFFFE},  // a tail counts as a zero-padded word
  };
  for (const auto& [bytes, expected] : sums) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_EQ(wordSumOf(bytes), expected);
  }
  const std::pair<std::string, std::uint8_t> crcs[] = {{"", 0x00}, {"\x01", 0x91}, {"abc", 0xF0}, {"123456789", 0x20}};
  for (const auto& [text, expected] : crcs) {
    SCOPED_TRACE(text);
    const Bytes bytes = textBytes(text);
    EXPECT_EQ(ldrCrc8Update(0, bytes.data(), bytes.size()), expected);
  }
  // Each single byte reaches one table entry: all 256 against the bit-by-bit reference.
  for (unsigned value = 0; value < 256; ++value) {
    const unsigned char byte = static_cast<unsigned char>(value);
    EXPECT_EQ(ldrCrc8Update(0, &byte, 1), referenceCrc8(Bytes{byte})) << value;
  }
}

// Any split of the payload into chunks, short or long, at any alignment of the bytes gives the
// one-pass result, which equals the reference.
TEST(LoaderCheckValues, ChunkSplitInvariance) {
  std::mt19937 generator(21);
  for (int trial = 0; trial < 1200; ++trial) {
    const Bytes payload = randomBytes(generator() % 300, static_cast<std::uint32_t>(trial));
    const std::size_t offset = static_cast<std::size_t>(trial) % 4;
    const std::size_t longest = trial % 3 == 0 ? 7 : 70;  // short chunks read bytes, long ones words
    SCOPED_TRACE(std::to_string(payload.size()) + " bytes at offset " + std::to_string(offset) + ", trial " +
                 std::to_string(trial));
    Bytes placed(offset, 0xEE);
    placed.insert(placed.end(), payload.begin(), payload.end());
    const unsigned char* bytes = placed.data() + offset;
    ldrWordSum sum;
    ldrWordSumStart(&sum);
    std::uint8_t crc = 0;
    for (std::size_t done = 0; done < payload.size();) {
      const std::size_t chunk = std::min<std::size_t>(generator() % longest, payload.size() - done);
      ldrWordSumUpdate(&sum, bytes + done, chunk);
      crc = ldrCrc8Update(crc, bytes + done, chunk);
      done += chunk;
    }
    EXPECT_EQ(ldrWordSumFinish(&sum), referenceWordSum(payload));
    EXPECT_EQ(crc, referenceCrc8(payload));
  }
}

// In this checksum a word of all ones counts as a zero word: adding 2^32 - 1 raises the high
// half by one and lowers the low half by one, and the fold adds them back together. Images
// already written depend on the sum as it is, so this property stays; a loader that must notice
// an imageSize raised over erased flash compares it with the size it expects.
TEST(LoaderCheckValues, AnAllOnesWordCountsAsZero) {
  const Bytes payload = randomBytes(40, 3);
  Bytes withOnes = payload;
  for (int i = 0; i < 4; ++i) withOnes.push_back(0xFF);
  EXPECT_EQ(wordSumOf(withOnes), wordSumOf(payload));
  Bytes zeroRead = payload;
  for (std::size_t i = 8; i < 12; ++i) zeroRead[i] = 0;
  Bytes erasedRead = payload;
  for (std::size_t i = 8; i < 12; ++i) erasedRead[i] = 0xFF;
  EXPECT_EQ(wordSumOf(zeroRead), wordSumOf(erasedRead));
  // So an imageSize raised by a word over erased flash still passes.
  Bytes flash = loadImage(payload);
  flash.resize(flash.size() + 8, 0xFF);
  flash[4] = static_cast<unsigned char>(payload.size() + 4);
  EXPECT_EQ(checkLoad(flash), LDR_OK);
}

TEST(LoaderImages, IntactImagesPassAtAnyAlignment) {
  for (const std::size_t size : std::initializer_list<std::size_t>{0, 1, 2, 3, 4, 5, 4097}) {
    const Bytes payload = randomBytes(size, static_cast<std::uint32_t>(size));
    for (std::size_t offset = 0; offset < 4; ++offset) {
      SCOPED_TRACE(std::to_string(size) + " bytes at offset " + std::to_string(offset));
      // Behind `offset` bytes and followed by erased flash: the check reads bytes only and
      // allows more than the image.
      Bytes flash(offset, 0);
      const Bytes load = loadImage(payload);
      flash.insert(flash.end(), load.begin(), load.end());
      flash.resize(flash.size() + 5, 0xFF);
      ldrLoadImageInfo info;
      ASSERT_EQ(ldrCheckLoadImage(flash.data() + offset, flash.size() - offset, &info), LDR_OK);
      if (offset == 0) {
        for (const std::size_t chunk : kChunks) EXPECT_EQ(streamLoad(load, chunk), LDR_OK) << chunk << "-byte chunks";
        for (const std::size_t chunk : kChunks)
          EXPECT_EQ(streamStamped(stampedImage(payload), chunk), LDR_OK) << chunk << "-byte chunks";
      }
      EXPECT_EQ(info.length, load.size());
      EXPECT_EQ(info.header.imageSize, size);
      EXPECT_EQ(info.header.loadAddress, 0x20001000u);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.header.imageName)), "APP");
      EXPECT_EQ(info.computedChecksum, referenceWordSum(payload));
      EXPECT_EQ(info.payload, flash.data() + offset + 44);

      const Bytes stamped = stampedImage(payload, 0x0B11C001);
      Bytes flash2(offset, 0);
      flash2.insert(flash2.end(), stamped.begin(), stamped.end());
      ldrStampedImageInfo stampInfo;
      ASSERT_EQ(ldrCheckStampedImage(flash2.data() + offset, flash2.size() - offset, &stampInfo), LDR_OK);
      EXPECT_EQ(stampInfo.header.imageId, 0x0B11C001u);
      EXPECT_EQ(stampInfo.header.dataLength, size);
      EXPECT_EQ(stampInfo.header.year, 2026);
      EXPECT_EQ(stampInfo.header.month, 12);
      EXPECT_EQ(stampInfo.header.day, 8);
      EXPECT_EQ(stampInfo.computedCrc8, referenceCrc8(payload));
      EXPECT_EQ(stampInfo.length, stamped.size());
    }
  }
}

// Every value of every payload byte but the right one is caught, padding included.
TEST(LoaderImages, EverySingleByteChangeOfThePayloadIsDetected) {
  const Bytes payload = randomBytes(61, 7);
  const Bytes load = loadImage(payload);
  const Bytes stamped = stampedImage(payload);
  for (std::size_t position = 0; position < 64; ++position) {
    for (unsigned delta = 1; delta < 256; ++delta) {
      Bytes file = load;
      file[44 + position] = static_cast<unsigned char>(file[44 + position] ^ delta);
      ASSERT_EQ(checkLoad(file), LDR_BAD_CHECKSUM) << "load image, byte " << position << " ^ " << delta;
      if (position >= payload.size()) continue;
      file = stamped;
      file[16 + position] = static_cast<unsigned char>(file[16 + position] ^ delta);
      ASSERT_EQ(checkStamped(file), LDR_BAD_CRC) << "stamped image, byte " << position << " ^ " << delta;
    }
  }
}

TEST(LoaderImages, DamagedHeadersAndLengthsNameWhatIsWrong) {
  const Bytes payload = randomBytes(10, 8);
  const Bytes load = loadImage(payload);
  const Bytes stamped = stampedImage(payload);
  const auto with = [](Bytes file, std::size_t offset, std::initializer_list<unsigned char> bytes) {
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<long>(offset));
    return file;
  };
  const auto cut = [](const Bytes& file, std::size_t length) {
    return Bytes(file.begin(), file.begin() + static_cast<long>(length));
  };
  // Each file read both ways: neither format is ever taken for the other.
  struct Case {
    const char* what;
    Bytes file;
    ldrStatus load;     // what ldrCheckLoadImage says
    ldrStatus stamped;  // what ldrCheckStampedImage says
  };
  const Case cases[] = {
      {"empty", {}, LDR_TOO_SHORT, LDR_TOO_SHORT},
      {"load image, 43 bytes", cut(load, 43), LDR_TOO_SHORT, LDR_BAD_DATE},
      {"load image, header alone", cut(load, 44), LDR_IMAGE_TRUNCATED, LDR_BAD_DATE},
      {"load image, last padding byte missing", cut(load, load.size() - 1), LDR_IMAGE_TRUNCATED, LDR_BAD_DATE},
      {"load image, headerSize 45", with(load, 0, {45}), LDR_BAD_HEADER_SIZE, LDR_BAD_DATE},
      {"load image, magic", with(load, 35, {0xA1}), LDR_BAD_MAGIC, LDR_BAD_DATE},
      {"load image, fixedCode 8", with(load, 36, {8}), LDR_BAD_FIXED_CODE, LDR_BAD_DATE},
      {"load image, checksum", with(load, 40, {0}), LDR_BAD_CHECKSUM, LDR_BAD_DATE},
      {"load image, imageSize 8", with(load, 4, {8}), LDR_BAD_CHECKSUM, LDR_BAD_DATE},
      {"load image, imageSize 13", with(load, 4, {13}), LDR_IMAGE_TRUNCATED, LDR_BAD_DATE},
      {"load image, imageSize 0xFFFFFFFF", with(load, 4, {0xFF, 0xFF, 0xFF, 0xFF}), LDR_IMAGE_TRUNCATED,
       LDR_BAD_RESERVED},
      {"load image, imageSize 0xFFFFFFFD", with(load, 4, {0xFD, 0xFF, 0xFF, 0xFF}), LDR_IMAGE_TRUNCATED,
       LDR_BAD_RESERVED},
      {"stamped image, 15 bytes", cut(stamped, 15), LDR_TOO_SHORT, LDR_TOO_SHORT},
      {"stamped image, one byte short", cut(stamped, stamped.size() - 1), LDR_TOO_SHORT, LDR_STAMP_TRUNCATED},
      {"stamped image, crc", with(stamped, 4, {0}), LDR_TOO_SHORT, LDR_BAD_CRC},
      {"stamped image, reserved byte 5", with(stamped, 5, {1}), LDR_TOO_SHORT, LDR_BAD_RESERVED},
      {"stamped image, reserved byte 7", with(stamped, 7, {0x80}), LDR_TOO_SHORT, LDR_BAD_RESERVED},
      {"stamped image, dataLength 11", with(stamped, 11, {11}), LDR_TOO_SHORT, LDR_STAMP_TRUNCATED},
      {"stamped image, dataLength 0xFFFFFFFF", with(stamped, 8, {0xFF, 0xFF, 0xFF, 0xFF}), LDR_TOO_SHORT,
       LDR_STAMP_TRUNCATED},
      {"stamped image, month 0", with(stamped, 14, {0}), LDR_TOO_SHORT, LDR_BAD_DATE},
      {"stamped image, month 13", with(stamped, 14, {13}), LDR_TOO_SHORT, LDR_BAD_DATE},
      {"stamped image, day 0", with(stamped, 15, {0}), LDR_TOO_SHORT, LDR_BAD_DATE},
      {"stamped image, day 32", with(stamped, 15, {32}), LDR_TOO_SHORT, LDR_BAD_DATE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_STREQ(ldrStatusName(checkLoad(c.file)), ldrStatusName(c.load));
    EXPECT_STREQ(ldrStatusName(checkStamped(c.file)), ldrStatusName(c.stamped));
    // A loader reading in chunks through the exported calls reaches the same verdicts.
    for (const std::size_t chunk : kChunks) {
      SCOPED_TRACE(std::to_string(chunk) + "-byte chunks");
      EXPECT_STREQ(ldrStatusName(streamLoad(c.file, chunk)), ldrStatusName(c.load));
      EXPECT_STREQ(ldrStatusName(streamStamped(c.file, chunk)), ldrStatusName(c.stamped));
    }
  }
  // Where no header could be read, every field of the record is zero, not what was there before.
  for (const Bytes& file : {Bytes{}, cut(load, 43), cut(stamped, 15)}) {
    ldrLoadImageInfo loadInfo;
    ldrStampedImageInfo stampInfo;
    std::memset(&loadInfo, 0xA5, sizeof loadInfo);
    std::memset(&stampInfo, 0xA5, sizeof stampInfo);
    checkLoad(file, &loadInfo);
    checkStamped(file, &stampInfo);
    const auto* header = reinterpret_cast<const unsigned char*>(&loadInfo.header);
    EXPECT_EQ(Bytes(header, header + sizeof loadInfo.header), Bytes(sizeof loadInfo.header, 0));
    EXPECT_EQ(loadInfo.computedChecksum, 0u);
    EXPECT_EQ(loadInfo.payload, nullptr);
    EXPECT_EQ(loadInfo.length, 0u);
    if (file.size() < 16) {
      EXPECT_EQ(stampInfo.header.imageId | stampInfo.header.dataLength | stampInfo.header.crc8 | stampInfo.header.year |
                    stampInfo.header.month | stampInfo.header.day | stampInfo.header.reserved[0],
                0u);
    }
  }
  // Fields that no check value covers are taken as they stand: an address, or an imageSize
  // whose padded words are the same.
  EXPECT_EQ(checkLoad(with(load, 8, {0x12, 0x34})), LDR_OK);
  EXPECT_EQ(checkLoad(with(load, 4, {11})), LDR_OK);
  EXPECT_EQ(checkStamped(with(stamped, 0, {0xFF})), LDR_OK);
  // An image longer than its header says: flash beyond the image.
  Bytes longer = stamped;
  longer.push_back(0);
  ldrStampedImageInfo info;
  EXPECT_EQ(checkStamped(longer, &info), LDR_OK);
  EXPECT_EQ(info.length, stamped.size());
  // A null pointer is refused, not followed.
  ldrLoadHeader header;
  EXPECT_EQ(ldrCheckLoadImage(nullptr, 100, nullptr), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrCheckStampedImage(stamped.data(), stamped.size(), nullptr), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrReadLoadHeader(nullptr, 44, &header), LDR_NULL_ARGUMENT);
  EXPECT_EQ(header.checksum | header.imageSize | header.magic, 0u);
  EXPECT_EQ(ldrCheckPlacement(nullptr, 0, 0), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrCheckInPlace(nullptr, 0), LDR_NULL_ARGUMENT);
  std::size_t extent = 1;
  EXPECT_EQ(ldrLoadImageExtent(&header, 100, nullptr), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrStampedImageExtent(nullptr, 100, &extent), LDR_NULL_ARGUMENT);
}

TEST(LoaderPlacement, PayloadAndEntryInsideTheRamWindow) {
  struct Case {
    const char* what;
    std::uint32_t load, size, exec, ramStart, ramSize;
    ldrStatus expected;
  };
  const Case cases[] = {
      {"fills the window, Thumb entry", 0x20001000, 0x3000, 0x20001001, 0x20001000, 0x3000, LDR_OK},
      {"entry at the last byte", 0x20001000, 0x100, 0x200010FF, 0x20000000, 0x4000, LDR_OK},
      {"one byte past the end", 0x20001000, 0x3001, 0x20001001, 0x20001000, 0x3000, LDR_OUTSIDE_RAM},
      {"below the window", 0x20000FFF, 0x10, 0x20001001, 0x20001000, 0x3000, LDR_OUTSIDE_RAM},
      {"size 0xFFFFFFFF", 0x20001000, 0xFFFFFFFF, 0x20001001, 0x20001000, 0x3000, LDR_OUTSIDE_RAM},
      {"load near 2^32 wraps past the end", 0xFFFFFF00, 0x200, 0xFFFFFF01, 0xFFFF0000, 0x10000, LDR_OUTSIDE_RAM},
      {"window up to 2^32", 0xFFFFFF00, 0x100, 0xFFFFFF01, 0xFFFF0000, 0x10000, LDR_OK},
      {"window of the whole space but one", 0, 0xFFFFFFFF, 1, 0, 0xFFFFFFFF, LDR_OK},
      {"entry before the payload", 0x20001000, 0x100, 0x20000FFF, 0x20000000, 0x4000, LDR_ENTRY_OUTSIDE_PAYLOAD},
      {"entry just past the payload", 0x20001000, 0x100, 0x20001100, 0x20000000, 0x4000, LDR_ENTRY_OUTSIDE_PAYLOAD},
      {"empty payload", 0x20001000, 0, 0x20001000, 0x20000000, 0x4000, LDR_ENTRY_OUTSIDE_PAYLOAD},
      // The Thumb bit is cleared before the entry is compared, not after.
      {"Thumb entry at an odd load address", 0x20001001, 0x100, 0x20001001, 0x20000000, 0x4000,
       LDR_ENTRY_OUTSIDE_PAYLOAD},
      {"odd size, Thumb entry at the last byte", 0x20001000, 0x101, 0x20001101, 0x20000000, 0x4000, LDR_OK},
      // A window past 2^32 would let a payload wrap round to address 0.
      {"window runs past 2^32", 0xFFFFFF00, 0x200, 0xFFFFFF01, 0xFFFF0000, 0x20000, LDR_BAD_RAM_WINDOW},
      {"window runs past 2^32, payload wraps", 0xFFFFFF00, 0x200, 0xFFFFFF01, 0xFFFFFF00, 0xFFFF0000,
       LDR_BAD_RAM_WINDOW},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ldrLoadHeader header{};
    header.loadAddress = c.load;
    header.imageSize = c.size;
    header.execAddress = c.exec;
    EXPECT_STREQ(ldrStatusName(ldrCheckPlacement(&header, c.ramStart, c.ramSize)), ldrStatusName(c.expected));
  }
}

// An image run where it stands: linked for the place its payload is, with the entry inside.
TEST(LoaderPlacement, InPlaceOnlyWhereItWasLinked) {
  struct Case {
    const char* what;
    std::uint32_t load, size, exec, payloadAddress;
    ldrStatus expected;
  };
  const Case cases[] = {
      {"linked for its slot, Thumb entry", 0x0000802C, 0x200, 0x0000802D, 0x0000802C, LDR_OK},
      {"entry at the last byte", 0x0000802C, 0x200, 0x0000822B, 0x0000802C, LDR_OK},
      {"one slot further on", 0x0000802C, 0x200, 0x0000802D, 0x0000A02C, LDR_NOT_AT_LOAD_ADDRESS},
      {"the image's address, not its payload's", 0x00008000, 0x200, 0x00008001, 0x0000802C, LDR_NOT_AT_LOAD_ADDRESS},
      {"entry past the payload", 0x0000802C, 0x200, 0x0000822C, 0x0000802C, LDR_ENTRY_OUTSIDE_PAYLOAD},
      {"entry before the payload", 0x0000802C, 0x200, 0x0000802B, 0x0000802C, LDR_ENTRY_OUTSIDE_PAYLOAD},
      {"empty payload", 0x0000802C, 0, 0x0000802C, 0x0000802C, LDR_ENTRY_OUTSIDE_PAYLOAD},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ldrLoadHeader header{};
    header.loadAddress = c.load;
    header.imageSize = c.size;
    header.execAddress = c.exec;
    EXPECT_STREQ(ldrStatusName(ldrCheckInPlace(&header, c.payloadAddress)), ldrStatusName(c.expected));
  }
}

// What a chunked loader needs: whether the image fits its region, and how many bytes follow the
// header; for every 32-bit size, on hosts with a 32-bit size_t too.
TEST(LoaderImages, ExtentsForAChunkedLoader) {
  struct Case {
    std::uint32_t size;
    std::size_t region;
    ldrStatus load;
    std::size_t loadBytes;
    ldrStatus stamped;
    std::size_t stampedBytes;
  };
  constexpr bool wide = SIZE_MAX > 0xFFFFFFFFu;
  const Case cases[] = {
      {0, 44, LDR_OK, 0, LDR_OK, 0},
      {0, 15, LDR_IMAGE_TRUNCATED, 0, LDR_STAMP_TRUNCATED, 0},
      {5, 52, LDR_OK, 8, LDR_OK, 5},
      {5, 51, LDR_IMAGE_TRUNCATED, 0, LDR_OK, 5},
      {5, 20, LDR_IMAGE_TRUNCATED, 0, LDR_STAMP_TRUNCATED, 0},
      // 2^32 bytes with the padding: room for them only where size_t is wider than 32 bits.
      {0xFFFFFFFF, SIZE_MAX, wide ? LDR_OK : LDR_IMAGE_TRUNCATED, wide ? std::size_t{0xFFFFFFFF} + 1 : 0,
       wide ? LDR_OK : LDR_STAMP_TRUNCATED, wide ? 0xFFFFFFFF : 0},
      {0xFFFFFFFF, 0xFFFFFFFF, LDR_IMAGE_TRUNCATED, 0, LDR_STAMP_TRUNCATED, 0},
      {0xFFFFFFFC, SIZE_MAX, wide ? LDR_OK : LDR_IMAGE_TRUNCATED, wide ? 0xFFFFFFFC : 0,
       wide ? LDR_OK : LDR_STAMP_TRUNCATED, wide ? 0xFFFFFFFC : 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes in a region of " + std::to_string(c.region));
    ldrLoadHeader load{};
    load.imageSize = c.size;
    ldrStampHeader stamped{};
    stamped.dataLength = c.size;
    std::size_t bytes = 99;
    EXPECT_STREQ(ldrStatusName(ldrLoadImageExtent(&load, c.region, &bytes)), ldrStatusName(c.load));
    EXPECT_EQ(bytes, c.loadBytes);
    bytes = 99;
    EXPECT_STREQ(ldrStatusName(ldrStampedImageExtent(&stamped, c.region, &bytes)), ldrStatusName(c.stamped));
    EXPECT_EQ(bytes, c.stampedBytes);
  }
}

// Every status has a name of its own, its enumerator's; a value past the last has none.
TEST(StatusNames, EachIsItsEnumeratorsSpelling) {
  const std::pair<ldrStatus, const char*> spelled[] = {
      {LDR_OK, "LDR_OK"},
      {LDR_BAD_CHECKSUM, "LDR_BAD_CHECKSUM"},
      {LDR_NOT_AT_LOAD_ADDRESS, "LDR_NOT_AT_LOAD_ADDRESS"},
      {LDR_BAD_LAYOUT, "LDR_BAD_LAYOUT"},
      {LDR_STAGING_CLOSED, "LDR_STAGING_CLOSED"},
      {LDR_NOT_ON_TRIAL, "LDR_NOT_ON_TRIAL"},
      {LDR_NOT_SIGNED, "LDR_NOT_SIGNED"},
      {LDR_DOWNGRADE, "LDR_DOWNGRADE"},
      {static_cast<ldrStatus>(LDR_DOWNGRADE + 1), "LDR_UNKNOWN_STATUS"},
  };
  for (const auto& [status, name] : spelled) EXPECT_STREQ(ldrStatusName(status), name);
  std::set<std::string> names;
  for (int status = LDR_OK; status <= LDR_DOWNGRADE; ++status) names.insert(ldrStatusName(static_cast<ldrStatus>(status)));
  EXPECT_EQ(names.size(), static_cast<std::size_t>(LDR_DOWNGRADE + 1));
  EXPECT_EQ(names.count("LDR_UNKNOWN_STATUS"), 0u);
}
