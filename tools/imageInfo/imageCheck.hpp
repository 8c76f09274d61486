#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "loadImage.hpp"
#include "stampHeader.hpp"

enum class ImageFormat { loadImage, stampedImage, unrecognised };

// What one file turned out to be, its header fields, and whether it is intact.
struct ImageReport {
  ImageFormat format = ImageFormat::unrecognised;
  std::uint64_t fileLength = 0;
  LoadImageHeader loadHeader;  // valid when format is loadImage
  std::uint32_t computedChecksum = 0;
  StampHeader stampHeader;  // valid when format is stampedImage
  std::uint8_t computedCrc8 = 0;
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
// and the word-sum of those words matches. A stamped image is at least 16 bytes with bytes 5-7
// zero, a data length of the file's length - 16, month 1-12 and day 1-31; it is intact when the
// CRC-8 of its payload matches.
class ImageCheck {
 public:
  void update(std::span<const unsigned char> bytes);
  // The report on everything fed so far, taken as the whole file.
  ImageReport finish() const;

 private:
  enum class Candidate { undecided, loadImage, stampedImage, neither };

  // Chooses the format the file can only be from its first 44 bytes.
  void decide();

  std::array<unsigned char, kLoadImageHeaderSize> prefix_{};
  std::size_t prefixLength_ = 0;
  std::uint64_t length_ = 0;
  Candidate candidate_ = Candidate::undecided;
  WordSum sum_;
  Crc8 crc_;
};
