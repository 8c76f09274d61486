// imageInfo: says what each file is (a load image, a stamped image, or neither), shows its header
// and whether its payload still matches its check value.

#include <algorithm>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commandLine.hpp"
#include "elfMatch.hpp"
#include "elfOptions.hpp"
#include "elfPayload.hpp"
#include "fileSupport.hpp"
#include "imageCheck.hpp"
#include "outputFile.hpp"
#include "programMain.hpp"
#include "reportFormat.hpp"
#include "standardStreams.hpp"
#include "textEscape.hpp"

#ifdef __MINGW32__
// FILE arguments are used as typed, whatever default the C runtime was built with.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace {

constexpr int kExitDamaged = 1;  // a file is damaged or not a recognised image
constexpr int kExitTrouble = 2;  // usage error, or a file that cannot be read

constexpr const char* kUsage =
    "usage: imageInfo [--json] [--] FILE...\n"
    "       imageInfo [--json] --extract OUT [--] FILE\n"
    "       imageInfo [--json] --elf ELF [--exec ADDRESS] [--max-gap BYTES]\n"
    "                 [--remove-section NAME]... [--] IMAGE\n";

constexpr const char* kHelp =
    "Says whether each FILE is a load image or a stamped image, shows its header and checks its\n"
    "payload against the stored check value. FILE - is standard input.\n"
    "  --json         the reports as one JSON array, an object per FILE\n"
    "  --extract OUT  with one FILE: write its payload to OUT if it is intact (- for standard output)\n"
    "  --elf ELF      with one IMAGE: whether it is what packLoadable --elf makes of ELF (status 0\n"
    "                 when it is, 1 when not, with the first difference; 2 when either file cannot\n"
    "                 be read, the ELF is refused or IMAGE is not a load image)\n"
    "  --exec ADDRESS, --max-gap BYTES, --remove-section NAME\n"
    "                 with --elf: the ELF read as packLoadable --elf read it with these options\n"
    "  --             ends the options: every argument after it is a FILE\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "Status: 0 every FILE intact, 1 some FILE damaged or not an image, 2 a usage error or a FILE\n"
    "that cannot be read.\n";

// The path reports give standard input, named "-" on the command line.
constexpr const char* kStandardInputName = "<stdin>";

// A file being read: a regular file, whose length is known before reading, or standard input,
// whose length is what arrives.
struct Input {
  Stream owned;
  std::FILE* stream = nullptr;
  std::optional<std::uint64_t> length;
};

// Says a problem on standard error, as "imageInfo: PROBLEM".
void sayProblem(const std::string& problem) { std::fprintf(stderr, "imageInfo: %s\n", problem.c_str()); }

// Opens `path` ("-": standard input) for reading; nullopt, with *problem saying why, when it
// cannot be read. A FIFO or a device is refused at once, without waiting for a writer.
std::optional<Input> openInput(const std::string& path, std::string* problem) {
  Input input;
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // the bytes as they are, not text
#endif
    input.stream = stdin;
    return input;
  }
  errno = 0;
  bool notRegular = false;
  input.owned = openRegularFile(path, &notRegular);
  if (!input.owned) {
    *problem = inputRefusal(path, notRegular, errno);
    return std::nullopt;
  }
  input.length = regularFileSize(input.owned.get());
  input.stream = input.owned.get();
  return input;
}

// Reads the whole input in blocks, in order, handing each to onBlock(std::span<const unsigned
// char>); false, with *problem saying why, on a read error or a file shorter than its length.
template <typename OnBlock>
bool readInput(const std::string& path, Input& input, OnBlock&& onBlock, std::string* problem) {
  const std::span<unsigned char> buffer = copyBuffer().first(kCopyBlockSize);
  if (input.length) {
    const CopyStatus status = readBytes(input.stream, *input.length, buffer, [&](std::span<const unsigned char> block) {
      onBlock(block);
      return true;
    });
    if (status == CopyStatus::ok) return true;
    *problem = "cannot read " + escapePath(path) + ": read error, or the file shrank while being read";
    return false;
  }
  std::size_t got = 0;
  errno = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), input.stream)) > 0) {
    onBlock(std::span<const unsigned char>(buffer.data(), got));
  }
  if (std::ferror(input.stream) == 0) return true;
  *problem = std::string("cannot read ") + kStandardInputName + ": " + systemReason(errno);
  return false;
}

