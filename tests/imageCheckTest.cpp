#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>

#include "elfMatch.hpp"
#include "imageCheck.hpp"
#include "reportFormat.hpp"
#include "support/json.hpp"
#include "support/testFiles.hpp"

namespace {

ImageReport check(const Bytes& file) {
  ImageCheck imageCheck;
  imageCheck.update(file);
  return imageCheck.finish();
}

template <std::size_t N>
Bytes withHeader(const std::array<unsigned char, N>& header, const Bytes& payload) {
  Bytes file(N + payload.size());
  std::copy(header.begin(), header.end(), file.begin());
  std::copy(payload.begin(), payload.end(), file.begin() + N);
  return file;
}

// A complete load image, built with the format library the packer uses.
Bytes loadImage(const Bytes& payload) {
  LoadImageHeader header = makeLoadImageHeader(static_cast<std::uint32_t>(payload.size()), 0x8000, 0x8004, "kernel");
  WordSum sum;
  sum.update(payload);
  header.checksum = sum.finish();
  Bytes file = withHeader(encodeLoadImageHeader(header), payload);
  while (file.size() % 4 != 0) file.push_back(0);
  return file;
}

Bytes stampedImage(const Bytes& payload) {
  StampHeader header =
      makeStampHeader(0x64365577, static_cast<std::uint32_t>(payload.size()), PackingDate{2026, 1, 31});
  Crc8 crc;
  crc.update(payload);
  header.crc8 = crc.result();
  return withHeader(encodeStampHeader(header), payload);
}

}  // namespace

TEST(ImageCheck, IntactFilesOfBothFormats) {
  for (const std::size_t size : std::initializer_list<std::size_t>{0, 1, 3, 28, 29, 4096}) {
    SCOPED_TRACE("payload of " + std::to_string(size) + " bytes");
    const Bytes payload = randomBytes(size, static_cast<std::uint32_t>(size));
    const ImageReport load = check(loadImage(payload));
    EXPECT_EQ(load.format, ImageFormat::loadImage);
    EXPECT_TRUE(load.intact) << load.verdict;
    EXPECT_EQ(load.verdict, "ok");
    EXPECT_EQ(load.loadHeader.imageSize, size);
    const ImageReport stamped = check(stampedImage(payload));
    EXPECT_EQ(stamped.format, ImageFormat::stampedImage);
    EXPECT_TRUE(stamped.intact) << stamped.verdict;
    EXPECT_EQ(stamped.stampHeader.dataLength, size);
  }
}

// Every single-byte change to a check field or the payload is caught, wherever it is.
TEST(ImageCheck, AnySingleByteChangeIsDamage) {
  const Bytes payload = randomBytes(37, 1);
  const struct {
    const char* format;
    Bytes file;
    std::vector<std::size_t> positions;  // the check field
    std::size_t payloadOffset;           // from here to the end, padding included
  } cases[] = {
      {"load image", loadImage(payload), {40, 41, 42, 43}, 44},
      {"stamped image", stampedImage(payload), {4}, 16},
  };
  for (const auto& c : cases) {
    std::vector<std::size_t> positions = c.positions;
    for (std::size_t i = c.payloadOffset; i < c.file.size(); ++i) positions.push_back(i);
    for (const std::size_t position : positions) {
      SCOPED_TRACE(std::string(c.format) + ", byte " + std::to_string(position));
      Bytes damaged = c.file;
      damaged[position] ^= 0x10;
      const ImageReport report = check(damaged);
      EXPECT_FALSE(report.intact);
      EXPECT_EQ(report.verdict.rfind("damaged: ", 0), 0u) << report.verdict;
    }
  }
}

