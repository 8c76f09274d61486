#include "elfPayload.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "textEscape.hpp"

namespace {

constexpr std::uint16_t kExecutable = 2;          // ET_EXEC
constexpr std::uint32_t kLoadSegment = 1;         // PT_LOAD
constexpr std::uint32_t kNoBits = 8;              // SHT_NOBITS: no contents in the file (.bss)
constexpr std::uint64_t kWritable = 0x1;          // SHF_WRITE
constexpr std::uint64_t kAllocated = 0x2;         // SHF_ALLOC
constexpr std::uint16_t kExtendedIndex = 0xFFFF;  // SHN_XINDEX and PN_XNUM: the number is in section 0
constexpr std::uint64_t kAddressLimit = std::uint64_t{1} << 32;
// More program headers or sections than any firmware has: refused, so that the work and the
// memory a file can ask for stay bounded whatever it claims.
constexpr std::uint64_t kMostEntries = 65535;
constexpr std::size_t kLongestName = 64;

// Whether [offset, offset + size) lies within `total` bytes, with no sum that can wrap.
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t total) {
  return offset <= total && size <= total - offset;
}

// Reads the fields of one ELF class and byte order from a block of bytes.
struct Decoder {
  bool wide = false;       // ELFCLASS64
  bool bigEndian = false;  // ELFDATA2MSB

  std::uint64_t unsignedAt(std::span<const unsigned char> bytes, std::size_t at, std::size_t width) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::size_t index = bigEndian ? at + i : at + width - 1 - i;
      value = value << 8 | bytes[index];
    }
    return value;
  }
  std::uint16_t half(std::span<const unsigned char> bytes, std::size_t at) const {
    return static_cast<std::uint16_t>(unsignedAt(bytes, at, 2));
  }
  std::uint32_t word(std::span<const unsigned char> bytes, std::size_t at) const {
    return static_cast<std::uint32_t>(unsignedAt(bytes, at, 4));
  }
  // An address or offset: 4 bytes in a 32-bit file, 8 in a 64-bit one.
  std::uint64_t address(std::span<const unsigned char> bytes, std::size_t at) const {
    return unsignedAt(bytes, at, wide ? 8 : 4);
  }
};

// What a file without section headers lacks, and what removes them.
constexpr const char* kNoSectionHeaders =
    "no section headers (strip --strip-section-headers or llvm-objcopy --strip-sections removes what packing needs)";

struct Segment {
  std::uint64_t offset, fileSize, virtualAddress, physicalAddress, memorySize;
};

// Header layouts: where each field stands, for the 32-bit class and the 64-bit one.
struct Layout {
  std::size_t headerSize, entry, programOffset, sectionOffset, programEntrySize, programCount, sectionEntrySize,
      sectionCount, nameIndex;
  std::size_t programHeaderSize, pOffset, pVirtual, pPhysical, pFileSize, pMemorySize;
  std::size_t sectionHeaderSize, shFlags, shAddress, shOffset, shSize, shLink, shInfo;
};
constexpr Layout kLayout32{52, 24, 28, 32, 42, 44, 46, 48, 50, 32, 4, 8, 12, 16, 20, 40, 8, 12, 16, 20, 24, 28};
constexpr Layout kLayout64{64, 24, 32, 40, 54, 56, 58, 60, 62, 56, 8, 16, 24, 32, 40, 64, 8, 16, 24, 32, 40, 44};

// Whether a section holds what is programmed apart from the image: AVR's EEPROM, fuse, lock and
// signature contents (placed at 0x810000 and above in its ELF address space), or the words of
// an nRF part's UICR.
bool programmedApart(const ElfSection& section) {
  static constexpr const char* kNames[] = {".eeprom", ".fuse", ".lock", ".signature", ".user_signatures"};
  for (const char* name : kNames) {
    if (section.name == name) return true;
  }
  return section.loadAddress >= 0x10001000 && section.loadAddress < 0x10002000;  // the nRF UICR
}

// The 512 MiB region of the Arm memory map that an address lies in: code, SRAM, peripherals...
std::uint64_t memoryRegion(std::uint64_t address) { return address >> 29; }