// The path a report shows for a command-line FILE.
std::string shownPath(const std::string& path) { return path == "-" ? kStandardInputName : path; }

// Reads the whole file through an ImageCheck; nullopt, with *problem saying why, when the file
// cannot be read.
std::optional<ImageReport> inspect(const std::string& path, std::string* problem) {
  auto input = openInput(path, problem);
  if (!input) return std::nullopt;
  ImageCheck check;
  if (!readInput(
          path, *input, [&check](std::span<const unsigned char> block) { check.update(block); }, problem)) {
    return std::nullopt;
  }
  return check.finish();
}

// Prints one file's report to `to`, the first with first set; extractedTo names where its
// payload went.
void printReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json, bool first,
                 const std::string* extractedTo = nullptr) {
  if (json) {
    std::fprintf(to, "%s\n  %s", first ? "" : ",", reportJson(shownPath(path), report, extractedTo).c_str());
  } else {
    std::fprintf(to, "%s%s", first ? "" : "\n", reportText(shownPath(path), report).c_str());
    if (extractedTo != nullptr) std::fprintf(to, "payload written to %s\n", escapePath(*extractedTo).c_str());
  }
  flushStandardOutput();  // keep results and read problems in order on a shared terminal
}

// Prints the report of an --extract as a whole: a JSON array of one, or the text block.
void printExtractReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json,
                        const std::string* extractedTo = nullptr) {
  if (json) std::fputs("[", to);
  printReport(to, path, report, json, true, extractedTo);
  if (json) std::fputs("\n]\n", to);
}

// Whether --extract's OUT is standard output: "-", or a path to the file it has open.
bool isStandardOutput(const std::string& outPath) { return outPath == "-" || namesStandardOutput(outPath); }

// Whether FILE ("-": standard input) and OUT ("-": standard output) are one regular file.
bool readsItsOwnOutput(const std::string& path, const std::string& outPath) {
  if (path != "-" && outPath != "-" && isSameFile(path, outPath)) return true;
  const auto input = path == "-" ? fileIdentity(0) : fileIdentity(path);
  const auto output = outPath == "-" ? fileIdentity(1) : fileIdentity(outPath);
  return input && input->regular && input == output;
}

enum class Extraction { done, damaged, unreadable, unwritable };

// Writes payload pieces to `out`, remembering the first failure and its reason; nothing more is
// written after one.
struct PayloadWriter {
  std::FILE* out;
  int& error;
  bool failed = false;
  void operator()(std::span<const unsigned char> payload) {
    if (failed || std::fwrite(payload.data(), 1, payload.size(), out) == payload.size()) return;
    failed = true;
    error = errno;
  }
};

// Streams the payload into `out` while the check value runs, in one pass: for an output that
// is kept only if the file turns out intact (a temporary file). report: the file's report.
Extraction streamPayload(const std::string& path, Input& input, std::FILE* out, ImageReport& report, int& writeError,
                         std::string* problem) {
  PayloadExtractor extractor;
  PayloadWriter write{out, writeError};
  if (!readInput(
          path, input, [&](std::span<const unsigned char> block) { extractor.update(block, write); }, problem)) {
    return Extraction::unreadable;
  }
  report = extractor.finish(write);
  if (!report.intact) return Extraction::damaged;
  return write.failed ? Extraction::unwritable : Extraction::done;
}

