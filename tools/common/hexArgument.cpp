#include "hexArgument.hpp"

#include <cstdio>

#include "textEscape.hpp"

namespace {

bool isBlank(char c) {
  // The blanks that strtol skips in the C locale.
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<HexArgument> parseHexArgument(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && isBlank(text[pos])) ++pos;

  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // "0x" counts as a prefix only when a digit follows; "0xg" is the number 0 followed by text.
  if (pos + 2 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
      hexDigitValue(text[pos + 2]) >= 0) {
    pos += 2;
  }

  std::uint64_t magnitude = 0;
  const std::size_t digitsStart = pos;
  for (; pos < text.size(); ++pos) {
    const int digit = hexDigitValue(text[pos]);
    if (digit < 0) break;
    magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
    if (magnitude > UINT32_MAX) return std::nullopt;
  }

  HexArgument reading;
  const auto value = static_cast<std::uint32_t>(magnitude);
  reading.value = negative ? static_cast<std::uint32_t>(0u - value) : value;
  reading.hasDigits = pos > digitsStart;
  reading.rest = reading.hasDigits ? text.substr(pos) : std::string_view{};
  return reading;
}

std::string hexArgumentWarning(std::string_view what, std::string_view text, const HexArgument& reading) {
  if (reading.hasDigits && reading.rest.empty()) return "";
  char value[16];
  std::snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(reading.value));
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string.
  std::string warning(what);
  warning += " \"";
  warning += escapePath(text);
  if (!reading.hasDigits) {
    warning += "\" has no hexadecimal digits: read as ";
  } else {
    warning += "\" has text after its digits (\"";
    warning += escapePath(reading.rest);
    warning += "\"): read as ";
  }
  warning += value;
  return warning;
}

namespace {

// The value of `text` as a decimal number where it is 1 to 10 decimal digits alone and fits 32
// bits; nullopt otherwise.
std::optional<std::uint32_t> decimalValue(std::string_view text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::string decimalHint(std::string_view text) {
  const auto value = decimalValue(text);
  if (!value) return "";
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(*value));
  std::string hint = ": ";
  hint += text;
  hint += " in decimal is ";
  hint += hex;
  return hint;
}

std::string decimalAddressWarning(std::string_view what, std::string_view text, const HexArgument& reading) {
  constexpr std::uint32_t kKiB = 1024;
  const auto decimal = decimalValue(text);
  if (!decimal || *decimal == 0 || *decimal % kKiB != 0 || reading.value % kKiB == 0) return "";
  char values[96];
  std::snprintf(values, sizeof values, "\": read as 0x%x, but in decimal it is 0x%x (write 0x",
                static_cast<unsigned>(reading.value), static_cast<unsigned>(*decimal));
  std::string warning(what);
  warning += " \"";
  warning += text;
  warning += values;
  warning += text;
  warning += " if hexadecimal is meant)";
  return warning;
}
