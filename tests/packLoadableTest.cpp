// End-to-end: runs the built packLoadable on temporary files and checks its output, its exit
// status and every byte it writes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "programs.hpp"
#include "support/elfBuilder.hpp"
#include "support/expectIntact.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"
#include "support/wordSumReference.hpp"

namespace fs = std::filesystem;

namespace {

const std::string kUsage =
    "Error arguments !!! You must give me all the parameters !!!!\n\n\n"
    "------------------- ORVA packLoadable by image-tools@orva.example -------------------\n\n"
    "USAGE: packLoadable  <SOURCE IMAGE file name> <TARGET IMAGE file name> <Image name> <Load Address> "
    "<Exec Address>\n\n"
    "      <SOURCE IMAGE file name> = name of the source image file name.\n\n"
    "      <TARGET IMAGE file name> = name of the target image file name,without extension '.img'.\n\n"
    "      <Image name> = name of the target image.\n\n"
    "      <Load Address> = the load address of the target image.\n\n"
    "      <Exec Address> = the exec address of the target image.\n\n";

constexpr std::size_t kBlock = std::size_t{256} << 10;  // the programs' copy block

ProgramResult pack(const std::vector<std::string>& args) { return runProgram(kPackLoadable, args); }

// The .img file expected for a payload, built field by field independently of the packer's code.
Bytes expectedImage(const Bytes& payload, std::uint32_t load, std::uint32_t exec, const std::string& name) {
  Bytes image;
  appendLittleEndian32(image, 44);
  appendLittleEndian32(image, static_cast<std::uint32_t>(payload.size()));
  appendLittleEndian32(image, load);
  appendLittleEndian32(image, exec);
  std::string field = name.substr(0, 16);
  field.resize(16, '\0');
  image.insert(image.end(), field.begin(), field.end());
  image.insert(image.end(), {0x9F, 0xFF, 0xFF, 0xA0, 0x07, 0x00, 0x00, 0x00});
  appendLittleEndian32(image, referenceWordSum(payload));
  image.insert(image.end(), payload.begin(), payload.end());
  while (image.size() % 4 != 0) image.push_back(0);
  return image;
}

std::string checksumLine(const Bytes& payload) {
  char line[32];
  std::snprintf(line, sizeof line, "Check Sum = 0x%x\n", static_cast<unsigned>(referenceWordSum(payload)));
  return line;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class PackLoadable : public ::testing::Test {
 protected:
  TempDir dir;

  // Checks every byte of a written image, and that imageInfo finds it intact.
  static void expectImage(const std::string& path, const Bytes& expected) {
    EXPECT_EQ(readFile(path), expected);
    expectIntact(path);
  }
};

}  // namespace

TEST_F(PackLoadable, TooFewArgumentsPrintUsageAndTouchNothing) {
  writeFile(dir.file("src.bin"), Bytes{1, 2, 3, 4});
  writeFile(dir.file("out.img"), Bytes{7, 7});
  const std::vector<std::string> all = {dir.file("src.bin"), dir.file("out"), "name", "0", "0"};
  // No arguments asks for the usage (status 0); one to four means one was lost (status 20).
  for (std::size_t count = 0; count < 5; ++count) {
    SCOPED_TRACE(std::to_string(count) + " arguments");
    const ProgramResult result = pack(std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(count)));
    EXPECT_EQ(result.exitStatus, count == 0 ? 0 : 20);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"out.img", "src.bin"}));
    EXPECT_EQ(readFile(dir.file("out.img")), (Bytes{7, 7}));
  }
}

