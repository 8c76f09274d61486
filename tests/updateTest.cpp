// Staging and install on the flash model: refusals, outcomes and the layout check as tables;
// then the power-cut campaign. On the flash model, an application stages a new image and the boot
// loader installs it, and the power is cut in every erase and program of both: before it
// starts, torn inside it (each unit of a program, random bit mixes of an erase) and right
// after it. After each cut the device boots again, and at sampled points the power is cut once
// more during that recovery. Each run is checked in one place: the image that would start is
// byte for byte the old or the new one, there always is one, an update slot that checks intact
// holds what was sent, the model saw no rule broken, and a device that ends on the old image
// still takes the new one. The same campaign catches a naive installer.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "imageUpdate.h"
#include "support/flashModel.hpp"
#include "support/loadImageFile.hpp"
#include "support/testFiles.hpp"
#ifdef UPDATE_TESTS_SIGNED
#include "support/signedImages.hpp"
#include "testKeys.hpp"
#endif

namespace {

constexpr std::uint32_t kRamStart = 0x20000000;
constexpr std::uint32_t kRamSize = 0x10000;

// The geometries the campaign runs on. The last cannot keep a torn header from checking
// intact in the slot alone (see slotAloneSafe); the status record still keeps it uninstalled.
const FlashGeometry kGeometries[] = {
    {"4 KiB sectors, 1-byte unit, erased 0xFF", 4096, 1, 0xFF, false, false},
    {"2 KiB sectors, 8-byte unit, ECC, torn reads fail", 2048, 8, 0xFF, true, true},
    {"2 KiB sectors, 8-byte unit, ECC, torn reads return bits", 2048, 8, 0xFF, true, false},
    {"4 KiB sectors, 4-byte unit, erased 0x00", 4096, 4, 0x00, false, false},
    {"256-byte sectors, 32-byte unit", 256, 32, 0xFF, false, false},
    {"1 KiB sectors, 32-byte unit, ECC, torn reads return bits", 1024, 32, 0xFF, true, false},
    {"2 KiB sectors, 128-byte unit, ECC, torn reads fail", 2048, 128, 0xFF, true, true},
    {"2 KiB sectors, 128-byte unit, ECC, torn reads return bits", 2048, 128, 0xFF, true, false},
    {"4 KiB sectors, 256-byte unit, ECC, torn reads fail", 4096, 256, 0xFF, true, true},
    {"4 KiB sectors, 256-byte unit, ECC, torn reads return bits", 4096, 256, 0xFF, true, false},
    {"8 KiB sectors, 512-byte unit, ECC, torn reads fail", 8192, 512, 0xFF, true, true},
    {"8 KiB sectors, 512-byte unit, ECC, torn reads return bits", 8192, 512, 0xFF, true, false},
};

// Whether a cut inside the header can never leave the slot checking intact with other bytes:
// everywhere but under the ECC rule with a unit that holds the magic number beside payload or
// checksum bytes, whose torn bits read back.
[[maybe_unused]] bool slotAloneSafe(const FlashGeometry& geometry) {
  return !geometry.programOnce || geometry.tornReadsFail || geometry.programUnit <= 8;
}

Bytes endingIn(std::size_t size, std::size_t tail, unsigned char value, std::uint32_t seed) {
  Bytes payload = randomBytes(size, seed);
  std::fill(payload.end() - static_cast<long>(tail), payload.end(), value);
  return payload;
}

// Zeros first too, where the header's last program units hold payload bytes.
Bytes zerosAtBothEnds(std::size_t size, std::uint32_t seed) {
  Bytes payload = endingIn(size, 96, 0x00, seed);
  std::fill_n(payload.begin(), 64, 0x00);
  return payload;
}

// What the device holds at the start and what the application sends.
struct Scenario {
  const char* name;
  Bytes oldImage;
  Bytes newImage;
  int stagings;      // how often the application stages newImage before the reset; 0: it stands
                     // in the update slot already
  bool installable;  // whether the install must end with the new image
  std::uint64_t sampled = 1;  // cuts at every this-many-th operation only: the large images whose
                              // point is where they end, not their many operations
};

std::vector<Scenario> scenarios(std::uint32_t slotSize, std::uint32_t sectorSize) {
  const Bytes old = loadImage(randomBytes(5000, 1), kRamStart, kRamStart + 1);
  Bytes oneByte = old;
  oneByte[3000] ^= 0x10;
  oneByte[40] = oneByte[41] = oneByte[42] = oneByte[43] = 0;  // the checksum, made again below
  const Bytes oneBytePayload(oneByte.begin() + 44, oneByte.end());
  return {
      {"starts and ends in zeros", old, loadImage(zerosAtBothEnds(4052, 2), kRamStart, kRamStart + 1), 1, true},
      {"ends in 0xFF", old, loadImage(endingIn(3000, 200, 0xFF, 3), kRamStart, kRamStart + 1), 1, true},
      {"odd size, in one sector", old, loadImage(randomBytes(201, 4), kRamStart, kRamStart + 1), 1, true},
      {"many sectors", old, loadImage(randomBytes(slotSize - 600, 5), kRamStart, kRamStart + 1), 1, true},
      {"staged twice", old, loadImage(randomBytes(1500, 6), kRamStart, kRamStart + 1), 2, true},
      {"the installed image again", old, old, 1, true},
      {"one byte differs", old, loadImage(oneBytePayload, kRamStart, kRamStart + 1), 1, true},
      {"larger than the slot", old, loadImage(randomBytes(slotSize, 7), kRamStart, kRamStart + 1), 1, false},
      {"fills the slot exactly", old, loadImage(randomBytes(slotSize - 44, 15), kRamStart, kRamStart + 1), 1, true, 8},
      {"ends on a sector boundary", old, loadImage(randomBytes(slotSize / 2 - 44, 16), kRamStart, kRamStart + 1), 1, true,
       8},
      // A trailer's room after it reaches 8 bytes into a third sector, its payload alone does not.
      {"its header takes it into another sector", old,
       loadImage(randomBytes(2 * sectorSize - 148, 17), kRamStart, kRamStart + 1), 1, true, 8},
      // The last program unit only part the image's, and zeros: erased flash reads as zero words.
      {"its last partial unit zeros", old, loadImage(endingIn(1000, 40, 0x00, 18), kRamStart, kRamStart + 1), 1, true},
      {"linked outside the RAM window", old, loadImage(randomBytes(900, 8), kRamStart + kRamSize, kRamStart + kRamSize + 1), 1, false},
  };
}

// A device: the flash model with the primary slot at 0, the update slot after it, the status
// area after that, with the sectors that hold the wear bounds, and the scratch sector last.
struct Device {
  FlashModel flash;
  ldrUpdateLayout layout;
  Device(const FlashModel& prepared, std::uint32_t slotSize)
      : flash(prepared),
        layout{flash.flash(), 0,         slotSize, slotSize, 2 * slotSize, kRamStart,
               kRamSize,      2 * slotSize + statusSectors(prepared.geometry(), slotSize) * prepared.geometry().sectorSize,
               nullptr,       statusSectors(prepared.geometry(), slotSize)} {}
  static std::uint32_t statusSectors(const FlashGeometry& geometry, std::uint32_t slotSize) {
    return LDR_STATUS_SECTORS(slotSize, geometry.sectorSize, geometry.programUnit);
  }
  static std::uint32_t flashSize(const FlashGeometry& geometry, std::uint32_t slotSize) {
    return 2 * slotSize + (statusSectors(geometry, slotSize) + 1) * geometry.sectorSize;
  }
};

// The application: stages `file` through a 100-byte buffer, a size no program unit divides.
ldrStatus stage(Device& device, const Bytes& file) {
  constexpr std::size_t kChunk = 100;
  ldrStaging staging;
  ldrStatus status = ldrStageBegin(&staging, &device.layout);
  for (std::size_t at = 0; status == LDR_OK && at < file.size(); at += kChunk)
    status = ldrStageWrite(&staging, file.data() + at, std::min(kChunk, file.size() - at));
  if (status == LDR_OK) status = ldrStageFinish(&staging);
  return status;
}

// The image a boot loader would start from the slot at `address`: intact, readable, placed.
std::optional<Bytes> startable(const FlashModel& flash, std::uint32_t address, std::uint32_t size) {
  Bytes slot = flash.peek(address, size);
  ldrLoadImageInfo info;
  if (ldrCheckLoadImage(slot.data(), slot.size(), &info) != LDR_OK || !flash.readable(address, info.length) ||
      ldrCheckPlacement(&info.header, kRamStart, kRamSize) != LDR_OK)
    return std::nullopt;
  // A signed image with its trailer, as it was sent.
  ldrSignatureTrailer trailer;
  const bool hasTrailer =
      ldrReadSignatureTrailer(slot.data() + info.length, slot.size() - info.length, &trailer) == LDR_OK;
  slot.resize(info.length + (hasTrailer ? LDR_TRAILER_SIZE : 0));
  return slot;
}

// A boot loader's side of a boot: installs, then the image it would start.
using BootLoader = std::optional<Bytes> (*)(Device&);

[[maybe_unused]] std::optional<Bytes> bootWithInstall(Device& device) {
  ldrInstallOutcome outcome;
  (void)ldrInstall(&device.layout, &outcome);
  if (outcome == LDR_INSTALL_INCOMPLETE) return std::nullopt;
  return startable(device.flash, device.layout.primarySlot, device.layout.slotSize);
}

std::optional<Bytes> bootOnTrial(Device& device) {
  ldrInstallOutcome outcome;
  (void)ldrInstallOnTrial(&device.layout, &outcome);
  if (outcome == LDR_INSTALL_INCOMPLETE) return std::nullopt;
  return startable(device.flash, device.layout.primarySlot, device.layout.slotSize);
}

// What the application does on trial: confirm itself when it runs, or never (it crashes, it
// cannot reach the network).
enum class Trial { None, Confirms, NeverConfirms };

// The installer the campaign must catch: when the update slot holds an intact image and the
// primary does not hold an intact one with the same header, it erases the primary, copies the
// image front to back a word at a time, and starts whatever then checks intact.
// Unused only in the planted build, which runs the campaign on trial alone.
[[maybe_unused]] std::optional<Bytes> bootNaively(Device& device) {
  const ldrUpdateLayout& layout = device.layout;
  const std::optional<Bytes> update = startable(device.flash, layout.updateSlot, layout.slotSize);
  const std::optional<Bytes> primary = startable(device.flash, layout.primarySlot, layout.slotSize);
  const ldrFlash* flash = device.flash.flash();
  if (update && (!primary || !std::equal(update->begin(), update->begin() + 44, primary->begin()))) {
    for (std::uint32_t at = 0; at < update->size(); at += flash->sectorSize)
      if (flash->erase(flash, layout.primarySlot + at) != 0) return std::nullopt;
    for (std::uint32_t at = 0; at < update->size(); at += 4)
      if (flash->program(flash, layout.primarySlot + at, update->data() + at, 4) != 0) return std::nullopt;
  }
  return startable(device.flash, layout.primarySlot, layout.slotSize);
}

struct Figures {
  std::uint64_t cutPoints = 0;
  std::uint64_t bricks = 0;
  std::uint64_t wrongImages = 0;
  std::uint64_t wrongSlots = 0;  // an update slot that checks intact with bytes never sent (the
                                 // status record keeps it from being installed)
  std::uint64_t ruleBreaks = 0;
  std::uint64_t stuck = 0;       // left on the old image, and the new one then fails to install
  std::uint64_t wrongStates = 0; // install on trial: the state read not that of the image that runs,
                                 // a confirmed image reverted, or an unconfirmed one kept
  std::uint32_t mostErases = 0;  // of one sector, in an uncut update (staging, install, the trial's boots)
  Figures& operator+=(const Figures& other) {
    cutPoints += other.cutPoints;
    bricks += other.bricks;
    wrongImages += other.wrongImages;
    wrongSlots += other.wrongSlots;
    ruleBreaks += other.ruleBreaks;
    stuck += other.stuck;
    wrongStates += other.wrongStates;
    mostErases = std::max(mostErases, other.mostErases);
    return *this;
  }
};

// The most erases any one sector of the device took.
std::uint32_t mostErases(const FlashModel& flash, std::uint32_t size) {
  std::uint32_t most = 0;
  for (std::uint32_t at = 0; at < size; at += flash.geometry().sectorSize) most = std::max(most, flash.erasesOf(at));
  return most;
}

class Campaign {
 public:
  // With `trust`, the device takes signed images only.
  Campaign(const FlashGeometry& geometry, const Scenario& scenario, BootLoader bootLoader, std::uint32_t slotSize,
           Trial trial = Trial::None, const ldrTrust* trust = nullptr)
      : scenario_(scenario), bootLoader_(bootLoader), slotSize_(slotSize), trial_(trial), trust_(trust),
        prepared_(geometry, Device::flashSize(geometry, slotSize)) {
    // The old image installed in the primary slot, and in the update slot from its own update;
    // on trial, the image before it, as a swap leaves the slot (so that no sector of the update
    // slot already holds what a swap is to bring there).
    prepared_.place(0, scenario.oldImage);
    if (trial != Trial::None) {
      prepared_.place(slotSize, loadImage(randomBytes(slotSize - 100, 99), kRamStart, kRamStart + 1));
    } else {
      prepared_.place(slotSize, scenario.stagings > 0 ? scenario.oldImage : scenario.newImage);
    }
  }

