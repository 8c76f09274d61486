// End-to-end: imageInfo on files the packers wrote, on damaged copies of them and on foreign
// files; its output, exit status and the JSON it prints.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "programs.hpp"
#include "support/crc8Reference.hpp"
#include "support/elfBuilder.hpp"
#include "support/json.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"
#include "support/wordSumReference.hpp"

namespace fs = std::filesystem;

namespace {

ProgramResult info(const std::vector<std::string>& args) { return runProgram(kImageInfo, args); }

const std::string kUsage =
    "usage: imageInfo [--json] [--key PUB.pem]... [--] FILE...\n"
    "       imageInfo [--json] [--key PUB.pem]... --extract OUT [--] FILE\n       imageInfo --key-as-c PUB.pem\n"
    "       imageInfo [--json] --elf ELF [--exec ADDRESS] [--max-gap BYTES]\n"
    "                 [--remove-section NAME]... [--] IMAGE\n";

class ImageInfo : public ::testing::Test {
 protected:
  TempDir dir;

  // Packs `payload` both ways: dir/packed.img and dir/stamped.
  void packBoth(const Bytes& payload) {
    writeFile(dir.file("payload"), payload);
    ASSERT_EQ(
        runProgram(kPackLoadable, {dir.file("payload"), dir.file("packed"), "BLINKY", "80008000", "-4"}).exitStatus, 0);
    ASSERT_EQ(runProgram(kStampPack, {dir.file("payload"), dir.file("stamped"), "C0FFEE"}).exitStatus, 0);
  }
};

}  // namespace

TEST_F(ImageInfo, ReportsPackedFilesAsIntactInText) {
  packBoth(Bytes{1, 0, 0, 0, 2, 0, 0, 0});
  Bytes stamped = readFile(dir.file("stamped"));
  char date[16];
  std::snprintf(date, sizeof date, "%04u-%02u-%02u", stamped[12] << 8 | stamped[13], stamped[14], stamped[15]);
  const ProgramResult result = info({dir.file("packed.img"), dir.file("stamped")});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, dir.file("packed.img") +
                            "\n"
                            "  format: load image\n"
                            "  length: 52\n"
                            "  name: \"BLINKY\"\n"
                            "  image size: 8\n"
                            "  load address: 0x80008000\n"
                            "  exec address: 0xfffffffc\n"
                            "  stored checksum: 0xfffffffc\n"
                            "  computed checksum: 0xfffffffc\n"
                            "  verdict: ok\n"
                            "\n" +
                            dir.file("stamped") +
                            "\n"
                            "  format: stamped image\n"
                            "  length: 24\n"
                            "  image id: 0x00c0ffee\n"
                            "  data length: 8\n"
                            "  packing date: " +
                            date +
                            "\n"
                            "  stored crc-8: 0x24\n"
                            "  computed crc-8: 0x24\n"
                            "  verdict: ok\n");
}

TEST_F(ImageInfo, JsonCarriesEveryFieldAndGoesOnPastUnreadableFiles) {
  packBoth(randomBytes(1001, 1));
  const ProgramResult result = info({"--json", dir.file("packed.img"), dir.file("missing"), dir.file("stamped")});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.err, "imageInfo: cannot open " + dir.file("missing") + ": No such file or directory\n");
  const auto json = parseJson(result.out);
  ASSERT_TRUE(json.has_value()) << result.out;
  // Every FILE has its element; one that could not be read says why.
  ASSERT_EQ(json->array.size(), 3u);
  EXPECT_EQ(json->array[1]["path"].string, dir.file("missing"));
  EXPECT_EQ(json->array[1]["error"].string, "cannot open " + dir.file("missing") + ": No such file or directory");
  const JsonValue& packed = json->array[0];
  EXPECT_EQ(packed["path"].string, dir.file("packed.img"));
  EXPECT_EQ(packed["format"].string, "load image");
  EXPECT_EQ(packed["name"].string, "BLINKY");
  EXPECT_EQ(packed["imageSize"].number, 1001);
  EXPECT_EQ(packed["loadAddress"].number, 0x80008000u);
  EXPECT_EQ(packed["execAddress"].number, 0xFFFFFFFCu);
  EXPECT_EQ(packed["storedChecksum"].number, packed["computedChecksum"].number);
  EXPECT_TRUE(packed["intact"].boolean);
  EXPECT_EQ(packed["nameHex"].string, "424c494e4b5900000000000000000000");
  const JsonValue& stamped = json->array[2];
  EXPECT_EQ(stamped["format"].string, "stamped image");
  EXPECT_EQ(stamped["imageId"].number, 0xC0FFEE);
  EXPECT_EQ(stamped["dataLength"].number, 1001);
  EXPECT_EQ(stamped["packingDate"].string.size(), 10u);
  EXPECT_EQ(stamped["storedCrc8"].number, stamped["computedCrc8"].number);
  EXPECT_TRUE(stamped["intact"].boolean);
  EXPECT_EQ(stamped["verdict"].string, "ok");
}