TEST(ImageCheck, WrongLengthsAndForeignFiles) {
  const Bytes load = loadImage(randomBytes(64, 2));
  const Bytes stamped = stampedImage(randomBytes(4096, 3));
  Bytes longerLoad = load;
  longerLoad.push_back(0);
  Bytes longerStamped = stamped;
  longerStamped.push_back(0);
  const auto stampedWith = [](std::size_t at, unsigned char value) {
    Bytes file = stampedImage({});
    file[at] = value;
    return file;
  };
  const auto loadWith = [&load](std::size_t at, unsigned char value) {
    Bytes file = load;
    file[at] = value;
    return file;
  };
  const struct {
    const char* what;
    Bytes file;
    std::string verdict;
  } cases[] = {
      {"load image cut short", Bytes(load.begin(), load.end() - 4), "damaged: length 104 but header says 108"},
      {"load image extended", longerLoad, "damaged: length 109 but header says 108"},
      {"load header alone", Bytes(load.begin(), load.begin() + 40),
       "not a recognised image: neither a load image nor a stamped image (as a load image: length 40 is shorter than the 44-byte header)"},
      // Truncation is damage in both formats alike.
      {"stamped image cut short", Bytes(stamped.begin(), stamped.end() - 1),
       "damaged: length 4111 but header says 4112"},
      {"stamped image extended", longerStamped, "damaged: length 4113 but header says 4112"},
      {"month 13", stampedWith(14, 13), "not a recognised image: neither a load image nor a stamped image (as a stamped image: month 13 is not 1-12)"},
      {"month 0", stampedWith(14, 0), "not a recognised image: neither a load image nor a stamped image (as a stamped image: month 0 is not 1-12)"},
      {"day 0", stampedWith(15, 0), "not a recognised image: neither a load image nor a stamped image (as a stamped image: day 0 is not 1-31)"},
      {"day 32", stampedWith(15, 32), "not a recognised image: neither a load image nor a stamped image (as a stamped image: day 32 is not 1-31)"},
      {"reserved byte 7", stampedWith(7, 1),
       "not a recognised image: neither a load image nor a stamped image (as a stamped image: bytes 5-7 are 00 00 01, not zero)"},
      {"load image, bytes 0-3", loadWith(0, 0x2D),
       "not a recognised image: neither a load image nor a stamped image (as a load image: bytes 0-3 are not 2C 00 00 00)"},
      {"load image, bytes 32-39", loadWith(36, 8),
       "not a recognised image: neither a load image nor a stamped image (as a load image: bytes 32-39 are not 9F FF FF A0 07 00 00 00)"},
      {"empty", {}, "not a recognised image: neither a load image nor a stamped image (as a stamped image: length 0 is shorter than the 16-byte header)"},
      {"an ELF file", [] { Bytes elf = textBytes("\x7F" "ELF"); elf.resize(64, 1); return elf; }(),
       "not a recognised image: neither a load image nor a stamped image but an ELF file, which packLoadable --elf packs"},
      {"text", textBytes("just some text, nothing packed"),
       "not a recognised image: neither a load image nor a stamped image (as a stamped image: bytes 5-7 are 73 6F 6D, not zero)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ImageReport report = check(c.file);
    EXPECT_FALSE(report.intact);
    EXPECT_EQ(report.verdict, c.verdict);
  }
}

TEST(ImageCheck, AnySplitGivesTheSameReport) {
  const Bytes files[] = {loadImage(randomBytes(301, 4)), stampedImage(randomBytes(301, 5)), randomBytes(100, 6)};
  std::mt19937 generator(7);
  for (const Bytes& file : files) {
    const std::string whole = reportJson("f", check(file));
    for (int trial = 0; trial < 40; ++trial) {
      ImageCheck pieces;
      std::size_t pos = 0;
      while (pos < file.size()) {
        const std::size_t piece = std::min<std::size_t>(generator() % 50, file.size() - pos);
        pieces.update(std::span<const unsigned char>(file).subspan(pos, piece));
        pos += piece;
      }
      EXPECT_EQ(reportJson("f", pieces.finish()), whole);
    }
  }
}

TEST(ReportFormat, JsonStringsAreAlwaysValidJson) {
  const struct {
    std::string bytes;
    std::string literal;
  } cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {std::string("\n\x01\x7f", 3), "\"\\u000a\\u0001\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},  // valid UTF-8 kept
      {"\xff\x80", "\"\\u00ff\\u0080\""},                 // stray bytes
      {"\xc0\xaf", "\"\\u00c0\\u00af\""},                 // overlong '/'
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},      // a surrogate
      {"\xe2\x82", "\"\\u00e2\\u0082\""},                 // cut short
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.literal);
    EXPECT_EQ(jsonString(c.bytes), c.literal);
    EXPECT_TRUE(parseJson(jsonString(c.bytes)).has_value());
  }
}