  // One run, cut where `first` says (if at all) and, counted from the recovery's first
  // operation, where `second` says; the invariants checked into `figures`. Returns the number
  // of operations the recovery took.
  std::uint64_t run(const std::optional<PowerCut>& first, const std::optional<PowerCut>& second, Figures& figures) {
    if (trial_ != Trial::None) return runOnTrial(first, second, figures, nullptr);
    Device device(prepared_, slotSize_);
    device.layout.trust = trust_;
    ++figures.cutPoints;
    if (first) device.flash.arm(*first);
    for (int i = 0; i < scenario_.stagings && device.flash.powered(); ++i) (void)stage(device, scenario_.newImage);
    std::optional<Bytes> booted;
    if (device.flash.powered()) booted = bootLoader_(device);
    std::uint64_t recovery = 0;
    if (!device.flash.powered()) {
      // Whatever the cut left in the update slot: if it checks intact, it is what was there or what was sent.
      const std::optional<Bytes> slot = startable(device.flash, slotSize_, slotSize_);
      if (slot && *slot != scenario_.oldImage && *slot != scenario_.newImage) ++figures.wrongSlots;
      device.flash.powerOn();
      const std::uint64_t start = device.flash.operations();
      if (second) {
        PowerCut cut = *second;
        cut.operation += start;
        device.flash.arm(cut);
      }
      booted = bootLoader_(device);
      if (!device.flash.powered()) {
        device.flash.powerOn();
        booted = bootLoader_(device);
      }
      recovery = device.flash.operations() - start;
    }
    device.flash.disarm();
    const Bytes& expected = scenario_.installable ? scenario_.newImage : scenario_.oldImage;
    if (!booted) {
      ++figures.bricks;
    } else if (*booted != scenario_.oldImage && *booted != scenario_.newImage) {
      ++figures.wrongImages;
    } else if (!first && *booted != expected) {
      ++figures.stuck;  // an uninterrupted update ends with the new image
    } else if (*booted != expected) {
      // Left on the old image: the application stages again, and the new one must install.
      (void)stage(device, scenario_.newImage);
      const std::optional<Bytes> again = bootLoader_(device);
      if (!again || *again != expected) ++figures.stuck;
    }
    figures.ruleBreaks += device.flash.violations();
    return recovery;
  }

  // With install on trial: the application stages the new image, and the device boots until
  // three boots have started an image, the application confirming itself on trial or not.
  // Cuts and checks as run() has them, and besides, after every boot: the state the
  // application reads is that of the image that runs, no image is reverted once its confirm
  // returned, and every unconfirmed image is reverted by the next boot. Fills `operations`,
  // when given, with an uncut run's operations.
  std::uint64_t runOnTrial(const std::optional<PowerCut>& first, const std::optional<PowerCut>& second,
                           Figures& figures, std::vector<std::uint32_t>* operations) {
    Device device(prepared_, slotSize_);
    device.layout.trust = trust_;
    if (operations != nullptr) device.flash.record(true);
    ++figures.cutPoints;
    if (first) device.flash.arm(*first);
    (void)stage(device, scenario_.newImage);
    std::vector<bool> ranNew;  // per boot that started an image
    bool confirmed = false;
    bool secondArmed = false;
    std::uint64_t recoveryStart = 0;
    for (int attempt = 0; ranNew.size() < 3 && attempt < 12; ++attempt) {
      if (!device.flash.powered()) {
        device.flash.powerOn();
        recoveryStart = device.flash.operations();
        if (second && !secondArmed) {
          PowerCut cut = *second;
          cut.operation += recoveryStart;
          device.flash.arm(cut);
          secondArmed = true;
        }
      }
      const std::optional<Bytes> booted = bootLoader_(device);
      if (!device.flash.powered()) continue;
      if (!booted) {
        ++figures.bricks;
        return 0;
      }
      if (*booted != scenario_.oldImage && *booted != scenario_.newImage) {
        ++figures.wrongImages;
        return 0;
      }
      const bool isNew = *booted == scenario_.newImage;
      ldrUpdateState state = LDR_STATE_NONE;
      (void)ldrReadUpdateState(&device.layout, &state);
      const bool newState = state == LDR_STATE_ON_TRIAL || state == LDR_STATE_CONFIRMED;
      if (isNew != newState) ++figures.wrongStates;
      // A confirm counts once it returned, or once a boot reads it (a cut right after its record
      // landed makes it fail, yet it holds).
      confirmed = confirmed || state == LDR_STATE_CONFIRMED;
      if (confirmed && !isNew) ++figures.wrongStates;  // reverted after its confirm
      if (!ranNew.empty() && ranNew.back() && isNew && state != LDR_STATE_CONFIRMED)
        ++figures.wrongStates;  // started again on trial, unconfirmed
      ranNew.push_back(isNew);
      if (isNew && state == LDR_STATE_ON_TRIAL && trial_ == Trial::Confirms)
        confirmed = ldrConfirm(&device.layout) == LDR_OK && device.flash.powered();
    }
    device.flash.disarm();
    if (operations != nullptr) {
      *operations = device.flash.recorded();
      mostErases_ = mostErases(device.flash, Device::flashSize(device.flash.geometry(), slotSize_));
    }
    if (ranNew.size() < 3) {
      ++figures.stuck;
      return 0;
    }
    // An uncut run ends as its application says: confirmed on the new image, or reverted to the
    // old one after a single boot of the new. One that a cut left on the old image (before the
    // staging was recorded, or a confirm that never landed) must take the new one when the
    // application stages it again.
    const bool uncut = !first && !second;
    if (trial_ == Trial::NeverConfirms && ranNew.back()) ++figures.wrongStates;
    if (uncut && scenario_.installable &&
        ranNew != (trial_ == Trial::Confirms ? std::vector<bool>{true, true, true} : std::vector<bool>{true, false, false}))
      ++figures.stuck;
    // The re-staging costs a whole install on trial: one run in eight does it, and every uncut one.
    if (!ranNew.back() && scenario_.installable && (uncut || ++livenessRuns_ % 8 == 0)) {
      const ldrStatus staged = stage(device, scenario_.newImage);
      const std::optional<Bytes> again = bootLoader_(device);
      if (staged != LDR_OK || !again || *again != scenario_.newImage) ++figures.stuck;
    }
    figures.ruleBreaks += device.flash.violations();
    return device.flash.operations() - recoveryStart;
  }

