#include "support/flashModel.hpp"

#include <algorithm>

namespace {

// Random bytes for torn bits, cheap to seed (splitmix64): a fresh one for every torn operation.
class Mix {
 public:
  explicit Mix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t operator()() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

}  // namespace

FlashModel::FlashModel(const FlashGeometry& geometry, std::uint32_t size)
    : geometry_(geometry),
      flash_{readCallback,        eraseCallback,          programCallback,         this,
             geometry.sectorSize, geometry.programUnit, geometry.erasedValue, geometry.programOnce},
      bytes_(size, geometry.erasedValue),
      units_(size / geometry.programUnit, kErased),
      erases_(size / geometry.sectorSize, 0) {}

// The copy's callbacks reach the copy.
FlashModel::FlashModel(const FlashModel& other)
    : geometry_(other.geometry_),
      flash_(other.flash_),
      bytes_(other.bytes_),
      units_(other.units_),
      tornUnits_(other.tornUnits_),
      erases_(other.erases_.size(), 0) {
  flash_.context = this;
}

void FlashModel::setUnit(std::uint32_t unit, UnitState state) {
  if (units_[unit] == kTorn) --tornUnits_;
  if (state == kTorn) ++tornUnits_;
  units_[unit] = state;
}

void FlashModel::place(std::uint32_t address, const Bytes& bytes) {
  const std::uint32_t size = geometry_.programUnit;
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + address);
  // A unit left holding only the erased value counts as erased.
  for (std::uint32_t unit = address / size; unit * size < address + bytes.size(); ++unit) {
    const auto first = bytes_.begin() + unit * size;
    const bool erased = std::all_of(first, first + size, [this](unsigned char b) { return b == geometry_.erasedValue; });
    setUnit(unit, erased ? kErased : kProgrammed);
  }
}

Bytes FlashModel::peek(std::uint32_t address, std::size_t count) const {
  return Bytes(bytes_.begin() + address, bytes_.begin() + address + static_cast<long>(count));
}

bool FlashModel::readable(std::uint32_t address, std::size_t count) const {
  if (!geometry_.tornReadsFail || tornUnits_ == 0 || count == 0) return true;
  for (std::size_t unit = address / geometry_.programUnit; unit <= (address + count - 1) / geometry_.programUnit; ++unit)
    if (units_[unit] == kTorn) return false;
  return true;
}

bool FlashModel::cutNow(PowerCut& cut) {
  const std::uint64_t index = operations_++;
  if (!armed_ || cut_.operation != index) return false;
  cut = cut_;
  armed_ = false;
  powered_ = false;
  return true;
}

int FlashModel::readCallback(const ldrFlash* flash, std::uint32_t address, unsigned char* bytes, std::size_t count) {
  const auto* model = static_cast<const FlashModel*>(flash->context);
  if (!model->powered_ || address + count > model->bytes_.size() || !model->readable(address, count)) return -1;
  std::copy_n(model->bytes_.begin() + address, count, bytes);
  return 0;
}

int FlashModel::eraseCallback(const ldrFlash* flash, std::uint32_t address) {
  return static_cast<FlashModel*>(flash->context)->erase(address);
}

int FlashModel::programCallback(const ldrFlash* flash, std::uint32_t address, const unsigned char* bytes,
                                std::size_t count) {
  return static_cast<FlashModel*>(flash->context)->program(address, bytes, count);
}

