// End-to-end, Windows only: what a Windows console program does differently. (That every
// message line ends in "\r\n" there is checked by every other test: see runProgram.)

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "outputFile.hpp"
#include "programs.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"

namespace {

class Windows : public ::testing::Test {
 protected:
  TempDir dir;
};

}  // namespace

TEST_F(Windows, PackLoadableExpandsWildcardsStampPackDoesNot) {
  // Two matches, created out of name order, with one content: "only?.bin" becomes source and
  // target in whatever order the system lists them, and either way one of them is packed into
  // the other's name plus ".img".
  const Bytes payload = randomBytes(12, 1);
  writeFile(dir.file("only2.bin"), payload);
  writeFile(dir.file("only1.bin"), payload);
  const std::string pattern = dir.file("only?.bin");
  const ProgramResult packed = runProgram(kPackLoadable, {pattern, "n", "0", "0"});
  EXPECT_EQ(packed.exitStatus, 0) << packed.out;
  const bool firstIsTarget = std::filesystem::exists(dir.path() / "only1.bin.img");
  const bool secondIsTarget = std::filesystem::exists(dir.path() / "only2.bin.img");
  ASSERT_NE(firstIsTarget, secondIsTarget);
  const Bytes image = readFile(dir.file(firstIsTarget ? "only1.bin.img" : "only2.bin.img"));
  EXPECT_EQ(Bytes(image.begin() + 44, image.end()), payload);

  const ProgramResult stamped = runProgram(kStampPack, {pattern, dir.file("stamped")});
  EXPECT_EQ(stamped.exitStatus, 20);  // no file is literally called only?.bin
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "stamped"));
}

TEST_F(Windows, OneFileWhateverTheCaseOrSpelling) {
  const Bytes original = randomBytes(64, 2);
  writeFile(dir.file("a.img"), original);
  const std::string dotted = (dir.path() / "." / "a").string();
  for (const std::string& target : {dir.file("A"), dotted}) {
    SCOPED_TRACE(target);
    const ProgramResult result = runProgram(kPackLoadable, {dir.file("a.img"), target, "n", "0", "0"});
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, "ERROR : Target file is the source file - " + target + ".img\n");
  }
  for (const std::string& output : {dir.file("A.IMG"), dotted + ".img"}) {
    SCOPED_TRACE(output);
    EXPECT_EQ(runProgram(kStampPack, {dir.file("a.img"), output}).exitStatus, 20);
  }
  EXPECT_EQ(readFile(dir.file("a.img")), original);
}

TEST_F(Windows, BinaryModeKeepsEveryByte) {
  // Line ends and the old end-of-file mark, which a text-mode stream would change.
  Bytes payload = textBytes("\r\n\n\r\x1a\x1a\n");
  const Bytes more = randomBytes(1001, 3);  // 1008 bytes in all: no padding
  payload.insert(payload.end(), more.begin(), more.end());
  writeFile(dir.file("in.bin"), payload);
  ASSERT_EQ(runProgram(kPackLoadable, {dir.file("in.bin"), dir.file("out"), "n", "0", "0"}).exitStatus, 0);
  ASSERT_EQ(runProgram(kStampPack, {dir.file("in.bin"), dir.file("stamped")}).exitStatus, 0);
  const Bytes image = readFile(dir.file("out.img"));
  const Bytes stamped = readFile(dir.file("stamped"));
  ASSERT_EQ(image.size(), 44 + payload.size());
  ASSERT_EQ(stamped.size(), 16 + payload.size());
  EXPECT_EQ(Bytes(image.begin() + 44, image.end()), payload);
  EXPECT_EQ(Bytes(stamped.begin() + 16, stamped.end()), payload);
}

// Names in any script, whatever the system's code page: Chinese, Russian, accented Latin and a
// character outside the Basic Multilingual Plane, for files and the directories they are in.
const char* const kNames[] = {"\xe5\x9b\xba\xe4\xbb\xb6",
                              "\xd0\xbf\xd1\x80\xd0\xbe\xd1\x88\xd0\xb8\xd0\xb2\xd0\xba\xd0\xb0", "Zo\xc3\xab",
                              "\xf0\x9f\x9a\x80"};

