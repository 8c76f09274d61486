// End-to-end: imageInfo --extract gives back exactly the payload a packer was given, and only
// from an intact image; "-" reads the image from standard input.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "programs.hpp"
#include "support/json.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"

namespace fs = std::filesystem;

namespace {

ProgramResult info(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return runProgram(kImageInfo, args, options);
}

class Extract : public ::testing::Test {
 protected:
  TempDir dir;

  // Packs `payload` both ways: dir/packed.img and dir/stamped.
  void packBoth(const Bytes& payload) {
    writeFile(dir.file("payload"), payload);
    ASSERT_EQ(runProgram(kPackLoadable, {dir.file("payload"), dir.file("packed"), "APP", "8000", "8000"}).exitStatus,
              0);
    ASSERT_EQ(runProgram(kStampPack, {dir.file("payload"), dir.file("stamped")}).exitStatus, 0);
  }
};

}  // namespace

TEST_F(Extract, RoundTripGivesBackEveryByte) {
  std::vector<std::size_t> sizes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 4095, 4096, 4097, (1u << 20) + 3, (3u << 20) + 1};
  for (const std::size_t size : sizes) {
    const Bytes payload = randomBytes(size, static_cast<std::uint32_t>(size));
    packBoth(payload);
    for (const char* image : {"packed.img", "stamped"}) {
      SCOPED_TRACE(std::string(image) + ", " + std::to_string(size) + " bytes");
      const ProgramResult result = info({"--extract", dir.file("back"), dir.file(image)});
      EXPECT_EQ(result.exitStatus, 0) << result.err;
      EXPECT_NE(result.out.find("  verdict: ok\npayload written to " + dir.file("back") + "\n"), std::string::npos)
          << result.out;
      EXPECT_EQ(readFile(dir.file("back")), payload);
    }
  }
}

TEST_F(Extract, DamagedImagesGiveNothing) {
  packBoth(randomBytes(1000, 1));
  const auto flipped = [](Bytes file) {
    file[file.size() / 2] ^= 0x01;
    return file;
  };
  const auto short1 = [](Bytes file) {
    file.pop_back();
    return file;
  };
  const Bytes packed = readFile(dir.file("packed.img"));
  const Bytes stamped = readFile(dir.file("stamped"));
  const struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"load image, a payload byte flipped", flipped(packed)},
      {"load image, one byte short", short1(packed)},
      {"stamped image, a payload byte flipped", flipped(stamped)},
      {"stamped image, one byte short", short1(stamped)},
      {"not an image", randomBytes(500, 2)},
  };
  const Bytes previous = textBytes("the payload extracted last time");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir.file("image"), c.file);
    writeFile(dir.file("out"), previous);
    const ProgramResult result = info({"--extract=" + dir.file("out"), dir.file("image")});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out.find("payload written"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("out")), previous);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 5);  // nothing left beside
  }
}

