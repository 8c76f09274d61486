// End-to-end, Windows only: what a Windows console program does differently. (That every
// message line ends in "\r\n" there is checked by every other test: see runProgram.)

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