TEST(ReportFormat, NamesAreEscapedForPeople) {
  LoadImageHeader header = makeLoadImageHeader(0, 0, 0, "a\\b\x01\xff");
  EXPECT_EQ(escapeName(header), "a\\\\b\\x01\\xFF");
  header = makeLoadImageHeader(0, 0, 0, "ABCDEFGHIJKLMNOPQRS");
  EXPECT_EQ(escapeName(header), "ABCDEFGHIJKLMNOP");
}

// The payload comes out whole and alone (no header, no padding) however the file is split,
// a stamped image shorter than a load-image header included.
TEST(PayloadExtractor, AnySplitGivesExactlyThePayload) {
  std::mt19937 generator(9);
  for (const std::size_t size : {0, 1, 5, 27, 28, 29, 300}) {
    const Bytes payload = randomBytes(size, static_cast<std::uint32_t>(size) + 100);
    for (const Bytes& file : {loadImage(payload), stampedImage(payload)}) {
      for (int trial = 0; trial < 20; ++trial) {
        SCOPED_TRACE(std::to_string(size) + " bytes, file of " + std::to_string(file.size()));
        PayloadExtractor extractor;
        Bytes out;
        const auto write = [&out](std::span<const unsigned char> bytes) {
          out.insert(out.end(), bytes.begin(), bytes.end());
        };
        for (std::size_t pos = 0; pos < file.size();) {
          const std::size_t piece = std::min<std::size_t>(generator() % 60, file.size() - pos);
          extractor.update(std::span<const unsigned char>(file).subspan(pos, piece), write);
          pos += piece;
        }
        EXPECT_TRUE(extractor.finish(write).intact);
        EXPECT_EQ(out, payload);
      }
    }
  }
}

// The image's payload against the ELF's, block by block: the first byte that differs within the
// shorter payload, at any split of the image file, and a failed read of the ELF's payload.
TEST(PayloadScan, FirstDifferenceAtAnySplit) {
  const Bytes payload = randomBytes(301, 31);
  Bytes changedAt100 = payload;
  changedAt100[100] ^= 0x40;
  Bytes longer = payload;
  longer.push_back(0x77);
  const struct {
    const char* what;
    Bytes imagePayload, elfPayload;
    std::optional<PayloadDifference> expected;
  } cases[] = {
      {"the same payload", payload, payload, std::nullopt},
      {"one byte changed", changedAt100, payload, PayloadDifference{100, changedAt100[100], payload[100]}},
      {"the first byte", Bytes{0x01, 2, 3, 4}, Bytes{0x00, 2, 3, 4}, PayloadDifference{0, 0x01, 0x00}},
      {"the ELF's longer: compared within the image's", payload, longer, std::nullopt},
      {"the image's longer: compared within the ELF's", longer, payload, std::nullopt},
  };
  for (const auto& c : cases) {
    for (const std::size_t blockSize : {1, 7, 44, 45, 4096}) {
      SCOPED_TRACE(std::string(c.what) + ", blocks of " + std::to_string(blockSize));
      const Bytes file = loadImage(c.imagePayload);
      std::size_t elfRead = 0;
      PayloadScan scan(c.elfPayload.size(), [&](std::span<unsigned char> into) {
        if (into.size() > c.elfPayload.size() - elfRead) return false;
        std::copy_n(c.elfPayload.begin() + static_cast<long>(elfRead), into.size(), into.begin());
        elfRead += into.size();
        return true;
      });
      for (std::size_t at = 0; at < file.size(); at += blockSize)
        scan.update(std::span(file).subspan(at, std::min(blockSize, file.size() - at)));
      EXPECT_FALSE(scan.elfReadFailed());
      ASSERT_EQ(scan.firstDifference().has_value(), c.expected.has_value());
      if (c.expected) {
        EXPECT_EQ(scan.firstDifference()->offset, c.expected->offset);
        EXPECT_EQ(scan.firstDifference()->imageByte, c.expected->imageByte);
        EXPECT_EQ(scan.firstDifference()->elfByte, c.expected->elfByte);
      }
    }
  }
  // The ELF's payload that cannot be read back stops the scan, and says so.
  PayloadScan failing(payload.size(), [](std::span<unsigned char>) { return false; });
  failing.update(loadImage(payload));
  EXPECT_TRUE(failing.elfReadFailed());
  EXPECT_FALSE(failing.firstDifference());
}
