// packLoadable: puts the 44-byte load-image header in front of a raw program image and writes
// TARGET.img, printing the payload checksum.

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "blockCopy.hpp"
#include "commandLine.hpp"
#include "elfOptions.hpp"
#include "elfPayload.hpp"
#include "elfSpool.hpp"
#include "hexArgument.hpp"
#include "inputKind.hpp"
#include "loadImage.hpp"
#include "outputFile.hpp"
#include "paths.hpp"
#include "programMain.hpp"
#include "signedImage.hpp"
#include "signingOptions.hpp"
#include "standardStreams.hpp"
#include "streams.hpp"
#include "textEscape.hpp"

#ifdef __MINGW32__
// The Windows shell leaves wildcards to the program: the C runtime expands unquoted ones before
// main, as a console user expects (with MSVC, linking setargv.obj does the same). On POSIX the
// shell has already expanded them, and the arguments are used as passed.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

constexpr int kExitFailure = kPackerFailure;

constexpr const char* kProgram = "packLoadable";

// The banner and the usage lines.
void printUsageLines() {
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

// What --help prints: the usage lines, how addresses are written, and the ELF form.
void printHelp() {
  printUsageLines();
  std::puts("Both addresses are hexadecimal, with or without 0x: 08000000 and 0x8000000 are the same.\n");
  std::puts(
      "USAGE: packLoadable --elf [--exec ADDRESS] [--max-gap BYTES] [--remove-section NAME]... <ELF file>\n"
      "                    <TARGET IMAGE file name> <Image name>\n"
      "      The payload is what objcopy -O binary makes of the ELF executable; the load address is\n"
      "      its lowest section's, the exec address its entry point.\n"
      "      --exec ADDRESS         the exec address instead (hexadecimal), such as the vector table's\n"
      "      --max-gap BYTES        allow a gap of zeros up to BYTES, all together four times that (1048576)\n"
      "      --remove-section NAME  leave the section out, as objcopy -R does (repeatable)\n");
  std::puts(
      "USAGE: packLoadable [SIGNING OPTIONS] ...\n"
      "      Signs the image (before the other arguments, or among the --elf options):\n"
      "      --sign KEY.pem          with this P-256 private key (PKCS#8 or SEC1 PEM)\n"
      "      --digest-out FILE       write the 32-byte digest to sign elsewhere, and no image\n"
      "      --signature FILE        attach a signature of that digest made elsewhere (DER or r and s)\n"
      "      --public-key PUB.pem    with --digest-out or --signature: the signing key's public half\n"
      "      --security-counter N    the version a device refuses to go below (0 unless given)\n");
  std::puts(
      "USAGE: packLoadable --strict ... (before the other arguments, in either form)\n"
      "      Every warning is a failure: status 20, and nothing is written. IMAGEPACK_STRICT=1 in\n"
      "      the environment does the same.");
}

// The usage text, for a call that lacks arguments.
void printUsage() {
  std::puts("Error arguments !!! You must give me all the parameters !!!!\n\n");
  printUsageLines();
}

// Prints the message, `lead` followed by `argument` escaped, on standard output (a path cannot
// add a line to the output, where a script reads the checksum), and why on standard error;
// returns the failure status. The format is a literal, so the compiler checks it.
int fail(const char* lead, const std::string& argument, const std::string& why) {
  std::printf("%s%s\n", lead, escapePath(argument).c_str());
  std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
  return kExitFailure;
}

// Says `warning` (unless it is empty) on standard error and returns true; in strict mode fails
// on it instead, naming `argument` (what the warning is about) on standard output as every
// failure does, and returns false.
bool warn(bool strict, const std::string& warning, const std::string& argument) {
  if (warning.empty()) return true;
  if (!strict) {
    printWarning(kProgram, warning);
    return true;
  }
  fail("ERROR : Warning in strict mode - ", argument, strictRefusal(warning));
  return false;
}

// Reads an address argument; nullopt, with the failure said, where it does not fit 32 bits, or
// where strict mode fails on its warning.
std::optional<std::uint32_t> readAddress(const std::string& argument, const char* what, bool strict) {
  const auto reading = parseHexArgument(argument);
  if (!reading) {
    fail("ERROR : Invalid address - ", argument,
         std::string("invalid ") + what + " \"" + escapePath(argument) + "\": more than 32 bits; addresses are hexadecimal" +
             decimalHint(argument));
    return std::nullopt;
  }
  if (!warn(strict, hexArgumentWarning(what, argument, *reading), argument) ||
      !warn(strict, decimalAddressWarning(what, argument, *reading), argument)) {
    return std::nullopt;
  }
  return reading->value;
}

// Whether an argument reads wholly as an address as one is usually written: hexadecimal digits
// alone, with 0x or a decimal digit first ("08000000", "0x8000"; not a word such as "CAFE").
bool looksLikeAnAddress(const std::string& argument) {
  const auto reading = parseHexArgument(argument);
  return reading && reading->hasDigits && reading->rest.empty() && !argument.empty() && argument[0] >= '0' &&
         argument[0] <= '9';
}

// The refusal of a raw-form call whose arguments look out of order, empty where they do not: an
// address with no hexadecimal digit at all (read as 0) while TARGET or NAME reads as an address,
// as in "packLoadable app.bin 08000000 08000000 out APP". No call that means what it says has
// both; an address without digits beside ordinary names is read as 0, as it always was.
std::string outOfOrderRefusal(const std::vector<std::string>& args, std::string* address) {
  const auto noDigits = [](const std::string& argument) {
    const auto reading = parseHexArgument(argument);
    return reading && !reading->hasDigits;
  };
  const std::size_t blank = noDigits(args[4]) ? 4 : noDigits(args[5]) ? 5 : 0;
  const std::size_t shifted = looksLikeAnAddress(args[3]) ? 3 : looksLikeAnAddress(args[2]) ? 2 : 0;
  if (blank == 0 || shifted == 0) return "";
  *address = args[blank];
  return std::string("the arguments look out of order: ") + (blank == 4 ? "load" : "exec") + " address \"" +
         escapePath(args[blank]) + "\" has no hexadecimal digits, and " + (shifted == 3 ? "NAME" : "TARGET") + " \"" +
         escapePath(args[shifted]) + "\" reads as an address; the order is SOURCE TARGET NAME LOAD_ADDRESS EXEC_ADDRESS";
}

// Writes the header, the payload padded to a whole word, `trailer` (a signed image's) and the
// finished checksum, which header.checksum holds afterwards.
CopyStatus writeImage(std::FILE* source, const OutputFile& target, LoadImageHeader& header,
                      std::span<const unsigned char> trailer) {
  // A tail of one to three bytes goes out as a whole word; the checksum counts it the same way.
  std::vector<unsigned char> after((4 - header.imageSize % 4) % 4, 0);
  after.insert(after.end(), trailer.begin(), trailer.end());
  WordSum sum;
  return copyWithCheckValue(source, target.stream(), target.seekable(), header.imageSize, after,
                            kLoadImageChecksumOffset, 4, sum, [&header](const WordSum& value) {
                              header.checksum = value.finish();
                              return encodeLoadImageHeader(header);
                            });
}

// What one run packs: `size` bytes of `source`, from its start, into TARGET.img.
struct Packing {
  std::FILE* source = nullptr;
  std::uint64_t size = 0;
  std::uint32_t loadAddress = 0, execAddress = 0;
  std::string imageName;
  std::string sourcePath;  // names the source in messages
  std::string targetBase;  // TARGET, without .img
  bool strict = false;
  std::optional<Signing> signing;
};

// Fails the run for a source that could not be read, or changed while it was read.
int sourceReadFailure(const std::string& sourcePath) {
  return fail("ERROR reading source file:  ", sourcePath,
              "cannot read " + escapePath(sourcePath) + ": read error, or the file changed while being read");
}

// The trailer of a signed image of `header` (without its checksum yet): its digest computed
// from the source, then signed, or the signature given checked against it. Returns 0 with
// *trailer set, or the exit status of the failure said; for --digest-out, writes the digest
// and returns 0 with *trailer empty. *checksum: the payload checksum the signed header holds.
int signedTrailer(const Packing& packing, const LoadImageHeader& header, std::vector<unsigned char>* trailer,
                  std::uint32_t* checksum) {
  const Signing& signing = *packing.signing;
  SignatureTrailer fields;
  fields.keyId = signing.publicKey.id;
  fields.securityCounter = signing.securityCounter;
  const ImageDigest digest = imageDigest(packing.source, packing.size, header, fields);
  if (digest.status != CopyStatus::ok) return sourceReadFailure(packing.sourcePath);
  *checksum = digest.checksum;
  switch (signing.mode) {
    case Signing::Mode::sign:
      fields.signature = signDigest(*signing.privateKey, digest.digest);
      break;
    case Signing::Mode::attach:
      if (!verifyDigest(signing.publicKey, digest.digest, signing.signature)) {
        return fail("ERROR : Signature does not verify - ", signing.signaturePath,
                    escapePath(signing.signaturePath) + " is no signature of this image by " +
                        escapePath(signing.keyPath) +
                        ": made with another key, or of another digest (pack with the same SOURCE, NAME, addresses "
                        "and --security-counter as for --digest-out)");
      }
      fields.signature = signing.signature;
      break;
    case Signing::Mode::digestOnly: {
      OutputFile out;
      errno = 0;
      if (!out.open(signing.digestPath)) {
        return fail("ERROR : Can't open destination file - ", signing.digestPath,
                    "cannot create " + escapePath(signing.digestPath) + ": " + systemReason(errno));
      }
      errno = 0;
      if (std::fwrite(digest.digest.data(), 1, digest.digest.size(), out.stream()) != digest.digest.size() ||
          !out.commit()) {
        const int error = errno;
        out.discard();
        return fail("ERROR writing on target file:  ", signing.digestPath,
                    "cannot write " + escapePath(signing.digestPath) + ": " + systemReason(error));
      }
      trailer->clear();
      return 0;
    }
  }
  const auto bytes = encodeSignatureTrailer(fields);
  trailer->assign(bytes.begin(), bytes.end());
  return 0;
}

// Packs the source into TARGET.img (signed where asked) and prints the checksum; with
// --digest-out writes the digest to sign instead. Returns the exit status.
int packImage(const Packing& packing) {
  const std::string& imageName = packing.imageName;
  const std::string& sourcePath = packing.sourcePath;
  const std::string targetPath = packing.targetBase + ".img";
  if (imageName.size() > kImageNameSize &&
      !warn(packing.strict,
            "NAME \"" + escapePath(imageName) + "\" is longer than " + std::to_string(kImageNameSize) +
                " bytes: the image stores \"" + escapePath(imageName.substr(0, kImageNameSize)) + "\"",
            imageName)) {
    return kExitFailure;
  }
  if (packing.size > UINT32_MAX) {
    return fail("ERROR : Source file too large - ", sourcePath,
                "cannot pack " + escapePath(sourcePath) + ": more than 4294967295 bytes");
  }
  const bool digestOnly = packing.signing && packing.signing->mode == Signing::Mode::digestOnly;
  const std::string& writtenPath = digestOnly ? packing.signing->digestPath : targetPath;
  if (isSameFile(sourcePath, writtenPath)) {
    return fail("ERROR : Target file is the source file - ", writtenPath,
                "cannot write " + escapePath(writtenPath) + ": it is the source file");
  }

  LoadImageHeader header =
      makeLoadImageHeader(static_cast<std::uint32_t>(packing.size), packing.loadAddress, packing.execAddress, imageName);
  std::vector<unsigned char> trailer;
  std::uint32_t signedChecksum = 0;
  if (packing.signing) {
    const int status = signedTrailer(packing, header, &trailer, &signedChecksum);
    if (status != 0 || digestOnly) return status;
  }

  // The new image goes to a temporary file beside the target until it is complete, so that
  // an existing image stays as it was through any failure or interruption.
  OutputFile target;
  errno = 0;
  if (!target.open(targetPath)) {
    return fail("ERROR : Can't open destination file - ", targetPath,
                "cannot create " + escapePath(targetPath) + ": " + systemReason(errno));
  }

  errno = 0;
  CopyStatus status = writeImage(packing.source, target, header, trailer);
  int copyError = errno;
  // The signature is over the payload as read before: the copy must have found the same one.
  if (status == CopyStatus::ok && packing.signing && header.checksum != signedChecksum) status = CopyStatus::readFailed;
  if (status == CopyStatus::ok) {
    errno = 0;
    if (!target.commit()) status = CopyStatus::writeFailed;
    copyError = errno;
  }

  if (status != CopyStatus::ok) {
    target.discard();
    if (status == CopyStatus::readFailed) return sourceReadFailure(sourcePath);
    return fail("ERROR writing on target file:  ", packing.targetBase,
                "cannot write " + escapePath(targetPath) + ": " + systemReason(copyError));
  }
  // Printed only once the image is in place, so the line always means success; on standard
  // error where the image itself went to standard output, which then carries the image alone.
  std::fprintf(target.isStandardOutput() ? stderr : stdout, "Check Sum = 0x%x\n",
               static_cast<unsigned>(header.checksum));
  return 0;
}

// Opens the source (raw image or ELF) for reading; an empty Stream, with the failure said,
// where it cannot be read.
Stream openSource(const std::string& path) {
  bool notRegular = false;
  errno = 0;
  Stream source = openRegularFile(path, &notRegular);
  if (!source) fail("ERROR : Can't find source file - ", path, inputRefusal(path, notRegular, errno));
  return source;
}

// Reads the files the signing options name into *signing, where any option is given; false,
// with the failure said, where the options do not go together or a file cannot be used.
bool settleSigning(const SigningOptions& options, std::optional<Signing>* signing) {
  if (!options.any()) return true;
  if (const std::string problem = signingOptionsProblem(options); !problem.empty()) {
    std::fprintf(stderr, "packLoadable: %s\n", problem.c_str());
    return false;
  }
  SigningProblem problem;
  *signing = prepareSigning(options, &problem);
  if (!*signing) {
    fail(problem.path == options.signatureFile ? "ERROR : Can't use signature - " : "ERROR : Can't use key - ",
         problem.path, problem.reason);
    return false;
  }
  return true;
}

// packLoadable --elf [OPTION...] ELF TARGET NAME: the payload as objcopy -O binary makes it of
// ELF, and the load and exec addresses the ELF gives (or --exec). Returns the exit status.
int packElf(const std::vector<std::string>& args, bool strict, SigningOptions signingOptions) {
  static const std::string kElfUsage = std::string("usage: packLoadable --elf ") + kElfOptionsUsage + " ELF TARGET NAME\n";
  ElfOptions options;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (std::size_t i = 2; i < args.size(); ++i) {
    std::string problem;
    if (!optionsEnded && args[i] == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && args[i] == "--strict") {
      strict = true;
      continue;
    }
    const ElfOptionTaken taken = optionsEnded ? ElfOptionTaken::no : takeElfOption(args, i, options, problem);
    const SigningOptionTaken signingTaken = optionsEnded || taken != ElfOptionTaken::no
                                                ? SigningOptionTaken::no
                                                : takeSigningOption(args, i, signingOptions, problem);
    if (taken == ElfOptionTaken::refused || signingTaken == SigningOptionTaken::refused) {
      std::fprintf(stderr, "%spackLoadable: %s\n", kElfUsage.c_str(), problem.c_str());
      return kExitFailure;
    }
    if (taken == ElfOptionTaken::taken || signingTaken == SigningOptionTaken::taken) continue;
    if (!optionsEnded && args[i].size() > 2 && args[i].rfind("--", 0) == 0) {
      std::fprintf(stderr, "%spackLoadable: unknown option %s\n", kElfUsage.c_str(), escapePath(args[i]).c_str());
      return kExitFailure;
    }
    operands.push_back(args[i]);
  }
  if (operands.size() != 3) {
    // Too few: say which is missing; too many: the addresses, most likely, which the ELF gives.
    const char* why = operands.size() < 2   ? "--elf needs ELF, TARGET and NAME: TARGET and NAME are missing"
                      : operands.size() < 3 ? "--elf needs ELF, TARGET and NAME: NAME is missing"
                                            : "--elf takes ELF, TARGET and NAME only: the addresses come from the ELF "
                                              "(--exec ADDRESS sets the exec address)";
    std::fprintf(stderr, "%spackLoadable: %s\n", kElfUsage.c_str(), why);
    return kExitFailure;
  }
  const std::string& elfPath = operands[0];
  std::optional<Signing> signing;
  if (!settleSigning(signingOptions, &signing)) return kExitFailure;
  // The payload is laid out once in a scratch file, then packed from there like a raw image;
  // memory stays the same whatever the sections' sizes.
  const SpooledElf elf = spoolElfPayload(elfPath, options);
  switch (elf.problem) {
    case SpooledElf::Problem::none:
      break;
    case SpooledElf::Problem::unreadable:
      return fail("ERROR : Can't find source file - ", elfPath, elf.reason);
    case SpooledElf::Problem::refused:
      return fail("ERROR : Not a usable ELF executable - ", elfPath, elf.reason);
    case SpooledElf::Problem::noScratchRoom:
      return fail("ERROR reading source file:  ", elfPath, elf.reason);
  }
  return packImage(Packing{elf.spool.get(), elf.payload.size, elf.payload.loadAddress, elf.payload.execAddress,
                           operands[2], elfPath, operands[1], strictRun(strict), std::move(signing)});
}

int run(std::vector<std::string> args) {
  prepareStandardStreams();
  const std::string lostOutput = lostOutputComplaint(kProgram);
  const char* const kLostOutput = lostOutput.c_str();
  switch (answerHelpOrVersion(args, kProgram, printHelp)) {
    case ConventionalOption::answered:
      return finishStandardOutput(0, kExitFailure, kLostOutput);
    case ConventionalOption::misused:
      return kExitFailure;
    case ConventionalOption::absent:
      break;
  }
  // No arguments at all is how a user asks for the usage; a call that lost an argument failed.
  const int usageStatus = args.size() <= 1 ? 0 : kExitFailure;
  // --strict and the signing options come before the other arguments, in either form.
  bool strictOption = false;
  SigningOptions signingOptions;
  while (args.size() > 1) {
    std::size_t last = 1;
    std::string problem;
    const SigningOptionTaken taken =
        args[1] == "--strict" ? SigningOptionTaken::taken : takeSigningOption(args, last, signingOptions, problem);
    if (taken == SigningOptionTaken::refused) {
      std::fprintf(stderr, "packLoadable: %s\n", problem.c_str());
      return kExitFailure;
    }
    if (taken == SigningOptionTaken::no) break;
    strictOption = strictOption || args[1] == "--strict";
    args.erase(args.begin() + 1, args.begin() + static_cast<std::ptrdiff_t>(last) + 1);
  }
  if (args.size() >= 2 && args[1] == "--elf") {
    const int status = packElf(args, strictOption, signingOptions);
    return finishStandardOutput(status, kExitFailure, kLostOutput);
  }
  if (args.size() < 6) {
    printUsage();
    return usageStatus;
  }
  const bool strict = strictRun(strictOption);
  const std::string& sourcePath = args[1];

  std::string blankAddress;
  if (const std::string refusal = outOfOrderRefusal(args, &blankAddress); !refusal.empty()) {
    return fail("ERROR : Invalid address - ", blankAddress, refusal);
  }
  const auto loadAddress = readAddress(args[4], "load address", strict);
  if (!loadAddress) return kExitFailure;
  const auto execAddress = readAddress(args[5], "exec address", strict);
  if (!execAddress) return kExitFailure;
  // An option after the arguments would be ignored with them: an image meant to be signed would
  // come out unsigned, with status 0.
  for (std::size_t i = 6; i < args.size(); ++i) {
    SigningOptions ignored;
    std::string problem;
    std::size_t at = i;
    if (args[i] == "--strict" || takeSigningOption(args, at, ignored, problem) != SigningOptionTaken::no) {
      std::fprintf(stderr, "packLoadable: %s comes before SOURCE: after the fifth argument it would be ignored\n",
                   escapePath(args[i]).c_str());
      return kExitFailure;
    }
  }
  if (!warn(strict, ignoredArgumentsWarning(args, 6, "fifth"), args.size() > 6 ? args[6] : "")) return kExitFailure;
  std::optional<Signing> signing;
  if (!settleSigning(signingOptions, &signing)) return kExitFailure;

  // Everything about the source is settled before the target is opened, because opening the
  // target empties it.
  Stream source = openSource(sourcePath);
  if (!source) return kExitFailure;
  const auto sourceSize = regularFileSize(source.get());
  if (!sourceSize) return fail("ERROR : Can't find source file - ", sourcePath, inputRefusal(sourcePath, true, 0));
  // An ELF or an image packed already is packed as asked, with a word that it may not be what was meant.
  const InputKind kind = inputKindOf(source.get(), *sourceSize);
  if ((kind == InputKind::elf || kind == InputKind::loadImage) &&
      !warn(strict, repackingWarning(kind, "SOURCE", sourcePath, "packed", "packLoadable --elf packs what it loads"),
            sourcePath)) {
    return kExitFailure;
  }
  const int status = packImage(Packing{source.get(), *sourceSize, *loadAddress, *execAddress, args[3], sourcePath,
                                       args[2], strict, std::move(signing)});
  // A build script that reads the checksum must not be told all went well when it got none;
  // the image itself stays, complete and correct.
  return finishStandardOutput(status, kExitFailure, kLostOutput);
}

}  // namespace

IMAGEPACK_MAIN(run)
