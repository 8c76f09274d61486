#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "fileSupport.hpp"
#include "support/testFiles.hpp"

namespace fs = std::filesystem;

// An input that shrank after its size was taken: the copy must not end as if all went well.
TEST(CopyBytes, InputShorterThanTheCountIsAReadFailure) {
  TempDir dir;
  writeFile(dir.file("in"), randomBytes(5000, 4));
  Stream in = openStream(dir.file("in"), "rb");
  Stream out = openStream(dir.file("out"), "wb");
  std::vector<unsigned char> buffer(4096);
  EXPECT_EQ(copyBytes(in.get(), out.get(), 5001, buffer, [](std::span<const unsigned char>) {}),
            CopyStatus::readFailed);
}

TEST(RemoveIncompleteOutput, RemovesRegularFilesOnly) {
  TempDir dir;
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