// A name cut inside a UTF-8 character: "name" can only approximate it, "nameHex" is exact.
TEST_F(ImageInfo, NameHexGivesTheExactBytes) {
  writeFile(dir.file("payload"), Bytes{1, 2, 3, 4});
  ASSERT_EQ(
      runProgram(kPackLoadable, {dir.file("payload"), dir.file("cut"), "ABCDEFGHIJKLMNO\xc3\x9c", "0", "0"}).exitStatus,
      0);
  const auto json = parseJson(info({"--json", dir.file("cut.img")}).out);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(json->array.at(0)["nameHex"].string, "4142434445464748494a4b4c4d4e4fc3");
  EXPECT_EQ(json->array.at(0)["name"].string, "ABCDEFGHIJKLMNO\xc3\x83");  // U+00C3, not the cut byte
}

TEST_F(ImageInfo, DamageOfAnyKindIsStatusOne) {
  packBoth(randomBytes(100, 2));
  const Bytes packed = readFile(dir.file("packed.img"));
  const Bytes stamped = readFile(dir.file("stamped"));
  const auto changed = [](Bytes file, std::size_t at) {
    file[at] ^= 0x01;
    return file;
  };
  const auto resized = [](Bytes file, std::size_t size) {
    file.resize(size, 0);
    return file;
  };
  const struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"load image, payload byte", changed(packed, 100)},
      {"load image, checksum byte", changed(packed, 43)},
      {"load image, truncated", resized(packed, packed.size() - 1)},
      {"load image, extended", resized(packed, packed.size() + 4)},
      {"stamped image, payload byte", changed(stamped, 16)},
      {"stamped image, CRC byte", changed(stamped, 4)},
      {"stamped image, truncated", resized(stamped, stamped.size() - 1)},
      {"stamped image, extended", resized(stamped, stamped.size() + 1)},
      {"random bytes", randomBytes(4000, 3)},
      {"empty file", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir.file("file"), c.file);
    const ProgramResult result = info({"--json", dir.file("file")});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "");
    const auto json = parseJson(result.out);
    ASSERT_TRUE(json.has_value()) << result.out;
    EXPECT_FALSE(json->array.at(0)["intact"].boolean);
    EXPECT_NE(json->array.at(0)["verdict"].string, "ok");
  }
}

