// imageInfo: says what each file is (a load image, a stamped image, or neither), shows its header
// and whether its payload still matches its check value.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commandLine.hpp"
#include "elfCheck.hpp"
#include "elfOptions.hpp"
#include "extract.hpp"
#include "fileInput.hpp"
#include "imageCheck.hpp"
#include "printing.hpp"
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
    "  --strict       taken as packLoadable and stampPack take it, so that a script can pass it to\n"
    "                 all three; imageInfo gives no warnings: what is wrong is a verdict already\n"
    "  --             ends the options: every argument after it is a FILE\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "Status: 0 every FILE intact, 1 some FILE damaged or not an image, 2 a usage error or a FILE\n"
    "that cannot be read.\n";

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
    } else if (!optionsEnded && argument == "--strict") {
      // imageInfo gives no warnings of its own: its verdicts are already failures. Taken, so
      // that one setting serves every program of a script.
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