TEST_F(Windows, PathsInAnyScript) {
  const Bytes payload = randomBytes(300, 4);
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    const std::string folder = std::string(name) + "-dir";
    std::filesystem::create_directory(pathOf(dir.file(folder)));
    const std::string source = dir.file(folder + "/" + name + ".bin");
    writeFile(source, payload);

    // Absolute paths.
    const std::string target = dir.file(folder + "/" + name);
    ASSERT_EQ(runProgram(kPackLoadable, {source, target, "N", "0", "0"}).exitStatus, 0);
    ASSERT_EQ(runProgram(kStampPack, {source, target + ".stp"}).exitStatus, 0);
    const ProgramResult report = runProgram(kImageInfo, {target + ".img", target + ".stp"});
    EXPECT_EQ(report.exitStatus, 0) << report.out << report.err;
    EXPECT_EQ(report.out.rfind(target + ".img\n", 0), 0u) << report.out;  // the path as itself, in UTF-8
    EXPECT_NE(report.out.find("\n" + target + ".stp\n"), std::string::npos) << report.out;

    // Relative paths, from the temporary directory.
    RunOptions fromDir;
    fromDir.workingDirectory = dir.file("");
    const std::string relative = folder + "\\" + name;
    ASSERT_EQ(runProgram(kPackLoadable, {relative + ".bin", relative + "-rel", "N", "0", "0"}, fromDir).exitStatus, 0);
    ASSERT_EQ(runProgram(kStampPack, {relative + ".bin", relative + "-rel.stp"}, fromDir).exitStatus, 0);
    EXPECT_EQ(runProgram(kImageInfo, {relative + "-rel.img", relative + "-rel.stp"}, fromDir).exitStatus, 0);
    const ProgramResult extracted =
        runProgram(kImageInfo, {"--extract", relative + ".back", relative + "-rel.img"}, fromDir);
    EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
    EXPECT_EQ(readFile(dir.file(folder + "/" + name + ".back")), payload);
  }
}

TEST_F(Windows, MessagesCarryNamesAsUtf8) {
  const std::string missing = dir.file(std::string(kNames[0]) + ".bin");
  const ProgramResult result = runProgram(kPackLoadable, {missing, dir.file("out"), "N", "0", "0"});
  EXPECT_EQ(result.exitStatus, 20);
  EXPECT_EQ(result.out, "ERROR : Can't find source file - " + missing + "\n");  // byte for byte
  const ProgramResult info = runProgram(kImageInfo, {missing});
  EXPECT_EQ(info.err, "imageInfo: cannot open " + missing + ": No such file or directory\n");
}

TEST_F(Windows, OneFileWhateverTheCaseOfANonAsciiName) {
  const Bytes original = randomBytes(64, 5);
  writeFile(dir.file("\xc3\x84.img"), original);   // Ä.img
  const std::string lower = dir.file("\xc3\xa4");  // ä, the same name to a case-folding file system
  if (!std::filesystem::exists(pathOf(lower + ".img"))) GTEST_SKIP() << "this file system does not fold Ä and ä";
  const ProgramResult result = runProgram(kPackLoadable, {dir.file("\xc3\x84.img"), lower, "N", "0", "0"});
  EXPECT_EQ(result.exitStatus, 20);
  EXPECT_EQ(result.out, "ERROR : Target file is the source file - " + lower + ".img\n");
  EXPECT_EQ(runProgram(kStampPack, {dir.file("\xc3\x84.img"), lower + ".img"}).exitStatus, 20);
  EXPECT_EQ(readFile(dir.file("\xc3\x84.img")), original);
}

TEST_F(Windows, WildcardsMatchNonAsciiNames) {
  const Bytes payload = randomBytes(16, 6);
  const std::string stem = kNames[1];
  writeFile(dir.file(stem + "2.bin"), payload);
  writeFile(dir.file(stem + "1.bin"), payload);
  const ProgramResult packed = runProgram(kPackLoadable, {dir.file(stem + "?.bin"), "N", "0", "0"});
  EXPECT_EQ(packed.exitStatus, 0) << packed.out;
  const bool first = std::filesystem::exists(pathOf(dir.file(stem + "1.bin.img")));
  const bool second = std::filesystem::exists(pathOf(dir.file(stem + "2.bin.img")));
  EXPECT_NE(first, second);
}

TEST_F(Windows, PathsLongerThanTheOldLimit) {
  // Three levels of 60 CJK characters each, beyond 300 characters in all.
  std::string relative;
  for (int level = 0; level < 3; ++level) {
    std::string part;
    for (int i = 0; i < 60; ++i) part += kNames[0];
    relative += (level > 0 ? "/" : "") + part;
  }
  std::filesystem::create_directories(pathOf(dir.file(relative)));
  const std::string base = dir.file(relative + "/" + kNames[2]);
  ASSERT_GT(pathOf(base).native().size(), 300u);
  const Bytes payload = randomBytes(1000, 7);
  writeFile(base + ".bin", payload);
  const ProgramResult packed = runProgram(kPackLoadable, {base + ".bin", base, "N", "0", "0"});
  EXPECT_EQ(packed.exitStatus, 0) << packed.out;
  EXPECT_EQ(runProgram(kStampPack, {base + ".bin", base + ".stp"}).exitStatus, 0);
  EXPECT_EQ(runProgram(kImageInfo, {base + ".img", base + ".stp"}).exitStatus, 0);
  EXPECT_EQ(runProgram(kImageInfo, {"--extract", base + ".back", base + ".stp"}).exitStatus, 0);
  EXPECT_EQ(readFile(base + ".back"), payload);
  // The same file under two spellings is still caught.
  EXPECT_EQ(runProgram(kStampPack, {base + ".bin", base + ".BIN"}).exitStatus, 20);
}

