#include "hexArgument.hpp"

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

std::optional<std::uint32_t> parseHexArgument(std::string_view text) {
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
  for (; pos < text.size(); ++pos) {
    const int digit = hexDigitValue(text[pos]);
    if (digit < 0) break;
    magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
    if (magnitude > UINT32_MAX) return std::nullopt;
  }

  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}
