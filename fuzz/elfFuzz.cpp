// libFuzzer target: arbitrary bytes through the ELF reader that packLoadable --elf and
// imageInfo --elf use. Beyond the sanitizers' own checks it traps when:
// - the reader asks for bytes outside the file;
// - a payload it accepts breaks its own promises: sections in load-address order, not
//   overlapping, within the file and below 2^32, gaps of at most the limit (one and all
//   together), the entry inside, no section that was to be removed;
// - the payload written is not exactly `size` bytes.
// Each input is read twice: as it is, and with a larger gap allowed and .data removed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "elfPayload.hpp"

namespace {

void readAndCheck(const std::uint8_t* data, std::size_t size, const ElfOptions& options) {
  const ReadAt read = [data, size](std::uint64_t offset, std::span<unsigned char> into) {
    if (offset > size || into.size() > size - offset) __builtin_trap();
    std::copy_n(data + offset, into.size(), into.begin());
    return true;
  };
  const ElfReading reading = readElfPayload(size, read, options);
  if (!reading.payload) {
    if (reading.problem.empty()) __builtin_trap();
    return;
  }
  const ElfPayload& payload = *reading.payload;
  if (payload.sections.empty()) __builtin_trap();
  std::uint64_t end = payload.loadAddress;
  std::uint64_t filled = 0;
  for (const ElfSection& section : payload.sections) {
    if (section.loadAddress < end || section.loadAddress - end > options.maxGap) __builtin_trap();
    if (section.fileOffset > size || section.size > size - section.fileOffset) __builtin_trap();
    if (std::find(options.removedSections.begin(), options.removedSections.end(), section.name) !=
        options.removedSections.end()) {
      __builtin_trap();
    }
    filled += section.loadAddress - end;
    end = section.loadAddress + section.size;
  }
  if (filled > options.maxGap) __builtin_trap();
  if (end - payload.loadAddress != payload.size || end > (std::uint64_t{1} << 32)) __builtin_trap();
  const std::uint32_t entry = payload.execAddress & ~1u;
  if (entry < payload.loadAddress || entry - payload.loadAddress >= payload.size) __builtin_trap();
  std::vector<unsigned char> buffer(97);
  std::uint64_t written = 0;
  if (!writeElfPayload(payload, read, buffer,
                       [&written](std::span<const unsigned char> bytes) {
                         written += bytes.size();
                         return true;
                       }) ||
      written != payload.size) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readAndCheck(data, size, ElfOptions{});
  ElfOptions options;
  options.maxGap = 4 * kLargestElfGap;
  options.removedSections = {".data"};
  readAndCheck(data, size, options);
  return 0;
}
