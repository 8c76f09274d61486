#include <gtest/gtest.h>

#include <random>
#include <string>

#include "stampHeader.hpp"
#include "support/crc8Reference.hpp"
#include "support/testFiles.hpp"

TEST(Crc8, TableIsGeneratedFromTheReflectedPolynomial) {
  static_assert(kCrc8Table[0] == 0x00 && kCrc8Table[1] == 0x91 && kCrc8Table[255] == 0xCF);
  const std::array<std::uint8_t, 8> firstEight = {0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75};
  EXPECT_TRUE(std::equal(firstEight.begin(), firstEight.end(), kCrc8Table.begin()));
  EXPECT_EQ(kCrc8Table[255], 0xCF);
}

TEST(Crc8, CheckValuesInEveryImplementation) {
  for (const Crc8Implementation& implementation : crc8Implementations()) {
    SCOPED_TRACE(implementation.name);
    const auto crcOf = [&](const Bytes& bytes) { return implementation.update(0, bytes); };
    EXPECT_EQ(crcOf({}), 0x00);
    EXPECT_EQ(crcOf({0x01}), 0x91);
    EXPECT_EQ(crcOf(textBytes("abc")), 0xF0);
    EXPECT_EQ(crcOf(textBytes("123456789")), 0x20);
  }
}

