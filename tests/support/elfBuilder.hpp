#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testFiles.hpp"

// ELF executables made byte by byte for the tests, in either class and byte order: sections
// with contents (or .bss-like ones without), each in a loadable segment of its own whose
// physical address gives the section's load address, or in the one before's.
struct ElfSectionBlueprint {
  std::string name;
  std::uint64_t runAddress = 0;   // sh_addr, the segment's virtual address
  std::uint64_t loadAddress = 0;  // the segment's physical address
  Bytes contents;                 // empty with noBits: that many zero bytes in memory only
  bool noBits = false;            // SHT_NOBITS (.bss)
  bool allocated = true;          // SHF_ALLOC
  std::uint64_t noBitsSize = 0;
  // Its contents follow the previous section's in that section's segment (overlays in one
  // PT_LOAD, say); its own program header is then PT_NULL.
  bool sharesPrevious = false;
  bool writable = false;  // SHF_WRITE
};

struct ElfBlueprint {
  bool wide = false;       // ELFCLASS64
  bool bigEndian = false;  // ELFDATA2MSB
  std::uint16_t type = 2;  // ET_EXEC
  std::uint64_t entry = 0;
  std::vector<ElfSectionBlueprint> sections;
};

// The ELF file: header, program headers, the sections' contents, the section-name table, the
// section headers (first a null one, last the name table's).
Bytes buildElf(const ElfBlueprint& blueprint);

// Where fields stand in what buildElf makes, for tests that damage one.
struct ElfOffsets {
  std::size_t programHeaders, sectionHeaders;
};
ElfOffsets elfOffsets(const ElfBlueprint& blueprint);
