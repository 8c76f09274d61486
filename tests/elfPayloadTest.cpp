// The ELF reader on executables made byte by byte: the payload objcopy -O binary would make and
// the addresses, in both classes and byte orders; every refusal as a row; every truncation.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "elfOptions.hpp"
#include "elfPayload.hpp"
#include "support/elfBuilder.hpp"
#include "support/testFiles.hpp"

namespace {

ElfReading readBytes(const Bytes& file) {
  return readElfPayload(file.size(), [&file](std::uint64_t offset, std::span<unsigned char> into) {
    if (offset > file.size() || into.size() > file.size() - offset) return false;
    std::copy_n(file.begin() + static_cast<long>(offset), into.size(), into.begin());
    return true;
  });
}

Bytes payloadOf(const Bytes& file, const ElfPayload& payload, std::size_t bufferSize = 7) {
  Bytes out;
  std::vector<unsigned char> buffer(bufferSize);
  const bool written = writeElfPayload(
      payload,
      [&file](std::uint64_t offset, std::span<unsigned char> into) {
        std::copy_n(file.begin() + static_cast<long>(offset), into.size(), into.begin());
        return true;
      },
      buffer,
      [&out](std::span<const unsigned char> bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return true;
      });
  EXPECT_TRUE(written);
  return out;
}

// Text in flash; data whose load address follows it in flash while it runs in RAM; .bss, which
// has no contents; a comment that is not allocated. Entry: the Thumb bit set.
// The firmware with `copies` copies of .data after .text, each `gap` bytes after the last.
void spreadData(ElfBlueprint& s, int copies, std::uint32_t gap) {
  const ElfSectionBlueprint data = s.sections[1];
  s.sections.resize(1);
  std::uint32_t end = 0x08000000 + 302;
  for (int i = 0; i < copies; ++i) {
    s.sections.push_back(data);
    s.sections.back().loadAddress = end + gap;
    s.sections.back().name = ".data" + std::to_string(i);
    end = static_cast<std::uint32_t>(s.sections.back().loadAddress + 20);
  }
}

ElfBlueprint firmware(bool wide, bool bigEndian) {
  ElfBlueprint blueprint;
  blueprint.wide = wide;
  blueprint.bigEndian = bigEndian;
  blueprint.entry = 0x08000101;
  blueprint.sections = {
      {".text", 0x08000000, 0x08000000, randomBytes(302, 1)},
      {".data", 0x20000000, 0x08000130, randomBytes(20, 2), false, true, 0, false, true},  // 2 bytes of gap after .text
      {".bss", 0x20000014, 0x08000144, {}, true, true, 64},
      {".comment", 0, 0, textBytes("made by hand"), false, false},
  };
  return blueprint;
}

}  // namespace

TEST(ElfPayload, SectionsAtTheirLoadAddressesInEveryClassAndByteOrder) {
  for (const bool wide : {false, true}) {
    for (const bool bigEndian : {false, true}) {
      SCOPED_TRACE(std::string(wide ? "64" : "32") + "-bit, " + (bigEndian ? "big" : "little") + "-endian");
      const ElfBlueprint blueprint = firmware(wide, bigEndian);
      const Bytes file = buildElf(blueprint);
      const ElfReading reading = readBytes(file);
      ASSERT_TRUE(reading.payload) << reading.problem;
      EXPECT_EQ(reading.payload->loadAddress, 0x08000000u);
      EXPECT_EQ(reading.payload->execAddress, 0x08000101u);  // as the ELF states it
      EXPECT_EQ(reading.payload->size, 0x144u);
      ASSERT_EQ(reading.payload->sections.size(), 2u);
      EXPECT_EQ(reading.payload->sections[1].name, ".data");
      EXPECT_EQ(reading.payload->sections[1].runAddress, 0x20000000u);
      Bytes expected = blueprint.sections[0].contents;
      expected.resize(0x130, 0);
      expected.insert(expected.end(), blueprint.sections[1].contents.begin(), blueprint.sections[1].contents.end());
      EXPECT_EQ(payloadOf(file, *reading.payload), expected);
    }
  }
}