  // The operations of an uncut run: units per program, 0 per erase.
  std::vector<std::uint32_t> operations() {
    if (trial_ != Trial::None) {
      Figures ignored;
      std::vector<std::uint32_t> recorded;
      runOnTrial(std::nullopt, std::nullopt, ignored, &recorded);
      return recorded;
    }
    Device device(prepared_, slotSize_);
    device.layout.trust = trust_;
    device.flash.record(true);
    for (int i = 0; i < scenario_.stagings; ++i) (void)stage(device, scenario_.newImage);
    (void)bootLoader_(device);
    mostErases_ = mostErases(device.flash, Device::flashSize(device.flash.geometry(), slotSize_));
    return device.flash.recorded();
  }

  // The most erases of one sector in the uncut run operations() made.
  std::uint32_t mostErasesUncut() const { return mostErases_; }

 private:
  const Scenario& scenario_;
  BootLoader bootLoader_;
  std::uint32_t slotSize_;
  Trial trial_;
  const ldrTrust* trust_;
  FlashModel prepared_;
  std::uint64_t livenessRuns_ = 0;
  std::uint32_t mostErases_ = 0;
};

// The cuts of operation `index`: before it; torn, for installs on trial (whose runs cost ten
// times as much) in two sampled states, else in all these: an erase in three random mixes; a program at
// every unit when it has at most eight, else at its first three, middle and last two and two
// more at random; each in random bits and, for units of more than a byte, in whole bytes up to
// each word boundary inside it); and, for the last operation, right after it (elsewhere the same as before the next).
std::vector<PowerCut> cutsOf(std::uint64_t index, std::uint32_t units, bool last, std::uint32_t geometryUnit,
                             bool everyTornState) {
  std::vector<PowerCut> cuts{{index, PowerCut::Kind::Before, 0, 0}};
  const auto seed = static_cast<std::uint32_t>(index * 7919u);
  if (!everyTornState) {
    // One torn state in random bits at a random unit (a random mix for an erase), and one of
    // whole bytes up to a random word boundary.
    cuts.push_back({index, PowerCut::Kind::Torn, units == 0 ? 0 : seed % units, seed});
    if (units != 0 && geometryUnit >= 8)
      cuts.push_back({index, PowerCut::Kind::Torn, (seed / 3) % units, 4 * (1 + (seed / 5) % (geometryUnit / 4 - 1)), true});
  } else if (units == 0) {
    for (std::uint32_t mix = 0; mix < 3; ++mix) cuts.push_back({index, PowerCut::Kind::Torn, 0, seed + mix});
  } else {
    std::vector<std::uint32_t> picks{0, 1, 2, units / 2, units - 2, units - 1, seed % units, (seed / 7) % units};
    if (units <= 8) {
      picks.clear();
      for (std::uint32_t unit = 0; unit < units; ++unit) picks.push_back(unit);
    }
    for (const std::uint32_t unit : picks) {
      cuts.push_back({index, PowerCut::Kind::Torn, unit, seed + unit});
      // Whole bytes up to each word boundary inside the unit (the seed is the prefix's length).
      for (std::uint32_t bytes = 4; bytes < geometryUnit; bytes += 4)
        cuts.push_back({index, PowerCut::Kind::Torn, unit, bytes, true});
      if (geometryUnit == 2) cuts.push_back({index, PowerCut::Kind::Torn, unit, 1, true});
    }
  }
  if (last) cuts.push_back({index, PowerCut::Kind::Done, 0, 0});
  return cuts;
}

// The campaign over one geometry and every scenario: one cut at every `firstStride`th operation
// (every one, but in slow builds) in each of its torn states, and a second cut during the recovery of every `secondEvery`th first cut, at every
// `secondStride`th operation of it.
// With `trust`, over the scenarios `chosen` gives, on a device that takes signed images only;
// slots of `slotSize`, or of 8 KiB and at least four sectors.
Figures campaign(const FlashGeometry& geometry, BootLoader bootLoader, std::uint64_t firstStride,
                 std::uint64_t secondEvery, std::uint64_t secondStride, Trial trial = Trial::None,
                 const ldrTrust* trust = nullptr,
                 std::vector<Scenario> (*chosen)(std::uint32_t, std::uint32_t) = scenarios,
                 std::uint32_t slotSize = 0) {
  if (slotSize == 0) slotSize = std::max<std::uint32_t>(8 * 1024, 4 * geometry.sectorSize);
  Figures figures;
  for (const Scenario& scenario : chosen(slotSize, geometry.sectorSize)) {
    // On trial, an image is told from the old one by its bytes.
    if (trial != Trial::None && scenario.oldImage == scenario.newImage) continue;
    SCOPED_TRACE(scenario.name);
    Campaign campaign(geometry, scenario, bootLoader, slotSize, trial, trust);
    const Figures before = figures;
    campaign.run(std::nullopt, std::nullopt, figures);
    const std::vector<std::uint32_t> operations = campaign.operations();
    figures.mostErases = std::max(figures.mostErases, campaign.mostErasesUncut());
#ifndef PLANTED_FAULT
    // The wear bounds, staging included.
    EXPECT_LE(campaign.mostErasesUncut(), trial == Trial::None ? 2u : trial == Trial::Confirms ? 3u : 4u);
#endif
    std::uint64_t firstCuts = 0;
    for (std::size_t index = 0; index < operations.size(); index += static_cast<std::size_t>(firstStride * scenario.sampled)) {
      for (const PowerCut& first : cutsOf(index, operations[index], index + 1 == operations.size(), geometry.programUnit, trial == Trial::None)) {
        const std::uint64_t recovery = campaign.run(first, std::nullopt, figures);
        if (++firstCuts % secondEvery != 0) continue;
        for (std::uint64_t at = firstCuts % secondStride; at < recovery; at += secondStride) {
          const PowerCut::Kind kind = at % 2 == 0 ? PowerCut::Kind::Before : PowerCut::Kind::Torn;
          campaign.run(first, PowerCut{at, kind, static_cast<std::uint32_t>(at % 3), static_cast<std::uint32_t>(at), at % 4 == 3},
                       figures);
        }
      }
    }
#ifndef PLANTED_FAULT  // there, the faults are the point, counted by the test
    EXPECT_EQ(figures.bricks, before.bricks);
    EXPECT_EQ(figures.wrongImages, before.wrongImages);
    if (slotAloneSafe(geometry)) {
      EXPECT_EQ(figures.wrongSlots, before.wrongSlots);
    }
    EXPECT_EQ(figures.ruleBreaks, before.ruleBreaks);
    EXPECT_EQ(figures.stuck, before.stuck);
    EXPECT_EQ(figures.wrongStates, before.wrongStates);
#else
    (void)before;
#endif
  }
  return figures;
}

// How thinly second cuts are sampled: geometries with small units already have many first cuts
// (a torn state per unit), so they take a second cut after every fourth first cut, at every
// third operation of its recovery; the others after every second first cut, at every operation.
// LDR_CAMPAIGN_THIN=N, for slow builds (sanitizers, emulators), cuts only every Nth operation
// and samples second cuts N times more thinly still.
std::uint64_t thinning() {
  const char* text = std::getenv("LDR_CAMPAIGN_THIN");
  const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return value > 0 ? static_cast<std::uint64_t>(value) : 1;
}

class UpdateCampaign : public ::testing::TestWithParam<FlashGeometry> {};

}  // namespace

// Test names and messages show a geometry by its name.
void PrintTo(const FlashGeometry& geometry, std::ostream* out) { *out << geometry.name; }

namespace {

#ifndef PLANTED_FAULT

// Prints what a campaign over `geometry` found, on one line that CI's summary takes up.
void printFigures(const char* what, const FlashGeometry& geometry, const Figures& figures,
                  std::chrono::steady_clock::time_point started) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%s: %s: %llu cut points, %llu bricks, %llu wrong images, %llu wrong update slots, %llu wrong states, "
              "%llu broken flash rules, %llu stuck, at most %u erases of a sector per update, %.1f s\n",
              what, geometry.name, static_cast<unsigned long long>(figures.cutPoints),
              static_cast<unsigned long long>(figures.bricks), static_cast<unsigned long long>(figures.wrongImages),
              static_cast<unsigned long long>(figures.wrongSlots), static_cast<unsigned long long>(figures.wrongStates),
              static_cast<unsigned long long>(figures.ruleBreaks), static_cast<unsigned long long>(figures.stuck),
              static_cast<unsigned>(figures.mostErases), seconds);
}

TEST_P(UpdateCampaign, EveryCutLeavesTheOldOrTheNewImage) {
  const auto started = std::chrono::steady_clock::now();
  const bool smallUnits = GetParam().programUnit < 8;
  // The wide units' (128 bytes and more) many torn states per program: every fourth operation.
  const std::uint64_t thin = (GetParam().programUnit >= 128 ? 4 : 1) * thinning();
  printFigures("campaign", GetParam(),
               campaign(GetParam(), bootWithInstall, thin, (smallUnits ? 4 : 2) * thin, smallUnits ? 3 : 1), started);
}

// Install on trial, with an application that confirms itself and with one that never does.
TEST_P(UpdateCampaign, OnTrialEveryCutLeavesTheOldOrTheNewImageAndTheTrueState) {
  const auto started = std::chrono::steady_clock::now();
  // The small units, whose every unit programmed is a cut point: every second operation.
  const std::uint64_t thin = (GetParam().programUnit < 8 ? 2 : 1) * thinning();
  Figures figures;
  for (const Trial trial : {Trial::Confirms, Trial::NeverConfirms}) {
    SCOPED_TRACE(trial == Trial::Confirms ? "confirms" : "never confirms");
    // A run here is three boots and two swaps: second cuts after every 128th first cut, at every
    // fifth operation of its recovery.
    figures += campaign(GetParam(), bootOnTrial, thin, 128 * thin, 5, trial);
  }
  printFigures("campaign on trial", GetParam(), figures, started);
}

