#include "crc8.hpp"

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

std::vector<Crc8Implementation> detectImplementations() {
  std::vector<Crc8Implementation> found = {{"table", crc8UpdateTable}, {"slicing16", crc8UpdateSlicing16}};
#ifdef IMAGEPACK_X86_CLMUL
  if (cpuHasClmul()) found.push_back({"clmul", crc8UpdateClmul});
  if (cpuHasAvx512Clmul()) found.push_back({"avx512-clmul", crc8UpdateAvx512Clmul});
#endif
  return found;
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
  static const std::vector<Crc8Implementation> implementations = detectImplementations();
  return implementations;
}

const Crc8Implementation& crc8Best() {
  // The list runs from slowest to fastest.
  static const Crc8Implementation& best = crc8Implementations().back();
  return best;
}