// --help (or -h) and --version, as the only argument, answer on standard output with status 0,
// in every program; with anything beside them they are a usage error that names the option.
TEST(AllPrograms, HelpAndVersion) {
  const std::string version = " (orva-image-tools) " + std::string(kVersion) + "\n";
  const std::string imageInfoUsage =
      "usage: imageInfo [--json] [--key PUB.pem]... [--] FILE...\n"
      "       imageInfo [--json] [--key PUB.pem]... --extract OUT [--] FILE\n       imageInfo --key-as-c PUB.pem\n"
      "       imageInfo [--json] --elf ELF [--exec ADDRESS] [--max-gap BYTES]\n"
    "                 [--remove-section NAME]... [--] IMAGE\n";
  const struct {
    std::string program;
    std::vector<std::string> args;
    int status;
    std::string outStart;  // what standard output starts with
    std::string err;
  } cases[] = {
      {kPackLoadable, {"--help"}, 0, kUsage.substr(kUsage.find("-------")), ""},
      {kPackLoadable, {"-h"}, 0, kUsage.substr(kUsage.find("-------")), ""},
      {kPackLoadable, {"--version"}, 0, "packLoadable" + version, ""},
      {kPackLoadable, {"--help", "x"}, 20, "", "packLoadable: --help takes no other arguments\n"},
      {kPackLoadable,
       {"a", "b", "N", "0", "0", "--version"},
       20,
       "",
       "packLoadable: --version takes no other arguments\n"},
      {kStampPack, {"--help"}, 0, "usage: stampPack [--strict] [--force] INPUT OUTPUT [IMAGE_ID]\n", ""},
      {kStampPack, {"-h"}, 0, "usage: stampPack [--strict] [--force] INPUT OUTPUT [IMAGE_ID]\n", ""},
      {kStampPack, {"--version"}, 0, "stampPack" + version, ""},
      {kStampPack, {"--version", "x"}, 20, "", "stampPack: --version takes no other arguments\n"},
      {kStampPack, {"x", "-h"}, 20, "", "stampPack: -h takes no other arguments\n"},
      {kImageInfo, {"--help"}, 0, imageInfoUsage, ""},
      {kImageInfo, {"-h"}, 0, imageInfoUsage, ""},
      {kImageInfo, {"--version"}, 0, "imageInfo" + version, ""},
      {kImageInfo, {"--help", "x"}, 2, "", "imageInfo: --help takes no other arguments\n" + imageInfoUsage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program + " " + c.args[0] + (c.args.size() > 1 ? " ..." : ""));
    const ProgramResult result = runProgram(c.program, c.args);
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.out.substr(0, c.outStart.size()), c.outStart);
    EXPECT_EQ(result.err, c.err);
    if (c.status != 0 || c.args[0] == "--version") {
      EXPECT_EQ(result.out, c.status == 0 ? c.outStart : "");  // --version: that one line
    }
  }
  // After "--", imageInfo takes --help for a FILE.
  const ProgramResult file = runProgram(kImageInfo, {"--", "--help"});
  EXPECT_EQ(file.exitStatus, 2);
  EXPECT_EQ(file.err, "imageInfo: cannot open --help: No such file or directory\n");
}

TEST_F(PackLoadable, PacksPayloadsOfEverySize) {
  struct Case {
    const char* what;
    Bytes payload;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"two words", {1, 0, 0, 0, 2, 0, 0, 0}},
      {"one byte", {0xAB}},
      {"five bytes", {1, 2, 3, 4, 5}},
      {"seven bytes", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"random, several copy blocks and a tail", randomBytes(3 * (1 << 20) + 6, 21)},
  };
  // Around one copy block, where the header and the payload meet a write boundary.
  for (const std::size_t size : {kBlock - 45, kBlock - 44, kBlock - 43, kBlock - 1, kBlock, kBlock + 1}) {
    cases.push_back({"around one block", randomBytes(size, static_cast<std::uint32_t>(size))});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.payload.size()) + " bytes");
    writeFile(dir.file("src.bin"), c.payload);
    const ProgramResult result = pack({dir.file("src.bin"), dir.file("out"), "kernel", "80008000", "1F0"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, checksumLine(c.payload));
    EXPECT_EQ(result.err, "");
    expectImage(dir.file("out.img"), expectedImage(c.payload, 0x80008000, 0x1F0, "kernel"));
  }
}

TEST_F(PackLoadable, AddressesAndNamesReachTheHeader) {
  struct Case {
    std::string load, exec, name;
    std::uint32_t loadValue, execValue;
  };
  const Case cases[] = {
      {"0x1F0", "1f0", "kernel", 0x1F0, 0x1F0},
      {" 1F0", "1F0xyz", "ABCDEFGHIJKLMNOP", 0x1F0, 0x1F0},
      {"zz", "80008000", "ABCDEFGHIJKLMNOPQRS", 0, 0x80008000},
      {"FFFFFFFF", "-1", "", 0xFFFFFFFF, 0xFFFFFFFF},
  };
  const Bytes payload{9, 8, 7, 6};
  writeFile(dir.file("src.bin"), payload);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.load + " " + c.exec + " " + c.name);
    const ProgramResult result = pack({dir.file("src.bin"), dir.file("out"), c.name, c.load, c.exec});
    EXPECT_EQ(result.exitStatus, 0);
    expectImage(dir.file("out.img"), expectedImage(payload, c.loadValue, c.execValue, c.name));
  }
}