int FlashModel::erase(std::uint32_t address) {
  const std::uint32_t sector = geometry_.sectorSize;
  if (!powered_) return -1;
  if (address % sector != 0 || address + sector > bytes_.size()) {
    ++violations_;
    return -1;
  }
  if (recording_) recorded_.push_back(0);
  PowerCut cut{};
  const bool cutHere = cutNow(cut);
  if (cutHere && cut.kind == PowerCut::Kind::Before) return -1;
  ++erases_[address / sector];
  const std::uint32_t unit = geometry_.programUnit;
  if (cutHere && cut.kind == PowerCut::Kind::Torn) {
    // Every bit old or erased at random; a unit left neither wholly old nor wholly erased is
    // torn, and under the ECC rule so is one left erased, whose check bits may not be.
    Mix random(cut.seed);
    for (std::uint32_t first = address; first < address + sector; first += unit) {
      bool changed = false;
      bool erased = true;
      for (std::uint32_t i = first; i < first + unit; ++i) {
        const auto mask = static_cast<std::uint8_t>(random());
        const std::uint8_t old = bytes_[i];
        bytes_[i] = geometry_.erasedValue == 0xFF ? static_cast<std::uint8_t>(old | mask)
                                                  : static_cast<std::uint8_t>(old & ~mask);
        changed = changed || bytes_[i] != old;
        erased = erased && bytes_[i] == geometry_.erasedValue;
      }
      if (changed) setUnit(first / unit, erased && !geometry_.programOnce ? kErased : kTorn);
    }
    return -1;
  }
  std::fill_n(bytes_.begin() + address, sector, geometry_.erasedValue);
  for (std::uint32_t u = address / unit; u < (address + sector) / unit; ++u) setUnit(u, kErased);
  return cutHere ? -1 : 0;
}

int FlashModel::program(std::uint32_t address, const unsigned char* bytes, std::size_t count) {
  const std::uint32_t unit = geometry_.programUnit;
  if (!powered_) return -1;
  if (count == 0 || address % unit != 0 || count % unit != 0 || address + count > bytes_.size() ||
      address / geometry_.sectorSize != (address + count - 1) / geometry_.sectorSize) {
    ++violations_;
    return -1;
  }
  const auto units = static_cast<std::uint32_t>(count / unit);
  if (recording_) recorded_.push_back(units);
  PowerCut cut{};
  const bool cutHere = cutNow(cut);
  if (cutHere && cut.kind == PowerCut::Kind::Before) return -1;
  const std::uint32_t done = cutHere && cut.kind == PowerCut::Kind::Torn ? std::min(cut.unit, units) : units;
  // Under the ECC rule a unit that is not erased takes no program: refused before any bit moves.
  if (geometry_.programOnce) {
    for (std::uint32_t u = 0; u < units; ++u) {
      const std::uint32_t index = address / unit + u;
      if (units_[index] != kErased) {
        if (units_[index] != kTorn) ++violations_;
        return -1;
      }
    }
  }
  const bool erasedHigh = geometry_.erasedValue == 0xFF;
  unsigned char* cells = bytes_.data() + address;
  const std::size_t doneBytes = static_cast<std::size_t>(done) * unit;
  // A bit that would have to move back to the erased value stays; only a torn unit's may.
  unsigned backwards = 0;
  for (std::size_t i = 0; i < doneBytes; ++i) {
    backwards |= erasedHigh ? ~cells[i] & bytes[i] : cells[i] & ~bytes[i];
    cells[i] = erasedHigh ? static_cast<unsigned char>(cells[i] & bytes[i]) : static_cast<unsigned char>(cells[i] | bytes[i]);
  }
  if ((backwards & 0xFFu) != 0) {
    bool tornBefore = false;
    for (std::uint32_t u = 0; u < done; ++u) tornBefore = tornBefore || units_[address / unit + u] == kTorn;
    if (!tornBefore) ++violations_;
  }
  for (std::uint32_t u = 0; u < done; ++u) setUnit(address / unit + u, kProgrammed);
  if (lieAt_ && *lieAt_ >= address && *lieAt_ < address + doneBytes) {
    cells[*lieAt_ - address] ^= 1u;
    lieAt_.reset();
  }
  if (cutHere && cut.kind == PowerCut::Kind::Torn && done < units) {
    // The unit being written when the power failed: a random subset of its moving bits moved.
    Mix random(cut.seed);
    const std::uint32_t index = address / unit + done;
    for (std::uint32_t i = 0; i < unit; ++i) {
      std::uint8_t& cell = bytes_[address + done * unit + i];
      const std::uint8_t target = bytes[done * unit + i];
      const auto moved = cut.prefix ? static_cast<std::uint8_t>(i < cut.seed % unit ? 0xFF : 0x00)
                                    : static_cast<std::uint8_t>(random());
      cell = erasedHigh ? static_cast<std::uint8_t>(cell & (target | ~moved))
                        : static_cast<std::uint8_t>(cell | (target & moved));
    }
    setUnit(index, kTorn);
  }
  return cutHere ? -1 : 0;
}