INSTANTIATE_TEST_SUITE_P(Geometries, UpdateCampaign, ::testing::ValuesIn(kGeometries),
                         [](const ::testing::TestParamInfo<FlashGeometry>& param) {
                           return "geometry" + std::to_string(param.index);
                         });

// Slots of 104 sectors of 256 bytes: a swap with the most records for the status area's
// sectors, whose log goes many times round in an update. Three images, sampled at every fourth
// operation.
std::vector<Scenario> wideScenarios(std::uint32_t slotSize, std::uint32_t sectorSize) {
  std::vector<Scenario> chosen;
  for (Scenario& scenario : scenarios(slotSize, sectorSize)) {
    const std::string name = scenario.name;
    if (name == "many sectors" || name == "fills the slot exactly" || name == "odd size, in one sector")
      chosen.push_back(std::move(scenario));
  }
  return chosen;
}

TEST(UpdateCampaignWide, OverAHundredSectorsEveryCutLeavesTheOldOrTheNewImageWithinTheWearBounds) {
  const auto started = std::chrono::steady_clock::now();
  const FlashGeometry& geometry = kGeometries[4];
  const std::uint32_t slot = 104 * geometry.sectorSize;
  Figures figures = campaign(geometry, bootWithInstall, 4 * thinning(), 64, 7, Trial::None, nullptr, wideScenarios, slot);
  for (const Trial trial : {Trial::Confirms, Trial::NeverConfirms})
    figures += campaign(geometry, bootOnTrial, 4 * thinning(), 1024, 11, trial, nullptr, wideScenarios, slot);
  printFigures("campaign over 104 sectors", geometry, figures, started);
}

// The measurement the design answers: a 4,096-byte image whose last 96 bytes are zeros, copied
// a word at a time over erased flash; of the 1,025 cuts between words, 24 leave a copy that
// checks intact, since an erased word counts as a zero word. The campaign must see all of them.
TEST(UpdateCampaignCatches, ANaiveInstaller) {
  const FlashGeometry& geometry = kGeometries[0];
  const Scenario scenario{"ends in zeros", loadImage(randomBytes(4052, 9), kRamStart, kRamStart + 1),
                          loadImage(endingIn(4052, 96, 0x00, 2), kRamStart, kRamStart + 1), 0, true};
  ASSERT_EQ(scenario.newImage.size(), 4096u);
  Campaign campaign(geometry, scenario, bootNaively, 8192);
  Figures figures;
  // Operation 0 erases the primary slot's sector; operation k > 0 programs word k - 1. A cut
  // before operation k leaves k - 1 words copied; one after the last, all 1,024.
  for (std::uint64_t index = 1; index <= 1024; ++index)
    campaign.run(PowerCut{index, PowerCut::Kind::Before, 0, 0}, std::nullopt, figures);
  campaign.run(PowerCut{1024, PowerCut::Kind::Done, 0, 0}, std::nullopt, figures);
  std::printf("campaign: a naive installer: %llu cut points, %llu wrong images, %llu bricks\n",
              static_cast<unsigned long long>(figures.cutPoints), static_cast<unsigned long long>(figures.wrongImages),
              static_cast<unsigned long long>(figures.bricks));
  EXPECT_EQ(figures.cutPoints, 1025u);
  EXPECT_EQ(figures.wrongImages, 24u);
}

// A device in a known state for the tables below: geometry 0 or the ECC one, the old image
// installed, nothing staged.
struct TableDevice : Device {
  explicit TableDevice(const FlashGeometry& geometry, const Bytes& old)
      : Device(FlashModel(geometry, flashSize(geometry, kSlot)), kSlot) {
    flash.place(0, old);
  }
  static constexpr std::uint32_t kSlot = 8192;
};

TEST(Staging, RefusesWhatWouldNotInstallAndLeavesNothingInstallable) {
  const Bytes old = loadImage(randomBytes(700, 11), kRamStart, kRamStart + 1);
  const Bytes image = loadImage(randomBytes(1000, 12), kRamStart, kRamStart + 1);
  Bytes badMagic = image;
  badMagic[32] ^= 1;
  Bytes badSize = image;
  badSize[0] = 40;
  Bytes badSum = image;
  badSum[500] ^= 0x40;
  Bytes chunkTwice = image;
  chunkTwice.insert(chunkTwice.begin() + 200, image.begin() + 100, image.begin() + 200);
  Bytes chunkLost = image;
  chunkLost.erase(chunkLost.begin() + 100, chunkLost.begin() + 200);
  struct Case {
    const char* name;
    Bytes file;
    ldrStatus expected;
  } const cases[] = {
      {"an intact image", image, LDR_OK},
      {"no load-image header", badMagic, LDR_BAD_MAGIC},
      {"a header size that is not 44", badSize, LDR_BAD_HEADER_SIZE},
      {"an image larger than the slot", loadImage(randomBytes(TableDevice::kSlot - 43, 13)), LDR_IMAGE_TOO_LARGE},
      {"a byte past its end", [&] { Bytes b = image; b.push_back(0); return b; }(), LDR_STREAM_TOO_LONG},
      {"a chunk sent twice", chunkTwice, LDR_STREAM_TOO_LONG},
      {"a chunk lost", chunkLost, LDR_STREAM_TOO_SHORT},
      {"its padding missing", Bytes(image.begin(), image.end() - 1), LDR_STREAM_TOO_SHORT},
      {"the header alone", Bytes(image.begin(), image.begin() + 44), LDR_STREAM_TOO_SHORT},
      {"part of a header", Bytes(image.begin(), image.begin() + 43), LDR_STREAM_TOO_SHORT},
      {"a payload whose checksum is wrong", badSum, LDR_BAD_CHECKSUM},
  };
  for (const FlashGeometry& geometry : {kGeometries[0], kGeometries[5]}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(geometry.name) + ": " + c.name);
      TableDevice device(geometry, old);
      EXPECT_STREQ(ldrStatusName(stage(device, c.file)), ldrStatusName(c.expected));
      ldrInstallOutcome outcome;
      EXPECT_EQ(ldrInstall(&device.layout, &outcome), LDR_OK);
      EXPECT_EQ(outcome, c.expected == LDR_OK ? LDR_INSTALLED : LDR_NOTHING_STAGED);
      EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), c.expected == LDR_OK ? image : old);
      EXPECT_EQ(device.flash.violations(), 0u);
    }
  }
}

TEST(Staging, RefusesCallsOutOfTurnWithTheirStatus) {
  TableDevice device(kGeometries[0], loadImage(randomBytes(10, 14)));
  const Bytes image = loadImage(randomBytes(100, 15));
  ldrStaging staging{};
  EXPECT_EQ(ldrStageWrite(&staging, image.data(), image.size()), LDR_STAGING_CLOSED);  // zeroed, never begun
  EXPECT_EQ(ldrStageFinish(&staging), LDR_STAGING_CLOSED);
  EXPECT_EQ(ldrStageBegin(nullptr, &device.layout), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrStageBegin(&staging, nullptr), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrStageWrite(&staging, image.data(), image.size()), LDR_NULL_ARGUMENT);  // never begun
  ASSERT_EQ(ldrStageBegin(&staging, &device.layout), LDR_OK);
  EXPECT_EQ(ldrStageWrite(&staging, nullptr, 1), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrStageWrite(&staging, nullptr, 0), LDR_OK);
  ASSERT_EQ(ldrStageWrite(&staging, image.data(), image.size()), LDR_OK);
  ASSERT_EQ(ldrStageFinish(&staging), LDR_OK);
  EXPECT_EQ(ldrStageFinish(&staging), LDR_STAGING_CLOSED);
  EXPECT_EQ(ldrStageWrite(&staging, image.data(), 1), LDR_STAGING_CLOSED);
  // A refusal sticks: every later call says it again.
  ASSERT_EQ(ldrStageBegin(&staging, &device.layout), LDR_OK);
  const Bytes noHeader(44, 0);
  EXPECT_EQ(ldrStageWrite(&staging, noHeader.data(), noHeader.size()), LDR_BAD_HEADER_SIZE);
  EXPECT_EQ(ldrStageWrite(&staging, image.data(), image.size()), LDR_BAD_HEADER_SIZE);
  EXPECT_EQ(ldrStageFinish(&staging), LDR_BAD_HEADER_SIZE);
  // On trial: nothing is staged over the image a revert needs until the new one is confirmed.
  EXPECT_EQ(ldrConfirm(&device.layout), LDR_NOT_ON_TRIAL);
  ASSERT_EQ(stage(device, loadImage(randomBytes(300, 21), kRamStart, kRamStart + 1)), LDR_OK);
  ldrInstallOutcome outcome;
  ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_ON_TRIAL);
  EXPECT_EQ(ldrStageBegin(&staging, &device.layout), LDR_NOT_CONFIRMED);
  EXPECT_EQ(ldrConfirm(&device.layout), LDR_OK);
  EXPECT_EQ(ldrConfirm(&device.layout), LDR_OK);
  EXPECT_EQ(ldrStageBegin(&staging, &device.layout), LDR_OK);
  EXPECT_EQ(ldrConfirm(nullptr), LDR_NULL_ARGUMENT);
  ldrUpdateState state;
  EXPECT_EQ(ldrReadUpdateState(&device.layout, nullptr), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrReadUpdateState(&device.layout, &state), LDR_OK);
  EXPECT_EQ(state, LDR_STATE_CONFIRMED);
}

