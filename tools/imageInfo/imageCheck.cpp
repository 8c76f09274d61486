#include "imageCheck.hpp"

#include "inputKind.hpp"

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
  std::uint64_t offset = length_;
  length_ += bytes.size();
  if (candidate_ == Candidate::undecided) {
    const std::size_t taken = std::min(bytes.size(), prefix_.size() - prefixLength_);
    std::copy_n(bytes.begin(), taken, prefix_.begin() + static_cast<std::ptrdiff_t>(prefixLength_));
    prefixLength_ += taken;
    bytes = bytes.subspan(taken);
    offset += taken;
    if (prefixLength_ < prefix_.size()) return;
    decide();
  }
  if (candidate_ == Candidate::loadImage || candidate_ == Candidate::both) takeLoadImageBytes(bytes, offset);
  if (candidate_ == Candidate::stampedImage || candidate_ == Candidate::both) crc_.update(bytes);
}

void ImageCheck::takeLoadImageBytes(std::span<const unsigned char> bytes, std::uint64_t offset) {
  // The word-sum covers the padded payload alone, never a trailer after it.
  if (offset < payloadEnd_) {
    const auto inPayload = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), payloadEnd_ - offset));
    sum_.update(bytes.first(inPayload));
    bytes = bytes.subspan(inPayload);
    offset += inPayload;
  }
  const std::uint64_t trailerEnd = payloadEnd_ + kSignatureTrailerSize;
  if (offset < trailerEnd && !bytes.empty()) {
    const auto inTrailer = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), trailerEnd - offset));
    std::copy_n(bytes.begin(), inTrailer, trailer_.begin() + static_cast<std::ptrdiff_t>(offset - payloadEnd_));
  }
}

void ImageCheck::decide() {
  const std::span<const unsigned char> prefix(prefix_);
  const bool stampPlausible = stampHeaderProblem(prefix).empty();
  if (startsLoadImage(prefix) && signsLoadImage(prefix)) {
    candidate_ = stampPlausible ? Candidate::both : Candidate::loadImage;
    payloadEnd_ = kLoadImageHeaderSize + (std::uint64_t{decodeLoadImageHeader(prefix_).imageSize} + 3) / 4 * 4;
    if (stampPlausible) crc_.update(prefix.subspan(kStampHeaderSize));
  } else if (stampPlausible) {
    candidate_ = Candidate::stampedImage;
    crc_.update(prefix.subspan(kStampHeaderSize));  // the payload's first bytes came with the header
  } else {
    candidate_ = Candidate::neither;
  }
}

ImageReport ImageCheck::loadReading() const {
  ImageReport report;
  report.fileLength = length_;
  report.format = ImageFormat::loadImage;
  report.loadHeader = decodeLoadImageHeader(std::span<const unsigned char, kLoadImageHeaderSize>(prefix_));
  report.computedChecksum = sum_.finish();
  const std::uint64_t expected = payloadEnd_;
  // What follows the padded payload: a signature trailer, or bytes that make the length wrong.
  if (length_ > expected) {
    const std::uint64_t after = length_ - expected;
    const std::span<const unsigned char> trailer =
        std::span<const unsigned char>(trailer_).first(static_cast<std::size_t>(std::min<std::uint64_t>(after, kSignatureTrailerSize)));
    const auto decoded = decodeSignatureTrailer(trailer, &report.trailerProblem);
    if (decoded) {
      report.trailer = *decoded;
      report.trailerState = after == kSignatureTrailerSize ? TrailerState::intact : TrailerState::bytesAfter;
    } else if (report.trailerProblem != "no trailer magic") {
      report.trailerState = TrailerState::damaged;
    }
    if (report.trailerState == TrailerState::none) report.trailerProblem.clear();
  }
  if (length_ < expected || (length_ > expected && report.trailerState == TrailerState::none)) {
    report.verdict = describe("damaged: length %llu but header says %llu", static_cast<unsigned long long>(length_),
                              static_cast<unsigned long long>(expected));
  } else if (report.computedChecksum != report.loadHeader.checksum) {
    report.verdict =
        describe("damaged: checksum 0x%08x stored, 0x%08x computed", static_cast<unsigned>(report.loadHeader.checksum),
                 static_cast<unsigned>(report.computedChecksum));
  } else if (report.trailerState == TrailerState::damaged) {
    report.verdict = "damaged: signature trailer " + report.trailerProblem;
  } else if (report.trailerState == TrailerState::bytesAfter) {
    report.verdict = describe("damaged: %llu bytes after the signature trailer",
                              static_cast<unsigned long long>(length_ - expected - kSignatureTrailerSize));
  }
  report.intact = report.verdict.empty();
  if (report.intact) report.verdict = "ok";
  return report;
}

