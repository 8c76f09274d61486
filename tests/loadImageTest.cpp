#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loadImage.hpp"
#include "support/testFiles.hpp"
#include "support/wordSumReference.hpp"

namespace {

std::uint32_t checksumOfWords(const std::vector<std::uint32_t>& words) {
  WordSum sum;
  for (const std::uint32_t word : words) sum.addWord(word);
  return sum.finish();
}

std::uint32_t checksumOfBytes(const Bytes& bytes) {
  WordSum sum;
  sum.update(bytes);
  return sum.finish();
}

}  // namespace

TEST(WordSum, KnownValues) {
  EXPECT_EQ(checksumOfWords({}), 0xFFFFFFFFu);
  EXPECT_EQ(checksumOfWords({1}), 0xFFFFFFFEu);
  EXPECT_EQ(checksumOfWords({0xFFFFFFFF, 0xFFFFFFFF}), 0u);
  // The carry out of folding the two halves is dropped, not folded back in.
  EXPECT_EQ(checksumOfWords({0xFFFFFFFF, 0xFFFFFFFF, 1}), 0xFFFFFFFFu);
  EXPECT_EQ(checksumOfBytes({1, 0, 0, 0, 2, 0, 0, 0}), 0xFFFFFFFCu);
}

TEST(WordSum, TrailingBytesCountAsAZeroPaddedWord) {
  EXPECT_EQ(checksumOfBytes({1}), checksumOfWords({1}));
  EXPECT_EQ(checksumOfBytes({1, 2, 3}), checksumOfWords({0x030201}));
  EXPECT_EQ(checksumOfBytes({1, 0, 0, 0, 5}), checksumOfWords({1, 5}));
}

TEST(WordSum, LongRandomInputMatchesReferenceLoop) {
  for (const std::size_t size : {std::size_t{1} << 20, (std::size_t{1} << 20) + 3}) {
    SCOPED_TRACE(size);
    const Bytes data = randomBytes(size, 7);
    EXPECT_EQ(checksumOfBytes(data), referenceWordSum(data));
  }
}

TEST(WordSum, AnySplitGivesTheSameChecksumAsOnePass) {
  const Bytes data = randomBytes(1000, 11);
  const std::uint32_t whole = checksumOfBytes(data);
  const Bytes splits = randomBytes(200, 12);
  for (std::size_t trial = 0; trial + 1 < splits.size(); trial += 2) {
    const std::size_t first = splits[trial] % 9;  // short pieces, so words straddle many calls
    const std::size_t second = first + splits[trial + 1] % 17;
    SCOPED_TRACE("split at " + std::to_string(first) + " and " + std::to_string(second));
    WordSum sum;
    const std::span<const unsigned char> all(data);
    sum.update(all.first(first));
    sum.update(all.subspan(first, second - first));
    for (std::size_t pos = second; pos < all.size(); pos += 5)
      sum.update(all.subspan(pos, std::min<std::size_t>(5, all.size() - pos)));
    EXPECT_EQ(sum.finish(), whole);
  }
}

TEST(LoadImageHeader, EncodesAllFortyFourBytesLittleEndian) {
  LoadImageHeader header = makeLoadImageHeader(0x00010203, 0x80008000, 0xFFFFFFFF, "kernel");
  header.checksum = 0xDEADBEEF;
  // clang-format off
  const std::array<unsigned char, 44> expected = {
      0x2C, 0x00, 0x00, 0x00,  // headerSize
      0x03, 0x02, 0x01, 0x00,  // imageSize
      0x00, 0x80, 0x00, 0x80,  // loadAddress
      0xFF, 0xFF, 0xFF, 0xFF,  // execAddress
      'k',  'e',  'r',  'n',  'e', 'l', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // imageName
      0x9F, 0xFF, 0xFF, 0xA0,  // magic
      0x07, 0x00, 0x00, 0x00,  // fixedCode
      0xEF, 0xBE, 0xAD, 0xDE,  // checksum
  };
  // clang-format on
  EXPECT_EQ(encodeLoadImageHeader(header), expected);
  EXPECT_EQ(decodeLoadImageHeader(expected), header);
}

TEST(LoadImageHeader, NameKeepsAtMostSixteenBytes) {
  struct Case {
    std::string name;
    std::string field;  // the 16 bytes expected in the name field
  };
  const Case cases[] = {
      {"kernel", std::string("kernel") + std::string(10, '\0')},
      {"", std::string(16, '\0')},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
      {"ABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("name \"" + c.name + "\"");
    const auto bytes = encodeLoadImageHeader(makeLoadImageHeader(0, 0, 0, c.name));
    EXPECT_EQ(std::string(bytes.begin() + 16, bytes.begin() + 32), c.field);
    // The name never spills into the fields behind it.
    EXPECT_EQ(Bytes(bytes.begin() + 32, bytes.begin() + 40), (Bytes{0x9F, 0xFF, 0xFF, 0xA0, 7, 0, 0, 0}));
  }
}
