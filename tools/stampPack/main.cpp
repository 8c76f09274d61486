// stampPack: puts the 16-byte stamp header (image id, CRC-8, length, packing date) in front of
// a file. Standard output stays silent: the exit status says whether the stamped file is
// complete, and a failure says why on standard error.

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "blockCopy.hpp"
#include "commandLine.hpp"
#include "hexArgument.hpp"
#include "inputKind.hpp"
#include "outputFile.hpp"
#include "paths.hpp"
#include "programMain.hpp"
#include "stampHeader.hpp"
#include "standardStreams.hpp"
#include "streams.hpp"
#include "textEscape.hpp"

#ifdef __MINGW32__
// Arguments are used exactly as typed: the C runtime must not expand wildcards in them.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace {

constexpr int kExitFailure = kPackerFailure;
constexpr const char* kProgram = "stampPack";
constexpr const char* kUsage = "usage: stampPack [--strict] [--force] INPUT OUTPUT [IMAGE_ID]\n";

// Says why the run failed, on standard error, and returns the failure status.
int fail(const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
  return kExitFailure;
}

// Today's date in the host's time zone, read from the clock once.
std::optional<PackingDate> localDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  if (now == static_cast<std::time_t>(-1) || localtime_s(&local, &now) != 0) return std::nullopt;
#else
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return std::nullopt;
#endif
  const int year = local.tm_year + 1900;
  if (year < 0 || year > UINT16_MAX) return std::nullopt;
  return PackingDate{static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(local.tm_mon + 1),
                     static_cast<std::uint8_t>(local.tm_mday)};
}

// The packing date: with SOURCE_DATE_EPOCH set, the date of that moment in UTC, so that builds of
// the same sources give identical files; else today's date in the host's time zone. Nullopt for
// a SOURCE_DATE_EPOCH that is not a moment up to the year 9999.
std::optional<PackingDate> packingDate() {
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr) return utcDateOfEpoch(epoch);
  return localDateNow();
}

void printHelp() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "Writes OUTPUT: a 16-byte header (image id, CRC-8, length, packing date), then INPUT.\n"
      "  INPUT     the file to stamp: a regular file smaller than 4 GiB\n"
      "  OUTPUT    the stamped file to write; an existing one is replaced whole\n"
      "  IMAGE_ID  the image identifier, hexadecimal, with or without 0x (default 64365577)\n"
      "The packing date is today's local date, or with SOURCE_DATE_EPOCH set, the UTC date of\n"
      "that moment. A run prints nothing on standard output (only --help and --version do); a\n"
      "failure says why on standard error. Status: 0 when OUTPUT was written (and after --help\n"
      "or --version), 20 on any failure.\n"
      "  --strict  every warning is a failure: status 20, and nothing is written (IMAGEPACK_STRICT=1\n"
      "            in the environment does the same)\n"
      "  --force   stamp a stamped INPUT over an OUTPUT that is not one; without it that is refused\n"
      "            as INPUT and OUTPUT swapped\n",
      stdout);
}

// Writes the header, the payload and the finished CRC.
CopyStatus writeStamped(std::FILE* input, const OutputFile& output, StampHeader& header) {
  Crc8 crc;
  return copyWithCheckValue(input, output.stream(), output.seekable(), header.dataLength, {}, kStampCrcOffset, 1, crc,
                            [&header](const Crc8& value) {
                              header.crc8 = value.result();
                              return encodeStampHeader(header);
                            });
}

// Whether an existing OUTPUT is a file that stamping a stamped INPUT over would destroy: a regular
// file that is not a stamped image itself (re-stamping into the last result is no mistake).
bool wouldLoseOutput(const std::string& outputPath) {
  bool notRegular = false;
  const Stream output = openRegularFile(outputPath, &notRegular);
  if (!output) return false;
  const auto size = regularFileSize(output.get());
  return size && inputKindOf(output.get(), *size) != InputKind::stampedImage;
}