TEST_F(PackLoadable, ErrorsBeforeWriting) {
  writeFile(dir.file("src.bin"), Bytes{1, 2, 3, 4});
  fs::create_directory(dir.path() / "folder");
  const std::string missing = dir.file("missing.bin");
  const std::string noDirTarget = dir.file("no/such/dir/out");
#ifdef _WIN32
  const std::string lineBreakInName = "Invalid argument";  // no Windows name holds one
#else
  const std::string lineBreakInName = "No such file or directory";
#endif
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string message;  // standard output, as it always was
    std::string reason;   // standard error: why, in the system's words where it has them
  };
  const std::vector<Case> cases = {
      {"missing source",
       {missing, dir.file("out"), "n", "0", "0"},
       "ERROR : Can't find source file - " + missing + "\n",
       "packLoadable: cannot open " + missing + ": No such file or directory\n"},
      {"source is a directory",
       {dir.file("folder"), dir.file("out"), "n", "0", "0"},
       "ERROR : Can't find source file - " + dir.file("folder") + "\n",
       "packLoadable: cannot read " + dir.file("folder") + ": not a regular file\n"},
      {"target cannot be opened",
       {dir.file("src.bin"), noDirTarget, "n", "0", "0"},
       "ERROR : Can't open destination file - " + noDirTarget + ".img\n",
       "packLoadable: cannot create " + noDirTarget + ".img: No such file or directory\n"},
      {"load address too wide",
       {dir.file("src.bin"), dir.file("out"), "n", "100000000", "0"},
       "ERROR : Invalid address - 100000000\n",
       "packLoadable: invalid load address \"100000000\": more than 32 bits; addresses are hexadecimal: 100000000 in "
       "decimal is 5f5e100\n"},
      // Addresses are checked before any file is opened, even a missing source.
      {"exec address too wide",
       {missing, dir.file("out"), "n", "0", "-100000000"},
       "ERROR : Invalid address - -100000000\n",
       "packLoadable: invalid exec address \"-100000000\": more than 32 bits; addresses are hexadecimal\n"},
      // No argument can add a line to the output, where a script looks for the checksum line,
      // nor forge one on standard error.
      {"a line break in the source",
       {missing + "\nCheck Sum = 0xdeadbeef", dir.file("out"), "n", "0", "0"},
       "ERROR : Can't find source file - " + missing + "\\x0ACheck Sum = 0xdeadbeef\n",
       "packLoadable: cannot open " + missing + "\\x0ACheck Sum = 0xdeadbeef: No such file or directory\n"},
      {"a line break in the target",
       {dir.file("src.bin"), noDirTarget + "\n", "n", "0", "0"},
       "ERROR : Can't open destination file - " + noDirTarget + "\\x0A.img\n",
       "packLoadable: cannot create " + noDirTarget + "\\x0A.img: " + lineBreakInName + "\n"},
      // Shifted by one, TARGET and NAME given as addresses: no image at address 0 named 08000000.
      {"arguments out of order",
       {dir.file("src.bin"), dir.file("08000000"), "08000000", "out", "APP"},
       "ERROR : Invalid address - out\n",
       "packLoadable: the arguments look out of order: load address \"out\" has no hexadecimal digits, and NAME "
       "\"08000000\" reads as an address; the order is SOURCE TARGET NAME LOAD_ADDRESS EXEC_ADDRESS\n"},
      {"a line break in an address",
       {dir.file("src.bin"), dir.file("out"), "n", "100000000\nX", "0"},
       "ERROR : Invalid address - 100000000\\x0AX\n",
       "packLoadable: invalid load address \"100000000\\x0AX\": more than 32 bits; addresses are hexadecimal\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ProgramResult result = pack(c.args);
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, c.message);
    EXPECT_EQ(result.err, c.reason);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"folder", "src.bin"}));
  }
}

