#include "fileSupport.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "support/testFiles.hpp"

namespace fs = std::filesystem;

namespace {

struct CopyOutcome {
  CopyStatus status;
  Bytes seen;  // every byte handed to the block callback, in order
};

CopyOutcome copyFile(const std::string& from, const std::string& to, std::uint64_t count, std::size_t bufferSize) {
  Stream in = openStream(from, "rb");
  Stream out = openStream(to, "wb");
  std::vector<unsigned char> buffer(bufferSize);
  CopyOutcome outcome{CopyStatus::ok, {}};
  outcome.status = copyBytes(in.get(), out.get(), count, buffer,
                             [&](std::span<const unsigned char> block) { outcome.seen.insert(outcome.seen.end(), block.begin(), block.end()); });
  if (!out.close() && outcome.status == CopyStatus::ok) outcome.status = CopyStatus::writeFailed;
  return outcome;
}

}  // namespace

TEST(CopyBytes, CopiesExactlyTheCountInBlocksAndShowsEveryByte) {
  TempDir dir;
  const Bytes data = randomBytes(10'000, 3);
  writeFile(dir.file("in"), data);
  for (const std::uint64_t count : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4096}, std::uint64_t{9'999}}) {
    SCOPED_TRACE(count);
    const CopyOutcome outcome = copyFile(dir.file("in"), dir.file("out"), count, 4096);
    const Bytes expected(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    EXPECT_EQ(outcome.status, CopyStatus::ok);
    EXPECT_EQ(outcome.seen, expected);
    EXPECT_EQ(readFile(dir.file("out")), expected);
  }
}

TEST(CopyBytes, InputShorterThanTheCountIsAReadFailure) {
  TempDir dir;
  writeFile(dir.file("in"), randomBytes(5000, 4));
  EXPECT_EQ(copyFile(dir.file("in"), dir.file("out"), 5001, 4096).status, CopyStatus::readFailed);
}

TEST(CopyBytes, FullDeviceIsAWriteFailure) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  TempDir dir;
  writeFile(dir.file("in"), randomBytes(5000, 5));
  EXPECT_EQ(copyFile(dir.file("in"), "/dev/full", 5000, 4096).status, CopyStatus::writeFailed);
}

TEST(RegularFileSize, SizeOfFilesNothingForDirectories) {
  TempDir dir;
  writeFile(dir.file("five"), Bytes(5, 0));
  Stream five = openStream(dir.file("five"), "rb");
  EXPECT_EQ(regularFileSize(five.get()), std::optional<std::uint64_t>(5));
  Stream directory = openStream(dir.path().string(), "rb");
  if (directory) {  // some systems refuse to open a directory as a stream at all
    EXPECT_EQ(regularFileSize(directory.get()), std::nullopt);
  }
}

TEST(IsSameFile, SeesThroughSpellingsAndLinks) {
  TempDir dir;
  writeFile(dir.file("a"), Bytes{1});
  writeFile(dir.file("b"), Bytes{1});
  fs::create_directory(dir.path() / "sub");
  EXPECT_TRUE(isSameFile(dir.file("a"), dir.file("a")));
  EXPECT_TRUE(isSameFile(dir.file("a"), (dir.path() / "sub" / ".." / "." / "a").string()));
  EXPECT_FALSE(isSameFile(dir.file("a"), dir.file("b")));  // same bytes, different files
  EXPECT_FALSE(isSameFile(dir.file("a"), dir.file("missing")));
  std::error_code linkError;
  fs::create_symlink(dir.path() / "a", dir.path() / "link", linkError);
  if (!linkError) {
    EXPECT_TRUE(isSameFile(dir.file("a"), dir.file("link")));
  }
}

TEST(RemoveIncompleteOutput, RemovesRegularFilesOnly) {
  TempDir dir;
  writeFile(dir.file("partial"), Bytes{1, 2, 3});
  removeIncompleteOutput(dir.file("partial"));
  EXPECT_FALSE(fs::exists(dir.path() / "partial"));

  removeIncompleteOutput(dir.file("missing"));  // nothing there: nothing happens
  fs::create_directory(dir.path() / "directory");
  removeIncompleteOutput(dir.file("directory"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "directory"));

  // Through a link, the incomplete file itself goes; the link is left dangling.
  std::error_code linkError;
  writeFile(dir.file("real"), Bytes{1});
  fs::create_symlink(dir.path() / "real", dir.path() / "link", linkError);
  if (!linkError) {
    removeIncompleteOutput(dir.file("link"));
    EXPECT_FALSE(fs::exists(dir.path() / "real"));
  }
}
