// End-to-end, on both packers: whatever stops a run (a signal, a full disk, a refusal), the
// target is left exactly as it was and no temporary file stays behind; a completed run keeps
// what callers rely on (permission bits, links, devices).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "programs.hpp"
#include "support/expectIntact.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"

namespace fs = std::filesystem;

namespace {

struct Packer {
  const char* name;
  std::string program;
  // The arguments that pack `input` into the file `output`.
  std::function<std::vector<std::string>(const std::string& input, const std::string& output)> args;
};

const Packer kPackers[] = {
    {"packLoadable", kPackLoadable,
     [](const std::string& input, const std::string& output) {
       return std::vector<std::string>{input, output.substr(0, output.size() - 4), "NAME", "8000", "8000"};
     }},
    {"stampPack", kStampPack,
     [](const std::string& input, const std::string& output) {
       return std::vector<std::string>{input, output};
     }},
};

class OutputGuarantee : public ::testing::TestWithParam<Packer> {
 protected:
  TempDir dir;
  const std::string target = dir.file("out.img");

  ProgramResult pack(const std::string& input, const std::string& output, const RunOptions& options = {}) {
    return runProgram(GetParam().program, GetParam().args(input, output), options);
  }

  // Packs a small input into the target: the good image a failed run must not cost.
  Bytes packOldTarget() {
    writeFile(dir.file("old.bin"), randomBytes(100, 1));
    EXPECT_EQ(pack(dir.file("old.bin"), target).exitStatus, 0);
    return readFile(target);
  }

  // A sparse input of 3 GiB: long enough to copy that a signal lands in the middle.
  std::string bigInput() {
    const std::string path = dir.file("big");
    if (!fs::exists(path)) {
      std::ofstream big(path, std::ios::binary);
      big.seekp((std::streamoff{3} << 30) - 1);
      big.put('\x01');
    }
    return path;
  }

  // Waits (up to a minute) until the copy is under way: a file that `growing` names (the
  // temporary files beside a target when given none) holds more than 1 MiB.
  static bool copyUnderWay(const fs::path& where, const std::string& growing = "") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::vector<std::string> names = growing.empty() ? temporaries(where) : std::vector<std::string>{growing};
      for (const std::string& name : names) {
        std::error_code error;
        if (fs::file_size(where / name, error) > (1u << 20)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // The temporary files in a directory: the dot files the packers write beside a target.
  static std::vector<std::string> temporaries(const fs::path& where) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(where)) {
      if (entry.path().filename().string().rfind(".", 0) == 0) found.push_back(entry.path().filename().string());
    }
    return found;
  }
};

// Names the packer in test output, instead of the object's bytes.
void PrintTo(const Packer& packer, std::ostream* out) { *out << packer.name; }

std::string paramName(const ::testing::TestParamInfo<Packer>& info) { return info.param.name; }

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

mode_t permissions(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

TEST_P(OutputGuarantee, InterruptedRunLeavesTheOldTarget) {
  const Bytes old = packOldTarget();
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU, SIGALRM, SIGVTALRM,
                                 SIGPROF, SIGUSR1, SIGUSR2, SIGKILL}) {
    SCOPED_TRACE("signal " + std::to_string(signalNumber));
    RunningProgram running(GetParam().program, GetParam().args(bigInput(), target));
    ASSERT_TRUE(copyUnderWay(dir.path())) << "no temporary file grew";
    running.signal(signalNumber);
    EXPECT_EQ(running.wait().exitStatus, 128 + signalNumber);
    EXPECT_EQ(readFile(target), old);
    const std::vector<std::string> left = temporaries(dir.path());
    if (signalNumber != SIGKILL) {
      EXPECT_TRUE(left.empty()) << left.front();
    } else {
      // Nothing can clean up after SIGKILL; the stray file's name says whose it is.
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ(left[0].rfind(".out.img.", 0), 0u) << left[0];
      fs::remove(dir.path() / left[0]);
    }
  }
}

