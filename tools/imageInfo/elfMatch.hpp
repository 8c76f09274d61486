#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Reads a load image file block by block, from its first byte, beside the ELF's payload, whose
// bytes it takes in order through readElf: keeps the header, and finds the first payload byte
// that differs within the shorter of the two payloads (the image's size as its header gives it).
class PayloadScan {
 public:
  // Fills the span with the ELF payload's next bytes; false when it cannot.
  using ReadNext = std::function<bool(std::span<unsigned char>)>;

  PayloadScan(std::uint64_t elfPayloadSize, ReadNext readElf);

  // The image file's next block.
  void update(std::span<const unsigned char> block);

  // Whether the ELF's payload could not be read back; the scan stopped there.
  bool elfReadFailed() const { return readFailed_; }
  const std::optional<PayloadDifference>& firstDifference() const { return difference_; }

 private:
  std::uint64_t elfSize_;
  ReadNext readElf_;
  std::array<unsigned char, kLoadImageHeaderSize> header_{};
  std::uint64_t offset_ = 0;  // of the image file's bytes seen so far
  std::optional<PayloadDifference> difference_;
  std::vector<unsigned char> elfBytes_;
  bool readFailed_ = false;
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