TEST_F(ImageInfo, UsageErrorsAndUnreadableFiles) {
  fs::create_directory(dir.path() / "folder");
  writeFile(dir.file("-odd"), {});
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {"no arguments", {}, kUsage},
      {"no files", {"--json"}, kUsage},
      {"unknown option", {"--verbose", dir.file("x")}, "imageInfo: unknown option --verbose\n" + kUsage},
      {"a directory", {dir.file("folder")}, "imageInfo: cannot read " + dir.file("folder") + ": not a regular file\n"},
      // A name cannot forge a line of its own on standard error.
      {"a line break in a name",
       {dir.file("x\nverdict: ok.img")},
       "imageInfo: cannot open " + dir.file("x") + "\\x0Averdict: ok.img: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProgramResult result = info(c.args);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
  // After "--" a name that starts with "-" is a file (this one empty: not an image).
  fs::current_path(dir.path());
  EXPECT_EQ(info({"--", "-odd"}).exitStatus, 1);
#ifndef _WIN32
  // Neither a FIFO with no writer nor a standard input that cannot be read passes for an empty
  // file, and nothing waits.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  RunOptions closedInput, directoryInput;
  closedInput.standardInputFile = kClosedInput;
  directoryInput.standardInputFile = dir.file("folder");
  const struct {
    const char* what;
    std::vector<std::string> args;
    RunOptions options;
    std::string err;
  } unreadable[] = {
      {"a FIFO with no writer",
       {dir.file("fifo")},
       {},
       "imageInfo: cannot read " + dir.file("fifo") + ": not a regular file\n"},
      {"standard input closed", {"-"}, closedInput, "imageInfo: cannot read <stdin>: Bad file descriptor\n"},
      {"standard input a directory", {"-"}, directoryInput, "imageInfo: cannot read <stdin>: Is a directory\n"},
  };
  for (const auto& c : unreadable) {
    SCOPED_TRACE(c.what);
    const ProgramResult result = runProgram(kImageInfo, c.args, c.options);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
#endif
}

// A file that parses as both formats is reported by the reading whose check value holds, and
// by the load-image reading when neither does; its payload comes back either way.
TEST_F(ImageInfo, AmbiguousFilesAreReadBothWays) {
  // A stamp whose identifier starts like a load image and whose payload holds the load image's
  // marks where a load header has them.
  Bytes payload = randomBytes(64, 12);
  const Bytes marks{0x9F, 0xFF, 0xFF, 0xA0, 0x07, 0x00, 0x00, 0x00};
  std::copy(marks.begin(), marks.end(), payload.begin() + 16);
  writeFile(dir.file("payload"), payload);
  ASSERT_EQ(runProgram(kStampPack, {dir.file("payload"), dir.file("stamped"), "2C000000"}).exitStatus, 0);
  // A load image whose exec address reads as month 7, day 12, and whose load address reads as
  // the data length that fits its length (64 + 16 = 44 + 36).
  writeFile(dir.file("small"), randomBytes(36, 13));
  ASSERT_EQ(runProgram(kPackLoadable, {dir.file("small"), dir.file("packed"), "N", "40000000", "0C070000"}).exitStatus,
            0);
  Bytes damaged = readFile(dir.file("packed.img"));
  damaged[60] ^= 0x01;
  writeFile(dir.file("damaged"), damaged);
  const struct {
    const char* file;
    int status;
    std::string format;
    std::string verdictStart;
  } cases[] = {
      {"stamped", 0, "stamped image", "ok"},
      {"packed.img", 0, "load image", "ok"},
      {"damaged", 1, "load image", "damaged: checksum"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const ProgramResult result = info({"--json", dir.file(c.file)});
    EXPECT_EQ(result.exitStatus, c.status);
    const auto json = parseJson(result.out);
    ASSERT_TRUE(json.has_value()) << result.out;
    EXPECT_EQ(json->array.at(0)["format"].string, c.format);
    EXPECT_EQ(json->array.at(0)["verdict"].string.rfind(c.verdictStart, 0), 0u) << json->array.at(0)["verdict"].string;
  }
  EXPECT_EQ(info({"--extract", dir.file("back"), dir.file("stamped")}).exitStatus, 0);
  EXPECT_EQ(readFile(dir.file("back")), payload);
  EXPECT_EQ(info({"--extract", dir.file("back"), dir.file("packed.img")}).exitStatus, 0);
  EXPECT_EQ(readFile(dir.file("back")), readFile(dir.file("small")));
}

TEST_F(ImageInfo, DamagedReportsShowStoredAndComputedValues) {
  const Bytes payload = randomBytes(100, 4);
  packBoth(payload);
  Bytes damagedPayload = payload;
  damagedPayload[10] ^= 0x01;
  Bytes packed = readFile(dir.file("packed.img"));
  Bytes stamped = readFile(dir.file("stamped"));
  packed[44 + 10] ^= 0x01;
  stamped[16 + 10] ^= 0x01;
  writeFile(dir.file("packed.img"), packed);
  writeFile(dir.file("stamped"), stamped);

  const auto hex = [](const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return std::string(text);
  };
  const std::uint32_t storedSum = referenceWordSum(payload), computedSum = referenceWordSum(damagedPayload);
  const std::uint8_t storedCrc = referenceCrc8(payload), computedCrc = referenceCrc8(damagedPayload);
  ASSERT_NE(storedSum, computedSum);
  ASSERT_NE(storedCrc, computedCrc);

  const ProgramResult text = info({dir.file("packed.img"), dir.file("stamped")});
  EXPECT_EQ(text.exitStatus, 1);
  for (const std::string& line :
       {"  stored checksum: " + hex("0x%08x", storedSum) + "\n  computed checksum: " + hex("0x%08x", computedSum),
        "  verdict: damaged: checksum " + hex("0x%08x", storedSum) + " stored, " + hex("0x%08x", computedSum) +
            " computed\n",
        "  stored crc-8: " + hex("0x%02x", storedCrc) + "\n  computed crc-8: " + hex("0x%02x", computedCrc),
        "  verdict: damaged: CRC-8 " + hex("0x%02x", storedCrc) + " stored, " + hex("0x%02x", computedCrc) +
            " computed\n"}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\nnot in\n" << text.out;
  }

  const ProgramResult json = info({"--json", dir.file("packed.img"), dir.file("stamped")});
  const auto parsed = parseJson(json.out);
  ASSERT_TRUE(parsed.has_value()) << json.out;
  EXPECT_EQ(parsed->array.at(0)["storedChecksum"].number, storedSum);
  EXPECT_EQ(parsed->array.at(0)["computedChecksum"].number, computedSum);
  EXPECT_EQ(parsed->array.at(1)["storedCrc8"].number, storedCrc);
  EXPECT_EQ(parsed->array.at(1)["computedCrc8"].number, computedCrc);
}

TEST_F(ImageInfo, StatusIsTheWorstOverAllFiles) {
  packBoth(randomBytes(64, 5));
  Bytes damaged = readFile(dir.file("stamped"));
  damaged[20] ^= 0x01;
  writeFile(dir.file("damaged"), damaged);
  writeFile(dir.file("foreign"), randomBytes(64, 6));
  const std::string ok = dir.file("packed.img"), bad = dir.file("damaged"), foreign = dir.file("foreign"),
                    missing = dir.file("missing");
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{ok}, 0},           {{ok, bad}, 1},
      {{bad, ok}, 1},      {{foreign, ok}, 1},
      {{missing, bad}, 2}, {{bad, missing}, 2},
      {{missing, ok}, 2},  {{ok, missing, foreign}, 2},
      {{foreign}, 1},      {{missing, foreign, ok}, 2},
  };
  for (const auto& [files, status] : cases) {
    std::string trace;
    for (const std::string& file : files) trace += fs::path(file).filename().string() + " ";
    SCOPED_TRACE(trace);
    EXPECT_EQ(info(files).exitStatus, status);
  }
}

TEST_F(ImageInfo, FileShorterThanItsSizeCannotBeRead) {
  const auto file = fileShorterThanItsSize();
  if (!file) GTEST_SKIP() << "no such file on this system";
  const ProgramResult result = info({*file});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "imageInfo: cannot read " + *file + ": read error, or the file shrank while being read\n");
}

