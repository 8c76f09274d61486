#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "imageUpdate.h"
#include "testFiles.hpp"

// A flash part's geometry, and how a unit torn by a power cut reads under the ECC rule.
struct FlashGeometry {
  const char* name;
  std::uint32_t sectorSize;
  std::uint32_t programUnit;
  std::uint8_t erasedValue;
  bool programOnce;    // the ECC rule: one program per unit between erases
  bool tornReadsFail;  // a torn unit faults when read, as ECC parts do, instead of reading back its bits
};

// Where a power cut falls: in the erase or program with index `operation` (counted from 0 over
// every erase and program since the model was made).
struct PowerCut {
  enum class Kind {
    Before,  // the operation does not start
    Torn,    // a program: the units before `unit` done, `unit` with a random subset of its bits moved;
             // an erase: every bit of the sector old or erased at random
    Done,    // the operation completes, and the power fails before it returns
  };
  std::uint64_t operation;
  Kind kind;
  std::uint32_t unit;
  std::uint32_t seed;
  // Torn program: instead of random bits, the unit's first seed % programUnit bytes whole and
  // the rest untouched, as a part that programs a unit in smaller steps leaves it.
  bool prefix = false;
};

// NOR flash in memory, behind the target library's callbacks. An erase sets a sector to the
// erased value; a program only moves bits away from it; under the ECC rule a second program of
// a unit is refused. A power cut ends the operation it falls in as the cut says, and every
// callback fails from then on until powerOn().
class FlashModel {
 public:
  FlashModel(const FlashGeometry& geometry, std::uint32_t size);
  FlashModel(const FlashModel& other);
  FlashModel& operator=(const FlashModel& other) = delete;

  const ldrFlash* flash() const { return &flash_; }
  const FlashGeometry& geometry() const { return geometry_; }

  // Outside any operation: puts `bytes` at `address` as programmed data (the sector need not be
  // erased; a unit left all erased counts as erased), and reads what is there.
  void place(std::uint32_t address, const Bytes& bytes);
  Bytes peek(std::uint32_t address, std::size_t count) const;
  // Marks the unit at `address` torn, as a cut would leave it: under the ECC rule with
  // tornReadsFail, reading it then fails.
  void tear(std::uint32_t address) { setUnit(address / geometry_.programUnit, kTorn); }
  // Whether a read of the range would succeed (no torn unit faults there).
  bool readable(std::uint32_t address, std::size_t count) const;

  void arm(const PowerCut& cut) {
    cut_ = cut;
    armed_ = true;
  }
  void disarm() { armed_ = false; }
  bool powered() const { return powered_; }
  void powerOn() { powered_ = true; }

  std::uint64_t operations() const { return operations_; }
  // Units each program touched, 0 for an erase, when recording: to enumerate cuts.
  void record(bool on) { recording_ = on; }
  const std::vector<std::uint32_t>& recorded() const { return recorded_; }
  // Programs that broke a rule on a unit no cut had torn: a fault of the caller.
  std::uint64_t violations() const { return violations_; }
  // Erases begun on the sector at `address` since this model was made (a copy starts at 0).
  std::uint32_t erasesOf(std::uint32_t address) const { return erases_[address / geometry_.sectorSize]; }
  // The next program that covers `address` reports success but leaves that byte with bit 0
  // inverted, as a failing cell reads back.
  void lieAt(std::uint32_t address) { lieAt_ = address; }

 private:
  enum UnitState : std::uint8_t { kErased, kProgrammed, kTorn };

  static int readCallback(const ldrFlash* flash, std::uint32_t address, unsigned char* bytes, std::size_t count);
  static int eraseCallback(const ldrFlash* flash, std::uint32_t address);
  static int programCallback(const ldrFlash* flash, std::uint32_t address, const unsigned char* bytes,
                             std::size_t count);
  int erase(std::uint32_t address);
  int program(std::uint32_t address, const unsigned char* bytes, std::size_t count);
  // Whether the operation starting now is cut, and how.
  bool cutNow(PowerCut& cut);
  void setUnit(std::uint32_t unit, UnitState state);

  FlashGeometry geometry_;
  ldrFlash flash_;
  Bytes bytes_;
  std::vector<std::uint8_t> units_;
  std::uint64_t tornUnits_ = 0;
  PowerCut cut_{};
  bool armed_ = false;
  bool powered_ = true;
  std::uint64_t operations_ = 0;
  bool recording_ = false;
  std::vector<std::uint32_t> recorded_;
  std::uint64_t violations_ = 0;
  std::vector<std::uint32_t> erases_;
  std::optional<std::uint32_t> lieAt_;
};
