// End-to-end: runs the built stampPack on temporary files and checks that it stays silent, its
// exit status and every byte it writes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "programs.hpp"
#include "support/crc8Reference.hpp"
#include "support/expectIntact.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kDefaultId = 0x64365577;

ProgramResult stamp(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return runProgram(kStampPack, args, options);
}

// The date bytes (12 to 15) a file packed at `moment` carries: the local date, or with
// `utcOffsetHours` the date in the zone that many hours ahead of UTC.
Bytes dateBytes(std::time_t moment, std::optional<int> utcOffsetHours = std::nullopt) {
  const std::tm date = utcOffsetHours ? utcCalendar(moment + *utcOffsetHours * 3600) : localCalendar(moment);
  Bytes bytes;
  appendBigEndian(bytes, static_cast<std::uint64_t>(date.tm_year + 1900), 2);
  bytes.push_back(static_cast<unsigned char>(date.tm_mon + 1));
  bytes.push_back(static_cast<unsigned char>(date.tm_mday));
  return bytes;
}

// The stamped file expected for a payload, built field by field independently of the packer.
Bytes expectedStamp(const Bytes& payload, std::uint32_t id, const Bytes& date) {
  Bytes file;
  appendBigEndian(file, id, 4);
  file.push_back(referenceCrc8(payload));
  file.insert(file.end(), {0, 0, 0});
  appendBigEndian(file, payload.size(), 4);
  file.insert(file.end(), date.begin(), date.end());
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

class StampPack : public ::testing::Test {
 protected:
  TempDir dir;

  // Runs stampPack and expects `status`, nothing on standard output and `err` on standard
  // error: nothing after a success, one line saying why after a failure.
  void expectRun(const std::vector<std::string>& args, int status, const RunOptions& options = {},
                 const std::string& err = "") {
    const ProgramResult result = stamp(args, options);
    EXPECT_EQ(result.exitStatus, status);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, err);
  }

  // Checks every byte of a stamped file, taking either date if the day changed during the run.
  void expectStamped(const std::string& output, const Bytes& payload, std::uint32_t id, std::time_t before,
                     std::time_t after, std::optional<int> utcOffsetHours = std::nullopt) {
    const Bytes actual = readFile(output);
    const Bytes early = expectedStamp(payload, id, dateBytes(before, utcOffsetHours));
    const Bytes late = expectedStamp(payload, id, dateBytes(after, utcOffsetHours));
    if (actual != late) {
      EXPECT_EQ(actual, early);
    }
    expectIntact(output);
  }
};

}  // namespace

TEST_F(StampPack, FewerThanTwoArgumentsDoNothing) {
  writeFile(dir.file("in"), Bytes{1, 2, 3});
  // None asks for nothing; one means the output was left out, a usage error.
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{}, 0, ""},
      {{dir.file("in")}, 20, "usage: stampPack [--strict] [--force] INPUT OUTPUT [IMAGE_ID]\n"},
      {{"--strict", dir.file("in")}, 20, "usage: stampPack [--strict] [--force] INPUT OUTPUT [IMAGE_ID]\n"}};
  for (const auto& [args, status, err] : cases) {
    SCOPED_TRACE(std::to_string(args.size()) + " arguments");
    expectRun(args, status, {}, err);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  }
}

TEST_F(StampPack, StampsPayloadsOfEverySize) {
  struct Case {
    const char* what;
    Bytes payload;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {0x01}},
      {"abc", textBytes("abc")},
      {"exactly 4096 bytes", randomBytes(4096, 1)},
      {"4097 bytes", randomBytes(4097, 2)},
      {"several copy blocks and a tail", randomBytes(3 * (1 << 20) + 5, 3)},
  };
  // Around one copy block, where the header and the payload meet a write boundary.
  constexpr std::size_t kBlock = std::size_t{256} << 10;
  for (const std::size_t size : {kBlock - 17, kBlock - 16, kBlock - 15, kBlock - 1, kBlock, kBlock + 1}) {
    cases.push_back({"around one block", randomBytes(size, static_cast<std::uint32_t>(size))});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.payload.size()) + " bytes");
    writeFile(dir.file("in"), c.payload);
    const std::time_t before = std::time(nullptr);
    expectRun({dir.file("in"), dir.file("out")}, 0);
    expectStamped(dir.file("out"), c.payload, kDefaultId, before, std::time(nullptr));
  }
}