// Writes the payload to `out` only once the whole file is known intact, for an output that
// takes every byte as it comes (standard output, a pipe): a regular FILE is checked, then read
// again for the copy, which must find the same file; standard input is kept in a scratch file
// while it is checked, and copied from there.
Extraction copyVerifiedPayload(const std::string& path, Input& input, std::FILE* out, ImageReport& report,
                               int& writeError, std::string* problem) {
  Stream spool;
  if (!input.length && !(spool = openSpoolFile())) {
    *problem = std::string("cannot read ") + kStandardInputName + ": no scratch file: " + systemReason(errno);
    return Extraction::unreadable;
  }
  ImageCheck check;
  std::uint64_t spooled = 0;
  bool spoolFailed = false;
  if (!readInput(
          path, input,
          [&](std::span<const unsigned char> block) {
            check.update(block);
            if (!spool) return;
            spoolFailed = spoolFailed || std::fwrite(block.data(), 1, block.size(), spool.get()) != block.size();
            spooled += block.size();
          },
          problem)) {
    return Extraction::unreadable;
  }
  if (spoolFailed) {
    *problem =
        std::string("cannot read ") + kStandardInputName + ": no room for a scratch copy: " + systemReason(errno);
    return Extraction::unreadable;
  }
  report = check.finish();
  if (!report.intact) return Extraction::damaged;

  std::FILE* source = spool ? spool.get() : input.stream;
  const std::uint64_t length = spool ? spooled : *input.length;
  PayloadExtractor extractor;
  PayloadWriter write{out, writeError};
  const bool reread =
      std::fseek(source, 0, SEEK_SET) == 0 &&
      readBytes(source, length, copyBuffer().first(kCopyBlockSize), [&](std::span<const unsigned char> block) {
        extractor.update(block, write);
        return !write.failed;
      }) != CopyStatus::readFailed;
  if (write.failed) return Extraction::unwritable;
  const ImageReport again = extractor.finish(write);
  if (write.failed) return Extraction::unwritable;
  if (!reread || reportJson("", again) != reportJson("", report) || (!spool && regularFileSize(source) != length)) {
    *problem = "cannot read " + escapePath(path) + ": the file changed while being read";
    return Extraction::unreadable;
  }
  return Extraction::done;
}

// --extract: gives OUT the payload of FILE only if FILE is intact. A regular OUT is written
// through a temporary file put in place at the end; standard output and other outputs that
// take bytes as they come get only verified bytes. With the payload on standard output, the
// report goes to standard error. Returns the exit status.
int extractPayload(const std::string& path, const std::string& outPath, bool json) {
  if (readsItsOwnOutput(path, outPath)) {
    sayProblem(escapePath(outPath) + " is the file being read");
    return kExitTrouble;
  }
  std::string problem;
  auto input = openInput(path, &problem);
  if (!input) {
    sayProblem(problem);
    return kExitTrouble;
  }

  const bool toStandardOutput = isStandardOutput(outPath);
  std::FILE* reportTo = toStandardOutput ? stderr : stdout;
  OutputFile file;
  std::FILE* out = stdout;
  if (toStandardOutput) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // large blocks already; a failed write shows at once
  } else {
    errno = 0;
    if (!file.open(outPath)) {
      sayProblem("cannot create " + escapePath(outPath) + ": " + systemReason(errno));
      return kExitTrouble;
    }
    out = file.stream();
  }

  ImageReport report;
  int writeError = 0;
  const Extraction extraction = !toStandardOutput && file.seekable()
                                    ? streamPayload(path, *input, out, report, writeError, &problem)
                                    : copyVerifiedPayload(path, *input, out, report, writeError, &problem);
  if (extraction == Extraction::unreadable) {  // the output is discarded with `file`
    sayProblem(problem);
    return kExitTrouble;
  }
  if (extraction == Extraction::damaged) {
    file.discard();
    printExtractReport(reportTo, path, report, json);
    return kExitDamaged;
  }
  errno = 0;
  if (extraction == Extraction::unwritable || (!toStandardOutput && !file.commit())) {
    const int reason = writeError != 0 ? writeError : errno != 0 ? errno : EIO;
    file.discard();
    if (toStandardOutput) std::clearerr(stdout);  // said here, and not again as a lost report
    sayProblem("cannot write " + escapePath(outPath) + ": " + systemReason(reason));
    return kExitTrouble;
  }
  printExtractReport(reportTo, path, report, json, &outPath);
  return 0;
}