ImageReport ImageCheck::stampedReading(const Crc8& crc) const {
  ImageReport report;
  report.fileLength = length_;
  const StampHeader header = decodeStampHeader(std::span<const unsigned char>(prefix_).first<kStampHeaderSize>());
  const std::uint64_t expected = kStampHeaderSize + std::uint64_t{header.dataLength};
  // A header that is otherwise valid makes a stamped image: a wrong length is damage, as it is
  // for a load image.
  report.format = ImageFormat::stampedImage;
  report.stampHeader = header;
  report.computedCrc8 = crc.result();
  if (length_ != expected) {
    report.verdict = describe("damaged: length %llu but header says %llu", static_cast<unsigned long long>(length_),
                              static_cast<unsigned long long>(expected));
  } else if (report.computedCrc8 != header.crc8) {
    report.verdict = describe("damaged: CRC-8 0x%02x stored, 0x%02x computed", static_cast<unsigned>(header.crc8),
                              static_cast<unsigned>(report.computedCrc8));
  }
  report.intact = report.verdict.empty();
  if (report.intact) report.verdict = "ok";
  return report;
}

ImageReport ImageCheck::finish() const {
  const std::span<const unsigned char> prefix(prefix_.data(), prefixLength_);
  Candidate candidate = candidate_;
  Crc8 crc = crc_;
  if (candidate == Candidate::undecided) {  // shorter than a load-image header
    candidate = stampHeaderProblem(prefix).empty() ? Candidate::stampedImage : Candidate::neither;
    if (candidate == Candidate::stampedImage) crc.update(prefix.subspan(kStampHeaderSize));
  }
  switch (candidate) {
    case Candidate::loadImage:
      return loadReading();
    case Candidate::stampedImage:
      return stampedReading(crc);
    case Candidate::both: {
      ImageReport load = loadReading();
      ImageReport stamped = stampedReading(crc);
      return load.intact || !stamped.intact ? load : stamped;
    }
    case Candidate::undecided:
    case Candidate::neither:
      break;
  }
  // Neither format, said first; then an ELF for what it is, else why the closest format does not
  // fit: a load image when any of its marks is there, else a stamped image.
  ImageReport report;
  report.fileLength = length_;
  const bool nearLoadImage = startsLoadImage(prefix) || signsLoadImage(prefix);
  constexpr const char* kNeither = "not a recognised image: neither a load image nor a stamped image";
  if (inputKindOf(prefix, length_) == InputKind::elf) {
    report.verdict = std::string(kNeither) + " but an ELF file, which packLoadable --elf packs";
  } else {
    report.verdict = std::string(kNeither) + (nearLoadImage ? " (as a load image: " + loadHeaderProblem(prefix) + ")"
                                                            : " (as a stamped image: " + stampHeaderProblem(prefix) + ")");
  }
  return report;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> ImageCheck::payloadRange() const {
  const std::span<const unsigned char> prefix(prefix_.data(), prefixLength_);
  const auto loadRange = [&] {
    const LoadImageHeader header = decodeLoadImageHeader(prefix.first<kLoadImageHeaderSize>());
    return std::pair<std::uint64_t, std::uint64_t>{kLoadImageHeaderSize,
                                                   kLoadImageHeaderSize + std::uint64_t{header.imageSize}};
  };
  const auto stampedRange = [&] {
    const StampHeader header = decodeStampHeader(prefix.first<kStampHeaderSize>());
    return std::pair<std::uint64_t, std::uint64_t>{kStampHeaderSize,
                                                   kStampHeaderSize + std::uint64_t{header.dataLength}};
  };
  if (candidate_ == Candidate::loadImage) return loadRange();
  if (candidate_ == Candidate::stampedImage) return stampedRange();
  if (candidate_ == Candidate::both) {
    // Past one reading's whole length (a signed load image's, for the load-image reading), only
    // the other can still be intact.
    const std::uint64_t loadLength = payloadEnd_ + kSignatureTrailerSize;
    if (length_ > loadLength) return stampedRange();
    if (length_ > stampedRange().second) return loadRange();
  }
  return std::nullopt;
}
