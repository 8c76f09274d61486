// stampPack: puts the 16-byte stamp header (image id, CRC-8, length, packing date) in front of
// a file. It prints nothing: the exit status alone says whether the stamped file is complete.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "fileSupport.hpp"
#include "hexArgument.hpp"
#include "outputFile.hpp"
#include "programMain.hpp"
#include "stampHeader.hpp"
#include "standardStreams.hpp"
#include "version.hpp"

#ifdef __MINGW32__
// Arguments are used exactly as typed: the C runtime must not expand wildcards in them.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace {

constexpr int kExitFailure = 20;

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
  std::fputs(
      "usage: stampPack INPUT OUTPUT [IMAGE_ID]\n"
      "Writes OUTPUT: a 16-byte header (image id, CRC-8, length, packing date), then INPUT.\n"
      "  INPUT     the file to stamp: a regular file smaller than 4 GiB\n"
      "  OUTPUT    the stamped file to write; an existing one is replaced whole\n"
      "  IMAGE_ID  the image identifier, hexadecimal (default 64365577)\n"
      "The packing date is today's local date, or with SOURCE_DATE_EPOCH set, the UTC date of\n"
      "that moment. Nothing is printed; the status is 0 when OUTPUT was written, else 20.\n",
      stdout);
}

// Writes the header, the payload and the finished CRC.
bool writeStamped(std::FILE* input, const OutputFile& output, StampHeader& header) {
  Crc8 crc;
  return copyWithCheckValue(input, output.stream(), output.seekable(), header.dataLength, {}, kStampCrcOffset, 1, crc,
                            [&header](const Crc8& value) {
                              header.crc8 = value.result();
                              return encodeStampHeader(header);
                            }) == CopyStatus::ok;
}

int run(const std::vector<std::string>& args) {
  prepareStandardStreams();
  if (answeredHelpOrVersion(args, "stampPack", printHelp)) return finishStandardOutput(0, kExitFailure);
  if (args.size() < 2) return 0;             // no arguments: nothing to do, and nothing is said about it
  if (args.size() < 3) return kExitFailure;  // the output was left out: a failure, silent like the others
  const std::string& inputPath = args[1];
  const std::string& outputPath = args[2];

  std::uint32_t imageId = kDefaultImageId;
  if (args.size() > 3) {
    const auto parsed = parseHexArgument(args[3]);
    if (!parsed) return kExitFailure;
    imageId = *parsed;
  }
  const auto date = packingDate();
  if (!date) return kExitFailure;

  // The input is opened and measured before the output, so that a missing or unusable input
  // leaves an existing output as it was.
  bool notRegular = false;
  Stream input = openRegularFile(inputPath, &notRegular);
  const auto inputSize = input ? regularFileSize(input.get()) : std::nullopt;
  if (!inputSize || *inputSize > UINT32_MAX) return kExitFailure;
  if (isSameFile(inputPath, outputPath)) return kExitFailure;

  // A temporary file beside the output until it is complete: an existing output stays as it
  // was through any failure or interruption.
  OutputFile output;
  if (!output.open(outputPath)) return kExitFailure;

  StampHeader header = makeStampHeader(imageId, static_cast<std::uint32_t>(*inputSize), *date);
  const bool written = writeStamped(input.get(), output, header);
  input.close();
  if (!written || !output.commit()) {
    output.discard();
    return kExitFailure;
  }
  return finishStandardOutput(0, kExitFailure);
}

}  // namespace

IMAGEPACK_MAIN(run)