TEST(Crc8, TableLoopMatchesTheBitwiseDefinition) {
  const Bytes data = randomBytes(100'003, 1);
  EXPECT_EQ(crc8UpdateTable(0, data), referenceCrc8(data));
}

// Every implementation equals the table loop whatever the length, the alignment of the start
// and the running value it starts from.
TEST(Crc8, EveryImplementationEqualsTheTableLoop) {
  const Bytes data = randomBytes(70'000 + 64, 2);
  std::mt19937 generator(3);
  for (const Crc8Implementation& implementation : crc8Implementations()) {
    SCOPED_TRACE(implementation.name);
    for (int trial = 0; trial < 300; ++trial) {
      // Short lengths often: the edges between the code paths lie below a few hundred bytes.
      const std::size_t length = trial % 2 == 0 ? generator() % 1100 : generator() % 70'001;
      const std::size_t offset = generator() % 64;
      const auto start = static_cast<std::uint8_t>(generator());
      const std::span<const unsigned char> piece = std::span<const unsigned char>(data).subspan(offset, length);
      ASSERT_EQ(implementation.update(start, piece), crc8UpdateTable(start, piece))
          << "length " << length << ", offset " << offset << ", start " << int{start};
    }
  }
}

TEST(Crc8, AnySplitGivesTheSameResultAsOnePass) {
  const Bytes data = randomBytes(20'000, 5);
  const std::uint8_t whole = crc8UpdateTable(0, data);
  std::mt19937 generator(6);
  for (const Crc8Implementation& implementation : crc8Implementations()) {
    for (int trial = 0; trial < 50; ++trial) {
      // Up to eight random cut points, empty pieces included.
      std::vector<std::size_t> cuts{0, data.size()};
      const int pieces = static_cast<int>(generator() % 8);
      for (int i = 0; i < pieces; ++i) cuts.push_back(generator() % (data.size() + 1));
      std::sort(cuts.begin(), cuts.end());
      std::uint8_t crc = 0;
      std::string trace;
      for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        crc = implementation.update(crc, std::span<const unsigned char>(data).subspan(cuts[i], cuts[i + 1] - cuts[i]));
        trace += std::to_string(cuts[i]) + " ";
      }
      SCOPED_TRACE(std::string(implementation.name) + ", cuts at " + trace);
      EXPECT_EQ(crc, whole);
    }
  }
}

// The choice must never offer an implementation the CPU lacks an instruction for.
TEST(Crc8, DispatchMatchesTheCpuFeatures) {
  CpuFeatures clmul;
  clmul.pclmul = clmul.sse41 = true;
  CpuFeatures avx512NoVpclmul = clmul;
  avx512NoVpclmul.avx512f = avx512NoVpclmul.avx512bw = avx512NoVpclmul.avx512vl = true;
  CpuFeatures all = avx512NoVpclmul;
  all.vpclmulqdq = true;
  CpuFeatures vpclmulWithoutSse41 = all;
  vpclmulWithoutSse41.sse41 = false;
#if defined(IMAGEPACK_PORTABLE_ONLY) || !defined(__x86_64__)
  const char* const expectClmul = "slicing16";
  const char* const expectAvx512 = "slicing16";
#else
  const char* const expectClmul = "clmul";
  const char* const expectAvx512 = "avx512-clmul";
#endif
  const struct {
    const char* what;
    CpuFeatures features;
    const char* expected;
  } cases[] = {
      {"none", {}, "slicing16"},
      {"PCLMULQDQ only", clmul, expectClmul},
      {"PCLMULQDQ and AVX-512 without VPCLMULQDQ", avx512NoVpclmul, expectClmul},
      {"everything", all, expectAvx512},
      {"everything but SSE4.1", vpclmulWithoutSse41, "slicing16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_STREQ(crc8ChooseFor(c.features).name, c.expected);
  }
  EXPECT_STREQ(crc8Implementations().front().name, "table");
}

// Each feature comes from its own documented CPUID bit, so a probe that reads the wrong bit fails
// here on any CPU; the AVX-512 ones only where the system saves the AVX-512 registers.
TEST(Crc8, CpuFeaturesComeFromTheirCpuidBits) {
  constexpr std::uint64_t kAvx512Saved = 0xE6;
  const auto only = [](bool CpuFeatures::*feature) {
    CpuFeatures features;
    features.*feature = true;
    return features;
  };
  const struct {
    const char* what;
    CpuidWords words;
    CpuFeatures expected;
  } cases[] = {
      {"nothing", {}, {}},
      {"PCLMULQDQ: leaf 1 ECX bit 1", {1u << 1, 0, 0, 0}, only(&CpuFeatures::pclmul)},
      {"SSE4.1: leaf 1 ECX bit 19", {1u << 19, 0, 0, 0}, only(&CpuFeatures::sse41)},
      {"AVX-512F: leaf 7 EBX bit 16", {0, 1u << 16, 0, kAvx512Saved}, only(&CpuFeatures::avx512f)},
      {"AVX-512BW: leaf 7 EBX bit 30", {0, 1u << 30, 0, kAvx512Saved}, only(&CpuFeatures::avx512bw)},
      {"AVX-512VL: leaf 7 EBX bit 31", {0, 1u << 31, 0, kAvx512Saved}, only(&CpuFeatures::avx512vl)},
      {"VPCLMULQDQ: leaf 7 ECX bit 10", {0, 0, 1u << 10, kAvx512Saved}, only(&CpuFeatures::vpclmulqdq)},
      {"every other bit", {~((1u << 1) | (1u << 19)), ~((1u << 16) | (1u << 30) | (1u << 31)), ~(1u << 10), ~0ull}, {}},
      {"AVX-512 registers not saved", {0, ~0u, ~0u, 0x06}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(decodeCpuFeatures(c.words) == c.expected);
  }
}

TEST(StampHeader, EncodesAllSixteenBytesBigEndian) {
  StampHeader header = makeStampHeader(0x64365577, 0x01020304, PackingDate{2026, 12, 8});
  header.crc8 = 0xA5;
  // clang-format off
  const std::array<unsigned char, 16> expected = {
      0x64, 0x36, 0x55, 0x77,  // imageId
      0xA5,                    // crc8
      0x00, 0x00, 0x00,        // reserved
      0x01, 0x02, 0x03, 0x04,  // dataLength
      0x07, 0xEA,              // year 2026
      0x0C,                    // month
      0x08,                    // day
  };
  // clang-format on
  EXPECT_EQ(encodeStampHeader(header), expected);
  EXPECT_EQ(decodeStampHeader(expected), header);

  const auto fresh = encodeStampHeader(makeStampHeader(0xABC, 0, PackingDate{1999, 1, 1}));
  // clang-format off
  const std::array<unsigned char, 16> freshExpected = {0x00, 0x00, 0x0A, 0xBC, 0, 0, 0, 0, 0, 0, 0, 0, 0x07, 0xCF, 1, 1};
  // clang-format on
  EXPECT_EQ(fresh, freshExpected);  // the CRC byte and the reserved bytes start at zero
}

// SOURCE_DATE_EPOCH's moment as a UTC date, across leap days, centuries and 2038; anything but a
// plain decimal count of seconds up to the end of 9999 is refused.
TEST(StampHeader, UtcDateOfEpoch) {
  const std::pair<const char*, std::optional<PackingDate>> cases[] = {
      {"0", PackingDate{1970, 1, 1}},
      {"86399", PackingDate{1970, 1, 1}},
      {"86400", PackingDate{1970, 1, 2}},
      {"951782400", PackingDate{2000, 2, 29}},
      {"951868800", PackingDate{2000, 3, 1}},
      {"4107542399", PackingDate{2100, 2, 28}},
      {"2147483648", PackingDate{2038, 1, 19}},
      {"1700000000", PackingDate{2023, 11, 14}},
      {"0001700000000", PackingDate{2023, 11, 14}},
      {"253402300799", PackingDate{9999, 12, 31}},
      {"253402300800", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.5", std::nullopt},
      {"0x10", std::nullopt},
      {"1e9", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(std::string("\"") + text + "\"");
    const auto date = utcDateOfEpoch(text);
    ASSERT_EQ(date.has_value(), expected.has_value());
    if (!date) continue;
    EXPECT_EQ(date->year, expected->year);
    EXPECT_EQ(date->month, expected->month);
    EXPECT_EQ(date->day, expected->day);
  }
}