TEST_F(Extract, RefusalsWriteNothing) {
  packBoth(randomBytes(100, 3));
  std::vector<std::string> outputsNamingTheImage = {dir.file("packed.img"), (dir.path() / "." / "packed.img").string()};
  std::error_code linkError;
  fs::create_symlink(dir.path() / "packed.img", dir.path() / "alias", linkError);
  if (!linkError) outputsNamingTheImage.push_back(dir.file("alias"));
  const Bytes image = readFile(dir.file("packed.img"));
  struct Case {
    std::vector<std::string> args;
    std::string err;
    RunOptions options{};
  };
  std::vector<Case> cases = {
      {{"--extract", dir.file("out")}, "imageInfo: --extract takes exactly one FILE, not 0\n"},
      {{"--extract", dir.file("out"), dir.file("packed.img"), dir.file("stamped")},
       "imageInfo: --extract takes exactly one FILE, not 2\n"},
      {{dir.file("packed.img"), "--extract"}, "imageInfo: --extract needs an output file\n"},
      {{"--extract=", dir.file("packed.img")}, "imageInfo: --extract needs an output file\n"},
      {{"--extract", dir.file("no/such/dir/out"), dir.file("packed.img")},
       "imageInfo: cannot create " + dir.file("no/such/dir/out") + ": No such file or directory\n"},
      // The image given as OUT, and the payload file to come as FILE.
      {{"--extract", dir.file("packed.img"), dir.file("out")},
       "imageInfo: cannot open " + dir.file("out") + ": No such file or directory; " + dir.file("packed.img") +
           " is an image: the order is --extract OUT FILE\n"},
  };
  for (const std::string& out : outputsNamingTheImage) {
    cases.push_back({{"--extract", out, dir.file("packed.img")}, "imageInfo: " + out + " is the file being read\n"});
  }
#ifndef _WIN32
  // A payload that cannot be written in full is a failure to write, not a damaged image.
  cases.push_back({{"--extract", "/dev/full", dir.file("stamped")},
                   "imageInfo: cannot write /dev/full: No space left on device\n"});
  writeFile(dir.file("large"), randomBytes(20'000, 11));
  ASSERT_EQ(runProgram(kStampPack, {dir.file("large"), dir.file("large.stp")}).exitStatus, 0);
  cases.push_back({{"--extract", dir.file("out"), dir.file("large.stp")},
                   "imageInfo: cannot write " + dir.file("out") + ": File too large\n",
                   writesFailBeyond(10'000)});
  // The image read as standard input is the same file.
  RunOptions imageAsInput;
  imageAsInput.standardInputFile = dir.file("packed.img");
  cases.push_back({{"--extract", dir.file("packed.img"), "-"},
                   "imageInfo: " + dir.file("packed.img") + " is the file being read\n",
                   imageAsInput});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    const ProgramResult result = info(c.args, c.options);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(fs::exists(dir.path() / "out"));
    EXPECT_EQ(readFile(dir.file("packed.img")), image);
  }
}

TEST_F(Extract, StandardInputGivesTheSameReport) {
  const Bytes payload = randomBytes(70'000, 4);
  packBoth(payload);
  for (const char* image : {"packed.img", "stamped"}) {
    SCOPED_TRACE(image);
    RunOptions piped;
    piped.standardInput = dir.file(image);
    const ProgramResult fromFile = info({"--json", dir.file(image)});
    const ProgramResult fromPipe = info({"--json", "-"}, piped);
    EXPECT_EQ(fromPipe.exitStatus, 0) << fromPipe.err;
    const auto fileJson = parseJson(fromFile.out);
    const auto pipeJson = parseJson(fromPipe.out);
    ASSERT_TRUE(fileJson && pipeJson) << fromPipe.out;
    EXPECT_EQ(pipeJson->array.at(0)["path"].string, "<stdin>");
    EXPECT_EQ(pipeJson->array.at(0)["verdict"].string, "ok");
    // Everything but the path is the same.
    const std::string fileLine = fromFile.out.substr(fromFile.out.find("\"format\""));
    EXPECT_EQ(fromPipe.out.substr(fromPipe.out.find("\"format\"")), fileLine);

    // And the payload comes out of a pipe too, with the JSON saying where it went.
    const ProgramResult extracted = info({"--json", "--extract", dir.file("back"), "-"}, piped);
    EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
    const auto json = parseJson(extracted.out);
    ASSERT_TRUE(json.has_value()) << extracted.out;
    EXPECT_EQ(json->array.at(0)["extractedTo"].string, dir.file("back"));
    EXPECT_EQ(readFile(dir.file("back")), payload);
  }
  // A file named "-" is still reachable by another spelling.
  writeFile(dir.file("-"), readFile(dir.file("stamped")));
  fs::current_path(dir.path());
  EXPECT_EQ(info({"./-"}).exitStatus, 0);
}

// OUT "-" (or /dev/stdout) takes the payload on standard output, and only once the whole image is
// known intact; the report then goes to standard error.
TEST_F(Extract, PayloadOnStandardOutputIsVerifiedFirst) {
  const Bytes payload = randomBytes(300'000, 5);
  packBoth(payload);
  Bytes damaged = readFile(dir.file("stamped"));
  damaged[damaged.size() - 7] ^= 0x10;
  writeFile(dir.file("damaged"), damaged);
  RunOptions stampedIn, damagedIn;
  stampedIn.standardInput = dir.file("stamped");
  damagedIn.standardInput = dir.file("damaged");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    RunOptions options;
    int status;
  };
  std::vector<Case> cases = {
      {"from a file", {"--extract", "-", dir.file("packed.img")}, {}, 0},
      {"from standard input", {"--extract", "-", "-"}, stampedIn, 0},
      {"from a damaged file", {"--extract", "-", dir.file("damaged")}, {}, 1},
      {"from a damaged standard input", {"--extract", "-", "-"}, damagedIn, 1},
  };
#ifndef _WIN32
  cases.push_back({"to /dev/stdout", {"--extract", "/dev/stdout", dir.file("stamped")}, {}, 0});
#endif
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.options.binaryOutput = true;
    const ProgramResult result = info(c.args, c.options);
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.out, c.status == 0 ? std::string(payload.begin(), payload.end()) : "");
    EXPECT_NE(result.err.find(c.status == 0 ? "  verdict: ok\npayload written to " : "  verdict: damaged"),
              std::string::npos)
        << result.err;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "-"));
#ifndef _WIN32
  // A FIFO OUT with a reader gets the same bytes, and stays a FIFO; from a damaged image it gets
  // nothing at all.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const std::pair<std::string, int> fifoCases[] = {{"packed.img", 0}, {"damaged", 1}};
  for (const auto& [name, status] : fifoCases) {
    SCOPED_TRACE("to a FIFO from " + name);
    auto reader = std::async(std::launch::async, [&] { return readFile(dir.file("fifo")); });
    EXPECT_EQ(info({"--extract", dir.file("fifo"), dir.file(name)}).exitStatus, status);
    if (const int unblock = open(dir.file("fifo").c_str(), O_WRONLY | O_NONBLOCK); unblock >= 0) close(unblock);
    EXPECT_EQ(reader.get(), status == 0 ? payload : Bytes{});
    EXPECT_TRUE(fs::is_fifo(dir.path() / "fifo"));
  }
#endif
}

#ifndef _WIN32
// A FILE that changes between its check and the copy to standard output fails the run: the
// copy's own report, and the file's length, must be what the check found. The pipe holds the
// copy back, so the change lands after the check and before the copy reaches it.
TEST_F(Extract, FileChangedBetweenCheckAndCopyFails) {
  const Bytes payload = randomBytes(std::size_t{4} << 20, 8);
  const std::pair<const char*, std::function<void(const std::string&)>> changes[] = {
      {"a payload byte near the end changes",
       [](const std::string& path) {
         Bytes file = readFile(path);
         file[file.size() - 100] ^= 0x01;
         writeFile(path, file);
       }},
      {"the file grows",
       [](const std::string& path) {
         Bytes file = readFile(path);
         file.resize(file.size() + 4, 0);
         writeFile(path, file);
       }},
  };
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    packBoth(payload);
    fs::remove(dir.path() / "pipe");
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    std::promise<void> copyStarted, changed;
    auto reader = std::async(std::launch::async, [&] {
      const int pipe = open(dir.file("pipe").c_str(), O_RDONLY);
      char byte = 0;
      // The first byte on standard output: the check is over and the copy under way.
      const bool started = pipe >= 0 && read(pipe, &byte, 1) == 1;
      copyStarted.set_value();
      changed.get_future().wait();
      Bytes rest(1 << 16);
      while (pipe >= 0 && read(pipe, rest.data(), rest.size()) > 0) {
      }
      if (pipe >= 0) close(pipe);
      return started;
    });
    RunOptions options;
    options.standardOutput = dir.file("pipe");
    RunningProgram running(kImageInfo, {"--extract", "-", dir.file("packed.img")}, options);
    copyStarted.get_future().wait();
    change(dir.file("packed.img"));
    changed.set_value();
    const ProgramResult result = running.wait();
    EXPECT_TRUE(reader.get());
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.err, "imageInfo: cannot read " + dir.file("packed.img") + ": the file changed while being read\n");
  }
}

// Standard input and output may be one thing that is not a file, such as a socket (an
// inetd-style service) or a terminal: that is no output overwriting its own input.
TEST_F(Extract, StandardInputAndOutputOnOneSocket) {
  const Bytes payload = randomBytes(100'000, 9);
  packBoth(payload);
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  RunOptions options;
  options.descriptors = {{ends[1], 0}, {ends[1], 1}};
  RunningProgram running(kImageInfo, {"--extract", "-", "-"}, options);
  close(ends[1]);
  auto writer = std::async(std::launch::async, [&] {
    const Bytes image = readFile(dir.file("stamped"));
    for (std::size_t done = 0; done < image.size();) {
      const ssize_t written = write(ends[0], image.data() + done, image.size() - done);
      if (written <= 0) break;
      done += static_cast<std::size_t>(written);
    }
    shutdown(ends[0], SHUT_WR);
  });
  Bytes received;
  unsigned char block[1 << 16];
  for (ssize_t got; (got = read(ends[0], block, sizeof block)) > 0;)
    received.insert(received.end(), block, block + got);
  writer.get();
  close(ends[0]);
  const ProgramResult result = running.wait();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(received, payload);
}
#endif
