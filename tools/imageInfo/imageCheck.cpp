#include "imageCheck.hpp"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::array<unsigned char, 4> kLoadImageStart = {0x2C, 0x00, 0x00, 0x00};
constexpr std::array<unsigned char, 8> kLoadImageSignature = {0x9F, 0xFF, 0xFF, 0xA0, 0x07, 0x00, 0x00, 0x00};
constexpr std::size_t kSignatureOffset = 32;

template <typename... Args>
std::string describe(const char* pattern, Args... args) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

bool startsLoadImage(std::span<const unsigned char> prefix) {
  return prefix.size() >= kLoadImageStart.size() &&
         std::equal(kLoadImageStart.begin(), kLoadImageStart.end(), prefix.begin());
}

bool signsLoadImage(std::span<const unsigned char> prefix) {
  return prefix.size() >= kSignatureOffset + kLoadImageSignature.size() &&
         std::equal(kLoadImageSignature.begin(), kLoadImageSignature.end(), prefix.begin() + kSignatureOffset);
}

// Why the first 16 bytes cannot start a stamped image, or "" when they can. The length is
// checked at the end, once it is known.
std::string stampHeaderProblem(std::span<const unsigned char> prefix) {
  if (prefix.size() < kStampHeaderSize) {
    return describe("length %zu is shorter than the %zu-byte header", prefix.size(), kStampHeaderSize);
  }
  if (prefix[5] != 0 || prefix[6] != 0 || prefix[7] != 0) {
    return describe("bytes 5-7 are %02X %02X %02X, not zero", prefix[5], prefix[6], prefix[7]);
  }
  if (prefix[14] < 1 || prefix[14] > 12) return describe("month %u is not 1-12", prefix[14]);
  if (prefix[15] < 1 || prefix[15] > 31) return describe("day %u is not 1-31", prefix[15]);
  return "";
}

std::string loadHeaderProblem(std::span<const unsigned char> prefix) {
  if (prefix.size() < kLoadImageHeaderSize) {
    return describe("length %zu is shorter than the %zu-byte header", prefix.size(), kLoadImageHeaderSize);
  }
  if (!startsLoadImage(prefix)) return "bytes 0-3 are not 2C 00 00 00";
  return "bytes 32-39 are not 9F FF FF A0 07 00 00 00";
}

}  // namespace

void ImageCheck::update(std::span<const unsigned char> bytes) {
  length_ += bytes.size();
  if (candidate_ == Candidate::undecided) {
    const std::size_t taken = std::min(bytes.size(), prefix_.size() - prefixLength_);
    std::copy_n(bytes.begin(), taken, prefix_.begin() + static_cast<std::ptrdiff_t>(prefixLength_));
    prefixLength_ += taken;
    bytes = bytes.subspan(taken);
    if (prefixLength_ < prefix_.size()) return;
    decide();
  }
  if (candidate_ == Candidate::loadImage) sum_.update(bytes);
  if (candidate_ == Candidate::stampedImage) crc_.update(bytes);
}

void ImageCheck::decide() {
  const std::span<const unsigned char> prefix(prefix_);
  if (startsLoadImage(prefix) && signsLoadImage(prefix)) {
    candidate_ = Candidate::loadImage;
  } else if (stampHeaderProblem(prefix).empty()) {
    candidate_ = Candidate::stampedImage;
    crc_.update(prefix.subspan(kStampHeaderSize));  // the payload's first bytes came with the header
  } else {
    candidate_ = Candidate::neither;
  }
}

ImageReport ImageCheck::finish() const {
  ImageReport report;
  report.fileLength = length_;
  const std::span<const unsigned char> prefix(prefix_.data(), prefixLength_);

  Candidate candidate = candidate_;
  Crc8 crc = crc_;
  if (candidate == Candidate::undecided) {  // shorter than a load-image header
    candidate = stampHeaderProblem(prefix).empty() ? Candidate::stampedImage : Candidate::neither;
    if (candidate == Candidate::stampedImage) crc.update(prefix.subspan(kStampHeaderSize));
  }

  if (candidate == Candidate::loadImage) {
    report.format = ImageFormat::loadImage;
    report.loadHeader = decodeLoadImageHeader(prefix.first<kLoadImageHeaderSize>());
    report.computedChecksum = sum_.finish();
    const std::uint64_t expected = kLoadImageHeaderSize + (std::uint64_t{report.loadHeader.imageSize} + 3) / 4 * 4;
    if (length_ != expected) {
      report.verdict = describe("damaged: length %llu but header says %llu", static_cast<unsigned long long>(length_),
                                static_cast<unsigned long long>(expected));
    } else if (report.computedChecksum != report.loadHeader.checksum) {
      report.verdict =
          describe("damaged: checksum 0x%08x stored, 0x%08x computed",
                   static_cast<unsigned>(report.loadHeader.checksum), static_cast<unsigned>(report.computedChecksum));
    }
  } else if (candidate == Candidate::stampedImage) {
    const StampHeader header = decodeStampHeader(prefix.first<kStampHeaderSize>());
    const std::uint64_t expected = kStampHeaderSize + std::uint64_t{header.dataLength};
    if (length_ != expected) {
      report.verdict = describe("not a recognised image (as a stamped image: length %llu but header says %llu)",
                                static_cast<unsigned long long>(length_), static_cast<unsigned long long>(expected));
      return report;
    }
    report.format = ImageFormat::stampedImage;
    report.stampHeader = header;
    report.computedCrc8 = crc.result();
    if (report.computedCrc8 != header.crc8) {
      report.verdict = describe("damaged: CRC-8 0x%02x stored, 0x%02x computed", static_cast<unsigned>(header.crc8),
                                static_cast<unsigned>(report.computedCrc8));
    }
  } else {
    // The closest format: a load image when any of its marks is there, else a stamped image.
    const bool nearLoadImage = startsLoadImage(prefix) || signsLoadImage(prefix);
    report.verdict = nearLoadImage ? "not a recognised image (as a load image: " + loadHeaderProblem(prefix) + ")"
                                   : "not a recognised image (as a stamped image: " + stampHeaderProblem(prefix) + ")";
    return report;
  }

  report.intact = report.verdict.empty();
  if (report.intact) report.verdict = "ok";
  return report;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> ImageCheck::payloadRange() const {
  const std::span<const unsigned char> prefix(prefix_.data(), prefixLength_);
  if (candidate_ == Candidate::loadImage) {
    const LoadImageHeader header = decodeLoadImageHeader(prefix.first<kLoadImageHeaderSize>());
    return std::pair<std::uint64_t, std::uint64_t>{kLoadImageHeaderSize,
                                                   kLoadImageHeaderSize + std::uint64_t{header.imageSize}};
  }
  if (candidate_ == Candidate::stampedImage) {
    const StampHeader header = decodeStampHeader(prefix.first<kStampHeaderSize>());
    return std::pair<std::uint64_t, std::uint64_t>{kStampHeaderSize,
                                                   kStampHeaderSize + std::uint64_t{header.dataLength}};
  }
  return std::nullopt;
}