TEST_F(StampPack, IdentifierArgument) {
  struct Case {
    std::string argument;
    std::uint32_t id;
    std::string warning;  // where the reading may not be what was meant
  };
  const Case cases[] = {
      {"ABC", 0xABC, ""},
      {"abc", 0xABC, ""},
      {"0xABC", 0xABC, ""},
      {"zz", 0, "stampPack: warning: IMAGE_ID \"zz\" has no hexadecimal digits: read as 0x0\n"},
      {" 12xy", 0x12, "stampPack: warning: IMAGE_ID \" 12xy\" has text after its digits (\"xy\"): read as 0x12\n"},
      {"80000000", 0x80000000, ""},
      {"FFFFFFFF", 0xFFFFFFFF, ""},
      {"-1", 0xFFFFFFFF, ""},
  };
  const Bytes payload = textBytes("123456789");
  writeFile(dir.file("in"), payload);
  for (const Case& c : cases) {
    SCOPED_TRACE("identifier \"" + c.argument + "\"");
    const std::time_t before = std::time(nullptr);
    // Arguments after the third are ignored, with a warning that names them.
    expectRun({dir.file("in"), dir.file("out"), c.argument, "ignored", "too"}, 0, {},
              c.warning + "stampPack: warning: arguments after the third are ignored: \"ignored\" \"too\"\n");
    expectStamped(dir.file("out"), payload, c.id, before, std::time(nullptr));
  }
}