TEST(UpdateLayout, RefusesWhatTheLibraryCannotDrive) {
  using Change = void (*)(ldrUpdateLayout&, ldrFlash&);
  struct Case {
    const char* name;
    Change change;
    ldrStatus expected;
    ldrStatus onTrial = LDR_BAD_LAYOUT;  // ldrCheckTrialLayout and ldrInstallOnTrial, where it differs:
                                         // they need the scratch sector too
  } const cases[] = {
      {"as made", [](ldrUpdateLayout&, ldrFlash&) {}, LDR_OK, LDR_OK},
      {"a scratch sector in the primary slot", [](ldrUpdateLayout& l, ldrFlash&) { l.scratchSector = 4096; }, LDR_OK},
      {"a scratch sector off a sector boundary", [](ldrUpdateLayout& l, ldrFlash&) { l.scratchSector += 8; }, LDR_OK},
      {"a slot of more sectors than a swap counts", [](ldrUpdateLayout& l, ldrFlash&) {
         l.primarySlot = 0; l.slotSize = 2048u * 4096u; l.updateSlot = l.slotSize; l.statusArea = 2 * l.slotSize;
         l.scratchSector = l.statusArea + 8192; }, LDR_OK},
      {"a scratch sector on the status area's second sector",
       [](ldrUpdateLayout& l, ldrFlash&) { l.scratchSector = l.statusArea + 4096; }, LDR_OK},
      {"a slot of exactly as many sectors as a swap counts", [](ldrUpdateLayout& l, ldrFlash&) {
         l.primarySlot = 0; l.slotSize = 2047u * 4096u; l.updateSlot = l.slotSize; l.statusArea = 2 * l.slotSize;
         l.scratchSector = l.statusArea + 8192; }, LDR_OK, LDR_OK},
      {"the status area inside a larger update slot", [](ldrUpdateLayout& l, ldrFlash&) {
         l.slotSize = 16384; l.updateSlot = 16384; l.statusArea = 24576; l.scratchSector = 40960; }, LDR_BAD_LAYOUT},
      {"three status sectors, the scratch sector on the third",
       [](ldrUpdateLayout& l, ldrFlash&) { l.statusSectors = 3; l.scratchSector = l.statusArea + 8192; }, LDR_OK},
      {"three status sectors, the scratch sector after them",
       [](ldrUpdateLayout& l, ldrFlash&) { l.statusSectors = 3; }, LDR_OK, LDR_OK},
      {"a status area of one sector", [](ldrUpdateLayout& l, ldrFlash&) { l.statusSectors = 1; }, LDR_BAD_LAYOUT},
      {"a status area of 65,536 sectors", [](ldrUpdateLayout& l, ldrFlash&) { l.statusSectors = 0x10000; }, LDR_BAD_LAYOUT},
      {"three status sectors past 2^32", [](ldrUpdateLayout& l, ldrFlash&) {
         l.statusSectors = 3; l.statusArea = 0xFFFFE000; }, LDR_BAD_LAYOUT},
      {"a status area larger than the address space", [](ldrUpdateLayout& l, ldrFlash& f) {
         f.sectorSize = 1u << 17; l.slotSize = l.updateSlot = 1u << 17; l.statusArea = 1u << 18; l.statusSectors = 0xFFFF; },
       LDR_BAD_LAYOUT},
      {"program unit 3", [](ldrUpdateLayout&, ldrFlash& f) { f.programUnit = 3; }, LDR_BAD_LAYOUT},
      {"program unit 1024", [](ldrUpdateLayout&, ldrFlash& f) { f.programUnit = 1024; }, LDR_BAD_LAYOUT},
      {"program unit 512", [](ldrUpdateLayout&, ldrFlash& f) { f.programUnit = 512; }, LDR_OK, LDR_OK},
      {"program unit 4096: half a sector would not hold two records",
       [](ldrUpdateLayout&, ldrFlash& f) { f.programUnit = 4096; }, LDR_BAD_LAYOUT},
      {"program unit 0", [](ldrUpdateLayout&, ldrFlash& f) { f.programUnit = 0; }, LDR_BAD_LAYOUT},
      {"sectors of 3 KiB", [](ldrUpdateLayout&, ldrFlash& f) { f.sectorSize = 3072; }, LDR_BAD_LAYOUT},
      {"sectors of 32 bytes", [](ldrUpdateLayout& l, ldrFlash& f) { f.sectorSize = 32; l.slotSize = 64; }, LDR_BAD_LAYOUT},
      {"erased value 0x5A", [](ldrUpdateLayout&, ldrFlash& f) { f.erasedValue = 0x5A; }, LDR_BAD_LAYOUT},
      {"slots that overlap", [](ldrUpdateLayout& l, ldrFlash&) { l.updateSlot = 4096; }, LDR_BAD_LAYOUT},
      {"the status area in the update slot", [](ldrUpdateLayout& l, ldrFlash&) { l.statusArea = 12288; }, LDR_BAD_LAYOUT},
      {"a slot off a sector boundary", [](ldrUpdateLayout& l, ldrFlash&) { l.primarySlot = 0x10000 + 1024; }, LDR_BAD_LAYOUT},
      {"a slot size of no whole sectors", [](ldrUpdateLayout& l, ldrFlash&) { l.slotSize = 8192 + 1024; }, LDR_BAD_LAYOUT},
      {"an empty slot", [](ldrUpdateLayout& l, ldrFlash&) { l.slotSize = 0; }, LDR_BAD_LAYOUT},
      {"a status area past 2^32", [](ldrUpdateLayout& l, ldrFlash&) { l.statusArea = 0xFFFFF000; }, LDR_BAD_LAYOUT},
      {"a status area that ends at 2^32", [](ldrUpdateLayout& l, ldrFlash&) { l.statusArea = 0xFFFFE000; }, LDR_OK, LDR_OK},
      {"no erase callback", [](ldrUpdateLayout&, ldrFlash& f) { f.erase = nullptr; }, LDR_NULL_ARGUMENT},
      {"no flash", [](ldrUpdateLayout& l, ldrFlash&) { l.flash = nullptr; }, LDR_NULL_ARGUMENT},
  };
  FlashModel model(kGeometries[0], 4 * 4096);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ldrFlash flash = *model.flash();
    ldrUpdateLayout layout{&flash, 0, 8192, 8192, 16384, kRamStart, kRamSize, 24576 + 8192, nullptr, 0};
    c.change(layout, flash);
    EXPECT_STREQ(ldrStatusName(ldrCheckUpdateLayout(&layout)), ldrStatusName(c.expected));
    EXPECT_STREQ(ldrStatusName(ldrCheckTrialLayout(&layout)), ldrStatusName(c.expected != LDR_OK ? c.expected : c.onTrial));
    ldrInstallOutcome outcome = LDR_INSTALLED;
    if (c.expected != LDR_OK) {
      EXPECT_EQ(ldrInstall(&layout, &outcome), c.expected);
      EXPECT_EQ(outcome, LDR_NOTHING_STAGED);
    }
    if (c.expected != LDR_OK || c.onTrial != LDR_OK) {
      outcome = LDR_INSTALLED;
      EXPECT_STREQ(ldrStatusName(ldrInstallOnTrial(&layout, &outcome)),
                   ldrStatusName(c.expected != LDR_OK ? c.expected : c.onTrial));
      EXPECT_EQ(outcome, LDR_NOTHING_STAGED);
    }
  }
  EXPECT_EQ(ldrCheckUpdateLayout(nullptr), LDR_NULL_ARGUMENT);
}

TEST(Install, SaysWhatThePrimarySlotHolds) {
  const Bytes old = loadImage(randomBytes(3000, 16), kRamStart, kRamStart + 1);
  const Bytes image = loadImage(randomBytes(5000, 17), kRamStart, kRamStart + 1);
  // Linked to run in place from the primary slot at 0: its payload stands at 44.
  const Bytes inPlace = loadImage(randomBytes(600, 18), 44, 45);
  using Change = void (*)(TableDevice&);
  struct Case {
    const char* name;
    Bytes staged;
    std::uint32_t ramSize;  // 0: in place
    Change afterStaging;
    ldrStatus status;
    ldrInstallOutcome outcome;
  } const cases[] = {
      {"nothing staged", {}, kRamSize, nullptr, LDR_OK, LDR_NOTHING_STAGED},
      {"a staged image", image, kRamSize, nullptr, LDR_OK, LDR_INSTALLED},
      {"in place, linked for the primary slot", inPlace, 0, nullptr, LDR_OK, LDR_INSTALLED},
      {"in place, linked for another place", image, 0, nullptr, LDR_NOT_AT_LOAD_ADDRESS, LDR_UPDATE_REFUSED},
      {"loads past the RAM window", inPlace, kRamSize, nullptr, LDR_OUTSIDE_RAM, LDR_UPDATE_REFUSED},
      {"the update slot changed since", image, kRamSize,
       [](TableDevice& d) { d.flash.place(TableDevice::kSlot + 2000, {0x12}); }, LDR_BAD_CHECKSUM, LDR_UPDATE_REFUSED},
      {"another image in the update slot since", image, kRamSize,
       [](TableDevice& d) { d.flash.place(TableDevice::kSlot, loadImage(randomBytes(5000, 19), kRamStart, kRamStart + 1)); },
       LDR_NOT_AS_STAGED, LDR_UPDATE_REFUSED},
      {"the update slot unreadable", image, kRamSize,
       [](TableDevice& d) { d.flash.tear(TableDevice::kSlot + 3000); },
       LDR_FLASH_READ_FAILED, LDR_UPDATE_REFUSED},
      // Every record unreadable reads as torn ones: nothing staged, and no slot written.
      {"the status area unreadable", image, kRamSize,
       [](TableDevice& d) {
         for (std::uint32_t at = d.layout.statusArea; at < d.layout.statusArea + 2 * d.flash.flash()->sectorSize;
              at += d.flash.flash()->programUnit)
           d.flash.tear(at);
       },
       LDR_OK, LDR_NOTHING_STAGED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TableDevice device(kGeometries[1], old);
    device.layout.ramSize = c.ramSize;
    if (!c.staged.empty()) {
      ASSERT_EQ(stage(device, c.staged), LDR_OK);
    }
    if (c.afterStaging != nullptr) c.afterStaging(device);
    ldrInstallOutcome outcome;
    EXPECT_STREQ(ldrStatusName(ldrInstall(&device.layout, &outcome)), ldrStatusName(c.status));
    EXPECT_EQ(outcome, c.outcome);
    device.flash.powerOn();
    EXPECT_EQ(device.flash.peek(0, c.outcome == LDR_INSTALLED ? c.staged.size() : old.size()),
              c.outcome == LDR_INSTALLED ? c.staged : old);
    // A refusal of what the slot holds is recorded; a failed read is tried again.
    const std::uint64_t operations = device.flash.operations();
    if (c.status == LDR_FLASH_READ_FAILED) {
      EXPECT_EQ(ldrInstall(&device.layout, &outcome), LDR_FLASH_READ_FAILED);
      EXPECT_EQ(outcome, LDR_UPDATE_REFUSED);
    } else {
      EXPECT_EQ(ldrInstall(&device.layout, &outcome), LDR_OK);
      EXPECT_EQ(outcome, LDR_NOTHING_STAGED);
      EXPECT_EQ(device.flash.operations(), operations);
    }
    EXPECT_EQ(device.flash.violations(), 0u);
  }
}

// Each call's state as the application reads it, where no campaign looks: a staging begun
// over a staged image makes it uninstallable at once, and a revert is read as one.
TEST(UpdateState, EachStepIsReadAsWhatItDid) {
  const Bytes old = loadImage(randomBytes(3000, 70), kRamStart, kRamStart + 1);
  const Bytes image = loadImage(randomBytes(2000, 71), kRamStart, kRamStart + 1);
  TableDevice device(kGeometries[0], old);
  const auto state = [&] {
    ldrUpdateState read = LDR_STATE_SWAPPING;
    EXPECT_EQ(ldrReadUpdateState(&device.layout, &read), LDR_OK);
    return read;
  };
  ldrInstallOutcome outcome;
  ASSERT_EQ(stage(device, image), LDR_OK);
  EXPECT_EQ(state(), LDR_STATE_STAGED);
  ldrStaging staging;
  ASSERT_EQ(ldrStageBegin(&staging, &device.layout), LDR_OK);
  EXPECT_EQ(state(), LDR_STATE_NONE);
  EXPECT_EQ(ldrInstall(&device.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_NOTHING_STAGED);
  ASSERT_EQ(stage(device, image), LDR_OK);
  ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_ON_TRIAL);
  EXPECT_EQ(state(), LDR_STATE_ON_TRIAL);
  ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_REVERTED);
  EXPECT_EQ(state(), LDR_STATE_REVERTED);
  EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), old);
}

