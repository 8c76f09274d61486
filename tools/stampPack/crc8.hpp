#pragma once

#include <array>
#include <cstdint>
#include <span>

// CRC-8 over x^8 + x^2 + x + 1 (0x07), processed least significant bit first, so the register
// shifts right and XORs with the bit-reversed polynomial. Initial value 0, no final XOR.
inline constexpr std::uint8_t kCrc8ReflectedPolynomial = 0xE0;

// The byte-at-a-time table: entry i is the CRC register after shifting the byte i through it.
constexpr std::array<std::uint8_t, 256> makeCrc8Table() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? (c >> 1) ^ kCrc8ReflectedPolynomial : c >> 1;
    table[i] = static_cast<std::uint8_t>(c);
  }
  return table;
}

inline constexpr std::array<std::uint8_t, 256> kCrc8Table = makeCrc8Table();

// Advances a running CRC-8 over `bytes`. Every implementation gives the same result.
using Crc8Update = std::uint8_t (*)(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept;

// The x86 CPU features the carry-less-multiply implementations need; all false elsewhere.
struct CpuFeatures {
  bool pclmul = false;
  bool sse41 = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool vpclmulqdq = false;
  bool operator==(const CpuFeatures&) const = default;
};

// The words an x86 CPU reports about itself: CPUID leaf 1 ECX, CPUID leaf 7 (subleaf 0) EBX and
// ECX, and XCR0, the register states the operating system saves (0 where leaf 1 ECX's OSXSAVE
// bit, 27, is clear and XGETBV cannot be used).
struct CpuidWords {
  std::uint32_t leaf1Ecx = 0;
  std::uint32_t leaf7Ebx = 0;
  std::uint32_t leaf7Ecx = 0;
  std::uint64_t xcr0 = 0;
};

// The features decoded from those words, by the bits Intel's and AMD's manuals give: PCLMULQDQ
// is leaf 1 ECX bit 1 and SSE4.1 bit 19; AVX-512F, AVX-512BW and AVX-512VL are leaf 7 EBX bits
// 16, 30 and 31, and VPCLMULQDQ leaf 7 ECX bit 10. The last four count only where the system
// saves the AVX-512 state (XCR0 bits 1, 2, 5, 6 and 7), without which their registers are
// unusable.
CpuFeatures decodeCpuFeatures(const CpuidWords& words) noexcept;

struct Crc8Implementation {
  const char* name;
  Crc8Update update;
  // Whether a CPU with these features can run it.
  bool (*runsOn)(const CpuFeatures& features) noexcept;
};

// The plain table loop, one lookup a byte: the reference every other implementation must equal.
std::uint8_t crc8UpdateTable(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept;

// Slicing-by-16: sixteen tables, one lookup for each of 16 bytes at a time, no dependency
// between the lookups. The fast path on every CPU.
std::uint8_t crc8UpdateSlicing16(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept;

// Every implementation this build has and this CPU can run, the reference table loop first.
std::span<const Crc8Implementation> crc8Implementations();

// The fastest implementation of this build that a CPU with `features` can run.
const Crc8Implementation& crc8ChooseFor(const CpuFeatures& features);

// The fastest implementation this CPU can run, chosen once from what the CPU reports.
const Crc8Implementation& crc8Best();

// The payload CRC-8 as a running value: starts at 0, takes the payload in pieces of any size,
// and any split of the payload gives the same result as one piece.
class Crc8 {
 public:
  void update(std::span<const unsigned char> bytes) noexcept { crc_ = crc8Best().update(crc_, bytes); }
  std::uint8_t result() const noexcept { return crc_; }

 private:
  std::uint8_t crc_ = 0;
};