// --elf: whether IMAGE is what packLoadable --elf makes of ELF with the same `options`. Returns
// the exit status.
int matchElf(const std::string& elfPath, const ElfOptions& options, const std::string& imagePath, bool json) {
  // A failure is said on standard error and, for scripts, as an object with an error member.
  const auto trouble = [&](const std::string& problem) {
    sayProblem(problem);
    if (json) {
      std::string element = errorJson(shownPath(imagePath), problem);
      element.insert(element.find(", \"error\""), ", \"elf\": " + jsonString(elfPath));
      std::printf("%s\n", element.c_str());
    }
    return kExitTrouble;
  };
  // The ELF's payload, laid out once in a scratch file, is read again beside the image's.
  WordSum elfSum;
  SpooledElf elf = spoolElfPayload(elfPath, options, [&elfSum](std::span<const unsigned char> bytes) { elfSum.update(bytes); });
  if (elf.problem != SpooledElf::Problem::none) return trouble(elf.reason);
  std::FILE* spool = elf.spool.get();
  const ElfPayload& payload = elf.payload;

  std::string problem;
  auto input = openInput(imagePath, &problem);
  if (!input) return trouble(problem);
  // The image's payload bytes, from offset 44 up to the shorter of the two payloads, against the
  // ELF's, in order.
  ImageCheck check;
  std::array<unsigned char, kLoadImageHeaderSize> header{};
  std::uint64_t offset = 0;
  std::optional<PayloadDifference> difference;
  std::vector<unsigned char> elfBytes;
  bool spoolFailed = false;
  const bool readAll = readInput(
      imagePath, *input,
      [&](std::span<const unsigned char> block) {
        check.update(block);
        for (std::size_t i = 0; i < block.size() && offset + i < header.size(); ++i) {
          header[static_cast<std::size_t>(offset) + i] = block[i];
        }
        const std::uint64_t blockStart = offset;
        offset += block.size();
        if (offset <= kLoadImageHeaderSize || difference || spoolFailed) return;
        const std::uint64_t compared = std::min<std::uint64_t>(decodeLoadImageHeader(header).imageSize, payload.size);
        const std::uint64_t first = std::max<std::uint64_t>(blockStart, kLoadImageHeaderSize);
        const std::uint64_t last = std::min<std::uint64_t>(offset, kLoadImageHeaderSize + compared);
        if (first >= last) return;
        elfBytes.resize(static_cast<std::size_t>(last - first));
        if (std::fread(elfBytes.data(), 1, elfBytes.size(), spool) != elfBytes.size()) {
          spoolFailed = true;
          return;
        }
        for (std::size_t i = 0; i < elfBytes.size(); ++i) {
          const unsigned char imageByte = block[static_cast<std::size_t>(first - blockStart) + i];
          if (imageByte != elfBytes[i]) {
            difference = PayloadDifference{first - kLoadImageHeaderSize + i, imageByte, elfBytes[i]};
            break;
          }
        }
      },
      &problem);
  if (!readAll || spoolFailed) return trouble(spoolFailed ? "cannot read " + escapePath(elfPath) + "'s payload back" : problem);
  const ImageReport report = check.finish();
  if (report.format != ImageFormat::loadImage) {
    // Say what it is where it is something: an ELF is compared with a load image only.
    return trouble(escapePath(shownPath(imagePath)) +
                   (report.format == ImageFormat::stampedImage
                        ? " is a stamped image, not a load image: --elf compares a load image with its ELF"
                        : " is not a load image: " + report.verdict));
  }
  const ElfComparison comparison = compareWithElf(report, payload, elfSum.finish(), difference);
  if (json) {
    std::printf("%s\n", elfComparisonJson(shownPath(imagePath), elfPath, comparison).c_str());
  } else {
    std::fputs(elfComparisonText(shownPath(imagePath), elfPath, comparison).c_str(), stdout);
  }
  return comparison.matches ? 0 : kExitDamaged;
}