// On trial over a blank primary slot there is nothing to come back to: the image is installed
// for good, and the next boot keeps it.
TEST(OnTrial, OverABlankPrimaryTheImageIsInstalledForGood) {
  const Bytes image = loadImage(randomBytes(2000, 73), kRamStart, kRamStart + 1);
  for (const FlashGeometry& geometry : {kGeometries[0], kGeometries[2]}) {
    SCOPED_TRACE(geometry.name);
    TableDevice device(geometry, Bytes{});
    ASSERT_EQ(stage(device, image), LDR_OK);
    ldrInstallOutcome outcome;
    ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
    EXPECT_EQ(outcome, LDR_INSTALLED);
    ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
    EXPECT_EQ(outcome, LDR_NOTHING_STAGED);
    EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), image);
  }
}

// A unit torn by a cut in an older staging, past the end of the image staged since and inside
// the primary's: the swap reads it, and must find it erased (on ECC flash, a torn unit faults).
TEST(OnTrial, ASwapFindsNoUnitAnOlderStagingTore) {
  const Bytes old = loadImage(randomBytes(7000, 76), kRamStart, kRamStart + 1);
  const Bytes image = loadImage(randomBytes(1000, 77), kRamStart, kRamStart + 1);
  TableDevice device(kGeometries[1], old);
  device.flash.tear(TableDevice::kSlot + 6000);
  ASSERT_EQ(stage(device, image), LDR_OK);
  ldrInstallOutcome outcome;
  EXPECT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_ON_TRIAL);
  EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), image);
  EXPECT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_REVERTED);
  EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), old);
}

// What a flash part or a forger can do that no power cut does, each refused before "installed"
// is recorded: a program accepted that reads back otherwise, a staged image replaced by one of
// another size with the same checksum, a callback failing part way through a swap, and a
// record slot that takes no program (passed over without erasing a status sector).
TEST(Install, WhatNoPowerCutDoesIsCaught) {
  const Bytes old = loadImage(randomBytes(3000, 74), kRamStart, kRamStart + 1);
  const Bytes image = loadImage(randomBytes(2000, 75), kRamStart, kRamStart + 1);
  const std::uint32_t slot = TableDevice::kSlot;
  const auto stateOf = [](TableDevice& device) {
    ldrUpdateState read = LDR_STATE_NONE;
    EXPECT_EQ(ldrReadUpdateState(&device.layout, &read), LDR_OK);
    return read;
  };
  ldrInstallOutcome outcome;
  {
    SCOPED_TRACE("a program that reads back wrong");
    TableDevice device(kGeometries[0], old);
    ASSERT_EQ(stage(device, image), LDR_OK);
    device.flash.lieAt(100);
    EXPECT_EQ(ldrInstall(&device.layout, &outcome), LDR_FLASH_VERIFY_FAILED);
    EXPECT_EQ(outcome, LDR_INSTALL_INCOMPLETE);
    EXPECT_EQ(stateOf(device), LDR_STATE_STAGED);
  }
  {
    SCOPED_TRACE("another size, the same checksum");
    TableDevice device(kGeometries[0], old);
    ASSERT_EQ(stage(device, image), LDR_OK);
    Bytes forged = image;
    forged[4] = static_cast<unsigned char>(forged[4] + 4);  // imageSize 2004: a zero word more, the same word-sum
    forged.insert(forged.end(), 4, 0);
    device.flash.place(slot, forged);
    EXPECT_EQ(ldrInstall(&device.layout, &outcome), LDR_NOT_AS_STAGED);
    EXPECT_EQ(outcome, LDR_UPDATE_REFUSED);
    EXPECT_EQ(startable(device.flash, 0, slot), old);
  }
  {
    SCOPED_TRACE("a callback that fails part way through a swap");
    TableDevice device(kGeometries[2], old);
    ASSERT_EQ(stage(device, image), LDR_OK);
    device.flash.arm({device.flash.operations() + 4, PowerCut::Kind::Before, 0, 0});
    EXPECT_NE(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
    EXPECT_EQ(outcome, LDR_INSTALL_INCOMPLETE);
  }
  {
    SCOPED_TRACE("a record slot that takes no program");
    TableDevice device(kGeometries[2], old);
    ASSERT_EQ(stage(device, image), LDR_OK);  // "staged" in the status area's first slot
    const std::uint32_t status = device.layout.statusArea;
    device.flash.tear(status + 32);  // reads erased, and under the ECC rule takes no program
    ASSERT_EQ(ldrInstall(&device.layout, &outcome), LDR_OK);
    EXPECT_EQ(outcome, LDR_INSTALLED);
    EXPECT_EQ(device.flash.erasesOf(status) + device.flash.erasesOf(status + kGeometries[2].sectorSize), 0u);
    EXPECT_EQ(stateOf(device), LDR_STATE_INSTALLED);
  }
}

// Staging erases each sector the image and its trailer's room span once, and no other: an image
// that fills the slot does not reach the sector after it.
// As far as a longer image in the primary slot reaches too, all that a swap reads.
TEST(Staging, ErasesEachSectorItNeedsOnce) {
  const FlashGeometry& geometry = kGeometries[4];  // 256-byte sectors
  const std::uint32_t sector = geometry.sectorSize;
  const std::uint32_t slot = TableDevice::kSlot;
  struct Case {
    std::uint32_t length;
    std::uint32_t primary = 0;  // the primary image's length, 0 for none
  } const cases[] = {{slot}, {slot - 112}, {slot - 113}, {8 * sector}, {8 * sector - 112}, {8 * sector - 108}, {48},
                     {48, 10 * sector - 112}, {10 * sector - 112, 48}};
  for (const Case& c : cases) {
    const std::uint32_t length = c.length;
    SCOPED_TRACE(std::to_string(length) + " bytes over " + std::to_string(c.primary));
    TableDevice device(geometry, c.primary == 0 ? Bytes{} : loadImage(randomBytes(c.primary - 44, 3), kRamStart, kRamStart + 1));
    FlashModel counting(device.flash);
    Device fresh(counting, slot);
    ASSERT_EQ(stage(fresh, loadImage(randomBytes(length - 44, length), kRamStart, kRamStart + 1)), LDR_OK);
    const std::uint32_t spanned = (std::min(slot, std::max(length, c.primary) + 112) + sector - 1) / sector;
    for (std::uint32_t at = 0; at < Device::flashSize(geometry, slot); at += sector) {
      const bool inSpan = at >= slot && at < slot + spanned * sector;
      EXPECT_EQ(fresh.flash.erasesOf(at), inSpan ? 1u : 0u) << "sector at " << at;
    }
  }
}

// The most erases any sector takes in each of five updates in a row on one device (the status
// log anywhere in its round), staging included: at most 2 installed over the old image, 3 on
// trial and confirmed, 4 on trial and reverted; with the updates that gives before a sector
// rated for 10,000 cycles wears out. The slots hold images of `image` bytes.
TEST(Wear, NoUpdateErasesASectorMoreThanItsBound) {
  struct Case {
    const char* name;
    FlashGeometry geometry;
    std::uint32_t slot;
    std::uint32_t image;
  };
  std::vector<Case> cases;
  for (const FlashGeometry& geometry : kGeometries) {
    const std::uint32_t slot = std::max<std::uint32_t>(8 * 1024, 4 * geometry.sectorSize);
    cases.push_back({geometry.name, geometry, slot, slot - 600});
  }
  cases.push_back({kGeometries[4].name, kGeometries[4], 104 * 256, 104 * 256 - 600});
  // The lifetimes loader/README.md gives: images that fill their slots.
  for (const std::uint32_t sector : {2048u, 4096u, 131072u})
    for (const std::uint32_t image : {64u * 1024, 512u * 1024})
      cases.push_back({"", {"", sector, 8, 0xFF, true, true}, (image + sector - 1) / sector * sector, image});
  for (const Case& c : cases) {
    const FlashGeometry& geometry = c.geometry;
    const std::uint32_t slot = c.slot;
    std::uint32_t most[3] = {};
    for (int way = 0; way < 3; ++way) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.image) + " bytes, way " + std::to_string(way));
      Device d(FlashModel(geometry, Device::flashSize(geometry, slot)), slot);
      d.layout.ramSize = 1u << 20;
      d.flash.place(0, loadImage(randomBytes(c.image - 44, 80), kRamStart, kRamStart + 1));
      for (std::uint32_t update = 1; update <= 5; ++update) {
        std::vector<std::uint32_t> before;
        for (std::uint32_t at = 0; at < Device::flashSize(geometry, slot); at += geometry.sectorSize)
          before.push_back(d.flash.erasesOf(at));
        const Bytes image = loadImage(randomBytes(c.image - 44, 80 + update), kRamStart, kRamStart + 1);
        ASSERT_EQ(stage(d, image), LDR_OK);
        ldrInstallOutcome outcome;
        if (way == 0) {
          ASSERT_EQ(ldrInstall(&d.layout, &outcome), LDR_OK);
        } else {
          ASSERT_EQ(ldrInstallOnTrial(&d.layout, &outcome), LDR_OK);
          ASSERT_EQ(outcome, LDR_ON_TRIAL);
          if (way == 1) {
            ASSERT_EQ(ldrConfirm(&d.layout), LDR_OK);
          }
          ASSERT_EQ(ldrInstallOnTrial(&d.layout, &outcome), LDR_OK);
          ASSERT_EQ(outcome, way == 1 ? LDR_NOTHING_STAGED : LDR_REVERTED);
        }
        for (std::uint32_t at = 0; at < Device::flashSize(geometry, slot); at += geometry.sectorSize)
          most[way] = std::max(most[way], d.flash.erasesOf(at) - before[at / geometry.sectorSize]);
      }
      EXPECT_LE(most[way], static_cast<std::uint32_t>(2 + way));
    }
    std::printf("wear: %s%s%u-sector slots of %u-byte sectors, %u-byte images, %u status sectors: at most %u, %u and %u erases of a "
                "sector per update, %u, %u and %u updates (over the old image, on trial confirmed and reverted)\n",
                c.name, *c.name != 0 ? ": " : "", slot / geometry.sectorSize, geometry.sectorSize, c.image,
                Device::statusSectors(geometry, slot), most[0], most[1], most[2], 10000 / most[0], 10000 / most[1],
                10000 / most[2]);
  }
}

