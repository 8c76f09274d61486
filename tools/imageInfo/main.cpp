// imageInfo: says what each file is (a load image, a stamped image, or neither), shows its header
// and whether its payload still matches its check value.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fileSupport.hpp"
#include "imageCheck.hpp"
#include "reportFormat.hpp"
#include "standardStreams.hpp"

namespace {

constexpr int kExitDamaged = 1;  // a file is damaged or not a recognised image
constexpr int kExitTrouble = 2;  // usage error, or a file that cannot be read

constexpr const char* kUsage = "usage: imageInfo [--json] FILE...\n";

// Reads the whole file through an ImageCheck; nullopt, with the reason on standard error,
// when the file cannot be read.
std::optional<ImageReport> inspect(const std::string& path) {
  errno = 0;
  Stream file = openStream(path, "rb");
  const int openError = errno;
  std::error_code ignored;
  // Some systems refuse to open a directory at all; say the same as where it opens.
  if (!file && !std::filesystem::is_directory(path, ignored)) {
    std::fprintf(stderr, "imageInfo: cannot open %s: %s\n", path.c_str(),
                 openError != 0 ? std::strerror(openError) : "unknown error");
    return std::nullopt;
  }
  const auto length = file ? regularFileSize(file.get()) : std::nullopt;
  if (!length) {
    std::fprintf(stderr, "imageInfo: cannot read %s: not a regular file\n", path.c_str());
    return std::nullopt;
  }
  alignas(4096) static std::array<unsigned char, kCopyBlockSize> buffer;
  ImageCheck check;
  const CopyStatus status = readBytes(file.get(), *length, buffer, [&check](std::span<const unsigned char> block) {
    check.update(block);
    return true;
  });
  if (status != CopyStatus::ok) {
    std::fprintf(stderr, "imageInfo: cannot read %s: read error, or the file shrank while being read\n", path.c_str());
    return std::nullopt;
  }
  return check.finish();
}

}  // namespace

int main(int argc, char** argv) {
  prepareStandardStreams();
  bool json = false;
  std::vector<std::string> paths;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument == "--json") {
      json = true;
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      std::fprintf(stderr, "imageInfo: unknown option %s\n%s", argv[i], kUsage);
      return kExitTrouble;
    } else {
      paths.emplace_back(argument);
    }
  }
  if (paths.empty()) {
    std::fputs(kUsage, stderr);
    return kExitTrouble;
  }

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
    if (json) {
      std::printf("%s\n  %s", first ? "" : ",", reportJson(path, *report).c_str());
    } else {
      std::printf("%s%s", first ? "" : "\n", reportText(path, *report).c_str());
    }
    flushStandardOutput();  // keep results and read problems in order on a shared terminal
    first = false;
  }
  if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
  // A report that did not arrive in full must not look like a good one.
  return finishStandardOutput(worst, kExitTrouble, "imageInfo: cannot write the report: ");
}
