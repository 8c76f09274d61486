#include "elfMatch.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "reportFormat.hpp"
#include "textEscape.hpp"

namespace {

// A field that differs, said with both values.
ElfComparison differs(const char* field, const char* what, std::uint64_t imageValue, std::uint64_t elfValue, bool asHex,
                      int digits = 8) {
  ElfComparison comparison;
  comparison.difference = field;
  comparison.imageValue = imageValue;
  comparison.elfValue = elfValue;
  const auto shown = [&](std::uint64_t value) { return asHex ? hexText(value, digits) : std::to_string(value); };
  comparison.verdict =
      std::string("differs: ") + what + " " + shown(imageValue) + " in the image, " + shown(elfValue) + " from the ELF";
  return comparison;
}

}  // namespace

PayloadScan::PayloadScan(std::uint64_t elfPayloadSize, ReadNext readElf)
    : elfSize_(elfPayloadSize), readElf_(std::move(readElf)) {}

void PayloadScan::update(std::span<const unsigned char> block) {
  for (std::size_t i = 0; i < block.size() && offset_ + i < header_.size(); ++i) {
    header_[static_cast<std::size_t>(offset_) + i] = block[i];
  }
  const std::uint64_t blockStart = offset_;
  offset_ += block.size();
  if (offset_ <= kLoadImageHeaderSize || difference_ || readFailed_) return;
  // The header is whole by now: the payload bytes of this block within both payloads.
  const std::uint64_t compared = std::min<std::uint64_t>(decodeLoadImageHeader(header_).imageSize, elfSize_);
  const std::uint64_t first = std::max<std::uint64_t>(blockStart, kLoadImageHeaderSize);
  const std::uint64_t last = std::min<std::uint64_t>(offset_, kLoadImageHeaderSize + compared);
  if (first >= last) return;
  elfBytes_.resize(static_cast<std::size_t>(last - first));
  if (!readElf_(elfBytes_)) {
    readFailed_ = true;
    return;
  }
  for (std::size_t i = 0; i < elfBytes_.size(); ++i) {
    const unsigned char imageByte = block[static_cast<std::size_t>(first - blockStart) + i];
    if (imageByte != elfBytes_[i]) {
      difference_ = PayloadDifference{first - kLoadImageHeaderSize + i, imageByte, elfBytes_[i]};
      return;
    }
  }
}

ElfComparison compareWithElf(const ImageReport& image, const ElfPayload& elf, std::uint32_t elfChecksum,
                             const std::optional<PayloadDifference>& firstDifference) {
  const LoadImageHeader& header = image.loadHeader;
  if (header.imageSize != elf.size) return differs("imageSize", "image size", header.imageSize, elf.size, false);
  if (header.loadAddress != elf.loadAddress) {
    return differs("loadAddress", "load address", header.loadAddress, elf.loadAddress, true);
  }
  if (header.execAddress != elf.execAddress) {
    return differs("execAddress", "exec address", header.execAddress, elf.execAddress, true);
  }
  if (firstDifference) {
    ElfComparison comparison =
        differs("payload", ("payload byte " + std::to_string(firstDifference->offset) + " is").c_str(),
                firstDifference->imageByte, firstDifference->elfByte, true, 2);
    comparison.offset = firstDifference->offset;
    return comparison;
  }
  if (header.checksum != elfChecksum) return differs("checksum", "checksum", header.checksum, elfChecksum, true);
  if (!image.intact) {
    ElfComparison comparison;
    comparison.difference = "damaged";
    comparison.verdict = "differs: the image is " + image.verdict;
    return comparison;
  }
  ElfComparison comparison;
  comparison.matches = true;
  comparison.verdict = "matches the ELF";
  return comparison;
}

std::string elfComparisonText(std::string_view imagePath, std::string_view elfPath, const ElfComparison& comparison) {
  return escapePath(imagePath) + "\n  elf: " + escapePath(elfPath) + "\n  verdict: " + comparison.verdict + "\n";
}

std::string elfComparisonJson(std::string_view imagePath, std::string_view elfPath, const ElfComparison& comparison) {
  std::string text = "{\"path\": " + jsonString(imagePath) + ", \"elf\": " + jsonString(elfPath) +
                     ", \"matches\": " + (comparison.matches ? "true" : "false");
  if (!comparison.matches) {
    text += ", \"difference\": " + jsonString(comparison.difference);
    if (comparison.difference != "damaged") {
      text += ", \"imageValue\": " + std::to_string(comparison.imageValue) +
              ", \"elfValue\": " + std::to_string(comparison.elfValue);
    }
    if (comparison.difference == "payload") text += ", \"offset\": " + std::to_string(comparison.offset);
  }
  return text + ", \"verdict\": " + jsonString(comparison.verdict) + "}";
}