// Device names are targets like /dev/null on Linux: written straight through, in any case and
// spelling (nul.txt names the device too), with no temporary file and no rename.
TEST_F(Windows, DeviceNamesAreWrittenStraightThrough) {
  writeFile(dir.file("x.bin"), randomBytes(5000, 8));
  ASSERT_EQ(runProgram(kStampPack, {dir.file("x.bin"), dir.file("x.stp")}).exitStatus, 0);
  RunOptions here;
  here.workingDirectory = dir.path().string();
  for (const std::string& device : std::vector<std::string>{"NUL", "nul", "Nul.txt", "\\\\.\\NUL", dir.file("NUL")}) {
    SCOPED_TRACE(device);
    const ProgramResult stamped = runProgram(kStampPack, {dir.file("x.bin"), device}, here);
    EXPECT_EQ(stamped.exitStatus, 0) << stamped.err;
    const ProgramResult extracted = runProgram(kImageInfo, {"--extract", device, dir.file("x.stp")}, here);
    EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
  }
  // packLoadable's NUL.img is the device as well.
  const ProgramResult packed = runProgram(kPackLoadable, {dir.file("x.bin"), "NUL", "N", "0", "0"}, here);
  EXPECT_EQ(packed.exitStatus, 0) << packed.out << packed.err;
  // Nothing was made in the folder: no file named like a device, no temporary file.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(utf8Of(entry.path().filename()));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"x.bin", "x.stp"}));
}

// Standard output redirected to the target itself (packLoadable x.bin out ... >> out.img): the
// image goes through standard output, after what was there, and the checksum line to standard
// error; no rename meets the file the shell holds open.
TEST_F(Windows, StandardOutputThatIsTheTargetIsWrittenThrough) {
  writeFile(dir.file("x.bin"), randomBytes(5000, 11));
  const ProgramResult reference = runProgram(kPackLoadable, {dir.file("x.bin"), dir.file("ref"), "N", "0", "0"});
  ASSERT_EQ(reference.exitStatus, 0) << reference.err;
  writeFile(dir.file("out.img"), textBytes("written before; "));
  RunOptions redirected;
  redirected.standardOutput = dir.file("out.img");
  const ProgramResult result = runProgram(kPackLoadable, {dir.file("x.bin"), dir.file("out"), "N", "0", "0"}, redirected);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, reference.out);
  Bytes want = textBytes("written before; ");
  const Bytes image = readFile(dir.file("ref.img"));
  want.insert(want.end(), image.begin(), image.end());
  EXPECT_EQ(readFile(dir.file("out.img")), want);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 3);
}

// A name up to the system's limit of 255 characters still gets a temporary file beside it:
// the old file is replaced whole, and nothing else is left.
TEST_F(Windows, NamesUpToTheLimitGetATemporaryFile) {
  writeFile(dir.file("x.bin"), randomBytes(100, 9));
  for (const std::size_t length : {247, 248, 254, 255}) {
    SCOPED_TRACE(length);
    const std::string target = dir.file(std::string(length - 4, 'o') + ".stp");
    writeFile(target, randomBytes(9000, 10));
    EXPECT_EQ(runProgram(kStampPack, {dir.file("x.bin"), target}).exitStatus, 0);
    EXPECT_EQ(readFile(target).size(), 116u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
    std::filesystem::remove(pathOf(target));
  }
}

// Ctrl-C while the main thread writes: the console control handler's work, run on a thread of
// its own as the system runs it, ends the program with STATUS_CONTROL_C_EXIT and leaves the old
// target and nothing beside it. (A death test: the child is this program run again, so the
// folder has a fixed name.)
TEST(WindowsConsoleControlDeathTest, EndsTheRunAndLeavesTheOldTarget) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "imagepackers-console-control";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string target = utf8Of(folder / "out.img");
  writeFile(target, Bytes{1, 2, 3});
  EXPECT_EXIT(
      {
        OutputFile output;
        if (!output.open(target)) std::_Exit(3);
        std::thread control([] {
          Sleep(100);
          endOnConsoleControl();
        });
        static const std::vector<unsigned char> block(1 << 16, 0x5A);
        for (;;) std::fwrite(block.data(), 1, block.size(), output.stream());  // until the handler ends it
      },
      testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "");
  EXPECT_EQ(readFile(target), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);
  std::filesystem::remove_all(folder);
}

// Every name Windows reserves for a device, in its forms, and names that only look like one.
TEST(WindowsDeviceNames, AreKnownInEveryForm) {
  const struct {
    const char* path;
    bool device;
  } cases[] = {
      {"NUL", true},         {"nul.txt", true},        {"dir\\Con", true},    {"AUX ", true},
      {"PRN.img", true},     {"CONIN$", true},         {"conout$", true},      {"\\\\.\\anything", true},
      {"COM0", true},        {"com9.log", true},       {"LPT0", true},         {"lpt5", true},
      {"COM\xC2\xB9", true}, {"LPT\xC2\xB3.img", true}, {"COM\xC2\xB2", true}, {"NULL", false},
      {"COM10", false},      {"COM", false},           {"LPTX", false},        {"COM\xC2\xB4", false},
      {"console", false},    {"app.img", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isDeviceName(c.path), c.device);
  }
}
