#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>

#include <cerrno>
#include <csignal>

extern "C" int gMkstempErrno;  // non-zero: mkstemp fails with it (support/mkstempSwitch.c)
#endif

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "blockCopy.hpp"
#include "outputFile.hpp"
#include "paths.hpp"
#include "streams.hpp"
#include "support/testFiles.hpp"

namespace fs = std::filesystem;

// Every payload byte arrives once and in order behind the header, the check value sees each
// new byte exactly once, and every write but the last ends on a multiple of the alignment.
TEST(CopyBehindHeader, EveryByteOnceInOrderWithAlignedWrites) {
  std::mt19937 generator(17);
  const auto next = [&generator] { return static_cast<std::uint32_t>(generator()); };
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t alignment = std::size_t{1} << (2 + next() % 6);  // 4 to 128
    const std::size_t pieceSize = 1 + next() % 300;
    const Bytes header = randomBytes(next() % (alignment + 1), next());
    const Bytes trailer = randomBytes(next() % std::min<std::size_t>(4, alignment + 1), next());
    const Bytes payload = randomBytes(trial % 4 == 0 ? pieceSize * (next() % 4) : next() % 2000, next());
    SCOPED_TRACE("alignment " + std::to_string(alignment) + ", pieces of " + std::to_string(pieceSize) + ", header " +
                 std::to_string(header.size()) + ", payload " + std::to_string(payload.size()));

    std::vector<unsigned char> buffer(pieceSize + alignment);
    std::size_t readPos = 0;
    Bytes seen, written;
    std::vector<std::size_t> writeEnds;
    const CopyStatus status = copyBehindHeader(
        header, payload.size(), trailer, buffer, alignment,
        [&](std::span<unsigned char> piece) {
          std::copy_n(payload.begin() + static_cast<long>(readPos), piece.size(), piece.begin());
          readPos += piece.size();
          return true;
        },
        [&](std::span<const unsigned char> piece) { seen.insert(seen.end(), piece.begin(), piece.end()); },
        [&](std::span<const unsigned char> bytes) {
          written.insert(written.end(), bytes.begin(), bytes.end());
          writeEnds.push_back(written.size());
          return true;
        });
    ASSERT_EQ(status, CopyStatus::ok);
    Bytes expected = header;
    expected.insert(expected.end(), payload.begin(), payload.end());
    expected.insert(expected.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(written, expected);
    EXPECT_EQ(seen, payload);
    for (std::size_t i = 0; i + 1 < writeEnds.size(); ++i) EXPECT_EQ(writeEnds[i] % alignment, 0u) << "write " << i;
  }
}

// An input that shrank after its size was taken: the copy must not end as if all went well.
TEST(CopyBehindHeader, InputShorterThanTheCountIsAReadFailure) {
  TempDir dir;
  writeFile(dir.file("in"), randomBytes(5000, 4));
  Stream in = openStream(dir.file("in"), "rb");
  Stream out = openStream(dir.file("out"), "wb");
  EXPECT_EQ(copyBehindHeader(in.get(), out.get(), {}, 5001, {}, [](std::span<const unsigned char>) {}),
            CopyStatus::readFailed);
}