int run(std::vector<std::string> args) {
  prepareStandardStreams();
  switch (answerHelpOrVersion(args, kProgram, printHelp)) {
    case ConventionalOption::answered:
      return finishStandardOutput(0, kExitFailure, lostOutputComplaint(kProgram).c_str());
    case ConventionalOption::misused:
      return kExitFailure;
    case ConventionalOption::absent:
      break;
  }
  if (args.size() < 2) return 0;  // no arguments: nothing to do, and nothing is said about it
  // The options come before INPUT.
  bool strictOption = false;
  bool force = false;
  while (args.size() > 1 && (args[1] == "--strict" || args[1] == "--force")) {
    (args[1] == "--strict" ? strictOption : force) = true;
    args.erase(args.begin() + 1);
  }
  if (args.size() < 3) {  // the output was left out
    std::fputs(kUsage, stderr);
    return kExitFailure;
  }
  const bool strict = strictRun(strictOption);
  // A warning goes to standard error; in strict mode it is the reason the run fails.
  const auto warned = [strict](const std::string& warning) {
    if (warning.empty() || !strict) {
      printWarning(kProgram, warning);
      return true;
    }
    fail(strictRefusal(warning));
    return false;
  };
  const std::string& inputPath = args[1];
  const std::string& outputPath = args[2];

  std::uint32_t imageId = kDefaultImageId;
  if (args.size() > 3) {
    const auto parsed = parseHexArgument(args[3]);
    if (!parsed) {
      return fail("invalid IMAGE_ID \"" + escapePath(args[3]) + "\": more than 32 bits; IMAGE_ID is hexadecimal" +
                  decimalHint(args[3]));
    }
    if (!warned(hexArgumentWarning("IMAGE_ID", args[3], *parsed))) return kExitFailure;
    imageId = parsed->value;
  }
  if (!warned(ignoredArgumentsWarning(args, 4, "third"))) return kExitFailure;
  const auto date = packingDate();
  if (!date) {
    return fail("invalid SOURCE_DATE_EPOCH \"" + escapePath(std::getenv("SOURCE_DATE_EPOCH")) +
                "\": not a number of seconds from 0 to 253402300799 (the end of the year 9999)");
  }

  // The input is opened and measured before the output, so that a missing or unusable input
  // leaves an existing output as it was.
  bool notRegular = false;
  errno = 0;
  Stream input = openRegularFile(inputPath, &notRegular);
  const int openError = errno;
  const auto inputSize = input ? regularFileSize(input.get()) : std::nullopt;
  if (!inputSize) return fail(inputRefusal(inputPath, notRegular, openError));
  if (*inputSize > UINT32_MAX) return fail("cannot stamp " + escapePath(inputPath) + ": more than 4294967295 bytes");
  if (isSameFile(inputPath, outputPath))
    return fail("cannot write " + escapePath(outputPath) + ": it is the input file");
  // A stamped INPUT written over a file that is not a stamped image is the arguments swapped,
  // which would destroy that file (the user's source, most likely): refused unless forced.
  const InputKind kind = inputKindOf(input.get(), *inputSize);
  if (kind == InputKind::stampedImage && !force && wouldLoseOutput(outputPath)) {
    return fail("INPUT \"" + escapePath(inputPath) + "\" is a stamped image and OUTPUT \"" + escapePath(outputPath) +
                "\" is a file that is not: are INPUT and OUTPUT swapped? Nothing was written; --force stamps the image "
                "again over that file");
  }
  // An image packed already is stamped as asked, with a word: INPUT and OUTPUT may be swapped.
  if ((kind == InputKind::stampedImage || kind == InputKind::loadImage) &&
      !warned(repackingWarning(kind, "INPUT", inputPath, "stamped", "") + " (are INPUT and OUTPUT swapped?)")) {
    return kExitFailure;
  }

  // A temporary file beside the output until it is complete: an existing output stays as it
  // was through any failure or interruption.
  OutputFile output;
  errno = 0;
  if (!output.open(outputPath)) return fail("cannot create " + escapePath(outputPath) + ": " + systemReason(errno));

  StampHeader header = makeStampHeader(imageId, static_cast<std::uint32_t>(*inputSize), *date);
  errno = 0;
  const CopyStatus status = writeStamped(input.get(), output, header);
  int copyError = errno;
  input.close();
  bool committed = false;
  if (status == CopyStatus::ok) {
    errno = 0;
    committed = output.commit();
    copyError = errno;
  }
  if (!committed) {
    output.discard();
    if (status == CopyStatus::readFailed) {
      return fail("cannot read " + escapePath(inputPath) + ": read error, or the file changed while being read");
    }
    return fail("cannot write " + escapePath(outputPath) + ": " + systemReason(copyError));
  }
  return finishStandardOutput(0, kExitFailure, lostOutputComplaint(kProgram).c_str());
}

}  // namespace

IMAGEPACK_MAIN(run)