// Where the lenient reading of an argument may not be what was meant, a warning says so; the
// image and the status are what they always were. `packLoadable *.bin app APP 08000000 08000000`
// with a.bin and b.bin present is the classic case.
TEST_F(PackLoadable, LenientArgumentsAreWarnedAbout) {
  writeFile(dir.file("a.bin"), randomBytes(8, 1));
  writeFile(dir.file("b.bin"), randomBytes(8, 2));
  Bytes elf = textBytes("\x7F" "ELF");
  elf.resize(64, 1);
  writeFile(dir.file("app.elf"), elf);
  ASSERT_EQ(pack({dir.file("a.bin"), dir.file("packed"), "APP", "0", "0"}).exitStatus, 0);
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::uint32_t load, exec;
    std::string warnings;
    std::string named;  // what a strict run's failure names on standard output
  } cases[] = {
      {"plain", {dir.file("a.bin"), dir.file("out"), "APP", "0x08000000", "8000000"}, 0x08000000, 0x08000000, "", ""},
      {"a wildcard matched two files",
       {dir.file("a.bin"), dir.file("b.bin"), "app", "APP", "08000000", "08000000"},
       0xA,
       0x8000000,
       "packLoadable: warning: load address \"APP\" has text after its digits (\"PP\"): read as 0xa\n"
       "packLoadable: warning: arguments after the fifth are ignored: \"08000000\"\n",
       "APP"},
      {"no digits, an underscore",
       {dir.file("a.bin"), dir.file("out"), "APP", "zz", "0x0800_0000"},
       0,
       0x800,
       "packLoadable: warning: load address \"zz\" has no hexadecimal digits: read as 0x0\n"
       "packLoadable: warning: exec address \"0x0800_0000\" has text after its digits (\"_0000\"): read as 0x800\n",
       "zz"},
      {"addresses that read as decimal",
       {dir.file("a.bin"), dir.file("out"), "APP", "32768", "32768"},
       0x32768,
       0x32768,
       "packLoadable: warning: load address \"32768\": read as 0x32768, but in decimal it is 0x8000 (write 0x32768 if "
       "hexadecimal is meant)\n"
       "packLoadable: warning: exec address \"32768\": read as 0x32768, but in decimal it is 0x8000 (write 0x32768 if "
       "hexadecimal is meant)\n",
       "32768"},
      {"an ELF as SOURCE",
       {dir.file("app.elf"), dir.file("out"), "APP", "0", "0"},
       0,
       0,
       "packLoadable: warning: SOURCE \"" + dir.file("app.elf") +
           "\" is an ELF file, packed as raw bytes: packLoadable --elf packs what it loads\n",
       dir.file("app.elf")},
      {"a load image as SOURCE",
       {dir.file("packed.img"), dir.file("out"), "APP", "0", "0"},
       0,
       0,
       "packLoadable: warning: SOURCE \"" + dir.file("packed.img") +
           "\" is a load image already: it is packed whole, its header and all\n",
       dir.file("packed.img")},
      {"a name of more than 16 bytes",
       {dir.file("a.bin"), dir.file("out"), "A-NAME-LONGER-THAN-16", "0", "0"},
       0,
       0,
       "packLoadable: warning: NAME \"A-NAME-LONGER-THAN-16\" is longer than 16 bytes: the image stores "
       "\"A-NAME-LONGER-TH\"\n",
       "A-NAME-LONGER-THAN-16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Strict, by option or by the environment: the first warning fails the run, and nothing is
    // written; an image there from before stays.
    RunOptions strictEnvironment;
    strictEnvironment.environment = {{"IMAGEPACK_STRICT", "1"}};
    std::vector<std::string> strictArgs = c.args;
    strictArgs.insert(strictArgs.begin(), "--strict");
    fs::remove(c.args[1] + ".img");
    for (const auto& [args, options] : {std::pair{strictArgs, RunOptions{}}, std::pair{c.args, strictEnvironment}}) {
      const ProgramResult strict = runProgram(kPackLoadable, args, options);
      if (c.warnings.empty()) {
        EXPECT_EQ(strict.exitStatus, 0);
        continue;
      }
      const std::string first = c.warnings.substr(0, c.warnings.find('\n'));
      EXPECT_EQ(strict.exitStatus, 20);
      EXPECT_EQ(strict.out, "ERROR : Warning in strict mode - " + c.named + "\n");
      EXPECT_EQ(strict.err, "packLoadable: " + first.substr(first.find("warning: ") + 9) +
                                " (strict mode: a warning is a failure)\n");
      EXPECT_FALSE(fs::exists(c.args[1] + ".img"));
    }
    // IMAGEPACK_STRICT set to 0 or nothing is not strict.
    RunOptions notStrict;
    notStrict.environment = {{"IMAGEPACK_STRICT", c.warnings.empty() ? "" : "0"}};
    const ProgramResult result = runProgram(kPackLoadable, c.args, notStrict);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, c.warnings);
    const Bytes image = readFile(c.args[1] + ".img");
    ASSERT_GE(image.size(), 16u);
    EXPECT_EQ(Bytes(image.begin() + 8, image.begin() + 16),
              (Bytes{static_cast<unsigned char>(c.load), static_cast<unsigned char>(c.load >> 8),
                     static_cast<unsigned char>(c.load >> 16), static_cast<unsigned char>(c.load >> 24),
                     static_cast<unsigned char>(c.exec), static_cast<unsigned char>(c.exec >> 8),
                     static_cast<unsigned char>(c.exec >> 16), static_cast<unsigned char>(c.exec >> 24)}));
  }
}