// An input packed already (INPUT and OUTPUT swapped, say) is stamped as asked, with a warning.
TEST_F(StampPack, InputPackedAlreadyIsWarnedAbout) {
  writeFile(dir.file("in"), randomBytes(40, 5));
  expectRun({dir.file("in"), dir.file("app.stp")}, 0, {}, "");
  Bytes loadImage(44, 0);
  for (const auto& [at, value] : {std::pair{0, 44u}, std::pair{32, 0xA0FFFF9Fu}, std::pair{36, 7u}})
    for (int i = 0; i < 4; ++i) loadImage[static_cast<std::size_t>(at + i)] = static_cast<unsigned char>(value >> (8 * i));
  writeFile(dir.file("app.img"), loadImage);
  Bytes signedImage = loadImage;
  signedImage.resize(44 + 112, 0x5A);  // a signature trailer's length after the (empty) payload
  writeFile(dir.file("signed.img"), signedImage);
  const struct {
    const char* input;
    const char* kind;
  } cases[] = {{"app.stp", "a stamped image"}, {"app.img", "a load image"}, {"signed.img", "a load image"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    expectRun({dir.file(c.input), dir.file("out")}, 0, {},
              "stampPack: warning: INPUT \"" + dir.file(c.input) + "\" is " + c.kind +
                  " already: it is stamped whole, its header and all (are INPUT and OUTPUT swapped?)\n");
    EXPECT_EQ(readFile(dir.file("out")).size(), 16 + readFile(dir.file(c.input)).size());
  }
}

// A stamped INPUT over an existing OUTPUT that is not a stamped image is INPUT and OUTPUT swapped:
// refused, and that file kept, unless forced. Strict mode (--strict, or IMAGEPACK_STRICT) makes
// every warning a failure that writes nothing.
TEST_F(StampPack, SwapsAreRefusedAndStrictModeFailsOnWarnings) {
  const Bytes source = textBytes("baud=115200\n");
  writeFile(dir.file("in"), randomBytes(40, 5));
  expectRun({dir.file("in"), dir.file("app.stp")}, 0);
  const Bytes stamped = readFile(dir.file("app.stp"));
  RunOptions strictEnvironment;
  strictEnvironment.environment = {{"IMAGEPACK_STRICT", "yes"}};
  const std::string restamped = "INPUT \"" + dir.file("app.stp") +
                                "\" is a stamped image already: it is stamped whole, its header and all (are INPUT and "
                                "OUTPUT swapped?)";
  const std::string swapped = "stampPack: INPUT \"" + dir.file("app.stp") + "\" is a stamped image and OUTPUT \"" +
                              dir.file("settings.cfg") +
                              "\" is a file that is not: are INPUT and OUTPUT swapped? Nothing was written; --force stamps "
                              "the image again over that file\n";
  const struct {
    const char* what;
    std::vector<std::string> args;
    RunOptions options;
    int status;
    std::string err;
    bool written;  // settings.cfg holds the stamped app.stp afterwards; else it is as it was
  } cases[] = {
      {"swapped", {dir.file("app.stp"), dir.file("settings.cfg"), "0B11C001"}, {}, 20, swapped, false},
      {"swapped, strict", {"--strict", dir.file("app.stp"), dir.file("settings.cfg")}, {}, 20, swapped, false},
      {"forced", {"--force", dir.file("app.stp"), dir.file("settings.cfg")}, {}, 0,
       "stampPack: warning: " + restamped + "\n", true},
      {"forced, strict", {"--force", "--strict", dir.file("app.stp"), dir.file("settings.cfg")}, {}, 20,
       "stampPack: " + restamped + " (strict mode: a warning is a failure)\n", false},
      {"forced, strict by the environment", {"--force", dir.file("app.stp"), dir.file("settings.cfg")},
       strictEnvironment, 20, "stampPack: " + restamped + " (strict mode: a warning is a failure)\n", false},
      {"an IMAGE_ID with text after its digits, strict", {"--strict", dir.file("in"), dir.file("settings.cfg"), "0B11_C001"},
       {}, 20,
       "stampPack: IMAGE_ID \"0B11_C001\" has text after its digits (\"_C001\"): read as 0xb11 (strict mode: a warning "
       "is a failure)\n",
       false},
      {"an argument too many, strict", {dir.file("in"), dir.file("settings.cfg"), "1", "x"}, strictEnvironment, 20,
       "stampPack: arguments after the third are ignored: \"x\" (strict mode: a warning is a failure)\n", false},
      {"no warning, strict", {"--strict", dir.file("in"), dir.file("settings.cfg")}, {}, 0, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir.file("settings.cfg"), source);
    expectRun(c.args, c.status, c.options, c.err);
    if (c.written) {
      const Bytes written = readFile(dir.file("settings.cfg"));
      EXPECT_EQ(Bytes(written.begin() + 16, written.end()), stamped);
    } else if (c.status != 0) {
      EXPECT_EQ(readFile(dir.file("settings.cfg")), source);
    }
  }
  // Stamping again over the last result, or to a new file, is no swap.
  expectRun({dir.file("app.stp"), dir.file("again.stp")}, 0, {}, "stampPack: warning: " + restamped + "\n");
  expectRun({dir.file("app.stp"), dir.file("again.stp")}, 0, {}, "stampPack: warning: " + restamped + "\n");
  EXPECT_EQ(readFile(dir.file("again.stp")).size(), 16 + stamped.size());
}

TEST_F(StampPack, DateIsTheLocalDateOfTheHostsZone) {
  const Bytes payload = textBytes("dated");
  writeFile(dir.file("in"), payload);
  // 14 hours ahead of UTC and 12 hours behind are always on different calendar days.
  const std::pair<const char*, int> zones[] = {{"ABC-14", 14}, {"XYZ+12", -12}};
  std::vector<Bytes> dates;
  for (const auto& [zone, offset] : zones) {
    SCOPED_TRACE(zone);
    RunOptions options;
    options.environment = {{"TZ", zone}};
    const std::time_t before = std::time(nullptr);
    expectRun({dir.file("in"), dir.file("out")}, 0, options);
    expectStamped(dir.file("out"), payload, kDefaultId, before, std::time(nullptr), offset);
    const Bytes file = readFile(dir.file("out"));
    dates.emplace_back(file.begin() + 12, file.begin() + 16);
  }
  EXPECT_NE(dates[0], dates[1]);
}

// SOURCE_DATE_EPOCH gives one date, in UTC, whatever the zone: byte-identical files. A value
// that is not a moment up to 9999 is refused, and the output is left as it was.
TEST_F(StampPack, SourceDateEpochMakesStampsReproducible) {
  const Bytes payload = textBytes("reproducible");
  writeFile(dir.file("in"), payload);
  // 2023-11-14 22:13:20 UTC: already 15 November 14 hours ahead of UTC.
  const std::time_t moment = 1'700'000'000;
  for (const char* zone : {"ABC-14", "XYZ+12", "UTC0"}) {
    SCOPED_TRACE(zone);
    RunOptions options;
    options.environment = {{"TZ", zone}, {"SOURCE_DATE_EPOCH", "1700000000"}};
    expectRun({dir.file("in"), dir.file("out")}, 0, options);
    EXPECT_EQ(readFile(dir.file("out")), expectedStamp(payload, kDefaultId, dateBytes(moment, 0)));
  }
  for (const char* malformed : {"", "soon", "-1", " 1700000000", "1700000000.5", "253402300800"}) {
    SCOPED_TRACE(std::string("SOURCE_DATE_EPOCH=\"") + malformed + "\"");
    writeFile(dir.file("out"), Bytes{7, 7});
    RunOptions options;
    options.environment = {{"SOURCE_DATE_EPOCH", malformed}};
    expectRun({dir.file("in"), dir.file("out")}, 20, options,
              std::string("stampPack: invalid SOURCE_DATE_EPOCH \"") + malformed +
                  "\": not a number of seconds from 0 to 253402300799 (the end of the year 9999)\n");
    EXPECT_EQ(readFile(dir.file("out")), (Bytes{7, 7}));
  }
}

TEST_F(StampPack, FailuresBeforeWritingLeaveTheOutputAlone) {
  writeFile(dir.file("in"), Bytes{1, 2, 3});
  fs::create_directory(dir.path() / "folder");
  const Bytes previous{7, 7, 7, 7};
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"missing input",
       {dir.file("missing"), dir.file("out")},
       "stampPack: cannot open " + dir.file("missing") + ": No such file or directory\n"},
      {"input is a directory",
       {dir.file("folder"), dir.file("out")},
       "stampPack: cannot read " + dir.file("folder") + ": not a regular file\n"},
      {"a line break in the input's name",
       {dir.file("missing") + "\nverdict: ok", dir.file("out")},
       "stampPack: cannot open " + dir.file("missing") + "\\x0Averdict: ok: No such file or directory\n"},
      {"identifier too wide",
       {dir.file("in"), dir.file("out"), "100000000"},
       "stampPack: invalid IMAGE_ID \"100000000\": more than 32 bits; IMAGE_ID is hexadecimal: 100000000 in decimal is "
       "5f5e100\n"},
      {"negative identifier too wide",
       {dir.file("in"), dir.file("out"), "-100000000"},
       "stampPack: invalid IMAGE_ID \"-100000000\": more than 32 bits; IMAGE_ID is hexadecimal\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir.path() / "out");
    expectRun(c.args, 20, {}, c.err);
    EXPECT_FALSE(fs::exists(dir.path() / "out"));
    writeFile(dir.file("out"), previous);
    expectRun(c.args, 20, {}, c.err);
    EXPECT_EQ(readFile(dir.file("out")), previous);
  }
  expectRun({dir.file("in"), dir.file("no/such/dir/out")}, 20, {},
            "stampPack: cannot create " + dir.file("no/such/dir/out") + ": No such file or directory\n");
}

