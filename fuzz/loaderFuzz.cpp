// libFuzzer target: arbitrary bytes through the target library's whole-image checks, as they
// would meet a loader in flash. Beyond the sanitizers' own checks it traps when:
// - a whole-image call reads outside the bytes it was given (ASan) or says OK for an image
//   whose stored and computed check values differ;
// - the running check values fed in two chunks give another result than one pass, or than
//   the whole-image call;
// - an image said to fit claims more bytes than were available;
// - the extent calls a chunked loader uses disagree with the whole-image calls;
// - the signature trailer reader takes a trailer that is not whole, or misplaces its fields, or
//   the signature check takes an image whose trailer the reader does not.

#include <cstddef>
#include <cstdint>

#include "imageLoader.h"
#ifdef LOADER_FUZZ_SIGNED
#include "imageVerify.h"
#include "trustedKey.h"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const unsigned char nothing = 0;
  const unsigned char* bytes = size == 0 ? &nothing : data;

  ldrLoadImageInfo load;
  const ldrStatus loadStatus = ldrCheckLoadImage(bytes, size, &load);
  if (loadStatus == LDR_OK && load.computedChecksum != load.header.checksum) __builtin_trap();
  if (loadStatus == LDR_OK || loadStatus == LDR_BAD_CHECKSUM) {
    if (load.length > size || load.payload != bytes + LDR_LOAD_HEADER_SIZE) __builtin_trap();
    const std::size_t payloadBytes = load.length - LDR_LOAD_HEADER_SIZE;
    const std::size_t cut = payloadBytes == 0 ? 0 : bytes[size - 1] % (payloadBytes + 1);
    ldrWordSum sum;
    ldrWordSumStart(&sum);
    ldrWordSumUpdate(&sum, load.payload, cut);
    ldrWordSumUpdate(&sum, load.payload + cut, payloadBytes - cut);
    if (ldrWordSumFinish(&sum) != load.computedChecksum) __builtin_trap();
    ldrCheckPlacement(&load.header, bytes[0] * 0x01010101u, bytes[size - 1] * 0x00FF00FFu);
    ldrCheckInPlace(&load.header, bytes[size - 1] * 0x01000001u);
    // What follows the payload, read as a trailer: taken only whole, with its fields in place.
    ldrSignatureTrailer trailer;
    const std::size_t after = size - load.length;
    const ldrStatus trailerStatus = ldrReadSignatureTrailer(bytes + load.length, after, &trailer);
    if (trailerStatus == LDR_OK &&
        (after < LDR_TRAILER_SIZE || bytes[load.length + 44] != (trailer.securityCounter & 0xFFu) ||
         trailer.keyId[0] != bytes[load.length + 12] || trailer.signature[63] != bytes[load.length + 111]))
      __builtin_trap();
    if (trailerStatus != LDR_OK && trailerStatus != LDR_NOT_SIGNED && trailerStatus != LDR_TRAILER_DAMAGED) __builtin_trap();
#ifdef LOADER_FUZZ_SIGNED
    // The signature check: it reads no byte past those given, and a trailer it takes is the one
    // read above.
    static const ldrTrustedKey keys[] = {RFC6979_PUBLIC_TRUSTED_KEY};
    static const ldrTrust trust = LDR_TRUST(keys, 1);
    std::uint32_t counter = 1;
    const ldrStatus verified = ldrVerifyImage(&trust, bytes, size, &counter);
    if (verified == LDR_OK ? trailerStatus != LDR_OK || counter != trailer.securityCounter : counter != 0) __builtin_trap();
#endif
  }
  if (size >= LDR_LOAD_HEADER_SIZE &&
      (loadStatus == LDR_OK || loadStatus == LDR_BAD_CHECKSUM || loadStatus == LDR_IMAGE_TRUNCATED)) {
    std::size_t payloadBytes = 1;
    const ldrStatus extent = ldrLoadImageExtent(&load.header, size, &payloadBytes);
    if ((extent == LDR_OK) != (loadStatus != LDR_IMAGE_TRUNCATED)) __builtin_trap();
    if (extent == LDR_OK ? payloadBytes != load.length - LDR_LOAD_HEADER_SIZE : payloadBytes != 0) __builtin_trap();
  }

  ldrStampedImageInfo stamped;
  const ldrStatus stampStatus = ldrCheckStampedImage(bytes, size, &stamped);
  if (stampStatus == LDR_OK && stamped.computedCrc8 != stamped.header.crc8) __builtin_trap();
  if (stampStatus == LDR_OK || stampStatus == LDR_BAD_CRC) {
    if (stamped.length > size || stamped.header.month < 1 || stamped.header.month > 12) __builtin_trap();
    const std::size_t payloadBytes = stamped.length - LDR_STAMP_HEADER_SIZE;
    const std::size_t cut = payloadBytes == 0 ? 0 : bytes[0] % (payloadBytes + 1);
    const std::uint8_t crc =
        ldrCrc8Update(ldrCrc8Update(0, stamped.payload, cut), stamped.payload + cut, payloadBytes - cut);
    if (crc != stamped.computedCrc8) __builtin_trap();
    std::size_t extent = 0;
    if (ldrStampedImageExtent(&stamped.header, size, &extent) != LDR_OK || extent != payloadBytes) __builtin_trap();
  }
  if (ldrStatusName(loadStatus)[0] != 'L' || ldrStatusName(stampStatus)[0] != 'L') __builtin_trap();
  return 0;
}
