#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a hexadecimal command-line number was read.
struct HexArgument {
  std::uint32_t value = 0;
  bool hasDigits = false;  // false: no hexadecimal digit at all, so the value is 0
  std::string_view rest;   // the text after the digits, which the reading ignores
};

// Parses a hexadecimal command-line number the way the packers always have: leading blanks
// skipped, an optional sign, an optional "0x"/"0X", then hexadecimal digits up to the first
// character that is not one (the rest is ignored). No digits at all gives 0. A leading minus
// gives the two's complement of the magnitude. Returns nullopt when the magnitude does not
// fit in 32 bits, so that no value is ever silently clipped.
std::optional<HexArgument> parseHexArgument(std::string_view text);

// The warning for `text`, read as `what` (such as "load address"), where that lenient reading
// may not be what was meant: no digits at all, or text after the digits. Empty where the
// reading is plain. Calling scripts may rely on the reading itself, so it stays.
std::string hexArgumentWarning(std::string_view what, std::string_view text, const HexArgument& reading);

// For a number refused as more than 32 bits that is decimal digits alone and fits 32 bits as a
// decimal number, most likely meant so: ": 134217728 in decimal is 8000000". Empty otherwise.
std::string decimalHint(std::string_view text);

// The warning for an address `what` written as decimal digits alone (no 0x) whose decimal value
// is a whole number of KiB while its hexadecimal reading is not: "32768" reads as 0x32768 where
// 0x8000 was most likely meant. Addresses written in hexadecimal as usual (08000000, 80008000)
// end in zeros and never get it. Empty otherwise.
std::string decimalAddressWarning(std::string_view what, std::string_view text, const HexArgument& reading);
