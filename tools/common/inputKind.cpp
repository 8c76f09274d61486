#include "inputKind.hpp"

#include <array>

#include "textEscape.hpp"

namespace {

std::uint32_t little32(std::span<const unsigned char> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint32_t big32(std::span<const unsigned char> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 | static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | static_cast<std::uint32_t>(bytes[at + 3]);
}

}  // namespace

InputKind inputKindOf(std::span<const unsigned char> head, std::uint64_t size) {
  if (head.size() >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') return InputKind::elf;
  // A load image, signed (its 112-byte trailer after the padded payload) or not.
  const std::uint64_t loadImageLength = head.size() >= 44 ? 44 + (std::uint64_t{little32(head, 4)} + 3) / 4 * 4 : 0;
  if (head.size() >= 44 && little32(head, 0) == 44 && little32(head, 32) == 0xA0FFFF9Fu && little32(head, 36) == 7 &&
      (size == loadImageLength || size == loadImageLength + 112))
    return InputKind::loadImage;
  if (head.size() >= 16 && head[5] == 0 && head[6] == 0 && head[7] == 0 && head[14] >= 1 && head[14] <= 12 &&
      head[15] >= 1 && head[15] <= 31 && 16 + std::uint64_t{big32(head, 8)} == size)
    return InputKind::stampedImage;
  return InputKind::other;
}

InputKind inputKindOf(std::FILE* stream, std::uint64_t size) {
  std::array<unsigned char, 44> head{};
  const std::size_t got = std::fread(head.data(), 1, head.size(), stream);
  std::clearerr(stream);
  if (std::fseek(stream, 0, SEEK_SET) != 0) return InputKind::other;
  return inputKindOf(std::span(head).first(got), size);
}

std::string repackingWarning(InputKind kind, const std::string& role, const std::string& path, const std::string& verb,
                             const std::string& elfHint) {
  const std::string named = role + " \"" + escapePath(path) + "\"";
  switch (kind) {
    case InputKind::elf:
      return named + " is an ELF file, " + verb + " as raw bytes: " + elfHint;
    case InputKind::loadImage:
      return named + " is a load image already: it is " + verb + " whole, its header and all";
    case InputKind::stampedImage:
      return named + " is a stamped image already: it is " + verb + " whole, its header and all";
    case InputKind::other:
      break;
  }
  return {};
}