TEST_F(StampPack, OutputNamingTheInputIsRefused) {
  const Bytes original = randomBytes(100, 4);
  writeFile(dir.file("in"), original);
  fs::create_directory(dir.path() / "sub");
  std::vector<std::string> outputs = {dir.file("in"), (dir.path() / "sub" / ".." / "in").string()};
  std::error_code linkError;
  fs::create_symlink(dir.path() / "in", dir.path() / "alias", linkError);
  if (!linkError) outputs.push_back(dir.file("alias"));
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    expectRun({dir.file("in"), output}, 20, {}, "stampPack: cannot write " + output + ": it is the input file\n");
    EXPECT_EQ(readFile(dir.file("in")), original);
  }
}

TEST_F(StampPack, ExistingOutputIsReplacedWhole) {
  const Bytes payload = randomBytes(10, 5);
  writeFile(dir.file("in"), payload);
  writeFile(dir.file("out"), randomBytes(9000, 6));
  const std::time_t before = std::time(nullptr);
  expectRun({dir.file("in"), dir.file("out")}, 0);
  expectStamped(dir.file("out"), payload, kDefaultId, before, std::time(nullptr));
}

TEST_F(StampPack, WildcardsAreTakenLiterally) {
  writeFile(dir.file("x1"), textBytes("a file the pattern would match"));
  // No file is literally named x*.
  expectRun({dir.file("x*"), dir.file("out")}, 20, {},
            "stampPack: cannot open " + dir.file("x*") + ": No such file or directory\n");
#ifndef _WIN32  // where a file name may hold a wildcard character
  const Bytes literal = textBytes("the file named x?");
  writeFile(dir.file("x?"), literal);
  const std::time_t before = std::time(nullptr);
  expectRun({dir.file("x?"), dir.file("out")}, 0);
  expectStamped(dir.file("out"), literal, kDefaultId, before, std::time(nullptr));
#endif
}

