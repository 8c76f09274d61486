#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "hexArgument.hpp"

// The value as strtol reads it, and the warning where that reading may not be what was meant.
TEST(HexArgument, ParsesLikeStrtolOverTheWholeUnsignedRange) {
  struct Case {
    std::string text;
    std::uint32_t expected;
    std::string warning;  // for "address"; empty: none
  };
  const Case cases[] = {
      {"0x1F0", 0x1F0, ""},
      {"1f0", 0x1F0, ""},
      {" 1F0", 0x1F0, ""},
      {"\t\n 1F0", 0x1F0, ""},
      {"0X1f0", 0x1F0, ""},
      {"+1F0", 0x1F0, ""},
      {"1F0xyz", 0x1F0, R"(address "1F0xyz" has text after its digits ("xyz"): read as 0x1f0)"},
      {"0x0800_0000", 0x800, R"(address "0x0800_0000" has text after its digits ("_0000"): read as 0x800)"},
      {"b.bin", 0xB, R"(address "b.bin" has text after its digits (".bin"): read as 0xb)"},
      {"zz", 0, R"(address "zz" has no hexadecimal digits: read as 0x0)"},
      {"", 0, R"(address "" has no hexadecimal digits: read as 0x0)"},
      {"-", 0, R"(address "-" has no hexadecimal digits: read as 0x0)"},
      {"0x", 0, R"(address "0x" has text after its digits ("x"): read as 0x0)"},
      {"0xg", 0, R"(address "0xg" has text after its digits ("xg"): read as 0x0)"},  // the prefix needs a digit
      {"1F0\n", 0x1F0, R"(address "1F0\x0A" has text after its digits ("\x0A"): read as 0x1f0)"},
      {"-0", 0, ""},
      {"80008000", 0x80008000u, ""},
      {"80000000", 0x80000000u, ""},
      {"FFFFFFFF", 0xFFFFFFFFu, ""},
      {"0xffffffff", 0xFFFFFFFFu, ""},
      {"00000000000000000001", 1, ""},  // leading zeros add no magnitude
      {"-1", 0xFFFFFFFFu, ""},
      {"-0x10", 0xFFFFFFF0u, ""},
      {"-FFFFFFFF", 1, ""},
      {"abc", 0xABC, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("argument \"" + c.text + "\"");
    const auto reading = parseHexArgument(c.text);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->value, c.expected);
    EXPECT_EQ(hexArgumentWarning("address", c.text, *reading), c.warning);
  }
}

TEST(HexArgument, RefusesMagnitudesBeyond32Bits) {
  for (const std::string text : {"100000000", "-100000000", "0x100000000", "FFFFFFFFF", "123456789abcdef0",
                                 // 17 digits and more: a 64-bit accumulator would wrap to a small value
                                 "10000000000000000", "-10000000000000001", "100000000000000000000000000000000"}) {
    SCOPED_TRACE("argument \"" + text + "\"");
    EXPECT_EQ(parseHexArgument(text), std::nullopt);
  }
}