TEST_F(PackLoadable, MissingSourceLeavesAnExistingImageAlone) {
  writeFile(dir.file("out.img"), Bytes{5, 5, 5});
  EXPECT_EQ(pack({dir.file("missing"), dir.file("out"), "n", "0", "0"}).exitStatus, 20);
  EXPECT_EQ(readFile(dir.file("out.img")), (Bytes{5, 5, 5}));
}

TEST_F(PackLoadable, TargetNamingTheSourceIsRefused) {
  const Bytes original = randomBytes(100, 8);
  writeFile(dir.file("src.img"), original);
  fs::create_directory(dir.path() / "sub");
  std::vector<std::string> targets = {dir.file("src"), (dir.path() / "sub" / ".." / "src").string()};
  std::error_code linkError;
  fs::create_symlink(dir.path() / "src.img", dir.path() / "alias.img", linkError);
  if (!linkError) targets.push_back(dir.file("alias"));
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    const ProgramResult result = pack({dir.file("src.img"), target, "n", "0", "0"});
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, "ERROR : Target file is the source file - " + target + ".img\n");
    EXPECT_EQ(readFile(dir.file("src.img")), original);
  }
}

TEST_F(PackLoadable, TargetPathsOfAnyLength) {
  const Bytes payload = randomBytes(64, 9);
  writeFile(dir.file("src.bin"), payload);
  const fs::path deep = dir.path() / std::string(200, 'd');
  fs::create_directory(deep);
  const std::string target = (deep / std::string(120, 't')).string();
  ASSERT_GT(target.size(), 300u);
  const ProgramResult result = pack({dir.file("src.bin"), target, "n", "0", "0"});
  EXPECT_EQ(result.exitStatus, 0);
  expectImage(target + ".img", expectedImage(payload, 0, 0, "n"));
}

TEST_F(PackLoadable, ExtensionIsAlwaysAppended) {
  writeFile(dir.file("src.bin"), Bytes{1, 2, 3, 4});
  EXPECT_EQ(pack({dir.file("src.bin"), dir.file("app.img"), "n", "0", "0"}).exitStatus, 0);
  EXPECT_TRUE(fs::exists(dir.path() / "app.img.img"));
  EXPECT_FALSE(fs::exists(dir.path() / "app.img"));
}

TEST_F(PackLoadable, RunsAreRepeatableAndReplaceOldImagesWhole) {
  const Bytes payload = randomBytes(40, 10);
  writeFile(dir.file("src.bin"), payload);
  writeFile(dir.file("out.img"), randomBytes(5000, 11));  // longer than the new image
  ASSERT_EQ(pack({dir.file("src.bin"), dir.file("out"), "boot", "100", "200"}).exitStatus, 0);
  const Bytes first = readFile(dir.file("out.img"));
  EXPECT_EQ(first, expectedImage(payload, 0x100, 0x200, "boot"));
  // Extra arguments change nothing.
  ASSERT_EQ(pack({dir.file("src.bin"), dir.file("out"), "boot", "100", "200", "extra", "more"}).exitStatus, 0);
  EXPECT_EQ(readFile(dir.file("out.img")), first);
}

TEST_F(PackLoadable, FailedWritesReportAndLeaveNoImage) {
  if (!kCanLimitFileSize) GTEST_SKIP() << "no file size limit on this system";
  writeFile(dir.file("src.bin"), randomBytes(3 * (1 << 20) + 2, 12));
  // The disk fills up part way through the payload, and again just before the padding.
  for (const std::uint64_t limit : {std::uint64_t{1} << 20, std::uint64_t{44 + 3 * (1 << 20)}}) {
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    const RunOptions options = writesFailBeyond(limit);
    const ProgramResult result =
        runProgram(kPackLoadable, {dir.file("src.bin"), dir.file("out"), "n", "0", "0"}, options);
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, "ERROR writing on target file:  " + dir.file("out") + "\n");
    EXPECT_EQ(result.err, "packLoadable: cannot write " + dir.file("out.img") + ": File too large\n");
    EXPECT_FALSE(fs::exists(dir.path() / "out.img"));
  }
}

