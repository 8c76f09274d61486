#include "elfCheck.hpp"

#include <cstdio>
#include <span>

#include "elfMatch.hpp"
#include "elfPayload.hpp"
#include "elfSpool.hpp"
#include "fileInput.hpp"
#include "imageCheck.hpp"
#include "printing.hpp"
#include "reportFormat.hpp"
#include "textEscape.hpp"

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
  if (elf.problem != SpooledElf::Problem::none) {
    // "imageInfo --elf app.img app.elf": the two swapped.
    if (elf.problem == SpooledElf::Problem::refused && kindOfFile(elfPath) != InputKind::elf &&
        kindOfFile(imagePath) == InputKind::elf) {
      return trouble(elf.reason + "; " + escapePath(imagePath) + " is an ELF file: the order is --elf ELF IMAGE");
    }
    return trouble(elf.reason);
  }
  std::FILE* spool = elf.spool.get();
  const ElfPayload& payload = elf.payload;

  std::string problem;
  auto input = openInput(imagePath, &problem);
  if (!input) return trouble(problem);
  // The image's payload bytes against the ELF's, in order, while the image is checked.
  ImageCheck check;
  PayloadScan scan(payload.size, [spool](std::span<unsigned char> into) {
    return std::fread(into.data(), 1, into.size(), spool) == into.size();
  });
  const bool readAll = readInput(
      imagePath, *input,
      [&](std::span<const unsigned char> block) {
        check.update(block);
        scan.update(block);
      },
      &problem);
  if (!readAll || scan.elfReadFailed()) {
    return trouble(scan.elfReadFailed() ? "cannot read " + escapePath(elfPath) + "'s payload back" : problem);
  }
  const ImageReport report = check.finish();
  if (report.format != ImageFormat::loadImage) {
    // Say what it is where it is something: an ELF is compared with a load image only.
    return trouble(escapePath(shownPath(imagePath)) +
                   (report.format == ImageFormat::stampedImage
                        ? " is a stamped image, not a load image: --elf compares a load image with its ELF"
                        : " is not a load image: " + report.verdict));
  }
  ElfComparison comparison = compareWithElf(report, payload, elfSum.finish(), scan.firstDifference());
  if (comparison.difference == "execAddress" && !options.execAddress) {
    comparison.verdict += " (packed with --exec? Check it with the same --exec ADDRESS)";
  }
  if (json) {
    std::printf("%s\n", elfComparisonJson(shownPath(imagePath), elfPath, comparison).c_str());
  } else {
    std::fputs(elfComparisonText(shownPath(imagePath), elfPath, comparison).c_str(), stdout);
  }
  return comparison.matches ? 0 : kExitDamaged;
}
