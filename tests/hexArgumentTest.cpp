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

// An address in decimal digits whose decimal value is whole KiB and whose hexadecimal one is
// not was most likely meant in decimal; addresses written as usual in hexadecimal never warn.
TEST(HexArgument, AddressesThatReadAsDecimal) {
  const std::pair<std::string, std::string> cases[] = {
      {"32768", R"(address "32768": read as 0x32768, but in decimal it is 0x8000 (write 0x32768 if hexadecimal is meant))"},
      {"1024", R"(address "1024": read as 0x1024, but in decimal it is 0x400 (write 0x1024 if hexadecimal is meant))"},
      {"65536", R"(address "65536": read as 0x65536, but in decimal it is 0x10000 (write 0x65536 if hexadecimal is meant))"},
      {"08000000", ""}, {"80000000", ""}, {"80008000", ""}, {"20000000", ""}, {"4096000", ""},  // 0x4096000: whole KiB
      {"0", ""}, {"2000", ""}, {"0x32768", ""}, {" 32768", ""}, {"+32768", ""}, {"8000", ""},
  };
  for (const auto& [text, warning] : cases) {
    SCOPED_TRACE("argument \"" + text + "\"");
    const auto reading = parseHexArgument(text);
    ASSERT_TRUE(reading);
    EXPECT_EQ(decimalAddressWarning("address", text, *reading), warning);
  }
}

TEST(HexArgument, RefusesMagnitudesBeyond32Bits) {
  for (const std::string text : {"100000000", "-100000000", "0x100000000", "FFFFFFFFF", "123456789abcdef0",
                                 // 17 digits and more: a 64-bit accumulator would wrap to a small value
                                 "10000000000000000", "-10000000000000001", "100000000000000000000000000000000"}) {
    SCOPED_TRACE("argument \"" + text + "\"");
    EXPECT_EQ(parseHexArgument(text), std::nullopt);
  }
  // Decimal digits alone that fit 32 bits as a decimal number get the hint.
  EXPECT_EQ(decimalHint("100000000"), ": 100000000 in decimal is 5f5e100");
  EXPECT_EQ(decimalHint("4294967295"), ": 4294967295 in decimal is ffffffff");
  for (const std::string text : {"4294967296", "-100000000", "0x100000000", "FFFFFFFFF", "12345678901"}) {
    EXPECT_EQ(decimalHint(text), "") << text;
  }
}
