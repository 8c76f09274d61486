#include "textEscape.hpp"

#include <cstdio>

std::size_t utf8SequenceLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size() || byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  return length;
}

std::string escapeText(std::string_view bytes, bool keepUtf8, bool keepBackslash) {
  std::string text;
  for (std::size_t pos = 0; pos < bytes.size(); ++pos) {
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if (byte == '\\' && !keepBackslash) {
      text += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += bytes[pos];
    } else if (const std::size_t length = keepUtf8 && byte >= 0x80 ? utf8SequenceLength(bytes, pos) : 0; length > 0) {
      text += bytes.substr(pos, length);
      pos += length - 1;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
      text += escaped;
    }
  }
  return text;
}

std::string escapePath(std::string_view path) {
#ifdef _WIN32
  // The separator, which no name there can hold; nor can a name hold a control character, so a
  // \ never starts an escape in a Windows path.
  constexpr bool keepBackslash = true;
#else
  constexpr bool keepBackslash = false;
#endif
  return escapeText(path, true, keepBackslash);
}

std::string hexText(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string hexBytes(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}