TEST_F(PackLoadable, SourceShorterThanItsSizeIsAReadError) {
  const auto source = fileShorterThanItsSize();
  if (!source) GTEST_SKIP() << "no such file on this system";
  const ProgramResult result = pack({*source, dir.file("out"), "n", "0", "0"});
  EXPECT_EQ(result.exitStatus, 20);
  EXPECT_EQ(result.out, "ERROR reading source file:  " + *source + "\n");
  EXPECT_FALSE(fs::exists(dir.path() / "out.img"));
}

TEST_F(PackLoadable, FailedWritesToADeviceLeaveTheDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  writeFile(dir.file("src.bin"), randomBytes(3 * (1 << 20), 12));
  fs::create_symlink("/dev/full", dir.path() / "full.img");
  const ProgramResult result = pack({dir.file("src.bin"), dir.file("full"), "n", "0", "0"});
  EXPECT_EQ(result.exitStatus, 20);
  EXPECT_EQ(result.out, "ERROR writing on target file:  " + dir.file("full") + "\n");
  EXPECT_EQ(result.err, "packLoadable: cannot write " + dir.file("full.img") + ": No space left on device\n");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "full.img"));
}

#ifndef _WIN32
TEST_F(PackLoadable, WildcardsAreTheShellsOnPosix) {
  // A quoted pattern reaches the program as typed and must stay so, even where files match it.
  writeFile(dir.file("APP1"), Bytes{1});
  writeFile(dir.file("APP2"), Bytes{2});
  const Bytes payload = randomBytes(16, 13);
  writeFile(dir.file("img*.bin"), payload);
  const ProgramResult result = pack({dir.file("img*.bin"), dir.file("g"), "APP?", "08000000", "08000000"});
  EXPECT_EQ(result.exitStatus, 0);
  expectImage(dir.file("g.img"), expectedImage(payload, 0x08000000, 0x08000000, "APP?"));
}

#endif

TEST_F(PackLoadable, SourcesBeyondTwoGigabytes) {
  if (std::getenv("IMAGEPACK_SKIP_HUGE_FILES") != nullptr) GTEST_SKIP() << "IMAGEPACK_SKIP_HUGE_FILES is set";
  // Sparse files: large in size, cheap on disk until the packer copies them.
  const std::uint64_t size = (std::uint64_t{1} << 31) + 3;
  {
    std::ofstream out(dir.file("big"), std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size - 3));
    out.write("\x01\x02\x03", 3);
  }
  const ProgramResult result = pack({dir.file("big"), dir.file("big"), "big", "0", "0"});
  EXPECT_EQ(result.exitStatus, 0);
  // All words are zero but the last: 01 02 03 and one byte of zero padding, read little-endian.
  const std::uint32_t checksum = ~std::uint32_t{0x00030201};
  char line[32];
  std::snprintf(line, sizeof line, "Check Sum = 0x%x\n", static_cast<unsigned>(checksum));
  EXPECT_EQ(result.out, line);
  ASSERT_EQ(fs::file_size(dir.path() / "big.img"), 44 + size + 1);
  std::ifstream image(dir.file("big.img"), std::ios::binary);
  Bytes header(44);
  image.read(reinterpret_cast<char*>(header.data()), 44);
  Bytes expectedHeader;
  appendLittleEndian32(expectedHeader, 44);
  appendLittleEndian32(expectedHeader, static_cast<std::uint32_t>(size));
  EXPECT_EQ(Bytes(header.begin(), header.begin() + 8), expectedHeader);
  EXPECT_EQ(Bytes(header.begin() + 40, header.end()),
            (Bytes{static_cast<unsigned char>(checksum), static_cast<unsigned char>(checksum >> 8),
                   static_cast<unsigned char>(checksum >> 16), static_cast<unsigned char>(checksum >> 24)}));
  image.seekg(static_cast<std::streamoff>(44 + size - 4));
  Bytes tail(5);
  image.read(reinterpret_cast<char*>(tail.data()), 5);
  EXPECT_EQ(tail, (Bytes{0, 1, 2, 3, 0}));
  image.close();
  expectIntact(dir.file("big.img"));
  fs::remove(dir.path() / "big.img");

#ifndef _WIN32
  // The largest size the field holds, 4 GiB - 1, is packed; /dev/null takes the 4 GiB of output.
  fs::resize_file(dir.path() / "big", (std::uint64_t{1} << 32) - 1);
  fs::create_symlink("/dev/null", dir.path() / "null.img");
  const ProgramResult largest = pack({dir.file("big"), dir.file("null"), "big", "0", "0"});
  EXPECT_EQ(largest.exitStatus, 0);
  EXPECT_EQ(largest.out, line);  // the same one non-zero word