TEST_F(StampPack, FailedWritesLeaveNoOutput) {
  if (!kCanLimitFileSize) GTEST_SKIP() << "no file size limit on this system";
  writeFile(dir.file("in"), randomBytes(3 * (1 << 20) + 1, 7));
  for (const std::uint64_t limit : {std::uint64_t{8}, std::uint64_t{1} << 20}) {
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    const RunOptions options = writesFailBeyond(limit);
    // The limit holds for standard error's file too: the line is cut there.
    const std::string err = "stampPack: cannot write " + dir.file("out") + ": File too large\n";
    expectRun({dir.file("in"), dir.file("out")}, 20, options, err.substr(0, static_cast<std::size_t>(limit)));
    EXPECT_FALSE(fs::exists(dir.path() / "out"));
  }
  if (fs::exists("/dev/full")) {
    fs::create_symlink("/dev/full", dir.path() / "full");
    expectRun({dir.file("in"), dir.file("full")}, 20, {},
              "stampPack: cannot write " + dir.file("full") + ": No space left on device\n");
    EXPECT_TRUE(fs::is_symlink(dir.path() / "full"));  // the device is not "removed"
  }
}

TEST_F(StampPack, InputShorterThanItsSizeLeavesNoOutput) {
  const auto input = fileShorterThanItsSize();
  if (!input) GTEST_SKIP() << "no such file on this system";
  expectRun({*input, dir.file("out")}, 20, {},
            "stampPack: cannot read " + *input + ": read error, or the file changed while being read\n");
  EXPECT_FALSE(fs::exists(dir.path() / "out"));
}

TEST_F(StampPack, InputsBeyondTwoGigabytes) {
  if (std::getenv("IMAGEPACK_SKIP_HUGE_FILES") != nullptr) GTEST_SKIP() << "IMAGEPACK_SKIP_HUGE_FILES is set";
  // A sparse input: large in size, cheap on disk until the packer copies it.
  const std::uint64_t size = (std::uint64_t{1} << 31) + 1;
  {
    std::ofstream out(dir.file("big"), std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size - 1));
    out.put('\x01');
  }
  expectRun({dir.file("big"), dir.file("out"), "1"}, 0);
  ASSERT_EQ(fs::file_size(dir.path() / "out"), 16 + size);
  std::ifstream stamped(dir.file("out"), std::ios::binary);
  Bytes header(12);
  stamped.read(reinterpret_cast<char*>(header.data()), 12);
  // Zero bytes leave the CRC at zero; the final 01 makes it table[1].
  EXPECT_EQ(header, (Bytes{0, 0, 0, 1, 0x91, 0, 0, 0, 0x80, 0, 0, 1}));
  stamped.seekg(static_cast<std::streamoff>(16 + size - 2));
  EXPECT_EQ(stamped.get(), 0);
  EXPECT_EQ(stamped.get(), 1);
  stamped.close();
  expectIntact(dir.file("out"));
  fs::remove(dir.path() / "out");

#ifndef _WIN32
  // The largest length the field holds, 4 GiB - 1, is stamped; /dev/null takes the output.
  fs::resize_file(dir.path() / "big", (std::uint64_t{1} << 32) - 1);
  expectRun({dir.file("big"), "/dev/null"}, 0);
#endif

  // Four gigabytes cannot be described by the 32-bit length field.
  fs::resize_file(dir.path() / "big", std::uint64_t{1} << 32);
  expectRun({dir.file("big"), dir.file("out")}, 20, {},
            "stampPack: cannot stamp " + dir.file("big") + ": more than 4294967295 bytes\n");
  EXPECT_FALSE(fs::exists(dir.path() / "out"));
}
