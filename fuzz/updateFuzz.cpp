// libFuzzer target: arbitrary flash under the target library's install, and arbitrary streams
// through its staging, on the flash model (256-byte sectors, 8-byte unit under the ECC rule).
// The first byte picks the mode: arbitrary flash, a real staging with the input's bytes laid
// over the flash afterwards (installed then, or on trial, booted twice), or a stream. Beyond the sanitizers' own checks it traps when:
// - install says it installed, but the primary slot does not hold the update slot's image, or
//   says anything else and the primary slot changed;
// - on trial, after the input's bytes were laid over the flash, two boots leave a primary slot
//   that is neither the staged image nor the one before, where neither a slot's bytes nor the
//   status area's were changed (the scratch sector's may be);
// - staging accepts a stream that is not, byte for byte, what the update slot then holds;
// - either breaks a flash rule on the model;
// - on a device that takes signed images only, either installs or stages an image whose
//   signature does not verify.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "imageUpdate.h"
#include "support/flashModel.hpp"
#ifdef UPDATE_FUZZ_SIGNED
#include "imageVerify.h"
#include "trustedKey.h"
#endif

namespace {

constexpr std::uint32_t kSector = 256;
constexpr std::uint32_t kSlot = 4 * kSector;
const FlashGeometry kGeometry{"fuzz", kSector, 8, 0xFF, true, true};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Bit 5 of the first byte: a status log that goes round three sectors instead of two.
  const std::uint32_t statusSectors = (data[0] & 0x20) != 0 ? 3 : 2;
  FlashModel flash(kGeometry, 2 * kSlot + (statusSectors + 1) * kSector);
  ldrUpdateLayout layout{flash.flash(), 0,       kSlot, kSlot, 2 * kSlot, 0x20000000, 0x10000, 2 * kSlot + statusSectors * kSector,
                         nullptr,       statusSectors};
#ifdef UPDATE_FUZZ_SIGNED
  // Bit 4 of the first byte: a device that takes signed images only, over arbitrary flash or a
  // stream (the modes that stage images of their own stage unsigned ones).
  static const ldrTrustedKey keys[] = {RFC6979_PUBLIC_TRUSTED_KEY};
  static const ldrTrust trust = LDR_TRUST(keys, 1);
  if ((data[0] & 0x10) != 0 && data[0] % 2 == 0) layout.trust = &trust;
#endif
  const Bytes input(data + 1, data + size);
  const std::size_t flashSize = 2 * kSlot + statusSectors * kSector;
  if (data[0] % 4 != 2) {
    if (data[0] % 4 == 0) {
      // The whole flash as the input says.
      flash.place(0, Bytes(input.begin(), input.begin() + static_cast<long>(std::min(input.size(), flashSize))));
    } else {
      // An old image installed, a new one staged, then the input's bytes over the flash from the
      // offset its first two give.
      const auto makeImage = [](unsigned salt) {
        Bytes file(44 + 600);
        for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<unsigned char>(i * 37u + salt);
        const std::uint32_t fields[] = {44, 600, 0x20000000, 0x20000001};
        for (std::size_t i = 0; i < 16; ++i) file[i] = static_cast<unsigned char>(fields[i / 4] >> (8 * (i % 4)));
        const std::uint32_t constants[] = {0xA0FFFF9F, 7};
        for (std::size_t i = 0; i < 8; ++i) file[32 + i] = static_cast<unsigned char>(constants[i / 4] >> (8 * (i % 4)));
        ldrWordSum sum;
        ldrWordSumStart(&sum);
        ldrWordSumUpdate(&sum, file.data() + 44, 600);
        const std::uint32_t checksum = ldrWordSumFinish(&sum);
        for (std::size_t i = 0; i < 4; ++i) file[40 + i] = static_cast<unsigned char>(checksum >> (8 * i));
        return file;
      };
      const auto stage = [&layout](const Bytes& file) {
        ldrStaging staging;
        if (ldrStageBegin(&staging, &layout) != LDR_OK || ldrStageWrite(&staging, file.data(), file.size()) != LDR_OK ||
            ldrStageFinish(&staging) != LDR_OK)
          __builtin_trap();
      };
      ldrInstallOutcome installed;
      stage(makeImage(1));
      if (ldrInstall(&layout, &installed) != LDR_OK || installed != LDR_INSTALLED) __builtin_trap();
      const Bytes image = makeImage(2);
      stage(image);
      const Bytes oldPrimary = flash.peek(0, image.size());
      bool overSlots = false;
      if (data[0] % 4 == 3) {
        // On trial: installed, then the input over the flash, then two boots more.
        ldrInstallOutcome outcome;
        (void)ldrInstallOnTrial(&layout, &outcome);
        if (outcome != LDR_ON_TRIAL) __builtin_trap();
      }
      if (input.size() >= 2) {
        const std::size_t offset = (input[0] | std::size_t{input[1]} << 8) % flashSize;
        Bytes over = flash.peek(static_cast<std::uint32_t>(offset), std::min(input.size() - 2, flashSize - offset));
        for (std::size_t i = 0; i < over.size(); ++i) over[i] ^= input[2 + i];
        // Bytes changed in the slots or the status area: forged state, which no power cut makes
        // (a cut moves bits one way only), so the image check below does not hold there.
        overSlots = offset < flashSize && over != flash.peek(static_cast<std::uint32_t>(offset), over.size());
        flash.place(static_cast<std::uint32_t>(offset), over);
      }
      if (data[0] % 4 == 3) {
        for (int boot = 0; boot < 2; ++boot) {
          ldrInstallOutcome outcome;
          (void)ldrInstallOnTrial(&layout, &outcome);
        }
        const Bytes primary = flash.peek(0, image.size());
        if (!overSlots && primary != image && primary != oldPrimary) __builtin_trap();
        if (flash.violations() != 0) __builtin_trap();
        return 0;
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
      std::uint32_t counter;
      if (layout.trust != nullptr && ldrVerifyImage(layout.trust, after.data(), after.size(), &counter) != LDR_OK)
        __builtin_trap();  // installed without a signature that holds
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
    std::uint32_t counter;
    if (status == LDR_OK && layout.trust != nullptr && ldrVerifyImage(layout.trust, input.data(), input.size(), &counter) != LDR_OK)
      __builtin_trap();  // staged without a signature that holds
  }
  if (flash.violations() != 0) __builtin_trap();
  return 0;
}
