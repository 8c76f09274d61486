// libFuzzer target: the target library and imageInfo's checks, two implementations of the same
// rules, given the same bytes. It traps on any difference:
// - in the verdict: imageInfo finds the file intact exactly when the library takes it, in one
//   format or the other, as an image that is the whole file (for a signed load image, the whole
//   file but its signature trailer, which the library's checks do not read); and where the
//   library takes it in one format only, imageInfo names that format;
// - in the check value: where both read the file as a whole image of one format, the computed
//   checksum or CRC-8 is the same.
// Built once per form of the library (fast and small), so both CRC-8 and word-sum forms meet
// imageInfo's.

#include <cstddef>
#include <cstdint>
#include <span>

#include "imageCheck.hpp"
#include "imageLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const unsigned char nothing = 0;
  const unsigned char* bytes = size == 0 ? &nothing : data;

  ImageCheck check;
  // Fed in two pieces split where the last byte says: the split must not matter either.
  const std::size_t cut = size == 0 ? 0 : bytes[size - 1] % (size + 1);
  check.update(std::span<const unsigned char>(bytes, cut));
  check.update(std::span<const unsigned char>(bytes + cut, size - cut));
  const ImageReport report = check.finish();

  ldrLoadImageInfo load;
  const ldrStatus loadStatus = ldrCheckLoadImage(bytes, size, &load);
  const std::size_t imageEnd =
      report.format == ImageFormat::loadImage && report.trailerState == TrailerState::intact ? size - kSignatureTrailerSize
                                                                                             : size;
  const bool wholeLoad = (loadStatus == LDR_OK || loadStatus == LDR_BAD_CHECKSUM) && load.length == imageEnd;
  const bool takesLoad = loadStatus == LDR_OK && wholeLoad;

  ldrStampedImageInfo stamped;
  const ldrStatus stampStatus = ldrCheckStampedImage(bytes, size, &stamped);
  const bool wholeStamped = (stampStatus == LDR_OK || stampStatus == LDR_BAD_CRC) && stamped.length == size;
  const bool takesStamped = stampStatus == LDR_OK && wholeStamped;

  if (report.intact != (takesLoad || takesStamped)) __builtin_trap();
  if (report.intact && report.format == ImageFormat::loadImage && !takesLoad) __builtin_trap();
  if (report.intact && report.format == ImageFormat::stampedImage && !takesStamped) __builtin_trap();
  if (takesLoad && !takesStamped && report.format != ImageFormat::loadImage) __builtin_trap();
  if (takesStamped && !takesLoad && report.format != ImageFormat::stampedImage) __builtin_trap();

  if (report.format == ImageFormat::loadImage && wholeLoad && report.computedChecksum != load.computedChecksum)
    __builtin_trap();
  if (report.format == ImageFormat::stampedImage && wholeStamped && report.computedCrc8 != stamped.computedCrc8)
    __builtin_trap();
  return 0;
}
