#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "loadImage.hpp"
#include "signatureTrailer.hpp"
#include "stampHeader.hpp"

enum class ImageFormat { loadImage, stampedImage, unrecognised };

// The longest file that can be read both as a load image and as a stamped image: such a load
// image has an image size below 256 (bytes 5-7, its high bytes, are a stamp's zero bytes), and
// may be signed.
inline constexpr std::size_t kMostAmbiguousLength = 44 + 256 + kSignatureTrailerSize;

// A load image's signature trailer, as found after its padded payload.
enum class TrailerState {
  none,        // nothing after the payload (or bytes that are no trailer: the length is wrong)
  intact,      // one trailer of the fixed layout, and nothing after it
  damaged,     // a trailer's magic, but cut short or with a field of the wrong value
  bytesAfter,  // a whole trailer, and bytes after it
};

// Whether a signed image verifies against the keys it is checked with.
enum class SignatureVerdict {
  verified,           // signed by one of the keys, and the signature holds
  unknownKey,         // signed by a key not given
  badSignature,       // signed by one of the keys, but the signature does not hold
  unsignedImage,      // no signature at all (a stamped image has none)
  trailerDamaged,     // the trailer is cut short or damaged
  bytesAfterTrailer,  // bytes follow the trailer
};

// What one file turned out to be, its header fields, and whether it is intact.
struct ImageReport {
  ImageFormat format = ImageFormat::unrecognised;
  std::uint64_t fileLength = 0;
  LoadImageHeader loadHeader;  // valid when format is loadImage
  std::uint32_t computedChecksum = 0;
  StampHeader stampHeader;  // valid when format is stampedImage
  std::uint8_t computedCrc8 = 0;
  TrailerState trailerState = TrailerState::none;  // a load image's
  SignatureTrailer trailer;                        // valid when trailerState is intact or bytesAfter
  std::string trailerProblem;                      // why, when trailerState is damaged
  std::optional<SignatureVerdict> signature;       // set where the file was checked against keys
  bool intact = false;
  // "ok"; "damaged: ..." for a recognised file that fails a check; or "not a recognised image"
  // followed by why the closest format did not fit.
  std::string verdict;
};

// Recognises and verifies one file, fed in order in pieces of any size. It keeps no more than a
// header's worth of the file, so any file can be checked in constant memory; any split of the
// file into pieces gives the same report.
//
// A load image is at least 44 bytes and starts 2C 00 00 00, with 9F FF FF A0 07 00 00 00 at
// bytes 32-39; it is intact when its length is 44 + the image size rounded up to whole words
// (and a signature trailer, where one follows) and the word-sum of those words matches. A stamped image is at least 16 bytes with bytes 5-7
// zero, a data length of the file's length - 16, month 1-12 and day 1-31; it is intact when the
// CRC-8 of its payload matches. A file that can be read both ways (a load image with an image
// size below 256 and an exec address whose bytes pass for a date) is checked both ways; the
// report is the reading whose check value holds, and the load-image reading when neither does.
class ImageCheck {
 public:
  void update(std::span<const unsigned char> bytes);
  // The report on everything fed so far, taken as the whole file.
  ImageReport finish() const;

  // Where the payload lies once the format is known, by the header's own length field: file
  // offsets [first, last), the header and a load image's padding left out. Nullopt while
  // undecided and for a file in neither format. The format is known after 44 bytes, except for
  // a file that can be read both ways: then once one reading's length is exceeded, or at the
  // end (from the report), which is at most kMostAmbiguousLength bytes in.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> payloadRange() const;

 private:
  enum class Candidate { undecided, loadImage, stampedImage, both, neither };

  // Chooses the format the file can only be from its first 44 bytes.
  void decide();
  // The report of each reading, once the file is complete.
  ImageReport loadReading() const;
  ImageReport stampedReading(const Crc8& crc) const;

  // Takes the bytes from file offset `offset` on: the payload's into the word-sum, a trailer's
  // into trailer_.
  void takeLoadImageBytes(std::span<const unsigned char> bytes, std::uint64_t offset);

  std::array<unsigned char, kLoadImageHeaderSize> prefix_{};
  std::size_t prefixLength_ = 0;
  std::uint64_t length_ = 0;
  Candidate candidate_ = Candidate::undecided;
  std::uint64_t payloadEnd_ = 0;  // of a load image: 44 + the padded payload
  std::array<unsigned char, kSignatureTrailerSize> trailer_{};
  WordSum sum_;
  Crc8 crc_;
};

// An ImageCheck that also hands out the payload as it streams past: update() gives each
// payload byte to write(std::span<const unsigned char>) once, in order, as soon as the format
// is known; finish() gives any payload still held (a stamped image shorter than a load-image
// header). The caller keeps what it was given only when the report says the file is intact.
class PayloadExtractor {
 public:
  template <typename Write>
  void update(std::span<const unsigned char> bytes, Write&& write) {
    check_.update(bytes);
    const std::uint64_t offset = length_;
    length_ += bytes.size();
    if (range_) {
      emit(bytes, offset, write);
      return;
    }
    const std::size_t taken = std::min(bytes.size(), head_.size() - headLength_);
    std::copy_n(bytes.begin(), taken, head_.begin() + static_cast<std::ptrdiff_t>(headLength_));
    headLength_ += taken;
    range_ = check_.payloadRange();
    if (range_) {
      emit(std::span<const unsigned char>(head_.data(), headLength_), 0, write);
      emit(bytes.subspan(taken), offset + taken, write);
    }
  }

  template <typename Write>
  ImageReport finish(Write&& write) {
    ImageReport report = check_.finish();
    // Still undecided: a stamped image shorter than a load-image header, or a file that could
    // be read both ways, all of it held here.
    if (range_) return report;
    if (report.format == ImageFormat::stampedImage) {
      range_ = {kStampHeaderSize, kStampHeaderSize + std::uint64_t{report.stampHeader.dataLength}};
    } else if (report.format == ImageFormat::loadImage) {
      range_ = {kLoadImageHeaderSize, kLoadImageHeaderSize + std::uint64_t{report.loadHeader.imageSize}};
    }
    if (range_) emit(std::span<const unsigned char>(head_.data(), headLength_), 0, write);
    return report;
  }

 private:
  // Gives `write` the part of `bytes`, which start at file offset `offset`, inside the payload.
  template <typename Write>
  void emit(std::span<const unsigned char> bytes, std::uint64_t offset, Write& write) {
    const std::uint64_t first = std::max(offset, range_->first);
    const std::uint64_t last = std::min(offset + bytes.size(), range_->second);
    if (first < last)
      write(bytes.subspan(static_cast<std::size_t>(first - offset), static_cast<std::size_t>(last - first)));
  }

  ImageCheck check_;
  std::array<unsigned char, kMostAmbiguousLength> head_{};  // the file's start, until the format is known
  std::size_t headLength_ = 0;
  std::uint64_t length_ = 0;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> range_;
};
