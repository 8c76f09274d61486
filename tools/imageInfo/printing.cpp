#include "printing.hpp"

#include "fileInput.hpp"
#include "reportFormat.hpp"
#include "standardStreams.hpp"
#include "textEscape.hpp"

int reportStatus(const ImageReport& report) {
  if (!report.signature) return report.intact ? 0 : kExitDamaged;
  switch (*report.signature) {
    case SignatureVerdict::trailerDamaged:
      return kExitTrailerDamaged;
    case SignatureVerdict::bytesAfterTrailer:
      return kExitBytesAfterTrailer;
    default:
      break;
  }
  if (!report.intact) return kExitDamaged;
  switch (*report.signature) {
    case SignatureVerdict::verified:
      return 0;
    case SignatureVerdict::unknownKey:
      return kExitUnknownKey;
    case SignatureVerdict::badSignature:
      return kExitBadSignature;
    default:
      return kExitUnsigned;
  }
}

void sayProblem(const std::string& problem) { std::fprintf(stderr, "imageInfo: %s\n", problem.c_str()); }

void printReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json, bool first,
                 const std::string* extractedTo) {
  if (json) {
    std::fprintf(to, "%s\n  %s", first ? "" : ",", reportJson(shownPath(path), report, extractedTo).c_str());
  } else {
    std::fprintf(to, "%s%s", first ? "" : "\n", reportText(shownPath(path), report).c_str());
    if (extractedTo != nullptr) std::fprintf(to, "payload written to %s\n", escapePath(*extractedTo).c_str());
  }
  flushStandardOutput();  // keep results and read problems in order on a shared terminal
}

void printExtractReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json,
                        const std::string* extractedTo) {
  if (json) std::fputs("[", to);
  printReport(to, path, report, json, true, extractedTo);
  if (json) std::fputs("\n]\n", to);
}
