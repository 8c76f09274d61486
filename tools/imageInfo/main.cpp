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

#include "fileSupport.hpp"
#include "imageCheck.hpp"
#include "outputFile.hpp"
#include "programMain.hpp"
#include "reportFormat.hpp"
#include "standardStreams.hpp"

namespace {

constexpr int kExitDamaged = 1;  // a file is damaged or not a recognised image
constexpr int kExitTrouble = 2;  // usage error, or a file that cannot be read

constexpr const char* kUsage = "usage: imageInfo [--json] [--extract OUT] FILE...\n";

// The path reports give standard input, named "-" on the command line.
constexpr const char* kStandardInputName = "<stdin>";

// A file being read: a regular file, whose length is known before reading, or standard input,
// whose length is what arrives.
struct Input {
  Stream owned;
  std::FILE* stream = nullptr;
  std::optional<std::uint64_t> length;
};

// Opens `path` ("-": standard input) for reading; nullopt, with the reason on standard error,
// when it cannot be read.
std::optional<Input> openInput(const std::string& path) {
  Input input;
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // the bytes as they are, not text
#endif
    input.stream = stdin;
    return input;
  }
  errno = 0;
  input.owned = openStream(path, "rb");
  const int openError = errno;
  std::error_code ignored;
  // Some systems refuse to open a directory at all; say the same as where it opens.
  if (!input.owned && !std::filesystem::is_directory(nativePath(path), ignored)) {
    std::fprintf(stderr, "imageInfo: cannot open %s: %s\n", path.c_str(),
                 openError != 0 ? std::strerror(openError) : "unknown error");
    return std::nullopt;
  }
  input.length = input.owned ? regularFileSize(input.owned.get()) : std::nullopt;
  if (!input.length) {
    std::fprintf(stderr, "imageInfo: cannot read %s: not a regular file\n", path.c_str());
    return std::nullopt;
  }
  input.stream = input.owned.get();
  return input;
}

// Reads the whole input in blocks, in order, handing each to onBlock(std::span<const unsigned
// char>); false, with the reason on standard error, on a read error or a file shorter than its
// length.
template <typename OnBlock>
bool readInput(const std::string& path, Input& input, OnBlock&& onBlock) {
  alignas(4096) static std::array<unsigned char, kCopyBlockSize> buffer;
  if (input.length) {
    const CopyStatus status = readBytes(input.stream, *input.length, buffer, [&](std::span<const unsigned char> block) {
      onBlock(block);
      return true;
    });
    if (status == CopyStatus::ok) return true;
    std::fprintf(stderr, "imageInfo: cannot read %s: read error, or the file shrank while being read\n", path.c_str());
    return false;
  }
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), input.stream)) > 0) {
    onBlock(std::span<const unsigned char>(buffer.data(), got));
  }
  if (std::ferror(input.stream) == 0) return true;
  std::fprintf(stderr, "imageInfo: cannot read %s: %s\n", kStandardInputName, std::strerror(errno != 0 ? errno : EIO));
  return false;
}

// The path a report shows for a command-line FILE.
std::string shownPath(const std::string& path) { return path == "-" ? kStandardInputName : path; }

// Reads the whole file through an ImageCheck; nullopt, with the reason on standard error,
// when the file cannot be read.
std::optional<ImageReport> inspect(const std::string& path) {
  auto input = openInput(path);
  if (!input) return std::nullopt;
  ImageCheck check;
  if (!readInput(path, *input, [&check](std::span<const unsigned char> block) { check.update(block); })) {
    return std::nullopt;
  }
  return check.finish();
}

// Prints one file's report, the first with first set; extractedTo names where its payload went.
void printReport(const std::string& path, const ImageReport& report, bool json, bool first,
                 const std::string* extractedTo = nullptr) {
  if (json) {
    std::printf("%s\n  %s", first ? "" : ",", reportJson(shownPath(path), report, extractedTo).c_str());
  } else {
    std::printf("%s%s", first ? "" : "\n", reportText(shownPath(path), report).c_str());
    if (extractedTo != nullptr) std::printf("payload written to %s\n", escapePath(*extractedTo).c_str());
  }
  flushStandardOutput();  // keep results and read problems in order on a shared terminal
}

// --extract: reads `path` once, streaming its payload into a temporary file beside `outPath`
// while the check value runs, and puts it in place only when the file turns out intact.
// Returns the exit status.
int extractPayload(const std::string& path, const std::string& outPath, bool json) {
  if (path != "-" && isSameFile(path, outPath)) {
    std::fprintf(stderr, "imageInfo: %s is the file being read\n", outPath.c_str());
    return kExitTrouble;
  }
  auto input = openInput(path);
  if (!input) return kExitTrouble;
  OutputFile out;
  errno = 0;
  if (!out.open(outPath)) {
    std::fprintf(stderr, "imageInfo: cannot create %s: %s\n", outPath.c_str(), std::strerror(errno != 0 ? errno : EIO));
    return kExitTrouble;
  }

  PayloadExtractor extractor;
  bool writeFailed = false;
  const auto write = [&](std::span<const unsigned char> payload) {
    writeFailed = writeFailed || std::fwrite(payload.data(), 1, payload.size(), out.stream()) != payload.size();
  };
  if (!readInput(path, *input, [&](std::span<const unsigned char> block) { extractor.update(block, write); })) {
    return kExitTrouble;  // the output is discarded with `out`
  }
  const ImageReport report = extractor.finish(write);
  if (!report.intact) {
    out.discard();
    if (json) std::fputs("[", stdout);
    printReport(path, report, json, true);
    if (json) std::fputs("\n]\n", stdout);
    return kExitDamaged;
  }
  if (writeFailed || !out.commit()) {
    const int reason = errno != 0 ? errno : EIO;
    out.discard();
    std::fprintf(stderr, "imageInfo: cannot write %s: %s\n", outPath.c_str(), std::strerror(reason));
    return kExitTrouble;
  }
  if (json) std::fputs("[", stdout);
  printReport(path, report, json, true, &outPath);
  if (json) std::fputs("\n]\n", stdout);
  return 0;
}

int run(const std::vector<std::string>& args) {
  prepareStandardStreams();
  bool json = false;
  std::optional<std::string> extractTo;
  std::vector<std::string> paths;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view argument = args[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument == "--json") {
      json = true;
    } else if (!optionsEnded && (argument == "--extract" || argument.rfind("--extract=", 0) == 0)) {
      if (argument == "--extract" && i + 1 == args.size()) {
        std::fprintf(stderr, "imageInfo: --extract needs an output file\n");
        return kExitTrouble;
      }
      extractTo = argument == "--extract" ? args[++i] : std::string(argument.substr(10));
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      std::fprintf(stderr, "imageInfo: unknown option %s\n%s", args[i].c_str(), kUsage);
      return kExitTrouble;
    } else {
      paths.emplace_back(argument);
    }
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
  if (extractTo) return finishStandardOutput(extractPayload(paths[0], *extractTo, json), kExitTrouble, kLostReport);

  int worst = 0;
  bool first = true;
  if (json) std::fputs("[", stdout);
  for (const std::string& path : paths) {
    const auto report = inspect(path);
    if (!report) {
      worst = kExitTrouble;
      continue;
    }
    if (!report->intact) worst = std::max(worst, kExitDamaged);
    printReport(path, *report, json, first);
    first = false;
  }
  if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
  return finishStandardOutput(worst, kExitTrouble, kLostReport);
}

}  // namespace

IMAGEPACK_MAIN(run)