TEST(Install, WritesEachSectorOfTheImageOnceAndFailsOnAFailedCallback) {
  const FlashGeometry& geometry = kGeometries[1];
  Bytes payload = randomBytes(7000, 20);
  const Bytes old = loadImage(payload, kRamStart, kRamStart + 1);
  payload[5000] ^= 1;  // one byte, in the image's third sector
  const Bytes image = loadImage(payload, kRamStart, kRamStart + 1);
  TableDevice device(geometry, old);
  ASSERT_EQ(stage(device, image), LDR_OK);
  FlashModel counting(device.flash);
  Device twin(counting, TableDevice::kSlot);
  twin.flash.record(true);
  ldrInstallOutcome outcome;
  ASSERT_EQ(ldrInstall(&twin.layout, &outcome), LDR_OK);
  EXPECT_EQ(outcome, LDR_INSTALLED);
  const std::vector<std::uint32_t>& operations = twin.flash.recorded();
  // The header's sector and the changed one are rewritten; the record is one program.
  EXPECT_EQ(std::count(operations.begin(), operations.end(), 0u), 2);
  std::uint64_t units = 0;
  for (const std::uint32_t n : operations) units += n;
  EXPECT_EQ(units, 2 * geometry.sectorSize / geometry.programUnit + 32 / geometry.programUnit);
  // A callback that fails while the primary slot is rewritten: not startable, and said so.
  for (const ldrStatus failure : {LDR_FLASH_ERASE_FAILED, LDR_FLASH_PROGRAM_FAILED}) {
    SCOPED_TRACE(ldrStatusName(failure));
    Device failing(counting, TableDevice::kSlot);
    const auto at = std::find(operations.begin(), operations.end(), 0u) - operations.begin();
    failing.flash.arm({static_cast<std::uint64_t>(failure == LDR_FLASH_ERASE_FAILED ? at : at + 1),
                       PowerCut::Kind::Before, 0, 0});
    EXPECT_EQ(ldrInstall(&failing.layout, &outcome), failure);
    EXPECT_EQ(outcome, LDR_INSTALL_INCOMPLETE);
  }
}

#ifdef UPDATE_TESTS_SIGNED

// The keys of the signed tests: the device trusts the first; the second is anyone else's.
struct SigningKeys {
  PrivateKey device = testKey(kKey_rfc6979_pkcs8);
  PrivateKey other = testKey(kKey_other_pkcs8);
  ldrTrustedKey trusted[2] = {trustedKey(device.publicKey), trustedKey(other.publicKey)};
  ldrTrust trust{trusted, 1, ldrVerifySlot};
  ldrTrust rotated{trusted, 2, ldrVerifySlot};  // during a key's rotation: the old one and the new
};
const SigningKeys& signingKeys() {
  static const SigningKeys keys;
  return keys;
}

// ldrVerifySlot for the campaigns, where the same slot contents come back in thousands of runs:
// the slot is read through the callbacks as the real check reads it, and the real check runs
// once for each contents it has not seen, its answer kept (it depends on nothing else).
ldrStatus verifySlotOnce(const ldrTrust* trust, const ldrFlash* flash, std::uint32_t slot, std::uint32_t slotSize,
                         std::uint32_t* securityCounter) {
  static std::unordered_map<std::string, std::pair<ldrStatus, std::uint32_t>> answers;
  std::string contents(slotSize, '\0');
  if (flash->read(flash, slot, reinterpret_cast<unsigned char*>(contents.data()), slotSize) != 0)
    return ldrVerifySlot(trust, flash, slot, slotSize, securityCounter);  // its own read fails too, or says so
  contents.append(reinterpret_cast<const char*>(&trust), sizeof trust);
  auto [at, fresh] = answers.try_emplace(std::move(contents));
  if (fresh) at->second.first = ldrVerifySlot(trust, flash, slot, slotSize, &at->second.second);
  *securityCounter = at->second.second;
  return at->second.first;
}

constexpr std::uint32_t kOldCounter = 5;

Bytes appImage(std::size_t size, std::uint32_t seed) { return loadImage(randomBytes(size, seed), kRamStart, kRamStart + 1); }

// Signed updates over a signed image (counter 5) on a device that trusts one key.
std::vector<Scenario> signedScenarios(std::uint32_t slotSize, std::uint32_t sectorSize) {
  const SigningKeys& keys = signingKeys();
  const Bytes old = signImage(appImage(5000, 1), keys.device, kOldCounter);
  Bytes changed = signImage(appImage(900, 10), keys.device, 6);
  changed[500] ^= 0x20;
  return {
      {"signed, a higher counter, many sectors", old, signImage(appImage(slotSize - 600, 5), keys.device, 6), 1, true},
      {"signed, the same counter", old, signImage(appImage(1500, 6), keys.device, kOldCounter), 1, true},
      // The trailer's last 8 bytes in a sector of their own.
      {"signed, its trailer ending in another sector", old,
       signImage(appImage(2 * sectorSize - 148, 11), keys.device, 6), 1, true},
      {"signed, a lower counter", old, signImage(appImage(1500, 7), keys.device, kOldCounter - 1), 1, false},
      {"signed by a key not trusted", old, signImage(appImage(900, 8), keys.other, 9), 1, false},
      {"not signed", old, appImage(900, 9), 1, false},
      {"a byte changed after signing", old, withChecksumMadeAgain(changed), 1, false},
  };
}

// A boot loader that starts only an image whose signature verifies, and whose counter is not
// below the old image's: anything else counts as a brick.
std::optional<Bytes> verifiedOnly(Device& device, std::optional<Bytes> booted) {
  std::uint32_t counter = 0;
  if (!booted || device.layout.trust->verifySlot(device.layout.trust, device.flash.flash(), device.layout.primarySlot,
                               device.layout.slotSize, &counter) != LDR_OK || counter < kOldCounter)
    return std::nullopt;
  return booted;
}
std::optional<Bytes> bootSigned(Device& device) { return verifiedOnly(device, bootWithInstall(device)); }
std::optional<Bytes> bootSignedOnTrial(Device& device) { return verifiedOnly(device, bootOnTrial(device)); }

// The campaigns again with signed images and a key: 0 bricks and 0 wrong images mean that no
// boot started an image whose signature fails or whose counter is below the old image's.
TEST_P(UpdateCampaign, SignedEveryCutLeavesTheOldOrTheNewImageAndNeverAnOlderOne) {
  const auto started = std::chrono::steady_clock::now();
  // Sampled at every fourth operation (every 16th for the small units' many cut points): the
  // unsigned campaigns take them all, and these ask what a key adds.
  const std::uint64_t thin = (GetParam().programUnit < 8 ? 16 : 4) * thinning();
  static const ldrTrust once{signingKeys().trusted, 1, verifySlotOnce};
  const ldrTrust* trust = &once;
  printFigures("campaign signed", GetParam(),
               campaign(GetParam(), bootSigned, thin, 4 * thin, 3, Trial::None, trust, signedScenarios), started);
  const auto trialStarted = std::chrono::steady_clock::now();
  Figures figures;
  for (const Trial trial : {Trial::Confirms, Trial::NeverConfirms}) {
    SCOPED_TRACE(trial == Trial::Confirms ? "confirms" : "never confirms");
    figures += campaign(GetParam(), bootSignedOnTrial, 2 * thin, 128 * thin, 7, trial, trust, signedScenarios);
  }
  printFigures("campaign signed on trial", GetParam(), figures, trialStarted);
}