// The end of the refusal of a gap from `before` to `after`: what most likely caused it, and
// how to allow one that is meant.
std::string gapHint(const ElfSection& before, const ElfSection& after) {
  const std::string allow = ". If the gap is meant, --max-gap BYTES allows it, filled with zeros as objcopy -O binary "
                            "fills it";
  // Either side: such contents lie above the flash on AVR, below it on many other parts.
  for (const ElfSection* apart : {&after, &before}) {
    if (programmedApart(*apart)) {
      return " bytes: " + apart->name + " looks programmed apart from the image (EEPROM, fuses, UICR): " +
             "--remove-section " + apart->name + " leaves it out" + allow;
    }
  }
  // A section linked at its run address has no load address of its own: it is data (writable),
  // or it lies in another memory than the one before; one given a load address elsewhere may
  // have been given the wrong one.
  if (after.runAddress != after.loadAddress || after.writable ||
      memoryRegion(after.runAddress) != memoryRegion(before.loadAddress)) {
    return " bytes: a section linked at its run address instead of its load address?" + allow.substr(1);
  }
  return " bytes" + allow;
}

// Reads the ELF, one check at a time; problem_ holds the first refusal.
class Reader {
 public:
  Reader(std::uint64_t fileSize, const ReadAt& read, const ElfOptions& options)
      : fileSize_(fileSize), read_(read), options_(options) {}

  ElfReading run() {
    ElfReading reading;
    ElfPayload payload;
    if (readHeader() && readSegments() && readSections(payload) && arrange(payload)) {
      reading.payload = std::move(payload);
    } else {
      reading.problem = problem_;
    }
    return reading;
  }

 private:
  bool refuse(std::string problem) {
    problem_ = std::move(problem);
    return false;
  }

  // Reads `size` bytes at `offset` into `into`, refusing with "truncated: WHAT" where the file
  // does not hold them.
  bool readPart(std::uint64_t offset, std::span<unsigned char> into, const std::string& what) {
    if (!fits(offset, into.size(), fileSize_)) return refuse("truncated: " + what + " lies past the end of the file");
    if (!read_(offset, into)) return refuse("cannot read " + what);
    return true;
  }

