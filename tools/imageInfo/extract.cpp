#include "extract.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cerrno>
#include <cstdio>

#include "blockCopy.hpp"
#include "fileInput.hpp"
#include "imageCheck.hpp"
#include "outputFile.hpp"
#include "paths.hpp"
#include "printing.hpp"
#include "reportFormat.hpp"
#include "signatureCheck.hpp"
#include "streams.hpp"
#include "textEscape.hpp"

bool isStandardOutput(const std::string& outPath) { return outPath == "-" || namesStandardOutput(outPath); }

namespace {

// Whether FILE ("-": standard input) and OUT ("-": standard output) are one regular file.
bool readsItsOwnOutput(const std::string& path, const std::string& outPath) {
  if (path != "-" && outPath != "-" && isSameFile(path, outPath)) return true;
  const auto input = path == "-" ? fileIdentity(0) : fileIdentity(path);
  const auto output = outPath == "-" ? fileIdentity(1) : fileIdentity(outPath);
  return input && input->regular && input == output;
}

enum class Extraction { done, damaged, unreadable, unwritable };

// Writes payload pieces to `out`, remembering the first failure and its reason; nothing more is
// written after one.
struct PayloadWriter {
  std::FILE* out;
  int& error;
  bool failed = false;
  void operator()(std::span<const unsigned char> payload) {
    if (failed || std::fwrite(payload.data(), 1, payload.size(), out) == payload.size()) return;
    failed = true;
    error = errno;
  }
};

// Streams the payload into `out` while the check value runs, in one pass: for an output that
// is kept only if the file turns out intact (a temporary file). report: the file's report.
// Whether a report lets its payload out: intact, and verified where keys were given.
bool passes(const ImageReport& report) { return reportStatus(report) == 0; }

Extraction streamPayload(const std::string& path, Input& input, std::FILE* out, ImageReport& report, int& writeError,
                         const std::vector<PublicKey>& keys, std::string* problem) {
  PayloadExtractor extractor;
  SignedBytesDigest digest;
  PayloadWriter write{out, writeError};
  if (!readInput(
          path, input,
          [&](std::span<const unsigned char> block) {
            extractor.update(block, write);
            if (!keys.empty()) digest.update(block);
          },
          problem)) {
    return Extraction::unreadable;
  }
  report = extractor.finish(write);
  if (!keys.empty()) report.signature = judgeSignature(report, digest.finish(), keys);
  if (!passes(report)) return Extraction::damaged;
  return write.failed ? Extraction::unwritable : Extraction::done;
}

// Writes the payload to `out` only once the whole file is known intact, for an output that
// takes every byte as it comes (standard output, a pipe): a regular FILE is checked, then read
// again for the copy, which must find the same file; standard input is kept in a scratch file
// while it is checked, and copied from there.
Extraction copyVerifiedPayload(const std::string& path, Input& input, std::FILE* out, ImageReport& report,
                               int& writeError, const std::vector<PublicKey>& keys, std::string* problem) {
  Stream spool;
  if (!input.length && !(spool = openSpoolFile())) {
    *problem = std::string("cannot read ") + kStandardInputName + ": no scratch file: " + systemReason(errno);
    return Extraction::unreadable;
  }
  ImageCheck check;
  SignedBytesDigest digest;
  std::uint64_t spooled = 0;
  bool spoolFailed = false;
  if (!readInput(
          path, input,
          [&](std::span<const unsigned char> block) {
            check.update(block);
            if (!keys.empty()) digest.update(block);
            if (!spool) return;
            spoolFailed = spoolFailed || std::fwrite(block.data(), 1, block.size(), spool.get()) != block.size();
            spooled += block.size();
          },
          problem)) {
    return Extraction::unreadable;
  }
  if (spoolFailed) {
    *problem =
        std::string("cannot read ") + kStandardInputName + ": no room for a scratch copy: " + systemReason(errno);
    return Extraction::unreadable;
  }
  report = check.finish();
  if (!keys.empty()) report.signature = judgeSignature(report, digest.finish(), keys);
  if (!passes(report)) return Extraction::damaged;

  std::FILE* source = spool ? spool.get() : input.stream;
  const std::uint64_t length = spool ? spooled : *input.length;
  PayloadExtractor extractor;
  PayloadWriter write{out, writeError};
  const bool reread =
      std::fseek(source, 0, SEEK_SET) == 0 &&
      readBytes(source, length, copyBuffer().first(kCopyBlockSize), [&](std::span<const unsigned char> block) {
        extractor.update(block, write);
        return !write.failed;
      }) != CopyStatus::readFailed;
  if (write.failed) return Extraction::unwritable;
  ImageReport again = extractor.finish(write);
  if (write.failed) return Extraction::unwritable;
  again.signature = report.signature;  // the bytes read again are the ones verified, or the file changed
  if (!reread || reportJson("", again) != reportJson("", report) || (!spool && regularFileSize(source) != length)) {
    *problem = "cannot read " + escapePath(path) + ": the file changed while being read";
    return Extraction::unreadable;
  }
  return Extraction::done;
}

}  // namespace

int extractPayload(const std::string& path, const std::string& outPath, bool json, const std::vector<PublicKey>& keys) {
  if (readsItsOwnOutput(path, outPath)) {
    sayProblem(escapePath(outPath) + " is the file being read");
    return kExitTrouble;
  }
  std::string problem;
  auto input = openInput(path, &problem);
  if (!input) {
    // "imageInfo --extract app.img out.bin": the image given as OUT.
    const InputKind outKind = outPath == "-" ? InputKind::other : kindOfFile(outPath);
    if (outKind == InputKind::loadImage || outKind == InputKind::stampedImage) {
      problem += "; " + escapePath(outPath) + " is an image: the order is --extract OUT FILE";
    }
    sayProblem(problem);
    return kExitTrouble;
  }

  const bool toStandardOutput = isStandardOutput(outPath);
  std::FILE* reportTo = toStandardOutput ? stderr : stdout;
  OutputFile file;
  std::FILE* out = stdout;
  if (toStandardOutput) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // large blocks already; a failed write shows at once
  } else {
    errno = 0;
    if (!file.open(outPath)) {
      sayProblem("cannot create " + escapePath(outPath) + ": " + systemReason(errno));
      return kExitTrouble;
    }
    out = file.stream();
  }

  ImageReport report;
  int writeError = 0;
  const Extraction extraction = !toStandardOutput && file.seekable()
                                    ? streamPayload(path, *input, out, report, writeError, keys, &problem)
                                    : copyVerifiedPayload(path, *input, out, report, writeError, keys, &problem);
  if (extraction == Extraction::unreadable) {  // the output is discarded with `file`
    sayProblem(problem);
    return kExitTrouble;
  }
  if (extraction == Extraction::damaged) {
    file.discard();
    printExtractReport(reportTo, path, report, json);
    return reportStatus(report);
  }
  errno = 0;
  if (extraction == Extraction::unwritable || (!toStandardOutput && !file.commit())) {
    const int reason = writeError != 0 ? writeError : errno != 0 ? errno : EIO;
    file.discard();
    if (toStandardOutput) std::clearerr(stdout);  // said here, and not again as a lost report
    sayProblem("cannot write " + escapePath(outPath) + ": " + systemReason(reason));
    return kExitTrouble;
  }
  printExtractReport(reportTo, path, report, json, &outPath);
  return 0;
}
