#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "hexArgument.hpp"

TEST(HexArgument, ParsesLikeStrtolOverTheWholeUnsignedRange) {
  struct Case {
    std::string text;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"0x1F0", 0x1F0},
      {"1f0", 0x1F0},
      {" 1F0", 0x1F0},
      {"\t\n 1F0", 0x1F0},
      {"0X1f0", 0x1F0},
      {"+1F0", 0x1F0},
      {"1F0xyz", 0x1F0},
      {"zz", 0},
      {"", 0},
      {"-", 0},
      {"0x", 0},
      {"0xg", 0},  // "0" then text: the prefix needs a digit after it
      {"-0", 0},
      {"80008000", 0x80008000u},
      {"80000000", 0x80000000u},
      {"FFFFFFFF", 0xFFFFFFFFu},
      {"0xffffffff", 0xFFFFFFFFu},
      {"00000000000000000001", 1},  // leading zeros add no magnitude
      {"-1", 0xFFFFFFFFu},
      {"-0x10", 0xFFFFFFF0u},
      {"-FFFFFFFF", 1},
      {"abc", 0xABC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("argument \"" + c.text + "\"");
    EXPECT_EQ(parseHexArgument(c.text), std::optional<std::uint32_t>(c.expected));
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
