#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "elfPayload.hpp"

// The options that change how an ELF becomes a payload, taken the same way by packLoadable --elf
// and imageInfo --elf, so that an image can be checked against its ELF as it was packed:
//   --exec ADDRESS         the exec address instead of the entry point (hexadecimal)
//   --max-gap BYTES        the most zeros a gap may add (all gaps together: four times that)
//   --remove-section NAME  leave a section out (repeatable)
// Each also as --OPTION=VALUE.

// The usage words for them, for a usage line.
inline constexpr const char* kElfOptionsUsage = "[--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]...";

enum class ElfOptionTaken {
  no,       // args[index] is not one of them
  taken,    // read into the options; index is at its last argument
  refused,  // one of them, without a value or with a bad one: problem says why
};

// Reads the option at args[index], with its value (the next argument, or after '='), into
// `options`.
ElfOptionTaken takeElfOption(const std::vector<std::string>& args, std::size_t& index, ElfOptions& options,
                             std::string& problem);

// A byte count as --max-gap takes it: decimal digits, or 0x and hexadecimal digits, at most
// 4294967295; nullopt for anything else.
std::optional<std::uint64_t> parseByteCount(std::string_view text);

// An address as --exec takes it: 1 to 8 hexadecimal digits with an optional 0x; nullopt for
// anything else (no sign, nothing after the digits).
std::optional<std::uint32_t> parseStrictHex(std::string_view text);