#endif

  // Four gigabytes cannot be described by the 32-bit size field.
  fs::resize_file(dir.path() / "big", std::uint64_t{1} << 32);
  const ProgramResult tooLarge = pack({dir.file("big"), dir.file("huge"), "big", "0", "0"});
  EXPECT_EQ(tooLarge.exitStatus, 20);
  EXPECT_EQ(tooLarge.out, "ERROR : Source file too large - " + dir.file("big") + "\n");
  EXPECT_FALSE(fs::exists(dir.path() / "huge.img"));
}

// --elf: the payload objcopy -O binary makes, at the addresses the ELF gives, in either class
// and byte order; then imageInfo --elf finds the image to match. A bad ELF is refused with its
// reason and leaves the target alone.
TEST_F(PackLoadable, ElfGivesThePayloadAndTheAddresses) {
  for (const bool wide : {false, true}) {
    ElfBlueprint blueprint;
    blueprint.wide = wide;
    blueprint.bigEndian = wide;
    blueprint.entry = 0x08000009;
    blueprint.sections = {{".text", 0x08000000, 0x08000000, randomBytes(101, 4)},
                          {".data", 0x20000000, 0x08000068, randomBytes(9, 5)}};
    SCOPED_TRACE(wide ? "64-bit big-endian" : "32-bit little-endian");
    writeFile(dir.file("app.elf"), buildElf(blueprint));
    const ProgramResult result = pack({"--elf", dir.file("app.elf"), dir.file("app"), "APP"});
    Bytes payload = blueprint.sections[0].contents;
    payload.resize(0x68, 0);
    payload.insert(payload.end(), blueprint.sections[1].contents.begin(), blueprint.sections[1].contents.end());
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, checksumLine(payload));
    expectImage(dir.file("app.img"), expectedImage(payload, 0x08000000, 0x08000009, "APP"));
    const ProgramResult matched = runProgram(kImageInfo, {"--elf", dir.file("app.elf"), dir.file("app.img")});
    EXPECT_EQ(matched.exitStatus, 0) << matched.err;
    EXPECT_EQ(matched.out, dir.file("app.img") + "\n  elf: " + dir.file("app.elf") + "\n  verdict: matches the ELF\n");
  }

  // --exec sets the exec address (a loader that starts the image from its vector table wants the
  // table's, not the entry point's); imageInfo --elf matches the image only when told the same.
  {
    const ProgramResult packed = pack({"--elf", "--exec", "08000000", dir.file("app.elf"), dir.file("vt"), "APP"});
    ASSERT_EQ(packed.exitStatus, 0) << packed.err;
    const Bytes image = readFile(dir.file("vt.img"));
    EXPECT_EQ(Bytes(image.begin() + 12, image.begin() + 16), (Bytes{0x00, 0x00, 0x00, 0x08}));
    const ProgramResult same =
        runProgram(kImageInfo, {"--elf", dir.file("app.elf"), "--exec=0x08000000", dir.file("vt.img")});
    EXPECT_EQ(same.exitStatus, 0) << same.out << same.err;
    const ProgramResult plain = runProgram(kImageInfo, {"--elf", dir.file("app.elf"), dir.file("vt.img")});
    EXPECT_EQ(plain.exitStatus, 1) << plain.out << plain.err;
    EXPECT_NE(plain.out.find("differs: exec address 0x08000000 in the image, 0x08000009 from the ELF"), std::string::npos)
        << plain.out;
  }

  ElfBlueprint linkedInRam;
  linkedInRam.entry = 0x08000001;
  linkedInRam.sections = {{".text", 0x08000000, 0x08000000, randomBytes(16, 6)},
                          {".data", 0x20000000, 0x20000000, randomBytes(8, 7)}};
  writeFile(dir.file("ram.elf"), buildElf(linkedInRam));
  writeFile(dir.file("raw.bin"), randomBytes(64, 8));
  writeFile(dir.file("out.img"), Bytes{1, 2, 3});
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string out, err;
  } refusals[] = {
      {"a raw binary",
       {"--elf", dir.file("raw.bin"), dir.file("out"), "N"},
       "ERROR : Not a usable ELF executable - " + dir.file("raw.bin") + "\n",
       "packLoadable: " + dir.file("raw.bin") + ": not an ELF file: it does not start with 7F 45 4C 46\n"},
      {"data linked at its run address",
       {"--elf", dir.file("ram.elf"), dir.file("out"), "N"},
       "ERROR : Not a usable ELF executable - " + dir.file("ram.elf") + "\n",
       "packLoadable: " + dir.file("ram.elf") +
           ": a gap of 402653168 bytes between .text (load 0x08000000, run 0x08000000) and .data (load 0x20000000, run "
           "0x20000000), more than 1048576 bytes: a section linked at its run address instead of its load address? If "
           "the gap is meant, --max-gap BYTES allows it, filled with zeros as objcopy -O binary fills it\n"},
      {"strict, a long NAME",
       {"--strict", "--elf", dir.file("app.elf"), dir.file("out"), "A-NAME-LONGER-THAN-16"},
       "ERROR : Warning in strict mode - A-NAME-LONGER-THAN-16\n",
       "packLoadable: NAME \"A-NAME-LONGER-THAN-16\" is longer than 16 bytes: the image stores \"A-NAME-LONGER-TH\" "
       "(strict mode: a warning is a failure)\n"},
      {"strict among the ELF options",
       {"--elf", "--strict", dir.file("app.elf"), dir.file("out"), "A-NAME-LONGER-THAN-16"},
       "ERROR : Warning in strict mode - A-NAME-LONGER-THAN-16\n",
       "packLoadable: NAME \"A-NAME-LONGER-THAN-16\" is longer than 16 bytes: the image stores \"A-NAME-LONGER-TH\" "
       "(strict mode: a warning is a failure)\n"},
      {"a missing ELF",
       {"--elf", dir.file("missing.elf"), dir.file("out"), "N"},
       "ERROR : Can't find source file - " + dir.file("missing.elf") + "\n",
       "packLoadable: cannot open " + dir.file("missing.elf") + ": No such file or directory\n"},
      {"addresses given too",
       {"--elf", dir.file("app.elf"), dir.file("out"), "N", "8000000", "8000000"},
       "",
       "usage: packLoadable --elf [--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]... ELF TARGET NAME\npackLoadable: --elf "
       "takes ELF, TARGET and NAME only: the addresses come from the ELF (--exec ADDRESS sets the exec address)\n"},
      {"no name",
       {"--elf", dir.file("app.elf"), dir.file("out")},
       "",
       "usage: packLoadable --elf [--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]... ELF TARGET NAME\npackLoadable: --elf "
       "needs ELF, TARGET and NAME: NAME is missing\n"},
      {"no target and no name",
       {"--elf", dir.file("app.elf")},
       "",
       "usage: packLoadable --elf [--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]... ELF TARGET NAME\npackLoadable: --elf "
       "needs ELF, TARGET and NAME: TARGET and NAME are missing\n"},
      {"an option misspelt",
       {"--elf", "--exec-address", "8000000", dir.file("app.elf"), dir.file("out"), "N"},
       "",
       "usage: packLoadable --elf [--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]... ELF TARGET NAME\npackLoadable: unknown "
       "option --exec-address\n"},
      {"an exec address that is not hexadecimal digits alone",
       {"--elf", "--exec=0x8000000g", dir.file("app.elf"), dir.file("out"), "N"},
       "",
       "usage: packLoadable --elf [--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]... ELF TARGET NAME\npackLoadable: --exec "
       "\"0x8000000g\": an address is 1 to 8 hexadecimal digits, with or without 0x\n"},
      {"a section to remove that the ELF lacks",
       {"--elf", dir.file("app.elf"), "--remove-section", ".eeprom", dir.file("out"), "N"},
       "ERROR : Not a usable ELF executable - " + dir.file("app.elf") + "\n",
       "packLoadable: " + dir.file("app.elf") + ": no section .eeprom to remove\n"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.what);
    const ProgramResult result = pack(c.args);
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(readFile(dir.file("out.img")), (Bytes{1, 2, 3}));
  }
#ifndef _WIN32
  // The scratch copy of the payload goes where TMPDIR says: to a folder that is not there, none.
  RunOptions noScratch;
  noScratch.environment = {{"TMPDIR", dir.file("no such folder")}};
  const ProgramResult result =
      runProgram(kPackLoadable, {"--elf", dir.file("app.elf"), dir.file("out"), "N"}, noScratch);
  EXPECT_EQ(result.exitStatus, 20);
  EXPECT_NE(result.err.find("no room for its payload: No such file or directory"), std::string::npos) << result.err;
  EXPECT_EQ(readFile(dir.file("out.img")), (Bytes{1, 2, 3}));
#endif
}