int run(const std::vector<std::string>& args) {
  prepareStandardStreams();
  const auto optionsEnd = static_cast<std::size_t>(std::find(args.begin(), args.end(), "--") - args.begin());
  switch (answerHelpOrVersion(
      args, "imageInfo",
      [] {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
      },
      optionsEnd)) {
    case ConventionalOption::answered:
      return finishStandardOutput(0, kExitTrouble, "imageInfo: cannot write the report: ");
    case ConventionalOption::misused:
      std::fputs(kUsage, stderr);
      return kExitTrouble;
    case ConventionalOption::absent:
      break;
  }
  bool json = false;
  std::optional<std::string> extractTo;
  std::optional<std::string> elfPath;
  ElfOptions elfOptions;
  bool elfOptionGiven = false;
  std::vector<std::string> paths;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view argument = args[i];
    std::string problem;
    const ElfOptionTaken taken = optionsEnded ? ElfOptionTaken::no : takeElfOption(args, i, elfOptions, problem);
    if (taken == ElfOptionTaken::refused) {
      std::fprintf(stderr, "imageInfo: %s\n", problem.c_str());
      return kExitTrouble;
    }
    if (taken == ElfOptionTaken::taken) {
      elfOptionGiven = true;
    } else if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument == "--json") {
      json = true;
    } else if (!optionsEnded && (argument == "--extract" || argument.rfind("--extract=", 0) == 0)) {
      if ((argument == "--extract" && i + 1 == args.size()) || argument == "--extract=") {
        std::fputs("imageInfo: --extract needs an output file\n", stderr);
        return kExitTrouble;
      }
      extractTo = argument == "--extract" ? args[++i] : std::string(argument.substr(10));
    } else if (!optionsEnded && (argument == "--elf" || argument.rfind("--elf=", 0) == 0)) {
      if ((argument == "--elf" && i + 1 == args.size()) || argument == "--elf=") {
        std::fputs("imageInfo: --elf needs an ELF file\n", stderr);
        return kExitTrouble;
      }
      elfPath = argument == "--elf" ? args[++i] : std::string(argument.substr(6));
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      std::fprintf(stderr, "imageInfo: unknown option %s\n%s", escapePath(args[i]).c_str(), kUsage);
      return kExitTrouble;
    } else {
      paths.emplace_back(argument);
    }
  }
  if (elfOptionGiven && !elfPath) {
    std::fputs("imageInfo: --exec, --max-gap and --remove-section go with --elf only\n", stderr);
    return kExitTrouble;
  }
  if (elfPath && extractTo) {
    std::fputs("imageInfo: --elf and --extract do not go together\n", stderr);
    return kExitTrouble;
  }
  if (elfPath && paths.size() != 1) {
    std::fprintf(stderr, "imageInfo: --elf takes exactly one IMAGE, not %zu\n", paths.size());
    return kExitTrouble;
  }
  if (elfPath) {
    const int status = matchElf(*elfPath, elfOptions, paths[0], json);
    return finishStandardOutput(status, kExitTrouble, "imageInfo: cannot write the report: ");
  }
  if (extractTo && paths.size() != 1) {
    std::fprintf(stderr, "imageInfo: --extract takes exactly one FILE, not %zu\n", paths.size());
    return kExitTrouble;
  }
  if (paths.empty()) {
    std::fputs(kUsage, stderr);
    return kExitTrouble;
  }
  // A report that did not arrive in full must not look like a good one.
  constexpr const char* kLostReport = "imageInfo: cannot write the report: ";
  if (extractTo) {
    const std::string lostPayload = "imageInfo: cannot write " + escapePath(*extractTo) + ": ";
    const bool payloadOnStandardOutput = isStandardOutput(*extractTo);
    const int status = extractPayload(paths[0], *extractTo, json);
    return finishStandardOutput(status, kExitTrouble, payloadOnStandardOutput ? lostPayload.c_str() : kLostReport);
  }

  int worst = 0;
  bool first = true;
  if (json) std::fputs("[", stdout);
  for (const std::string& path : paths) {
    std::string problem;
    const auto report = inspect(path, &problem);
    if (!report) {
      worst = kExitTrouble;
      sayProblem(problem);
      // In JSON every FILE has its element: one that could not be read says why.
      if (json) std::fprintf(stdout, "%s\n  %s", first ? "" : ",", errorJson(shownPath(path), problem).c_str());
      first = first && !json;
      flushStandardOutput();
      continue;
    }
    if (!report->intact) worst = std::max(worst, kExitDamaged);
    printReport(stdout, path, *report, json, first);
    first = false;
  }
  if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
  return finishStandardOutput(worst, kExitTrouble, kLostReport);
}

}  // namespace

IMAGEPACK_MAIN(run)