TEST_P(OutputGuarantee, FailedWriteLeavesTheOldTarget) {
  const Bytes old = packOldTarget();
  writeFile(dir.file("in"), randomBytes(3 << 20, 2));
  for (const std::uint64_t limit : {std::uint64_t{10}, std::uint64_t{1} << 20}) {
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    const RunOptions options = writesFailBeyond(limit);
    EXPECT_EQ(pack(dir.file("in"), target, options).exitStatus, 20);
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
  }
  // Where SIGXFSZ keeps its default action, the limit ends the program, which cleans up first.
  RunOptions limited;
  limited.fileSizeLimit = std::uint64_t{1} << 20;
  EXPECT_EQ(pack(dir.file("in"), target, limited).exitStatus, 128 + SIGXFSZ);
  EXPECT_EQ(readFile(target), old);
  EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
}

// Where no temporary file can be made, only a folder that refuses new files is written in place;
// any other reason is a failure that leaves the old target as it was, even when the write
// would fail next (a full disk).
TEST_P(OutputGuarantee, NoTemporaryFileLeavesTheOldTarget) {
  // Under qemu-user the shim does not take the program's mkstemp (the native runs check it).
  if (!kProgramEmulator.empty()) GTEST_SKIP() << "the preloaded mkstemp does not reach a program run under an emulator";
  const Bytes old = packOldTarget();
  writeFile(dir.file("in"), randomBytes(3000, 3));
  const struct {
    int error;
    bool inPlace;
  } cases[] = {{ENOSPC, false}, {EDQUOT, false}, {EMFILE, false}, {ENFILE, false}, {EACCES, true}, {EPERM, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(strerror(c.error)));
    RunOptions options = writesFailBeyond(100);
    options.environment = {{"LD_PRELOAD", MKSTEMP_FAILS_LIBRARY},
                           {"MKSTEMP_ERRNO", std::to_string(c.error)},
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    const ProgramResult failed = pack(dir.file("in"), target, options);
    EXPECT_EQ(failed.exitStatus, 20);
    if (c.inPlace) {
      // Written in place, and the failed write empties or removes it, as a run in place always did.
      EXPECT_NE(failed.err.find("cannot write"), std::string::npos) << failed.err;
      writeFile(target, old);
    } else {
      EXPECT_NE(failed.err.find("cannot create " + target + ": " + strerror(c.error)), std::string::npos)
          << failed.err;
      EXPECT_EQ(readFile(target), old);
    }
    EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
    // With room to write, a folder that refuses new files still gets the image in place.
    options.fileSizeLimit.reset();
    options.ignoredSignals.clear();
    EXPECT_EQ(pack(dir.file("in"), target, options).exitStatus, c.inPlace ? 0 : 20);
    EXPECT_EQ(readFile(target).size() > old.size(), c.inPlace);
  }
}

// A rename that fails at the last step: the failure gives its own reason, the target stays as
// it was and the temporary file goes.
TEST_P(OutputGuarantee, FailedRenameSaysWhyAndLeavesTheOldTarget) {
  const Bytes old = packOldTarget();
  writeFile(dir.file("in"), randomBytes(3000, 4));
  for (const int error : {EBUSY, EXDEV}) {
    SCOPED_TRACE(std::string(strerror(error)));
    RunOptions options;
    options.environment = {{"LD_PRELOAD", RENAME_FAILS_LIBRARY},
                           {"RENAME_ERRNO", std::to_string(error)},
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    const ProgramResult failed = pack(dir.file("in"), target, options);
    EXPECT_EQ(failed.exitStatus, 20);
    EXPECT_NE(failed.err.find("cannot write " + target + ": " + strerror(error)), std::string::npos) << failed.err;
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
  }
}

// A name too long for a temporary file made by adding to it (".NAME.XXXXXX") still gets one:
// up to the system's limit of 255 bytes, a failure or an interruption leaves the old target.
TEST_P(OutputGuarantee, NamesUpToTheLimitKeepTheOldTarget) {
  writeFile(dir.file("old.bin"), randomBytes(100, 1));
  writeFile(dir.file("in"), randomBytes(3 << 20, 2));
  for (const std::size_t length : {247, 248, 254, 255}) {
    SCOPED_TRACE(std::to_string(length) + " bytes");
    const std::string longTarget = dir.file(std::string(length - 4, 'o') + ".img");
    ASSERT_EQ(pack(dir.file("old.bin"), longTarget).exitStatus, 0);
    const Bytes old = readFile(longTarget);
    EXPECT_EQ(pack(dir.file("in"), longTarget, writesFailBeyond(1 << 20)).exitStatus, 20);
    EXPECT_EQ(readFile(longTarget), old);
    {
      RunningProgram running(GetParam().program, GetParam().args(bigInput(), longTarget));
      ASSERT_TRUE(copyUnderWay(dir.path())) << "no temporary file grew";
      running.signal(SIGINT);
      EXPECT_EQ(running.wait().exitStatus, 128 + SIGINT);
    }
    EXPECT_EQ(readFile(longTarget), old);
    EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(pack(dir.file("in"), longTarget).exitStatus, 0);
    expectIntact(longTarget);
    fs::remove(longTarget);
  }
}

// A signal ignored when the program started (nohup, a background job) stays ignored.
TEST_P(OutputGuarantee, SignalIgnoredAtStartStaysIgnored) {
  writeFile(dir.file("in"), randomBytes(std::size_t{48} << 20, 9));
  RunOptions nohup;
  nohup.ignoredSignals = {SIGHUP};
  RunningProgram running(GetParam().program, GetParam().args(dir.file("in"), target), nohup);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (temporaries(dir.path()).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  running.signal(SIGHUP);
  EXPECT_EQ(running.wait().exitStatus, 0);
  expectIntact(target);
}

// A pipe, a FIFO or /dev/stdout gets every byte once, in order: the same bytes as a regular
// file, and the FIFO stays a FIFO.
TEST_P(OutputGuarantee, TargetsThatCannotSeekGetTheSameBytes) {
  writeFile(dir.file("in"), randomBytes(700'000, 6));  // several copy blocks
  const ProgramResult reference = pack(dir.file("in"), target);
  ASSERT_EQ(reference.exitStatus, 0);
  const Bytes expected = readFile(target);
  ASSERT_EQ(mkfifo(dir.file("fifo.img").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  fs::create_symlink("fifo.img", dir.path() / "link.img");
  fs::create_symlink("/dev/stdout", dir.path() / "stdout.img");
  struct Case {
    const char* what;
    std::string target;
    std::string standardOutput;  // empty: captured
    std::string readFrom;        // the FIFO a reader drains, or the file to read afterwards
  };
  const Case cases[] = {
      {"a FIFO with a reader", dir.file("fifo.img"), "", dir.file("fifo.img")},
      {"a link to a FIFO", dir.file("link.img"), "", dir.file("fifo.img")},
      {"/dev/stdout on a pipe", dir.file("stdout.img"), dir.file("pipe"), dir.file("pipe")},
      {"/dev/stdout redirected to a file", dir.file("stdout.img"), dir.file("redirected"), dir.file("redirected")},
      {"/dev/fd/1 on a pipe", dir.file("fd1.img"), dir.file("pipe"), dir.file("pipe")},
      {"the redirected file by its own name", dir.file("redirected.img"), dir.file("redirected.img"),
       dir.file("redirected.img")},
  };
  fs::create_symlink("/dev/fd/1", dir.path() / "fd1.img");
  writeFile(dir.file("redirected.img"), textBytes("written before; "));
  writeFile(dir.file("redirected"), textBytes("written before; "));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool fromFifo = fs::is_fifo(c.readFrom);
    std::future<Bytes> reader;
    if (fromFifo) reader = std::async(std::launch::async, [&c] { return readFile(c.readFrom); });
    RunOptions options;
    options.standardOutput = c.standardOutput;
    const ProgramResult result = pack(dir.file("in"), c.target, options);
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    // Should the packer never open the FIFO, a writer that comes and goes lets the reader end.
    if (const int unblock = open(c.readFrom.c_str(), O_WRONLY | O_NONBLOCK); fromFifo && unblock >= 0) close(unblock);
    Bytes got = fromFifo ? reader.get() : readFile(c.readFrom);
    Bytes want = fromFifo ? Bytes{} : textBytes("written before; ");  // standard output's own append
    want.insert(want.end(), expected.begin(), expected.end());
    // Where the image goes to standard output, packLoadable's checksum line goes to standard
    // error, so that standard output carries the image alone.
    if (!c.standardOutput.empty() && GetParam().program == kPackLoadable) {
      EXPECT_EQ(result.err, reference.out);
    }
    if (GetParam().program == kStampPack && got.size() == want.size()) {  // packed on another day, perhaps
      const auto date = static_cast<long>(want.size() - expected.size() + 12);
      std::fill_n(got.begin() + date, 4, 0);
      std::fill_n(want.begin() + date, 4, 0);
    }
    EXPECT_EQ(got, want);
    EXPECT_TRUE(fs::is_fifo(dir.path() / "fifo.img"));
    EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
  }
}

// A FIFO source with no writer would hold an ordinary open for ever; it is refused at once.
TEST_P(OutputGuarantee, SourceThatIsAFifoIsRefusedAtOnce) {
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(pack(dir.file("fifo"), target).exitStatus, 20);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_FALSE(fs::exists(target));
}

TEST_P(OutputGuarantee, PermissionBitsAreKept) {
  writeFile(dir.file("in"), randomBytes(10, 3));
  ASSERT_EQ(pack(dir.file("in"), target).exitStatus, 0);
  EXPECT_EQ(permissions(target), 0666 & ~currentUmask());  // what fopen would have made
  for (const mode_t mode : {0640, 0600, 0755}) {
    SCOPED_TRACE(mode);
    fs::permissions(target, static_cast<fs::perms>(mode));
    ASSERT_EQ(pack(dir.file("in"), target).exitStatus, 0);
    EXPECT_EQ(permissions(target), mode);
  }
  // Run by root, the new file keeps the old one's owner too.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(pack(dir.file("in"), target).exitStatus, 0);
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
  }
}

// Run as an unprivileged user where the tests run as root, so that permissions bind.
TEST_P(OutputGuarantee, PermissionsDecideAsTheyDidInPlace) {
  writeFile(dir.file("in"), randomBytes(10, 4));
  fs::permissions(dir.path(), fs::perms::all);  // the unprivileged user may create files here
  RunOptions unprivileged;
  unprivileged.unprivileged = true;

  // A read-only target is refused and stays as it was.
  writeFile(target, Bytes{1, 2, 3});
  fs::permissions(target, static_cast<fs::perms>(0444));
  const ProgramResult refused = pack(dir.file("in"), target, unprivileged);
  EXPECT_EQ(refused.exitStatus, 20);
  if (GetParam().program == kPackLoadable) {
    EXPECT_EQ(refused.out, "ERROR : Can't open destination file - " + target + "\n");
  }
  EXPECT_EQ(readFile(target), (Bytes{1, 2, 3}));
  EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});

  // A writable target in a directory that takes no new file is written in place.
  fs::create_directory(dir.path() / "locked");
  const std::string locked = dir.file("locked/out.img");
  writeFile(locked, Bytes{4, 5, 6});
  fs::permissions(locked, static_cast<fs::perms>(0666));
  fs::permissions(dir.path() / "locked", static_cast<fs::perms>(0555));
  EXPECT_EQ(pack(dir.file("in"), locked, unprivileged).exitStatus, 0);
  expectIntact(locked);
  EXPECT_EQ(temporaries(dir.path() / "locked"), std::vector<std::string>{});
  // There a failure or a cleanup signal cannot remove the incomplete file: it is left empty.
  if (geteuid() == 0) {  // only an unprivileged program is kept out of the folder
    RunOptions failing = writesFailBeyond(1 << 20);
    failing.unprivileged = true;
    writeFile(dir.file("in3m"), randomBytes(3 << 20, 5));
    EXPECT_EQ(pack(dir.file("in3m"), locked, failing).exitStatus, 20);
    EXPECT_EQ(fs::file_size(locked), 0u);
    {
      RunningProgram running(GetParam().program, GetParam().args(bigInput(), locked), unprivileged);
      ASSERT_TRUE(copyUnderWay(dir.path() / "locked", "out.img")) << "the target did not grow";
      running.signal(SIGTERM);
      EXPECT_EQ(running.wait().exitStatus, 128 + SIGTERM);
    }
    EXPECT_EQ(fs::file_size(locked), 0u);
  }
  fs::permissions(dir.path() / "locked", fs::perms::all);

  // In a sticky folder such as /tmp, another user's target that everyone may write cannot be
  // replaced by a rename; it is written in place, as it always was, and keeps its owner.
  if (geteuid() == 0) {
    fs::create_directory(dir.path() / "sticky");
    fs::permissions(dir.path() / "sticky", static_cast<fs::perms>(01777));
    const std::string shared = dir.file("sticky/out.img");
    writeFile(shared, Bytes{7, 8, 9});
    fs::permissions(shared, static_cast<fs::perms>(0666));
    EXPECT_EQ(pack(dir.file("in"), shared, unprivileged).exitStatus, 0);
    expectIntact(shared);
    struct stat info {};
    ASSERT_EQ(stat(shared.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(temporaries(dir.path() / "sticky"), std::vector<std::string>{});
  }
}

// A file of a third user (neither the program's nor the folder's owner) in a sticky folder is
// written in place with a plain open: Linux refuses an open with O_CREAT there while
// fs.protected_regular is 1 or more (systemd's default), even of a file that exists.
TEST_P(OutputGuarantee, ThirdUsersFileInAStickyFolderIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to own files as three users";
  const std::string setting = "/proc/sys/fs/protected_regular";
  std::string was;
  std::getline(std::ifstream(setting), was);
  if (was.empty()) GTEST_SKIP() << "no " << setting << " on this system";
  if (was == "0" && !(std::ofstream(setting) << "1\n")) GTEST_SKIP() << setting << " is 0 and cannot be set";
  struct Restore {
    std::string path, value;
    ~Restore() {
      if (value == "0") std::ofstream(path) << value << "\n";
    }
  } restore{setting, was};

  writeFile(dir.file("in"), randomBytes(10, 4));
  fs::permissions(dir.path(), fs::perms::all);
  fs::create_directory(dir.path() / "sticky");
  fs::permissions(dir.path() / "sticky", static_cast<fs::perms>(01777));  // root's, as /tmp is
  const std::string shared = dir.file("sticky/out.img");
  writeFile(shared, Bytes{7, 8, 9});
  fs::permissions(shared, static_cast<fs::perms>(0666));
  constexpr uid_t kThirdUser = 65533;
  ASSERT_EQ(chown(shared.c_str(), kThirdUser, kThirdUser), 0);
  RunOptions unprivileged;
  unprivileged.unprivileged = true;
  EXPECT_EQ(pack(dir.file("in"), shared, unprivileged).exitStatus, 0);
  expectIntact(shared);
  struct stat info {};
  ASSERT_EQ(stat(shared.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kThirdUser);
  // Interrupted there, the file that cannot be removed is emptied: never left half written.
  {
    RunningProgram running(GetParam().program, GetParam().args(bigInput(), shared), unprivileged);
    ASSERT_TRUE(copyUnderWay(dir.path() / "sticky", "out.img")) << "the target did not grow";
    running.signal(SIGINT);
    EXPECT_EQ(running.wait().exitStatus, 128 + SIGINT);
  }
  EXPECT_EQ(fs::file_size(shared), 0u);
}

// Where the target is left in place because it is not ours to remove, a failed run leaves it:
// the file standard output has open when the final close fails, and the file another
// descriptor's link leads to when a write fails, whatever other file that link's text names.
TEST_P(OutputGuarantee, FailureLeavesAFileItMayNotRemove) {
  writeFile(dir.file("in"), randomBytes(700'000, 12));
  // Standard output appended to a file, as >> does, and named as the target.
  writeFile(dir.file("redirected"), textBytes("written before; "));
  RunOptions closeFails;
  closeFails.standardOutput = dir.file("redirected");
  closeFails.environment = {{"LD_PRELOAD", CLOSE_FAILS_LIBRARY}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  fs::create_symlink("/dev/stdout", dir.path() / "stdout.img");  // a name packLoadable can be given too
  EXPECT_EQ(pack(dir.file("in"), dir.file("stdout.img"), closeFails).exitStatus, 20);
  ASSERT_TRUE(fs::exists(dir.path() / "redirected"));
  const Bytes kept = readFile(dir.file("redirected"));
  EXPECT_EQ(Bytes(kept.begin(), kept.begin() + 16), textBytes("written before; "));

  // Descriptor 3 on a file that was deleted: its link reads "<name> (deleted)", and a file of
  // that name is someone else's.
  const int open3 = open(dir.file("gone").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(open3, 0);
  fs::remove(dir.path() / "gone");
  writeFile(dir.file("gone (deleted)"), textBytes("unrelated"));
  RunOptions failingWrite = writesFailBeyond(1000);
  failingWrite.descriptors = {{open3, 3}};
  fs::create_symlink("/dev/fd/3", dir.path() / "fd3.img");
  EXPECT_EQ(pack(dir.file("in"), dir.file("fd3.img"), failingWrite).exitStatus, 20);
  close(open3);
  EXPECT_EQ(readFile(dir.file("gone (deleted)")), textBytes("unrelated"));
}

// A reader that leaves early is a failed write, never a success: the program dies of SIGPIPE,
// or where SIGPIPE is ignored it fails with status 20.
TEST_P(OutputGuarantee, ReaderThatLeavesEarlyFailsTheRun) {
  writeFile(dir.file("in"), randomBytes(1 << 20, 10));
  ASSERT_EQ(mkfifo(dir.file("fifo.img").c_str(), 0600), 0);
  RunOptions sigpipeIgnored;
  sigpipeIgnored.ignoredSignals = {SIGPIPE};
  const std::pair<RunOptions, int> cases[] = {{{}, 128 + SIGPIPE}, {sigpipeIgnored, 20}};
  for (const auto& [options, status] : cases) {
    SCOPED_TRACE(status);
    auto reader = std::async(std::launch::async, [&] {
      const int fifo = open(dir.file("fifo.img").c_str(), O_RDONLY);
      char first[10];
      const bool read10 = fifo >= 0 && read(fifo, first, sizeof first) > 0;
      if (fifo >= 0) close(fifo);
      return read10;
    });
    EXPECT_EQ(pack(dir.file("in"), dir.file("fifo.img"), options).exitStatus, status);
    EXPECT_TRUE(reader.get());
    EXPECT_TRUE(fs::is_fifo(dir.path() / "fifo.img"));
  }
}

TEST_P(OutputGuarantee, LinksStayLinksAndDevicesAreWrittenInPlace) {
  writeFile(dir.file("in"), randomBytes(20, 5));
  fs::create_directory(dir.path() / "real");
  writeFile(dir.file("real/file.img"), Bytes{9, 9});
  fs::create_symlink("real/file.img", target);  // relative, from the link's own directory
  ASSERT_EQ(pack(dir.file("in"), target).exitStatus, 0);
  EXPECT_TRUE(fs::is_symlink(target));
  expectIntact(dir.file("real/file.img"));

  // A dangling link creates the file it names.
  fs::create_symlink(dir.path() / "real" / "new.img", dir.path() / "dangling.img");
  ASSERT_EQ(pack(dir.file("in"), dir.file("dangling.img")).exitStatus, 0);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "dangling.img"));
  expectIntact(dir.file("real/new.img"));

  // A relative link counts from its own directory, not from where the program runs.
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink("new.img", dir.path() / "sub" / "relative.img");
  RunOptions elsewhere;
  elsewhere.workingDirectory = dir.path().string();
  ASSERT_EQ(pack(dir.file("in"), dir.file("sub/relative.img"), elsewhere).exitStatus, 0);
  expectIntact(dir.file("sub/new.img"));
  EXPECT_FALSE(fs::exists(dir.path() / "new.img"));

  // A loop of links is refused, as opening it always was, and stays as it was.
  fs::create_symlink("loop.img", dir.path() / "loop.img");
  EXPECT_EQ(pack(dir.file("in"), dir.file("loop.img")).exitStatus, 20);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "loop.img"));

  // A device takes the bytes directly.
  fs::create_symlink("/dev/null", dir.path() / "null.img");
  EXPECT_EQ(pack(dir.file("in"), dir.file("null.img")).exitStatus, 0);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "null.img"));
  EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
  EXPECT_EQ(temporaries(dir.path() / "real"), std::vector<std::string>{});
}

TEST_P(OutputGuarantee, RunsAtOnceLeaveOneCompleteImage) {
  constexpr int kRuns = 8;
  std::vector<Bytes> inputs;
  for (int i = 0; i < kRuns; ++i) {
    inputs.push_back(randomBytes(std::size_t{1} << 20, static_cast<std::uint32_t>(10 + i)));
    writeFile(dir.file("in" + std::to_string(i)), inputs.back());
  }
  {
    std::vector<std::unique_ptr<RunningProgram>> runs;
    for (int i = 0; i < kRuns; ++i) {
      runs.push_back(std::make_unique<RunningProgram>(GetParam().program,
                                                      GetParam().args(dir.file("in" + std::to_string(i)), target)));
    }
    for (auto& run : runs) EXPECT_EQ(run->wait().exitStatus, 0);
  }
  expectIntact(target);
  const Bytes result = readFile(target);
  const std::size_t headerSize = GetParam().program == kPackLoadable ? 44 : 16;
  const Bytes payload(result.begin() + static_cast<long>(headerSize), result.end());
  EXPECT_NE(std::find(inputs.begin(), inputs.end(), payload), inputs.end());
  EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(BothPackers, OutputGuarantee, ::testing::ValuesIn(kPackers), paramName);

// A line the caller never receives is a failure: standard output on a full disk, or closed.
TEST(StandardOutput, LostOutputIsAFailure) {
  TempDir dir;
  writeFile(dir.file("in"), randomBytes(100, 20));
  ASSERT_EQ(runProgram(kPackLoadable, {dir.file("in"), dir.file("good"), "N", "0", "0"}).exitStatus, 0);
  struct Case {
    const char* where;
    std::string standardOutput;
    std::string reason;
  };
  const Case cases[] = {{"full disk", "/dev/full", "No space left on device"},
                        {"closed", kClosedOutput, "Bad file descriptor"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    RunOptions options;
    options.standardOutput = c.standardOutput;
    // packLoadable: the checksum line is lost, so the run failed; the image is still complete.
    fs::remove(dir.path() / "out.img");
    EXPECT_EQ(runProgram(kPackLoadable, {dir.file("in"), dir.file("out"), "N", "0", "0"}, options).exitStatus, 20);
    expectIntact(dir.file("out.img"));
    // stampPack prints nothing, so it loses nothing.
    EXPECT_EQ(runProgram(kStampPack, {dir.file("in"), dir.file("stamped")}, options).exitStatus, 0);
    expectIntact(dir.file("stamped"));
    // imageInfo says once that the report is lost, in text and in JSON.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{dir.file("good.img")}, std::vector<std::string>{"--json", dir.file("good.img")}}) {
      const ProgramResult info = runProgram(kImageInfo, args, options);
      EXPECT_EQ(info.exitStatus, 2);
      EXPECT_EQ(info.err, "imageInfo: cannot write the report: " + c.reason + "\n");
    }
  }
}
