#include "elfOptions.hpp"

#include <cstdint>

#include "commandLine.hpp"
#include "textEscape.hpp"

namespace {

// The value of a digit in `base` (10 or 16), or -1.
int digitValue(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text`, all digits in `base`, as a number no larger than `limit`; nullopt otherwise.
std::optional<std::uint64_t> digitsOf(std::string_view text, int base, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = digitValue(c, base);
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > limit) return std::nullopt;  // checked at each digit, so it never wraps
  }
  return value;
}

// "OPTION \"VALUE\": RULE", the value escaped. (Built by appending: GCC 12 at -O3 warns falsely
// of overlapping copies in "literal" + std::string.)
std::string badValue(std::string_view option, const std::string& value, std::string_view rule) {
  std::string text(option);
  text += " \"";
  text += escapePath(value);
  text += "\": ";
  text += rule;
  return text;
}

bool hasHexPrefix(std::string_view text) { return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

}  // namespace

std::optional<std::uint64_t> parseByteCount(std::string_view text) {
  if (hasHexPrefix(text)) return digitsOf(text.substr(2), 16, UINT32_MAX);
  return digitsOf(text, 10, UINT32_MAX);
}

std::optional<std::uint32_t> parseStrictHex(std::string_view text) {
  if (hasHexPrefix(text)) text.remove_prefix(2);
  if (text.size() > 8) return std::nullopt;
  const auto value = digitsOf(text, 16, UINT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

ElfOptionTaken takeElfOption(const std::vector<std::string>& args, std::size_t& index, ElfOptions& options,
                             std::string& problem) {
  static constexpr std::string_view kNames[] = {"--exec", "--max-gap", "--remove-section"};
  std::string_view name;
  std::optional<std::string> value;
  for (const std::string_view candidate : kNames) {
    if (name.empty() && takeOptionWithValue(args, index, candidate, &value)) name = candidate;
  }
  if (name.empty()) return ElfOptionTaken::no;
  if (name == "--exec") {
    const auto address = value ? parseStrictHex(*value) : std::nullopt;
    if (!address) {
      problem = value ? badValue(name, *value, "an address is 1 to 8 hexadecimal digits, with or without 0x")
                      : "--exec needs an ADDRESS";
      return ElfOptionTaken::refused;
    }
    options.execAddress = *address;
  } else if (name == "--max-gap") {
    const auto bytes = value ? parseByteCount(*value) : std::nullopt;
    if (!bytes) {
      problem = value ? badValue(name, *value, "a number of bytes, decimal or 0x and hexadecimal, at most 4294967295")
                      : "--max-gap needs a number of BYTES";
      return ElfOptionTaken::refused;
    }
    options.maxGap = *bytes;
  } else {
    if (!value || value->empty()) {
      problem = "--remove-section needs a section NAME";
      return ElfOptionTaken::refused;
    }
    options.removedSections.push_back(*value);
  }
  return ElfOptionTaken::taken;
}