  bool readHeader() {
    std::array<unsigned char, 64> header{};
    if (fileSize_ < 16) return refuse("not an ELF file: shorter than an ELF identification");
    if (!readPart(0, std::span(header).first(16), "the ELF identification")) return false;
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
      return refuse("not an ELF file: it does not start with 7F 45 4C 46");
    }
    if (header[4] != 1 && header[4] != 2) return refuse("not an ELF file: class " + std::to_string(header[4]));
    if (header[5] != 1 && header[5] != 2) return refuse("not an ELF file: byte order " + std::to_string(header[5]));
    decoder_.wide = header[4] == 2;
    decoder_.bigEndian = header[5] == 2;
    layout_ = decoder_.wide ? kLayout64 : kLayout32;
    if (!readPart(0, std::span(header).first(layout_.headerSize), "the ELF header")) return false;
    const std::uint16_t type = decoder_.half(header, 16);
    if (type != kExecutable) {
      const char* what = type == 1 ? "a relocatable object (ET_REL): pass the linked executable, not an object file"
                         : type == 3 ? "a shared object or position-independent executable (ET_DYN): link with "
                                       "-no-pie, or at a fixed address"
                         : type == 4 ? "a core file (ET_CORE)"
                                     : "of an unknown type";
      return refuse(std::string("not an executable (ET_EXEC): ") + what);
    }
    entry_ = decoder_.address(header, layout_.entry);
    programOffset_ = decoder_.address(header, layout_.programOffset);
    sectionOffset_ = decoder_.address(header, layout_.sectionOffset);
    programEntrySize_ = decoder_.half(header, layout_.programEntrySize);
    programCount_ = decoder_.half(header, layout_.programCount);
    sectionEntrySize_ = decoder_.half(header, layout_.sectionEntrySize);
    sectionCount_ = decoder_.half(header, layout_.sectionCount);
    nameIndex_ = decoder_.half(header, layout_.nameIndex);
    if (sectionOffset_ == 0) return refuse(kNoSectionHeaders);
    if (sectionEntrySize_ < layout_.sectionHeaderSize) return refuse("section headers of an impossible size");
    // Counts too large for the header stand in section 0.
    if (sectionCount_ == 0 || nameIndex_ == kExtendedIndex || programCount_ == kExtendedIndex) {
      std::array<unsigned char, 64> first{};
      if (!readPart(sectionOffset_, std::span(first).first(layout_.sectionHeaderSize), "section header 0")) {
        return false;
      }
      if (sectionCount_ == 0) sectionCount_ = decoder_.address(first, layout_.shSize);
      if (nameIndex_ == kExtendedIndex) nameIndex_ = decoder_.word(first, layout_.shLink);
      if (programCount_ == kExtendedIndex) programCount_ = decoder_.word(first, layout_.shInfo);
    }
    if (sectionCount_ == 0) return refuse(kNoSectionHeaders);
    if (sectionCount_ > kMostEntries || programCount_ > kMostEntries) {
      return refuse("more than " + std::to_string(kMostEntries) + " sections or program headers");
    }
    if (!fits(sectionOffset_, sectionCount_ * sectionEntrySize_, fileSize_)) {
      return refuse("truncated: the section headers lie past the end of the file");
    }
    if (programCount_ > 0) {
      if (programEntrySize_ < layout_.programHeaderSize) return refuse("program headers of an impossible size");
      if (!fits(programOffset_, programCount_ * programEntrySize_, fileSize_)) {
        return refuse("truncated: the program headers lie past the end of the file");
      }
    }
    return true;
  }

  bool readSegments() {
    std::array<unsigned char, 56> entry{};
    bool everyPhysicalZero = true;
    for (std::uint64_t i = 0; i < programCount_; ++i) {
      const auto bytes = std::span(entry).first(layout_.programHeaderSize);
      if (!readPart(programOffset_ + i * programEntrySize_, bytes, "program header " + std::to_string(i))) return false;
      everyPhysicalZero = everyPhysicalZero && decoder_.address(bytes, layout_.pPhysical) == 0;
      if (decoder_.word(bytes, 0) != kLoadSegment) continue;
      segments_.push_back({decoder_.address(bytes, layout_.pOffset), decoder_.address(bytes, layout_.pFileSize),
                           decoder_.address(bytes, layout_.pVirtual), decoder_.address(bytes, layout_.pPhysical),
                           decoder_.address(bytes, layout_.pMemorySize)});
    }
    // Where every program header's physical address is zero and more than one segment loads,
    // the linker wrote none: binutils then take each segment's virtual address for it. (With a
    // single segment, or one other header's physical address set, zero stands.)
    if (everyPhysicalZero && segments_.size() > 1) {
      for (Segment& segment : segments_) segment.physicalAddress = segment.virtualAddress;
    }
    return true;
  }

  // The section's name from the section-name table, or its number where there is none.
  std::string sectionName(std::uint64_t index, std::uint32_t nameOffset) {
    const std::string fallback = "section " + std::to_string(index);
    if (!names_ || nameOffset >= names_->second) return fallback;
    std::array<unsigned char, kLongestName> text{};
    const std::uint64_t available = std::min<std::uint64_t>(text.size(), names_->second - nameOffset);
    if (!fits(names_->first + nameOffset, available, fileSize_) ||
        !read_(names_->first + nameOffset, std::span(text).first(static_cast<std::size_t>(available)))) {
      return fallback;
    }
    std::string name;
    for (std::size_t i = 0; i < available && text[i] != 0; ++i) {
      name += text[i] >= 0x20 && text[i] < 0x7F ? static_cast<char>(text[i]) : '?';
    }
    return name.empty() ? fallback : name;
  }

  bool readSections(ElfPayload& payload) {
    std::array<unsigned char, 64> entry{};
    const auto bytes = std::span(entry).first(layout_.sectionHeaderSize);
    const auto headerAt = [&](std::uint64_t index) {
      return readPart(sectionOffset_ + index * sectionEntrySize_, bytes, "section header " + std::to_string(index));
    };
    if (nameIndex_ != 0 && nameIndex_ < sectionCount_) {
      if (!headerAt(nameIndex_)) return false;
      const std::uint64_t offset = decoder_.address(bytes, layout_.shOffset);
      const std::uint64_t size = decoder_.address(bytes, layout_.shSize);
      if (!fits(offset, size, fileSize_)) return refuse("truncated: the section names lie past the end of the file");
      names_ = {offset, size};
    }
    std::vector<bool> removalFound(options_.removedSections.size(), false);
    for (std::uint64_t i = 1; i < sectionCount_; ++i) {
      if (!headerAt(i)) return false;
      const std::uint64_t flags = decoder_.address(bytes, layout_.shFlags);
      const std::uint32_t type = decoder_.word(bytes, 4);
      ElfSection section;
      section.runAddress = decoder_.address(bytes, layout_.shAddress);
      section.fileOffset = decoder_.address(bytes, layout_.shOffset);
      section.size = decoder_.address(bytes, layout_.shSize);
      section.writable = (flags & kWritable) != 0;
      const bool inPayload = (flags & kAllocated) != 0 && type != kNoBits && type != 0 && section.size != 0;
      // Every section's name is looked at where some are to be removed: a name must match one.
      if (!inPayload && options_.removedSections.empty()) continue;
      section.name = sectionName(i, decoder_.word(bytes, 0));
      const auto removed = std::find(options_.removedSections.begin(), options_.removedSections.end(), section.name);
      if (removed != options_.removedSections.end()) {
        removalFound[static_cast<std::size_t>(removed - options_.removedSections.begin())] = true;
        continue;
      }
      if (!inPayload) continue;
      if (!fits(section.fileOffset, section.size, fileSize_)) {
        return refuse("truncated: the contents of " + section.name + " lie past the end of the file");
      }
      section.loadAddress = loadAddressOf(section);
      if (!fits(section.loadAddress, section.size, kAddressLimit)) {
        return refuse(section.name + " (load address " + hexText(section.loadAddress) + ", " +
                      std::to_string(section.size) + " bytes) reaches past 2^32");
      }
      payload.sections.push_back(std::move(section));
    }
    // A name that matches nothing is a typing error, and the section meant stays in.
    for (std::size_t i = 0; i < removalFound.size(); ++i) {
      if (!removalFound[i]) return refuse("no section " + options_.removedSections[i] + " to remove");
    }
    if (payload.sections.empty()) return refuse("no allocated section with contents");
    return true;
  }

  // The load address, as binutils take it: for a section that a segment holds (in the file and in
  // memory), the segment's physical address plus the section's place in the segment's file
  // image, by file offset (one segment may pack sections of several run addresses, such as
  // overlays); the run address where no segment holds it.
  std::uint64_t loadAddressOf(const ElfSection& section) const {
    for (const Segment& segment : segments_) {
      const bool inFile = section.fileOffset >= segment.offset &&
                          fits(section.fileOffset - segment.offset, section.size, segment.fileSize);
      const bool inMemory = section.runAddress >= segment.virtualAddress &&
                            fits(section.runAddress - segment.virtualAddress, section.size, segment.memorySize);
      const std::uint64_t into = section.fileOffset - segment.offset;
      if (inFile && inMemory)
        return into <= UINT64_MAX - segment.physicalAddress ? segment.physicalAddress + into : UINT64_MAX;
    }
    return section.runAddress;
  }

  bool arrange(ElfPayload& payload) {
    std::vector<ElfSection>& sections = payload.sections;
    std::stable_sort(sections.begin(), sections.end(),
                     [](const ElfSection& a, const ElfSection& b) { return a.loadAddress < b.loadAddress; });
    for (std::size_t i = 1; i < sections.size(); ++i) {
      const ElfSection& before = sections[i - 1];
      const ElfSection& after = sections[i];
      const std::uint64_t end = before.loadAddress + before.size;  // below 2^32 + 2^32: no wrap
      if (after.loadAddress < end) {
        return refuse("the load ranges of " + before.name + " (" + hexText(before.loadAddress) + ", " +
                      std::to_string(before.size) + " bytes) and " + after.name + " (" + hexText(after.loadAddress) +
                      ") overlap");
      }
      if (after.loadAddress - end > options_.maxGap) {
        return refuse("a gap of " + std::to_string(after.loadAddress - end) + " bytes between " + before.name +
                      " (load " + hexText(before.loadAddress) + ", run " + hexText(before.runAddress) + ") and " + after.name +
                      " (load " + hexText(after.loadAddress) + ", run " + hexText(after.runAddress) + "), more than " +
                      std::to_string(options_.maxGap) + gapHint(before, after));
      }
    }
    const std::uint64_t first = sections.front().loadAddress;
    const std::uint64_t size = sections.back().loadAddress + sections.back().size - first;
    // Each gap is bounded above; so is their sum, or many sections far apart would still make an
    // image (and a scratch copy) of hundreds of megabytes from a small ELF. The sum may be a few
    // gaps' worth, so that a gap at the limit plus the alignment padding between other sections
    // still packs.
    std::uint64_t filled = size;
    for (const ElfSection& section : sections) filled -= section.size;
    const std::uint64_t mostFilled = options_.maxGap * kElfGapsInAll;  // maxGap < 2^32: no wrap
    if (filled > mostFilled) {
      return refuse("gaps of " + std::to_string(filled) + " bytes in all between " + std::to_string(sections.size()) +
                    " sections: more than the " + std::to_string(mostFilled) + " bytes of zeros (" +
                    std::to_string(kElfGapsInAll) +
                    " times the largest gap) an image may be filled with in all (--max-gap BYTES allows more)");
    }
    if (size > UINT32_MAX) {
      return refuse("a payload of " + std::to_string(size) + " bytes: more than the image size field's 4294967295");
    }
    const std::uint64_t entry = entry_ & ~std::uint64_t{1};  // the Thumb bit marks the instruction set, not a byte
    // An exec address given instead is the user's to choose, as with a raw image.
    if (!options_.execAddress && (entry < first || entry - first >= size)) {
      return refuse("the entry address " + hexText(entry_) + " lies outside the payload (" + hexText(first) + " to " +
                    hexText(first + size) + ")");
    }
    payload.loadAddress = static_cast<std::uint32_t>(first);
    payload.execAddress = options_.execAddress.value_or(static_cast<std::uint32_t>(entry_));
    payload.size = static_cast<std::uint32_t>(size);
    return true;
  }

  std::uint64_t fileSize_;
  const ReadAt& read_;
  const ElfOptions& options_;
  std::string problem_;
  Decoder decoder_;
  Layout layout_ = kLayout32;
  std::uint64_t entry_ = 0, programOffset_ = 0, sectionOffset_ = 0;
  std::uint64_t programEntrySize_ = 0, programCount_ = 0, sectionEntrySize_ = 0, sectionCount_ = 0, nameIndex_ = 0;
  std::vector<Segment> segments_;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> names_;  // the name table's offset and size
};

}  // namespace

ElfReading readElfPayload(std::uint64_t fileSize, const ReadAt& read, const ElfOptions& options) {
  return Reader(fileSize, read, options).run();
}

bool writeElfPayload(const ElfPayload& payload, const ReadAt& read, std::span<unsigned char> buffer,
                     const std::function<bool(std::span<const unsigned char>)>& write) {
  std::uint64_t position = payload.loadAddress;
  for (const ElfSection& section : payload.sections) {
    // The gap before it, as zeros.
    std::fill(buffer.begin(), buffer.end(), 0);
    for (std::uint64_t gap = section.loadAddress - position; gap > 0;) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(gap, buffer.size()));
      if (!write(buffer.first(piece))) return false;
      gap -= piece;
    }
    for (std::uint64_t done = 0; done < section.size;) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(section.size - done, buffer.size()));
      if (!read(section.fileOffset + done, buffer.first(piece)) || !write(buffer.first(piece))) return false;
      done += piece;
    }
    position = section.loadAddress + section.size;
  }
  return true;
}
