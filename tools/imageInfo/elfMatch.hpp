#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "elfPayload.hpp"
#include "imageCheck.hpp"

// Whether a load image is what `packLoadable --elf` makes of an ELF executable: the same image
// size, load address and exec address, the same payload bytes and the checksum of them.

// The first payload byte that differs: its offset in the payload and both values.
struct PayloadDifference {
  std::uint64_t offset = 0;
  unsigned char imageByte = 0;
  unsigned char elfByte = 0;
};

struct ElfComparison {
  bool matches = false;
  std::string difference;  // the field that differs ("imageSize", "loadAddress", "execAddress",
                           // "payload", "checksum", "damaged"), empty where they match
  std::uint64_t imageValue = 0, elfValue = 0;
  std::uint64_t offset = 0;  // for "payload"
  std::string verdict;       // "matches the ELF", or "differs: " and what
};

// The first difference between the load image `image` (its report; format loadImage) and the
// ELF's payload `elf` with its checksum `elfChecksum`, given the first payload byte that differs
// within the shorter of the two payloads, if any.
ElfComparison compareWithElf(const ImageReport& image, const ElfPayload& elf, std::uint32_t elfChecksum,
                             const std::optional<PayloadDifference>& firstDifference);

// The comparison as a block of text for a person, and as one JSON object.
std::string elfComparisonText(std::string_view imagePath, std::string_view elfPath, const ElfComparison& comparison);
std::string elfComparisonJson(std::string_view imagePath, std::string_view elfPath, const ElfComparison& comparison);
