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
#include "signatureCheck.hpp"
#include "signing.hpp"
#include "standardStreams.hpp"
#include "streams.hpp"
#include "textEscape.hpp"

#ifdef __MINGW32__
// FILE arguments are used as typed, whatever default the C runtime was built with.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace {

// Whether anything but `option` and its value stands on the command line.
bool argumentsBeside(const std::vector<std::string>& args, const std::string& option) {
  return args.size() != (args[1] == option ? 3u : 2u);
}

constexpr const char* kUsage =
    "usage: imageInfo [--json] [--key PUB.pem]... [--] FILE...\n"
    "       imageInfo [--json] [--key PUB.pem]... --extract OUT [--] FILE\n"
    "       imageInfo --key-as-c PUB.pem\n"
    "       imageInfo [--json] --elf ELF [--exec ADDRESS] [--max-gap BYTES]\n"
    "                 [--remove-section NAME]... [--] IMAGE\n";

constexpr const char* kHelp =
    "Says whether each FILE is a load image or a stamped image, shows its header and checks its\n"
    "payload against the stored check value. FILE - is standard input.\n"
    "  --json         the reports as one JSON array, an object per FILE\n"
    "  --extract OUT  with one FILE: write its payload to OUT if it is intact (- for standard output)\n"
    "  --key PUB.pem  check each load image's signature against this public key (repeatable: any\n"
    "                 one may match); unsigned, damaged or not verified is a failure (status 3-7)\n"
    "  --key-as-c PUB.pem\n"
    "                 write the key as a C header for a boot loader: its key id and public point\n"
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
    "Status: 0 every FILE intact (and verified, with --key), 1 some FILE damaged or not an image,\n"
    "2 a usage error or a FILE that cannot be read; with --key, 3 unsigned, 4 signed by a key not\n"
    "given, 5 a wrong signature, 6 a damaged or cut trailer, 7 bytes after the trailer (the\n"
    "highest over all FILEs).\n";

// Reads the public key (or a private key's public half) at `path`; nullopt, with the problem
// said, where it cannot be used.
std::optional<PublicKey> readKeyFile(const std::string& path) {
  if (!kHaveCrypto) {
    sayProblem(std::string("--key: ") + kNoCrypto);
    return std::nullopt;
  }
  std::string problem;
  const auto bytes = readSmallFile(path, kMostKeyFileBytes, &problem);
  if (!bytes) {
    sayProblem(problem);
    return std::nullopt;
  }
  const auto reading = readPublicKeyPem(*bytes);
  if (!reading.key) sayProblem(escapePath(path) + " " + reading.problem);
  return reading.key;
}

// Reads the whole file through an ImageCheck, and with keys checks its signature against them;
// nullopt, with *problem saying why, when the file cannot be read.
std::optional<ImageReport> inspect(const std::string& path, const std::vector<PublicKey>& keys, std::string* problem) {
  auto input = openInput(path, problem);
  if (!input) return std::nullopt;
  ImageCheck check;
  SignedBytesDigest digest;
  if (!readInput(
          path, *input,
          [&](std::span<const unsigned char> block) {
            check.update(block);
            if (!keys.empty()) digest.update(block);
          },
          problem)) {
    return std::nullopt;
  }
  ImageReport report = check.finish();
  if (!keys.empty()) report.signature = judgeSignature(report, digest.finish(), keys);
  return report;
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
  std::vector<PublicKey> keys;
  std::optional<std::string> keyAsCPath;
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
    } else if (std::optional<std::string> value; !optionsEnded && takeOptionWithValue(args, i, "--key-as-c", &value)) {
      if (!value || value->empty()) {
        std::fputs("imageInfo: --key-as-c needs a public key file (PUB.pem)\n", stderr);
        return kExitTrouble;
      }
      keyAsCPath = *value;
    } else if (!optionsEnded && takeOptionWithValue(args, i, "--key", &value)) {
      if (!value || value->empty()) {
        std::fputs("imageInfo: --key needs a public key file (PUB.pem)\n", stderr);
        return kExitTrouble;
      }
      const auto key = readKeyFile(*value);
      if (!key) return kExitTrouble;
      keys.push_back(*key);
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
  if (keyAsCPath) {
    if (argumentsBeside(args, "--key-as-c")) {
      std::fputs("imageInfo: --key-as-c takes no other arguments\n", stderr);
      return kExitTrouble;
    }
    const auto key = readKeyFile(*keyAsCPath);
    if (!key) return kExitTrouble;
    std::fputs(keyAsC(*key, cIdentifierOf(*keyAsCPath), *keyAsCPath).c_str(), stdout);
    return finishStandardOutput(0, kExitTrouble, "imageInfo: cannot write the header: ");
  }
  if (!keys.empty() && elfPath) {
    std::fputs("imageInfo: --key and --elf do not go together: check the signature apart\n", stderr);
    return kExitTrouble;
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
    const int status = extractPayload(paths[0], *extractTo, json, keys);
    return finishStandardOutput(status, kExitTrouble, payloadOnStandardOutput ? lostPayload.c_str() : kLostReport);
  }

  int worst = 0;
  bool first = true;
  if (json) std::fputs("[", stdout);
  for (const std::string& path : paths) {
    std::string problem;
    const auto report = inspect(path, keys, &problem);
    if (!report) {
      worst = kExitTrouble;
      sayProblem(problem);
      // In JSON every FILE has its element: one that could not be read says why.
      if (json) std::fprintf(stdout, "%s\n  %s", first ? "" : ",", errorJson(shownPath(path), problem).c_str());
      first = first && !json;
      flushStandardOutput();
      continue;
    }
    worst = std::max(worst, reportStatus(*report));
    printReport(stdout, path, *report, json, first);
    first = false;
  }
  if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
  return finishStandardOutput(worst, kExitTrouble, kLostReport);
}

}  // namespace

IMAGEPACK_MAIN(run)
