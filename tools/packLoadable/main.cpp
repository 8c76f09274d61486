// packLoadable: puts the 44-byte load-image header in front of a raw program image and writes
// TARGET.img, printing the payload checksum.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fileSupport.hpp"
#include "hexArgument.hpp"
#include "loadImage.hpp"
#include "outputFile.hpp"
#include "programMain.hpp"
#include "standardStreams.hpp"
#include "textEscape.hpp"
#include "version.hpp"

#ifdef __MINGW32__
// The Windows shell leaves wildcards to the program: the C runtime expands unquoted ones before
// main, as a console user expects (with MSVC, linking setargv.obj does the same). On POSIX the
// shell has already expanded them, and the arguments are used as passed.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

constexpr int kExitFailure = 20;

// The usage text less its complaint: what --help prints.
void printHelp() {
  // Each message is followed by an empty line: puts adds a line break after the one each holds.
  std::puts("------------------- ORVA packLoadable by image-tools@orva.example -------------------\n");
  std::puts(
      "USAGE: packLoadable  <SOURCE IMAGE file name> <TARGET IMAGE file name> <Image name> <Load Address> "
      "<Exec Address>\n");
  std::puts("      <SOURCE IMAGE file name> = name of the source image file name.\n");
  std::puts("      <TARGET IMAGE file name> = name of the target image file name,without extension '.img'.\n");
  std::puts("      <Image name> = name of the target image.\n");
  std::puts("      <Load Address> = the load address of the target image.\n");
  std::puts("      <Exec Address> = the exec address of the target image.\n");
}

// The usage text, for a call that lacks arguments.
void printUsage() {
  std::puts("Error arguments !!! You must give me all the parameters !!!!\n\n");
  printHelp();
}

// Prints the message with `argument` escaped (a path cannot add a line to the output, where a
// script reads the checksum) and returns the failure status.
int fail(const char* format, const std::string& argument) {
  std::printf(format, escapePath(argument).c_str());
  return kExitFailure;
}

// Writes the header, the payload padded to a whole word and the finished checksum, which
// header.checksum holds afterwards.
CopyStatus writeImage(std::FILE* source, const OutputFile& target, LoadImageHeader& header) {
  // A tail of one to three bytes goes out as a whole word; the checksum counts it the same way.
  static constexpr std::array<unsigned char, 3> zeros{};
  const std::size_t padding = (4 - header.imageSize % 4) % 4;
  WordSum sum;
  return copyWithCheckValue(source, target.stream(), target.seekable(), header.imageSize,
                            std::span(zeros).first(padding), kLoadImageChecksumOffset, 4, sum,
                            [&header](const WordSum& value) {
                              header.checksum = value.finish();
                              return encodeLoadImageHeader(header);
                            });
}

int run(const std::vector<std::string>& args) {
  prepareStandardStreams();
  if (answeredHelpOrVersion(args, "packLoadable", printHelp)) return finishStandardOutput(0, kExitFailure);
  if (args.size() < 6) {
    printUsage();
    // No arguments at all is how a user asks for the usage; a call that lost an argument failed.
    return args.size() <= 1 ? 0 : kExitFailure;
  }
  const std::string& sourcePath = args[1];
  const std::string& targetBase = args[2];
  const std::string& imageName = args[3];
  const std::string targetPath = targetBase + ".img";

  const auto loadAddress = parseHexArgument(args[4]);
  if (!loadAddress) return fail("ERROR : Invalid address - %s\n", args[4]);
  const auto execAddress = parseHexArgument(args[5]);
  if (!execAddress) return fail("ERROR : Invalid address - %s\n", args[5]);

  // Everything about the source is settled before the target is opened, because opening the
  // target empties it.
  bool notRegular = false;
  Stream source = openRegularFile(sourcePath, &notRegular);
  const auto sourceSize = source ? regularFileSize(source.get()) : std::nullopt;
  if (!sourceSize) return fail("ERROR : Can't find source file - %s\n", sourcePath);
  if (*sourceSize > UINT32_MAX) return fail("ERROR : Source file too large - %s\n", sourcePath);
  if (isSameFile(sourcePath, targetPath)) return fail("ERROR : Target file is the source file - %s\n", targetPath);

  // The new image goes to a temporary file beside the target until it is complete, so that
  // an existing image stays as it was through any failure or interruption.
  OutputFile target;
  if (!target.open(targetPath)) return fail("ERROR : Can't open destination file - %s\n", targetPath);

  LoadImageHeader header =
      makeLoadImageHeader(static_cast<std::uint32_t>(*sourceSize), *loadAddress, *execAddress, imageName);
  CopyStatus status = writeImage(source.get(), target, header);
  source.close();
  if (status == CopyStatus::ok && !target.commit()) status = CopyStatus::writeFailed;

  if (status != CopyStatus::ok) {
    target.discard();
    if (status == CopyStatus::readFailed) return fail("ERROR reading source file:  %s\n", sourcePath);
    return fail("ERROR writing on target file:  %s\n", targetBase);
  }
  // Printed only once the image is in place, so the line always means success; on standard
  // error where the image itself went to standard output, which then carries the image alone.
  std::fprintf(target.isStandardOutput() ? stderr : stdout, "Check Sum = 0x%x\n",
               static_cast<unsigned>(header.checksum));
  // A build script that reads the checksum must not be told all went well when it got none;
  // the image itself stays, complete and correct.
  return finishStandardOutput(0, kExitFailure);
}

}  // namespace

IMAGEPACK_MAIN(run)
