#include "crc8.hpp"

#include <iterator>
#include <vector>

#include "crc8X86.hpp"

namespace {

// kSlicingTables[k][b]: the CRC of byte b followed by k zero bytes, from a register of 0.
constexpr std::array<std::array<std::uint8_t, 256>, 16> makeSlicingTables() {
  std::array<std::array<std::uint8_t, 256>, 16> tables{};
  tables[0] = kCrc8Table;
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (std::size_t b = 0; b < 256; ++b) tables[k][b] = kCrc8Table[tables[k - 1][b]];
  }
  return tables;
}

constexpr auto kSlicingTables = makeSlicingTables();

bool runsAnywhere(const CpuFeatures&) noexcept { return true; }

#ifdef IMAGEPACK_X86_CLMUL
bool hasClmul(const CpuFeatures& f) noexcept { return f.pclmul && f.sse41; }
// The 512-bit path finishes its tail with the 128-bit one, so it needs that too.
bool hasAvx512Clmul(const CpuFeatures& f) noexcept {
  return hasClmul(f) && f.vpclmulqdq && f.avx512f && f.avx512bw && f.avx512vl;
}
#endif

// Every implementation this build has, from slowest to fastest.
constexpr Crc8Implementation kBuilt[] = {
    {"table", crc8UpdateTable, runsAnywhere},
    {"slicing16", crc8UpdateSlicing16, runsAnywhere},
#ifdef IMAGEPACK_X86_CLMUL
    {"clmul", crc8UpdateClmul, hasClmul},
    {"avx512-clmul", crc8UpdateAvx512Clmul, hasAvx512Clmul},
#endif
};

CpuFeatures thisCpu() {
#ifdef IMAGEPACK_X86_CLMUL
  return probeCpuFeatures();
#else
  return {};
#endif
}

}  // namespace

std::uint8_t crc8UpdateTable(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept {
  for (const unsigned char byte : bytes) crc = kCrc8Table[crc ^ byte];
  return crc;
}

std::uint8_t crc8UpdateSlicing16(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept {
  const unsigned char* p = bytes.data();
  std::size_t left = bytes.size();
  const auto& t = kSlicingTables;
  for (; left >= 16; left -= 16, p += 16) {
    // The register joins the first byte; byte i is then followed by 15 - i bytes in this block.
    crc = static_cast<std::uint8_t>(t[15][crc ^ p[0]] ^ t[14][p[1]] ^ t[13][p[2]] ^ t[12][p[3]] ^ t[11][p[4]] ^
                                    t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^
                                    t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]]);
  }
  return crc8UpdateTable(crc, std::span<const unsigned char>(p, left));
}

std::span<const Crc8Implementation> crc8Implementations() {
  static const std::vector<Crc8Implementation> runnable = [] {
    std::vector<Crc8Implementation> found;
    const CpuFeatures features = thisCpu();
    for (const Crc8Implementation& implementation : kBuilt) {
      if (implementation.runsOn(features)) found.push_back(implementation);
    }
    return found;
  }();
  return runnable;
}

CpuFeatures decodeCpuFeatures(const CpuidWords& words) noexcept {
  const auto bit = [](std::uint64_t word, unsigned position) { return ((word >> position) & 1u) != 0; };
  constexpr std::uint64_t kAvx512State = 0xE6;  // SSE, AVX, opmask, upper ZMM0-15, ZMM16-31
  const bool avx512Saved = (words.xcr0 & kAvx512State) == kAvx512State;
  CpuFeatures features;
  features.pclmul = bit(words.leaf1Ecx, 1);
  features.sse41 = bit(words.leaf1Ecx, 19);
  features.avx512f = avx512Saved && bit(words.leaf7Ebx, 16);
  features.avx512bw = avx512Saved && bit(words.leaf7Ebx, 30);
  features.avx512vl = avx512Saved && bit(words.leaf7Ebx, 31);
  features.vpclmulqdq = avx512Saved && bit(words.leaf7Ecx, 10);
  return features;
}

const Crc8Implementation& crc8ChooseFor(const CpuFeatures& features) {
  for (auto it = std::rbegin(kBuilt); it != std::rend(kBuilt); ++it) {
    if (it->runsOn(features)) return *it;
  }
  return kBuilt[0];
}

const Crc8Implementation& crc8Best() {
  static const Crc8Implementation& best = crc8ChooseFor(thisCpu());
  return best;
}