// Every line of a text report comes from imageInfo: a path cannot add one of its own.
TEST_F(ImageInfo, PathsCannotForgeReportLines) {
  packBoth(randomBytes(8, 7));
  const Bytes damaged = randomBytes(60, 8);
  struct Case {
    std::string name;
    std::string printed;
  };
  std::vector<Case> cases = {{"caf\xc3\xa9-\xe5\x9b\xba\xe4\xbb\xb6.img", "caf\xc3\xa9-\xe5\x9b\xba\xe4\xbb\xb6.img"}};
#ifndef _WIN32  // where a file name may hold a backslash, a line break or a stray byte
  cases.push_back({"back\\slash", "back\\\\slash"});
  cases.push_back({"evil\n  verdict: ok\n.img", "evil\\x0A  verdict: ok\\x0A.img"});
  cases.push_back({"tab\tdel\x7f-\xff.img", "tab\\x09del\\x7F-\\xFF.img"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    writeFile(dir.file(c.name), damaged);
    const ProgramResult result = info({dir.file(c.name)});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out.rfind(dir.file("") + c.printed + "\n  format: unrecognised\n", 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 4);  // path, format, length, verdict
    // Nor can the file --extract writes to.
    const ProgramResult extracted = info({"--extract", dir.file(c.name), dir.file("packed.img")});
    EXPECT_EQ(extracted.exitStatus, 0);
    EXPECT_NE(extracted.out.find("\npayload written to " + dir.file("") + c.printed + "\n"), std::string::npos)
        << extracted.out;
    EXPECT_EQ(std::count(extracted.out.begin(), extracted.out.end(), '\n'), 11);  // the report, and the one line
  }
}

// --elf: the first difference between an image and what packLoadable --elf makes of the ELF,
// status 1; a match, status 0; files that are not what they should be, status 2.
TEST_F(ImageInfo, ElfComparisonNamesTheFirstDifference) {
  ElfBlueprint blueprint;
  blueprint.entry = 0x08000001;
  blueprint.sections = {{".text", 0x08000000, 0x08000000, randomBytes(64, 21)}};
  writeFile(dir.file("app.elf"), buildElf(blueprint));
  writeFile(dir.file("app.bin"), blueprint.sections[0].contents);
  const auto packRaw = [&](const std::string& name, const std::string& load, const std::string& exec) {
    ASSERT_EQ(runProgram(kPackLoadable, {dir.file("app.bin"), dir.file(name), "APP", load, exec}).exitStatus, 0);
  };
  packRaw("same", "8000000", "8000001");
  packRaw("moved", "8000100", "8000101");
  packRaw("entry", "8000000", "8000000");
  Bytes flipped = readFile(dir.file("same.img"));
  flipped[44 + 10] ^= 0x40;
  writeFile(dir.file("flipped.img"), flipped);
  Bytes longer = blueprint.sections[0].contents;
  longer.push_back(0);
  writeFile(dir.file("longer.bin"), longer);
  ASSERT_EQ(
      runProgram(kPackLoadable, {dir.file("longer.bin"), dir.file("longer"), "APP", "8000000", "8000001"}).exitStatus,
      0);
  ASSERT_EQ(runProgram(kStampPack, {dir.file("app.bin"), dir.file("app.stp")}).exitStatus, 0);
  const auto flippedByte = static_cast<unsigned>(blueprint.sections[0].contents[10]);
  char payloadVerdict[96];
  std::snprintf(payloadVerdict, sizeof payloadVerdict,
                "differs: payload byte 10 is 0x%02x in the image, 0x%02x from the ELF", flippedByte ^ 0x40,
                flippedByte);
  const struct {
    const char* image;
    int status;
    std::string verdict;
  } cases[] = {
      {"same.img", 0, "matches the ELF"},
      {"moved.img", 1, "differs: load address 0x08000100 in the image, 0x08000000 from the ELF"},
      {"entry.img", 1,
       "differs: exec address 0x08000000 in the image, 0x08000001 from the ELF (packed with --exec? Check it with the "
       "same --exec ADDRESS)"},
      {"longer.img", 1, "differs: image size 65 in the image, 64 from the ELF"},
      {"flipped.img", 1, payloadVerdict},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    const ProgramResult result = info({"--elf", dir.file("app.elf"), dir.file(c.image)});
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.out, dir.file(c.image) + "\n  elf: " + dir.file("app.elf") + "\n  verdict: " + c.verdict + "\n");
    EXPECT_EQ(result.err, "");
  }
  // Damage in the padding alone: the payload matches the ELF, the image does not.
  ElfBlueprint odd = blueprint;
  odd.sections[0].contents.pop_back();
  writeFile(dir.file("odd.elf"), buildElf(odd));
  ASSERT_EQ(runProgram(kPackLoadable, {"--elf", dir.file("odd.elf"), dir.file("odd"), "APP"}).exitStatus, 0);
  Bytes padding = readFile(dir.file("odd.img"));
  padding.back() ^= 1;
  writeFile(dir.file("odd.img"), padding);
  const ProgramResult padded = info({"--elf", dir.file("odd.elf"), dir.file("odd.img")});
  EXPECT_EQ(padded.exitStatus, 1);
  EXPECT_NE(padded.out.find("verdict: differs: the image is damaged: checksum"), std::string::npos) << padded.out;

  const ProgramResult json = info({"--json", "--elf", dir.file("app.elf"), dir.file("flipped.img")});
  EXPECT_EQ(json.exitStatus, 1);
  const auto parsed = parseJson(json.out);
  ASSERT_TRUE(parsed.has_value()) << json.out;
  EXPECT_FALSE((*parsed)["matches"].boolean);
  EXPECT_EQ((*parsed)["difference"].string, "payload");
  EXPECT_EQ((*parsed)["offset"].number, 10);
  EXPECT_EQ((*parsed)["elfValue"].number, flippedByte);

  const struct {
    std::vector<std::string> args;
    std::string err;
  } troubles[] = {
      {{"--elf", dir.file("app.elf"), dir.file("app.stp")},
       "imageInfo: " + dir.file("app.stp") + " is a stamped image, not a load image: --elf compares a load image with "
       "its ELF\n"},
      {{"--elf", dir.file("app.elf"), dir.file("same.img"), dir.file("flipped.img")},
       "imageInfo: --elf takes exactly one IMAGE, not 2\n"},
      {{"--elf", dir.file("app.bin"), dir.file("same.img")},
       "imageInfo: " + dir.file("app.bin") + ": not an ELF file: it does not start with 7F 45 4C 46\n"},
      {{"--elf", dir.file("same.img"), dir.file("app.elf")},
       "imageInfo: " + dir.file("same.img") + ": not an ELF file: it does not start with 7F 45 4C 46; " +
           dir.file("app.elf") + " is an ELF file: the order is --elf ELF IMAGE\n"},
      {{"--elf", dir.file("app.elf")}, "imageInfo: --elf takes exactly one IMAGE, not 0\n"},
      {{"--elf", dir.file("app.elf"), "--extract", dir.file("out"), dir.file("same.img")},
       "imageInfo: --elf and --extract do not go together\n"},
      {{"--max-gap", "2097152", dir.file("same.img")}, "imageInfo: --exec, --max-gap and --remove-section go with --elf only\n"},
      {{"--elf", dir.file("app.elf"), "--remove-section", ".nothing", dir.file("same.img")},
       "imageInfo: " + dir.file("app.elf") + ": no section .nothing to remove\n"},
      {{"--elf", dir.file("app.elf"), "--exec", "0x1234567890", dir.file("same.img")},
       "imageInfo: --exec \"0x1234567890\": an address is 1 to 8 hexadecimal digits, with or without 0x\n"},
  };
  for (const auto& c : troubles) {
    SCOPED_TRACE(c.err);
    const ProgramResult result = info(c.args);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
  // With --json, each failure of the comparison is an object with an error member too.
  const struct {
    std::string image, elf, error;
  } jsonTroubles[] = {
      {dir.file("app.stp"), dir.file("app.elf"),
       dir.file("app.stp") + " is a stamped image, not a load image: --elf compares a load image with its ELF"},
      {dir.file("same.img"), dir.file("app.bin"),
       dir.file("app.bin") + ": not an ELF file: it does not start with 7F 45 4C 46"},
      {dir.file("missing.img"), dir.file("app.elf"), "cannot open " + dir.file("missing.img") + ": No such file or directory"},
  };
  for (const auto& c : jsonTroubles) {
    SCOPED_TRACE(c.error);
    const ProgramResult result = info({"--json", "--elf", c.elf, c.image});
    EXPECT_EQ(result.exitStatus, 2);
    const auto element = parseJson(result.out);
    ASSERT_TRUE(element.has_value()) << result.out;
    EXPECT_EQ((*element)["path"].string, c.image);
    EXPECT_EQ((*element)["elf"].string, c.elf);
    EXPECT_EQ((*element)["error"].string, c.error);
  }
}
