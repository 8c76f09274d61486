#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Text that the programs print about bytes they were given (paths, names): safe to show, so
// that no path can put a line break or a control character into a message or a report.

// The length of the valid UTF-8 sequence that starts at text[pos], or 0 when none does (a stray
// continuation byte, an overlong form, a surrogate, or beyond U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text, std::size_t pos);

// Bytes as text for a person: printable ASCII as it is, a backslash doubled (or, with
// keepBackslash, as it is), and any other byte as \xNN, except that with keepUtf8 valid UTF-8
// sequences stay as they are.
std::string escapeText(std::string_view bytes, bool keepUtf8, bool keepBackslash);

// A path as text for a person: as escapeText, keeping valid UTF-8 (a user's accented or CJK
// names print as themselves) and, on Windows, the backslash, which is the separator there.
std::string escapePath(std::string_view path);

// A number as "0x" and at least `digits` lower-case hexadecimal digits: 0x08000000.
std::string hexText(std::uint64_t value, int digits = 8);

// The bytes as lower-case hexadecimal, two digits each, nothing between them.
std::string hexBytes(std::span<const unsigned char> bytes);
