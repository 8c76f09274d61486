#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Parses a hexadecimal command-line number the way the packers always have: leading blanks
// skipped, an optional sign, an optional "0x"/"0X", then hexadecimal digits up to the first
// character that is not one (the rest is ignored). No digits at all gives 0. A leading minus
// gives the two's complement of the magnitude. Returns nullopt when the magnitude does not
// fit in 32 bits, so that no value is ever silently clipped.
std::optional<std::uint32_t> parseHexArgument(std::string_view text);
