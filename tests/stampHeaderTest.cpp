#include "stampHeader.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/crc8Reference.hpp"
#include "support/testFiles.hpp"

namespace {

std::uint8_t crcOf(const Bytes& bytes) {
  Crc8 crc;
  crc.update(bytes);
  return crc.result();
}

}  // namespace

TEST(Crc8, TableIsGeneratedFromTheReflectedPolynomial) {
  static_assert(kCrc8Table[0] == 0x00 && kCrc8Table[1] == 0x91 && kCrc8Table[255] == 0xCF);
  const std::array<std::uint8_t, 8> firstEight = {0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75};
  EXPECT_TRUE(std::equal(firstEight.begin(), firstEight.end(), kCrc8Table.begin()));
  EXPECT_EQ(kCrc8Table[255], 0xCF);
}

TEST(Crc8, CheckValues) {
  EXPECT_EQ(crcOf({}), 0x00);
  EXPECT_EQ(crcOf({0x01}), 0x91);
  EXPECT_EQ(crcOf(textBytes("abc")), 0xF0);
  EXPECT_EQ(crcOf(textBytes("123456789")), 0x20);
}

TEST(Crc8, MatchesBitwiseReferenceOnRandomInputs) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{255}, std::size_t{4096}, std::size_t{100'003}}) {
    SCOPED_TRACE(size);
    const Bytes data = randomBytes(size, static_cast<std::uint32_t>(size));
    EXPECT_EQ(crcOf(data), referenceCrc8(data));
  }
}

TEST(Crc8, AnySplitGivesTheSameResultAsOnePass) {
  const Bytes data = randomBytes(20'000, 5);
  const std::uint8_t whole = crcOf(data);
  std::mt19937 generator(6);
  for (int trial = 0; trial < 50; ++trial) {
    // Up to eight random cut points, empty pieces included.
    std::vector<std::size_t> cuts{0, data.size()};
    const int pieces = static_cast<int>(generator() % 8);
    for (int i = 0; i < pieces; ++i) cuts.push_back(generator() % (data.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    Crc8 crc;
    std::string trace;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      crc.update(std::span<const unsigned char>(data).subspan(cuts[i], cuts[i + 1] - cuts[i]));
      trace += std::to_string(cuts[i]) + " ";
    }
    SCOPED_TRACE("cuts at " + trace);
    EXPECT_EQ(crc.result(), whole);
  }
}

TEST(StampHeader, EncodesAllSixteenBytesBigEndian) {
  StampHeader header = makeStampHeader(0x64365577, 0x01020304, PackingDate{2026, 12, 8});
  header.crc8 = 0xA5;
  const std::array<unsigned char, 16> expected = {
      0x64, 0x36, 0x55, 0x77,  // imageId
      0xA5,                    // crc8
      0x00, 0x00, 0x00,        // reserved
      0x01, 0x02, 0x03, 0x04,  // dataLength
      0x07, 0xEA,              // year 2026
      0x0C,                    // month
      0x08,                    // day
  };
  EXPECT_EQ(encodeStampHeader(header), expected);
  EXPECT_EQ(decodeStampHeader(expected), header);

  const auto fresh = encodeStampHeader(makeStampHeader(0xABC, 0, PackingDate{1999, 1, 1}));
  const std::array<unsigned char, 16> freshExpected = {0x00, 0x00, 0x0A, 0xBC, 0, 0, 0, 0, 0, 0, 0, 0, 0x07, 0xCF, 1, 1};
  EXPECT_EQ(fresh, freshExpected);  // the CRC byte and the reserved bytes start at zero
}
