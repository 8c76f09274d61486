#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The payload that `objcopy -O binary` makes of an ELF executable, and the addresses a load
// image takes from it: the contents of every allocated section that has contents (not .bss),
// each at its load address (the physical address its segment gives it, which is where it
// stands in flash), from the lowest to the end of the highest, gaps filled with zeros.
// Sections, not segments: linkers map the ELF and program headers into a loadable segment that
// is no part of the program. Both classes (32- and 64-bit) and both byte orders.

// An allocated section with contents.
struct ElfSection {
  std::string name;
  std::uint64_t fileOffset = 0;
  std::uint64_t size = 0;
  std::uint64_t loadAddress = 0;  // where it stands in the payload (its LMA)
  std::uint64_t runAddress = 0;   // where the program uses it (sh_addr, its VMA)
  bool writable = false;          // SHF_WRITE: data the program changes, so it runs in RAM
};

struct ElfPayload {
  std::vector<ElfSection> sections;  // by load address
  std::uint32_t loadAddress = 0;     // the lowest section's
  std::uint32_t execAddress = 0;     // e_entry, bit 0 (the Thumb bit) as the ELF gives it
  std::uint32_t size = 0;            // from the lowest section's first byte to the highest's last
};

// Reads `into.size()` bytes of the file at `offset`; false when it cannot.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<unsigned char> into)>;

// The most a gap between two consecutive sections may be: more is the mark of a section
// linked at its run address (RAM) instead of its load address (flash).
inline constexpr std::uint64_t kLargestElfGap = std::uint64_t{1} << 20;

// How many times the largest gap all gaps together may add: bounded, so that a small ELF cannot
// make a huge image, and well above one gap, so that alignment padding beside a gap at the
// limit does not tip it over.
inline constexpr std::uint64_t kElfGapsInAll = 4;

// What the user may change in how an ELF becomes a payload.
struct ElfOptions {
  // The most zeros a gap between two sections may add; all gaps together may add kElfGapsInAll
  // times as many.
  std::uint64_t maxGap = kLargestElfGap;
  // Sections left out of the payload, as objcopy -R leaves them out (EEPROM or fuse contents,
  // say, which are programmed apart from the image). Each must name a section of the ELF.
  std::vector<std::string> removedSections;
  // The exec address to give the image instead of the entry point (bit 0 as given).
  std::optional<std::uint32_t> execAddress;
};

// What readElfPayload found: the payload's layout, or why the file cannot give one.
struct ElfReading {
  std::optional<ElfPayload> payload;
  std::string problem;  // empty on success
};

// Reads the layout of the ELF file of `fileSize` bytes that `read` reaches. Every offset, size
// and count is checked against the file before it is used. Refused, with the reason: not an
// ELF file, truncated, not an executable (ET_EXEC), no section headers, a section to remove that
// it lacks, no allocated section with contents, load ranges that overlap, an address range past
// 2^32, a gap between consecutive sections larger than options.maxGap (or gaps in all larger than
// kElfGapsInAll times that), an entry
// address outside the payload where options.execAddress does not replace it.
ElfReading readElfPayload(std::uint64_t fileSize, const ReadAt& read, const ElfOptions& options = {});

// Hands the payload's bytes to write(std::span<const unsigned char>) in order, in pieces of at
// most buffer.size(): each section's contents read through `read`, the gaps as zeros. False
// when a read or a write fails.
bool writeElfPayload(const ElfPayload& payload, const ReadAt& read, std::span<unsigned char> buffer,
                     const std::function<bool(std::span<const unsigned char>)>& write);
