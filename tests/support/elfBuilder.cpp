#include "elfBuilder.hpp"

namespace {

// Appends `value` in `width` bytes in the file's byte order.
struct Writer {
  Bytes& out;
  bool bigEndian;
  void put(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (bigEndian ? width - 1 - i : i);
      out.push_back(static_cast<unsigned char>(value >> shift));
    }
  }
};

std::size_t headerSize(const ElfBlueprint& blueprint) { return blueprint.wide ? 64 : 52; }
std::size_t programHeaderSize(const ElfBlueprint& blueprint) { return blueprint.wide ? 56 : 32; }
std::size_t sectionHeaderSize(const ElfBlueprint& blueprint) { return blueprint.wide ? 64 : 40; }

}  // namespace

ElfOffsets elfOffsets(const ElfBlueprint& blueprint) {
  const std::size_t programHeaders = headerSize(blueprint);
  std::size_t end = programHeaders + blueprint.sections.size() * programHeaderSize(blueprint);
  for (const ElfSectionBlueprint& section : blueprint.sections) end += section.contents.size();
  std::size_t names = 1 + std::string(".shstrtab").size() + 1;
  for (const ElfSectionBlueprint& section : blueprint.sections) names += section.name.size() + 1;
  return {programHeaders, end + names};
}

Bytes buildElf(const ElfBlueprint& blueprint) {
  const std::size_t addressWidth = blueprint.wide ? 8 : 4;
  const ElfOffsets offsets = elfOffsets(blueprint);
  std::vector<std::size_t> contentOffsets;
  std::size_t at = offsets.programHeaders + blueprint.sections.size() * programHeaderSize(blueprint);
  for (const ElfSectionBlueprint& section : blueprint.sections) {
    contentOffsets.push_back(at);
    at += section.contents.size();
  }
  std::string names(1, '\0');
  std::vector<std::size_t> nameOffsets;
  for (const ElfSectionBlueprint& section : blueprint.sections) {
    nameOffsets.push_back(names.size());
    names += section.name + '\0';
  }
  const std::size_t tableName = names.size();
  names += std::string(".shstrtab") + '\0';
  const std::size_t namesOffset = at;

  Bytes out(16, 0);  // the identification, set byte by byte (GCC 12 warns falsely on a list here)
  out.reserve(offsets.sectionHeaders + (blueprint.sections.size() + 2) * sectionHeaderSize(blueprint));
  out[0] = 0x7F;
  out[1] = 'E';
  out[2] = 'L';
  out[3] = 'F';
  out[4] = blueprint.wide ? 2 : 1;
  out[5] = blueprint.bigEndian ? 2 : 1;
  out[6] = 1;
  Writer w{out, blueprint.bigEndian};
  w.put(blueprint.type, 2);
  w.put(40, 2);  // e_machine: ARM, which nothing here reads
  w.put(1, 4);
  w.put(blueprint.entry, static_cast<int>(addressWidth));
  w.put(offsets.programHeaders, static_cast<int>(addressWidth));
  w.put(offsets.sectionHeaders, static_cast<int>(addressWidth));
  w.put(0, 4);  // e_flags
  w.put(headerSize(blueprint), 2);
  w.put(programHeaderSize(blueprint), 2);
  w.put(blueprint.sections.size(), 2);
  w.put(sectionHeaderSize(blueprint), 2);
  w.put(blueprint.sections.size() + 2, 2);  // the null section, the sections, the name table
  w.put(blueprint.sections.size() + 1, 2);

  for (std::size_t i = 0; i < blueprint.sections.size(); ++i) {
    const ElfSectionBlueprint& section = blueprint.sections[i];
    std::uint64_t fileSize = section.contents.size();
    for (std::size_t next = i + 1; next < blueprint.sections.size() && blueprint.sections[next].sharesPrevious; ++next)
      fileSize += blueprint.sections[next].contents.size();
    const std::uint64_t memorySize = section.noBits ? section.noBitsSize : fileSize;
    w.put(section.sharesPrevious ? 0 : 1, 4);  // PT_NULL or PT_LOAD
    if (blueprint.wide) w.put(5, 4);  // p_flags
    w.put(contentOffsets[i], static_cast<int>(addressWidth));
    w.put(section.runAddress, static_cast<int>(addressWidth));
    w.put(section.loadAddress, static_cast<int>(addressWidth));
    w.put(fileSize, static_cast<int>(addressWidth));
    w.put(memorySize, static_cast<int>(addressWidth));
    if (!blueprint.wide) w.put(5, 4);
    w.put(4, static_cast<int>(addressWidth));  // p_align
  }
  for (const ElfSectionBlueprint& section : blueprint.sections)
    out.insert(out.end(), section.contents.begin(), section.contents.end());
  out.insert(out.end(), names.begin(), names.end());

  const auto sectionHeader = [&](std::uint64_t name, std::uint32_t type, std::uint64_t flags, std::uint64_t address,
                                 std::uint64_t offset, std::uint64_t size) {
    w.put(name, 4);
    w.put(type, 4);
    w.put(flags, static_cast<int>(addressWidth));
    w.put(address, static_cast<int>(addressWidth));
    w.put(offset, static_cast<int>(addressWidth));
    w.put(size, static_cast<int>(addressWidth));
    w.put(0, 4);
    w.put(0, 4);
    w.put(1, static_cast<int>(addressWidth));
    w.put(0, static_cast<int>(addressWidth));
  };
  sectionHeader(0, 0, 0, 0, 0, 0);
  for (std::size_t i = 0; i < blueprint.sections.size(); ++i) {
    const ElfSectionBlueprint& section = blueprint.sections[i];
    sectionHeader(nameOffsets[i], section.noBits ? 8 : 1, (section.allocated ? 0x2u : 0u) | (section.writable ? 0x1u : 0u), section.runAddress,
                  contentOffsets[i], section.noBits ? section.noBitsSize : section.contents.size());
  }
  sectionHeader(tableName, 3, 0, 0, namesOffset, names.size());
  return out;
}
