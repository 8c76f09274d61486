// libFuzzer target: arbitrary flash under the target library's install, and arbitrary streams
// through its staging, on the flash model (256-byte sectors, 8-byte unit under the ECC rule).
// The first byte picks the mode: arbitrary flash, a real staging with the input's bytes laid
// over the flash afterwards, or a stream. Beyond the sanitizers' own checks it traps when:
// - install says it installed, but the primary slot does not hold the update slot's image, or
//   says anything else and the primary slot changed;
// - staging accepts a stream that is not, byte for byte, what the update slot then holds;
// - either breaks a flash rule on the model.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "imageUpdate.h"
#include "support/flashModel.hpp"

namespace {

constexpr std::uint32_t kSector = 256;
constexpr std::uint32_t kSlot = 4 * kSector;
const FlashGeometry kGeometry{"fuzz", kSector, 8, 0xFF, true, true};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  FlashModel flash(kGeometry, 2 * kSlot + 3 * kSector);
  const ldrUpdateLayout layout{flash.flash(), 0, kSlot, kSlot, 2 * kSlot, 0x20000000, 0x10000, 2 * kSlot + 2 * kSector};
  const Bytes input(data + 1, data + size);
  const std::size_t flashSize = 2 * kSlot + 2 * kSector;
  if (data[0] % 3 != 2) {
    if (data[0] % 3 == 0) {
      // The whole flash as the input says.
      flash.place(0, Bytes(input.begin(), input.begin() + static_cast<long>(std::min(input.size(), flashSize))));
    } else {
      // A real image staged, then the input's bytes over the flash from the offset its first two give.
      Bytes image(44 + 600);
      for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 37u);
      const std::uint32_t fields[] = {44, 600, 0x20000000, 0x20000001};
      for (std::size_t i = 0; i < 16; ++i) image[i] = static_cast<unsigned char>(fields[i / 4] >> (8 * (i % 4)));
      const std::uint32_t constants[] = {0xA0FFFF9F, 7};
      for (std::size_t i = 0; i < 8; ++i) image[32 + i] = static_cast<unsigned char>(constants[i / 4] >> (8 * (i % 4)));
      ldrWordSum sum;
      ldrWordSumStart(&sum);
      ldrWordSumUpdate(&sum, image.data() + 44, 600);
      const std::uint32_t checksum = ldrWordSumFinish(&sum);
      for (std::size_t i = 0; i < 4; ++i) image[40 + i] = static_cast<unsigned char>(checksum >> (8 * i));
      ldrStaging staging;
      if (ldrStageBegin(&staging, &layout) != LDR_OK || ldrStageWrite(&staging, image.data(), image.size()) != LDR_OK ||
          ldrStageFinish(&staging) != LDR_OK)
        __builtin_trap();
      if (input.size() >= 2) {
        const std::size_t offset = (input[0] | std::size_t{input[1]} << 8) % flashSize;
        Bytes over = flash.peek(static_cast<std::uint32_t>(offset), std::min(input.size() - 2, flashSize - offset));
        for (std::size_t i = 0; i < over.size(); ++i) over[i] ^= input[2 + i];
        flash.place(static_cast<std::uint32_t>(offset), over);
      }
    }
    const Bytes primary = flash.peek(0, kSlot);
    ldrInstallOutcome outcome;
    (void)ldrInstall(&layout, &outcome);
    const Bytes after = flash.peek(0, kSlot);
    if (outcome == LDR_INSTALLED) {
      ldrLoadImageInfo image;
      const Bytes update = flash.peek(kSlot, kSlot);
      if (ldrCheckLoadImage(update.data(), update.size(), &image) != LDR_OK ||
          !std::equal(update.begin(), update.begin() + static_cast<long>(image.length), after.begin()))
        __builtin_trap();
    } else if (after != primary) {
      __builtin_trap();
    }
  } else {
    // The input as a stream, in chunks of the size its second byte gives.
    const std::size_t chunk = size > 1 ? data[1] % 97 + 1 : 1;
    ldrStaging staging;
    ldrStatus status = ldrStageBegin(&staging, &layout);
    for (std::size_t at = 0; status == LDR_OK && at < input.size(); at += chunk)
      status = ldrStageWrite(&staging, input.data() + at, std::min(chunk, input.size() - at));
    if (status == LDR_OK) status = ldrStageFinish(&staging);
    if (status == LDR_OK && flash.peek(kSlot, input.size()) != input) __builtin_trap();
  }
  if (flash.violations() != 0) __builtin_trap();
  return 0;
}