// Load addresses as GNU binutils read them (objdump -h's LMA, what objcopy -O binary places):
// by file offset inside a segment, and a segment's virtual address where no program header has
// a physical one and more than one segment loads.
TEST(ElfPayload, LoadAddressesAsBinutilsReadThem) {
  const struct {
    const char* name;
    std::vector<ElfSectionBlueprint> sections;
    std::uint64_t entry;
    std::vector<std::uint64_t> loadAddresses;
  } cases[] = {
      {"two overlays packed in one segment, by file offset",
       {{".ov_a", 0x2001C000, 0x080016B8, randomBytes(8, 3)}, {".ov_b", 0x2001C000, 0, randomBytes(8, 4), false, true, 0, true}},
       0x080016B8,
       {0x080016B8, 0x080016C0}},
      {"every physical address zero, two segments: the virtual ones",
       {{".text", 0x8000, 0, randomBytes(16, 5)}, {".data", 0x8100, 0, randomBytes(8, 6)}},
       0x8001,
       {0x8000, 0x8100}},
      {"one segment at physical address zero: zero",
       {{".text", 0x8000, 0, randomBytes(16, 7)}},
       0x1,
       {0x0}},
      {"an empty section below the others takes no part",
       {{".empty", 0x07FF0000, 0x07FF0000, {}}, {".text", 0x08000000, 0x08000000, randomBytes(16, 8)}},
       0x08000001,
       {0x08000000}},
      {"in the order of load addresses, not of run addresses",
       {{".fast", 0x20000000, 0x08000000, randomBytes(16, 9)}, {".slow", 0x10000000, 0x08000010, randomBytes(16, 10)}},
       0x08000001,
       {0x08000000, 0x08000010}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ElfBlueprint blueprint;
    blueprint.entry = c.entry;
    blueprint.sections = c.sections;
    const Bytes file = buildElf(blueprint);
    const ElfReading reading = readBytes(file);
    ASSERT_TRUE(reading.payload) << reading.problem;
    ASSERT_EQ(reading.payload->sections.size(), c.loadAddresses.size());
    for (std::size_t i = 0; i < c.loadAddresses.size(); ++i)
      EXPECT_EQ(reading.payload->sections[i].loadAddress, c.loadAddresses[i]) << reading.payload->sections[i].name;
    EXPECT_EQ(reading.payload->loadAddress, c.loadAddresses.front());
  }
}

// Each refusal, with the reason it gives.
TEST(ElfPayload, RefusalsSayWhy) {
  const auto with = [](auto change) {
    ElfBlueprint blueprint = firmware(false, false);
    change(blueprint);
    return buildElf(blueprint);
  };
  const Bytes good = buildElf(firmware(false, false));
  const ElfOffsets offsets = elfOffsets(firmware(false, false));
  const auto patched = [&good](std::size_t at, std::initializer_list<unsigned char> bytes) {
    Bytes file = good;
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<long>(at));
    return file;
  };
  const std::string kAllow = ". If the gap is meant, --max-gap BYTES allows it, filled with zeros as objcopy -O binary "
                            "fills it";
  const struct {
    const char* what;
    Bytes file;
    std::string problem;
  } cases[] = {
      {"empty", {}, "not an ELF file: shorter than an ELF identification"},
      {"a raw binary", randomBytes(100, 3), "not an ELF file: it does not start with 7F 45 4C 46"},
      {"class 3", patched(4, {3}), "not an ELF file: class 3"},
      {"byte order 0", patched(5, {0}), "not an ELF file: byte order 0"},
      {"header cut", Bytes(good.begin(), good.begin() + 40), "truncated: the ELF header lies past the end of the file"},
      {"relocatable", with([](ElfBlueprint& s) { s.type = 1; }),
       "not an executable (ET_EXEC): a relocatable object (ET_REL): pass the linked executable, not an object file"},
      {"position-independent", with([](ElfBlueprint& s) { s.type = 3; }),
       "not an executable (ET_EXEC): a shared object or position-independent executable (ET_DYN): link with -no-pie, "
       "or at a fixed address"},
      {"no section headers", patched(32, {0, 0, 0, 0}),
       "no section headers (strip --strip-section-headers or llvm-objcopy --strip-sections removes what packing needs)"},
      {"section headers past the end", patched(32, {0xF0, 0xFF, 0, 0}),
       "truncated: the section headers lie past the end of the file"},
      {"program headers past the end", patched(28, {0xF0, 0xFF, 0, 0}),
       "truncated: the program headers lie past the end of the file"},
      {"contents past the end", patched(offsets.sectionHeaders + 40 + 20, {0xFF, 0xFF, 0, 0}),
       "truncated: the contents of .text lie past the end of the file"},
      {"an offset so large that offset and size wrap past 2^64", [&] {
         ElfBlueprint wide = firmware(true, false);
         Bytes file = buildElf(wide);
         // .text's section header (64 bytes each, after the null one): sh_offset at 24, sh_size at 32.
         const std::size_t at = elfOffsets(wide).sectionHeaders + 64;
         for (std::size_t i = 0; i < 8; ++i) file[at + 24 + i] = i == 0 ? 0x00 : 0xFF;
         file[at + 32] = 0x00;
         file[at + 33] = 0x02;
         return file;
       }(),
       "truncated: the contents of .text lie past the end of the file"},
      {"nothing allocated", with([](ElfBlueprint& s) {
         s.sections = {s.sections[2], s.sections[3]};
       }),
       "no allocated section with contents"},
      {"overlapping load ranges", with([](ElfBlueprint& s) { s.sections[1].loadAddress = 0x08000100; }),
       "the load ranges of .text (0x08000000, 302 bytes) and .data (0x08000100) overlap"},
      {"past 2^32", with([](ElfBlueprint& s) {
         s.sections[1].loadAddress = 0xFFFFFFF0;
         s.wide = true;
       }),
       ".data (load address 0xfffffff0, 20 bytes) reaches past 2^32"},
      {"linked at its run address", with([](ElfBlueprint& s) { s.sections[1].loadAddress = 0x20000000; }),
       "a gap of 402652882 bytes between .text (load 0x08000000, run 0x08000000) and .data (load 0x20000000, run "
       "0x20000000), more than 1048576 bytes: a section linked at its run address instead of its load address?" +
           kAllow.substr(1)},
      {"data linked at its run address in the same memory", with([](ElfBlueprint& s) {
         s.sections[1].loadAddress = s.sections[1].runAddress = 0x08200000;
       }),
       "a gap of 2096850 bytes between .text (load 0x08000000, run 0x08000000) and .data (load 0x08200000, run "
       "0x08200000), more than 1048576 bytes: a section linked at its run address instead of its load address?" +
           kAllow.substr(1)},
      {"a read-only sector far in the same flash: meant, most likely", with([](ElfBlueprint& s) {
         s.sections[1].loadAddress = s.sections[1].runAddress = 0x081F0000;
         s.sections[1].name = ".config";
         s.sections[1].writable = false;
       }),
       "a gap of 2031314 bytes between .text (load 0x08000000, run 0x08000000) and .config (load 0x081f0000, run "
       "0x081f0000), more than 1048576 bytes" + kAllow},
      {"AVR EEPROM contents", with([](ElfBlueprint& s) {
         s.sections[1].loadAddress = s.sections[1].runAddress = 0x00810000;
         s.sections[1].name = ".eeprom";
         s.sections[0].loadAddress = s.sections[0].runAddress = 0;
         s.entry = 0;
       }),
       "a gap of 8453842 bytes between .text (load 0x00000000, run 0x00000000) and .eeprom (load 0x00810000, run "
       "0x00810000), more than 1048576 bytes: .eeprom looks programmed apart from the image (EEPROM, fuses, UICR): "
       "--remove-section .eeprom leaves it out" + kAllow},
      {"EEPROM contents below the flash", with([](ElfBlueprint& s) {
         s.sections[1].loadAddress = s.sections[1].runAddress = 0x00810000;
         s.sections[1].name = ".eeprom";
         s.sections[1].contents.resize(4);
       }),
       "a gap of 125763580 bytes between .eeprom (load 0x00810000, run 0x00810000) and .text (load 0x08000000, run "
       "0x08000000), more than 1048576 bytes: .eeprom looks programmed apart from the image (EEPROM, fuses, UICR): "
       "--remove-section .eeprom leaves it out" + kAllow},
      {"an nRF UICR word", with([](ElfBlueprint& s) {
         s.sections[1].loadAddress = s.sections[1].runAddress = 0x10001014;
         s.sections[1].name = ".uicr_bootloader_start_address";
         s.sections[1].writable = false;
         s.sections[0].loadAddress = s.sections[0].runAddress = 0;
         s.entry = 0;
       }),
       "a gap of 268439270 bytes between .text (load 0x00000000, run 0x00000000) and .uicr_bootloader_start_address "
       "(load 0x10001014, run 0x10001014), more than 1048576 bytes: .uicr_bootloader_start_address looks programmed "
       "apart from the image (EEPROM, fuses, UICR): --remove-section .uicr_bootloader_start_address leaves it out" +
           kAllow},
      {"gaps under the limit each, over it in all", with([](ElfBlueprint& s) { spreadData(s, 5, 900000); }),
       "gaps of 4500000 bytes in all between 6 sections: more than the 4194304 bytes of zeros (4 times the largest "
       "gap) an image may be filled with in all (--max-gap BYTES allows more)"},
      {"entry outside", with([](ElfBlueprint& s) { s.entry = 0x08000145; }),
       "the entry address 0x08000145 lies outside the payload (0x08000000 to 0x08000144)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ElfReading reading = readBytes(c.file);
    EXPECT_FALSE(reading.payload);
    EXPECT_EQ(reading.problem, c.problem);
  }
  // A gap of exactly 1 MiB is still a payload; one byte more is not.
  for (const std::uint64_t gap : {kLargestElfGap, kLargestElfGap + 1}) {
    const ElfReading reading =
        readBytes(with([gap](ElfBlueprint& s) { s.sections[1].loadAddress = 0x0800012E + gap; }));
    EXPECT_EQ(reading.payload.has_value(), gap == kLargestElfGap) << reading.problem;
  }
  // Nor does the alignment padding between other sections tip a gap at the limit over: 1 MiB
  // and 8 bytes in all, as a real STM32 firmware was linked.
  const ElfReading atTheLimit = readBytes(with([](ElfBlueprint& s) {
    spreadData(s, 2, 8);
    s.sections[1].loadAddress = 0x0800012E + kLargestElfGap;
    s.sections[2].loadAddress = s.sections[1].loadAddress + 20 + 8;
  }));
  ASSERT_TRUE(atTheLimit.payload) << atTheLimit.problem;
  EXPECT_EQ(atTheLimit.payload->size, 302 + kLargestElfGap + 20 + 8 + 20);
}

// Cut anywhere, the file is refused, never read past its end.
TEST(ElfPayload, EveryTruncationIsRefused) {
  for (const bool wide : {false, true}) {
    const Bytes file = buildElf(firmware(wide, !wide));
    for (std::size_t length = 0; length < file.size(); ++length) {
      const ElfReading reading = readBytes(Bytes(file.begin(), file.begin() + static_cast<long>(length)));
      EXPECT_FALSE(reading.payload) << length << " bytes";
    }
  }
}

// What the options change: a larger gap allowed on purpose (one, and all together), sections left
// out, the exec address given; and what they refuse.
TEST(ElfPayload, OptionsChangeTheLayout) {
  const auto with = [](auto change) {
    ElfBlueprint blueprint = firmware(false, false);
    change(blueprint);
    return buildElf(blueprint);
  };
  const Bytes farConfig = with([](ElfBlueprint& s) { s.sections[1].loadAddress = s.sections[1].runAddress = 0x081F0000; });
  const Bytes fiveGaps = with([](ElfBlueprint& s) { spreadData(s, 5, 600000); });
  const Bytes eeprom = with([](ElfBlueprint& s) {
    s.sections[1].loadAddress = s.sections[1].runAddress = 0x00810000;
    s.sections[1].name = ".eeprom";
  });
  const auto options = [](std::uint64_t maxGap, std::vector<std::string> removed, std::optional<std::uint32_t> exec) {
    ElfOptions o;
    o.maxGap = maxGap;
    o.removedSections = std::move(removed);
    o.execAddress = exec;
    return o;
  };
  const struct {
    const char* what;
    const Bytes& file;
    ElfOptions options;
    std::uint32_t size, execAddress;  // size 0: refused with `problem`
    std::string problem;
  } cases[] = {
      {"a gap allowed", farConfig, options(0x1F0000, {}, {}), 0x1F0000 + 20, 0x08000101, ""},
      {"one byte short of it", farConfig, options(0x1F0000 - 302 - 1, {}, {}), 0, 0,
       "a gap of 2031314 bytes between .text (load 0x08000000, run 0x08000000) and .data (load 0x081f0000, run "
       "0x081f0000), more than 2031313 bytes: a section linked at its run address instead of its load address? If "
       "the gap is meant, --max-gap BYTES allows it, filled with zeros as objcopy -O binary fills it"},
      {"all gaps together: four times one allowed", fiveGaps, options(750000, {}, {}), 302 + 5 * 20 + 3000000,
       0x08000101, ""},
      {"all gaps together bounded by four times one", fiveGaps, options(749999, {}, {}), 0, 0,
       "gaps of 3000000 bytes in all between 6 sections: more than the 2999996 bytes of zeros (4 times the largest "
       "gap) an image may be filled with in all (--max-gap BYTES allows more)"},
      {"a section left out", eeprom, options(kLargestElfGap, {".eeprom"}, {}), 302, 0x08000101, ""},
      {"an unallocated section left out: nothing changes", eeprom, options(kLargestElfGap, {".eeprom", ".comment"}, {}),
       302, 0x08000101, ""},
      {"a name the ELF lacks", eeprom, options(kLargestElfGap, {".eeprom", ".eprom"}, {}), 0, 0,
       "no section .eprom to remove"},
      {"every section left out", eeprom, options(kLargestElfGap, {".eeprom", ".text"}, {}), 0, 0,
       "no allocated section with contents"},
      {"the exec address given, outside the payload too", eeprom, options(kLargestElfGap, {".eeprom"}, 0x20000000),
       302, 0x20000000, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ElfReading reading = readElfPayload(c.file.size(),
                                              [&c](std::uint64_t offset, std::span<unsigned char> into) {
                                                std::copy_n(c.file.begin() + static_cast<long>(offset), into.size(),
                                                            into.begin());
                                                return true;
                                              },
                                              c.options);
    EXPECT_EQ(reading.problem, c.problem);
    if (c.size == 0) continue;
    ASSERT_TRUE(reading.payload);
    EXPECT_EQ(reading.payload->loadAddress, 0x08000000u);
    EXPECT_EQ(reading.payload->size, c.size);
    EXPECT_EQ(reading.payload->execAddress, c.execAddress);
  }
}

// The options as both programs read them from the command line.
TEST(ElfPayload, OptionsFromTheCommandLine) {
  const struct {
    std::vector<std::string> args;
    ElfOptionTaken taken;
    std::string problem;
    std::uint64_t maxGap;
    std::optional<std::uint32_t> exec;
    std::vector<std::string> removed;
  } cases[] = {
      {{"--exec", "0x08000000"}, ElfOptionTaken::taken, "", kLargestElfGap, 0x08000000, {}},
      {{"--exec=FfFfFfFf"}, ElfOptionTaken::taken, "", kLargestElfGap, 0xFFFFFFFF, {}},
      {{"--exec", "123456789"}, ElfOptionTaken::refused,
       "--exec \"123456789\": an address is 1 to 8 hexadecimal digits, with or without 0x", kLargestElfGap, {}, {}},
      {{"--exec", "-1"}, ElfOptionTaken::refused,
       "--exec \"-1\": an address is 1 to 8 hexadecimal digits, with or without 0x", kLargestElfGap, {}, {}},
      {{"--exec=0x"}, ElfOptionTaken::refused,
       "--exec \"0x\": an address is 1 to 8 hexadecimal digits, with or without 0x", kLargestElfGap, {}, {}},
      {{"--exec"}, ElfOptionTaken::refused, "--exec needs an ADDRESS", kLargestElfGap, {}, {}},
      {{"--max-gap", "2097152"}, ElfOptionTaken::taken, "", 2097152, {}, {}},
      {{"--max-gap=0x200000"}, ElfOptionTaken::taken, "", 0x200000, {}, {}},
      {{"--max-gap", "0"}, ElfOptionTaken::taken, "", 0, {}, {}},
      {{"--max-gap", "4294967295"}, ElfOptionTaken::taken, "", 4294967295, {}, {}},
      {{"--max-gap", "4294967296"}, ElfOptionTaken::refused,
       "--max-gap \"4294967296\": a number of bytes, decimal or 0x and hexadecimal, at most 4294967295", kLargestElfGap,
       {}, {}},
      {{"--max-gap", "2M"}, ElfOptionTaken::refused,
       "--max-gap \"2M\": a number of bytes, decimal or 0x and hexadecimal, at most 4294967295", kLargestElfGap, {}, {}},
      {{"--max-gap"}, ElfOptionTaken::refused, "--max-gap needs a number of BYTES", kLargestElfGap, {}, {}},
      {{"--remove-section", ".eeprom"}, ElfOptionTaken::taken, "", kLargestElfGap, {}, {".eeprom"}},
      {{"--remove-section="}, ElfOptionTaken::refused, "--remove-section needs a section NAME", kLargestElfGap, {}, {}},
      {{"--exec-address", "0"}, ElfOptionTaken::no, "", kLargestElfGap, {}, {}},
      {{"--max"}, ElfOptionTaken::no, "", kLargestElfGap, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
    ElfOptions options;
    std::string problem;
    std::size_t index = 0;
    EXPECT_EQ(takeElfOption(c.args, index, options, problem), c.taken);
    EXPECT_EQ(problem, c.problem);
    if (c.taken == ElfOptionTaken::taken) {
      EXPECT_EQ(index, c.args.size() - 1);  // at the option's last argument
    }
    EXPECT_EQ(options.maxGap, c.maxGap);
    EXPECT_EQ(options.execAddress, c.exec);
    EXPECT_EQ(options.removedSections, c.removed);
  }
}