// Onto an output that cannot seek, the check value comes from a first pass over the source,
// and a source that changed before the copy that follows fails the run.
TEST(CopyWithCheckValue, SourceChangedBetweenThePassesIsAReadFailure) {
  TempDir dir;
  const Bytes payload = randomBytes(70'000, 8);
  // A byte sum for a check value, and a header that is that sum's four bytes.
  struct Sum {
    std::uint32_t value = 0;
    std::function<void()>* onFirstBlock = nullptr;  // runs once, as the first pass begins
    void update(std::span<const unsigned char> block) {
      if (onFirstBlock != nullptr && *onFirstBlock) std::exchange(*onFirstBlock, nullptr)();
      for (const unsigned char byte : block) value += byte;
    }
  };
  const auto header = [](const Sum& sum) {
    return std::array<unsigned char, 4>{
        static_cast<unsigned char>(sum.value), static_cast<unsigned char>(sum.value >> 8),
        static_cast<unsigned char>(sum.value >> 16), static_cast<unsigned char>(sum.value >> 24)};
  };
  const std::string in = dir.file("in");
  const struct {
    const char* what;
    std::function<void()> change;
    CopyStatus expected;
  } cases[] = {
      {"unchanged", [] {}, CopyStatus::ok},
      {"a byte changed", [&] { std::fstream(in, std::ios::in | std::ios::out | std::ios::binary).put('\x5A'); },
       CopyStatus::readFailed},
      {"grew", [&] { std::ofstream(in, std::ios::app | std::ios::binary).put('\x01'); }, CopyStatus::readFailed},
      {"shrank", [&] { fs::resize_file(in, payload.size() - 1); }, CopyStatus::readFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes source = payload;
    source[0] = 0x11;  // so that writing 0x5A there changes it
    writeFile(in, source);
    std::function<void()> change = c.change;
    Stream input = openStream(in, "rb");
    Stream output = openStream(dir.file("out"), "wb");
    Sum sum;
    sum.onFirstBlock = &change;
    EXPECT_EQ(copyWithCheckValue(input.get(), output.get(), false, source.size(), {}, 0, 4, sum, header), c.expected);
    output.close();
    if (c.expected != CopyStatus::ok) continue;
    const auto written = header(sum);
    Bytes expected(written.begin(), written.end());
    expected.insert(expected.end(), source.begin(), source.end());
    EXPECT_EQ(readFile(dir.file("out")), expected);
  }
}

// An output given up, or never committed, leaves the target as it was and nothing beside it.
TEST(OutputFile, UncommittedOutputLeavesTheTargetAlone) {
  TempDir dir;
  writeFile(dir.file("target"), Bytes{1, 2, 3});
  for (const bool explicitDiscard : {true, false}) {
    SCOPED_TRACE(explicitDiscard ? "discarded" : "destroyed");
    {
      OutputFile output;
      ASSERT_TRUE(output.open(dir.file("target")));
      ASSERT_GE(std::fputs("new contents", output.stream()), 0);
      if (explicitDiscard) output.discard();
    }
    EXPECT_EQ(readFile(dir.file("target")), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  }
}

#ifndef _WIN32
// commit() puts nothing in place that did not close cleanly, and leaves nothing beside the
// target whatever fails: the close (network and FUSE file systems report ENOSPC, EDQUOT or EIO
// there), or the rename.
TEST(OutputFile, FailedCommitLeavesNothingBehind) {
  TempDir dir;
  const Bytes old{1, 2, 3};
  // Too long for ".NAME.XXXXXX" in 255 bytes: the temporary name keeps what fits of it.
  const std::string longName = dir.file(std::string(250, 'n'));
  const struct {
    const char* what;
    std::string target;
    std::function<void(OutputFile&)> breakIt;
  } cases[] = {
      {"the close fails", dir.file("target"), [](OutputFile& out) { close(fileno(out.stream())); }},
      {"the rename fails", dir.file("target"),
       [&](OutputFile&) {
         fs::remove(dir.path() / "target");
         fs::create_directory(dir.path() / "target");
       }},
      {"the close fails, a name of 250 bytes", longName, [](OutputFile& out) { close(fileno(out.stream())); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(c.target);
    writeFile(c.target, old);
    OutputFile output;
    ASSERT_TRUE(output.open(c.target));
    ASSERT_GE(std::fputs("new contents", output.stream()), 0);
    c.breakIt(output);
    EXPECT_FALSE(output.commit());
    if (fs::is_regular_file(c.target)) {  // not where the rename's target became a folder
      EXPECT_EQ(readFile(c.target), old);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    fs::remove_all(c.target);
  }
}

// Written in place (no temporary file could be made in a folder that refuses new files), the
// output is the cleanup's until it is committed, and no longer after: a signal before then
// removes the incomplete file, one after leaves the complete file (a checksum line that meets a
// reader gone raises SIGPIPE after the commit).
TEST(OutputFileDeathTest, InPlaceOutputIsCleanedUpUntilCommitted) {
  TempDir dir;
  const std::string target = dir.file("target");
  for (const bool committed : {false, true}) {
    SCOPED_TRACE(committed ? "signal after the commit" : "signal before it");
    writeFile(target, Bytes{1, 2, 3});
    EXPECT_EXIT(
        {
          gMkstempErrno = EACCES;
          OutputFile output;
          if (!output.open(target) || std::fputs("new contents", output.stream()) < 0) std::_Exit(3);
          if (committed && !output.commit()) std::_Exit(4);
          std::raise(SIGPIPE);
          std::_Exit(5);
        },
        testing::KilledBySignal(SIGPIPE), "");
    EXPECT_EQ(fs::exists(target), committed);
    if (committed) {
      EXPECT_EQ(readFile(target), textBytes("new contents"));
    }
  }
}

// A patch that cannot be written (here: an output that cannot seek, taken for one that can)
// fails the copy; it must never end as if all went well.
TEST(CopyWithCheckValue, FailedPatchIsAWriteFailure) {
  TempDir dir;
  writeFile(dir.file("in"), randomBytes(100, 9));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Stream in = openStream(dir.file("in"), "rb");
  Stream out(fdopen(ends[1], "wb"));
  struct Sum {
    unsigned value = 0;
    void update(std::span<const unsigned char> block) {
      for (const unsigned char byte : block) value += byte;
    }
  } sum;
  const auto header = [](const Sum& s) { return std::array<unsigned char, 1>{static_cast<unsigned char>(s.value)}; };
  EXPECT_EQ(copyWithCheckValue(in.get(), out.get(), true, 100, {}, 0, 1, sum, header), CopyStatus::writeFailed);
  close(ends[0]);
}
#endif

// Only a regular file has a size to take: anything else a name can open is refused, even
// where the opening itself let it through (a device, a directory).
TEST(RegularFileSize, OnlyRegularFilesHaveOne) {
  TempDir dir;
  writeFile(dir.file("file"), Bytes(1234, 7));
  fs::create_directory(dir.path() / "directory");
#ifdef _WIN32
  const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {{dir.file("file"), 1234},
                                                                        {"NUL", std::nullopt}};
#else
  const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
      {dir.file("file"), 1234}, {"/dev/null", std::nullopt}, {dir.file("directory"), std::nullopt}};
#endif
  for (const auto& [path, size] : cases) {
    SCOPED_TRACE(path);
    const Stream stream = openStream(path, "rb");
    ASSERT_TRUE(stream);
    EXPECT_EQ(regularFileSize(stream.get()), size);
  }
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

#ifdef _WIN32
// Wine opens long paths either way, so the extended-length form is checked here directly.
TEST(NativePath, LongPathsTakeTheExtendedLengthForm) {
  const std::string shortPath = "C:\\fw\\app.img";
  EXPECT_EQ(nativePath(shortPath).native(), L"C:\\fw\\app.img");
  // Normalised first: a long spelling of a short path becomes the short path.
  const std::string longSpelling = "C:\\fw\\" + std::string(300, 'a') + "\\..\\app.img";
  EXPECT_EQ(nativePath(longSpelling).native(), L"C:\\fw\\app.img");
  const std::string deep = "C:\\fw\\" + std::string(300, 'b') + "\\\xc3\xa4.img";
  EXPECT_EQ(nativePath(deep).native(), L"\\\\?\\C:\\fw\\" + std::wstring(300, L'b') + L"\\\u00e4.img");
  const std::string share = "\\\\server\\share\\" + std::string(300, 'c');
  EXPECT_EQ(nativePath(share).native(), L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'c'));
}
#endif