// Every byte of a small signed image changed, one at a time (a payload byte with the checksum
// made again): staging with the key refuses each, and so does an install of it staged without
// (overwrite and on trial by turns).
TEST(SignedImages, EveryChangedByteIsRefusedAndTheOldImageRuns) {
  const SigningKeys& keys = signingKeys();
  const Bytes old = signImage(appImage(300, 30), keys.device, kOldCounter);
  const Bytes image = signImage(appImage(62, 31), keys.device, 6);
  const std::size_t trailerAt = image.size() - LDR_TRAILER_SIZE;
  std::size_t refusedByInstall = 0;
  for (std::size_t at = 0; at < image.size(); ++at) {
    SCOPED_TRACE("byte " + std::to_string(at));
    Bytes tampered = image;
    tampered[at] ^= static_cast<unsigned char>(1u << (at % 8));
    if (at >= 44 && at < trailerAt) tampered = withChecksumMadeAgain(tampered);
    const bool onTrial = at % 2 == 1;
    TableDevice device(kGeometries[at % std::size(kGeometries)], old);
    device.layout.trust = &keys.trust;
    EXPECT_NE(stage(device, tampered), LDR_OK);
    device.layout.trust = nullptr;
    if (stage(device, tampered) != LDR_OK) continue;  // refused without the key too (a header constant)
    device.layout.trust = &keys.trust;
    ldrInstallOutcome outcome;
    EXPECT_NE(onTrial ? ldrInstallOnTrial(&device.layout, &outcome) : ldrInstall(&device.layout, &outcome), LDR_OK);
    EXPECT_EQ(outcome, LDR_UPDATE_REFUSED);
    EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), old);
    ++refusedByInstall;
  }
  // All but the header's constants and a trailer made unreadable reach the install's check.
  EXPECT_GT(refusedByInstall, image.size() * 3 / 4);
}

// What each refusal says, at staging's finish with the key and at install of what was staged
// without it; and a rotation's two keys.
TEST(SignedImages, RefusalsSayWhyAndLeaveTheOldImage) {
  const SigningKeys& keys = signingKeys();
  const Bytes old = signImage(appImage(700, 40), keys.device, kOldCounter);
  const Bytes image = appImage(1000, 41);
  const Bytes good = signImage(image, keys.device, kOldCounter + 1);
  const auto changedAt = [&](std::size_t at) {
    Bytes b = good;
    b[at] ^= 1;
    return b;
  };
  Bytes grown = good;
  grown.push_back(0);
  struct Case {
    const char* name;
    Bytes file;
    ldrStatus expected;
    bool rotated = false;
  } const cases[] = {
      {"signed by the trusted key", good, LDR_OK},
      {"the same counter", signImage(image, keys.device, kOldCounter), LDR_OK},
      {"the highest counter", signImage(image, keys.device, 0xFFFFFFFF), LDR_OK},
      {"a lower counter", signImage(image, keys.device, kOldCounter - 1), LDR_DOWNGRADE},
      {"counter 0", signImage(image, keys.device, 0), LDR_DOWNGRADE},
      {"another key", signImage(image, keys.other, 9), LDR_UNTRUSTED_KEY},
      {"another key, while both are trusted", signImage(image, keys.other, 9), LDR_OK, true},
      {"not signed", image, LDR_NOT_SIGNED},
      {"the signature changed", changedAt(good.size() - 1), LDR_BAD_SIGNATURE},
      {"the counter changed", changedAt(good.size() - 112 + 44), LDR_BAD_SIGNATURE},
      {"the name changed", changedAt(20), LDR_BAD_SIGNATURE},
      {"the exec address's Thumb bit changed", changedAt(12), LDR_BAD_SIGNATURE},
      {"the trailer's version changed", changedAt(good.size() - 112 + 4), LDR_TRAILER_DAMAGED},
      {"the trailer's algorithm changed", changedAt(good.size() - 112 + 8), LDR_TRAILER_DAMAGED},
      {"the trailer cut short", Bytes(good.begin(), good.end() - 10), LDR_TRAILER_DAMAGED},
      {"a byte after the trailer", grown, LDR_STREAM_TOO_LONG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ldrTrust* trust = c.rotated ? &keys.rotated : &keys.trust;
    TableDevice staged(kGeometries[1], old);
    staged.layout.trust = trust;
    EXPECT_STREQ(ldrStatusName(stage(staged, c.file)), ldrStatusName(c.expected));
    TableDevice device(kGeometries[1], old);
    if (stage(device, c.file) != LDR_OK) continue;  // what staging refuses with or without a key
    device.layout.trust = trust;
    ldrInstallOutcome outcome;
    EXPECT_STREQ(ldrStatusName(ldrInstall(&device.layout, &outcome)), ldrStatusName(c.expected));
    EXPECT_EQ(outcome, c.expected == LDR_OK ? LDR_INSTALLED : LDR_UPDATE_REFUSED);
    ldrUpdateState state;
    ASSERT_EQ(ldrReadUpdateState(&device.layout, &state), LDR_OK);
    EXPECT_EQ(state, c.expected == LDR_OK ? LDR_STATE_INSTALLED : LDR_STATE_REFUSED);
    EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), c.expected == LDR_OK ? c.file : old);
  }
}

// The floor is the installed image's counter: a revert brings back the old one's, so the image
// refused on trial raises nothing, and one confirmed raises it for good.
TEST(SignedImages, OnlyAnImageInstalledForGoodRaisesTheFloor) {
  const SigningKeys& keys = signingKeys();
  const Bytes old = signImage(appImage(700, 50), keys.device, kOldCounter);
  const Bytes newer = signImage(appImage(800, 51), keys.device, 9);
  const Bytes between = signImage(appImage(900, 52), keys.device, 7);
  TableDevice device(kGeometries[0], old);
  device.layout.trust = &keys.trust;
  ldrInstallOutcome outcome;
  ASSERT_EQ(stage(device, newer), LDR_OK);
  ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  ASSERT_EQ(outcome, LDR_ON_TRIAL);
  ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);  // not confirmed: reverted
  ASSERT_EQ(outcome, LDR_REVERTED);
  EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), old);
  ASSERT_EQ(stage(device, between), LDR_OK);  // 7 is above the old image's 5
  ASSERT_EQ(ldrInstallOnTrial(&device.layout, &outcome), LDR_OK);
  ASSERT_EQ(outcome, LDR_ON_TRIAL);
  ASSERT_EQ(ldrConfirm(&device.layout), LDR_OK);
  EXPECT_EQ(stage(device, old), LDR_DOWNGRADE);
  EXPECT_EQ(startable(device.flash, 0, TableDevice::kSlot), between);
}

TEST(SignedImages, VerificationRefusesWhatItCannotRead) {
  const SigningKeys& keys = signingKeys();
  const Bytes good = signImage(appImage(100, 60), keys.device, 1);
  std::uint32_t counter = 1234;
  EXPECT_EQ(ldrVerifyImage(&keys.trust, good.data(), good.size(), &counter), LDR_OK);
  EXPECT_EQ(counter, 1u);
  EXPECT_EQ(ldrVerifyImage(&keys.trust, good.data(), good.size() - 1, &counter), LDR_TRAILER_DAMAGED);
  EXPECT_EQ(counter, 0u);
  EXPECT_EQ(ldrVerifyImage(&keys.trust, good.data(), 100, &counter), LDR_IMAGE_TRUNCATED);
  EXPECT_EQ(ldrVerifyImage(&keys.trust, good.data(), 43, &counter), LDR_TOO_SHORT);
  EXPECT_EQ(ldrVerifyImage(nullptr, good.data(), good.size(), &counter), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrVerifyImage(&keys.trust, nullptr, good.size(), &counter), LDR_NULL_ARGUMENT);
  EXPECT_EQ(ldrVerifyImage(&keys.trust, good.data(), good.size(), nullptr), LDR_NULL_ARGUMENT);
  const ldrTrust none{keys.trusted, 0, ldrVerifySlot};
  EXPECT_EQ(ldrVerifyImage(&none, good.data(), good.size(), &counter), LDR_UNTRUSTED_KEY);
  // Through the flash callbacks: a read that fails is said (a torn unit, on ECC flash).
  TableDevice device(kGeometries[1], good);
  EXPECT_EQ(ldrVerifySlot(&keys.trust, device.flash.flash(), 0, TableDevice::kSlot, &counter), LDR_OK);
  device.flash.tear(64);
  EXPECT_EQ(ldrVerifySlot(&keys.trust, device.flash.flash(), 0, TableDevice::kSlot, &counter), LDR_FLASH_READ_FAILED);
}

#endif

#else

// The library built with a revert that leaves out the swap's last sector: the campaign on trial
// must report it, as wrong images, bricks or wrong states, even on a single geometry.
TEST(UpdateCampaignCatches, ARevertThatSkipsItsLastSector) {
  const Figures figures = campaign(kGeometries[1], bootOnTrial, 4 * thinning(), 1u << 30, 1, Trial::NeverConfirms);
  std::printf("campaign on trial, with a revert that skips its last sector: %llu cut points, %llu bricks, "
              "%llu wrong images, %llu wrong states\n",
              static_cast<unsigned long long>(figures.cutPoints), static_cast<unsigned long long>(figures.bricks),
              static_cast<unsigned long long>(figures.wrongImages), static_cast<unsigned long long>(figures.wrongStates));
  EXPECT_GT(figures.bricks + figures.wrongImages + figures.wrongStates, 0u);
}

#endif

}  // namespace
