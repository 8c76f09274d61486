// CRC-8 by folding: the message is reduced modulo P(x) = x^8 + x^2 + x + 1 a 128-bit block at
// a time with carry-less multiplication, which keeps its CRC unchanged, and the CRC of the last
// 16 bytes left is taken with the table.
//
// Bit order: the CRC is reflected, so a 16-byte block loaded little-endian holds the message's
// first bit in bit 0, as the coefficient of the highest power of x. In that order a carry-less
// product of two 64-bit halves comes out multiplied by one extra x, which the constants below
// take out (their exponents are one less than the distance folded).

#include "crc8X86.hpp"

#include <cpuid.h>
#include <immintrin.h>

#include "crc8.hpp"

namespace {

// x^n mod P(x), as a polynomial of degree below 8 (bit d is the coefficient of x^d).
constexpr std::uint64_t xPowerModP(unsigned n) {
  std::uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    r <<= 1;
    if ((r & 0x100u) != 0) r ^= 0x107u;
  }
  return r;
}

// A polynomial of degree below 8 in the reflected 64-bit order: the coefficient of x^d at bit 63 - d.
constexpr std::uint64_t reflected(std::uint64_t polynomial) {
  std::uint64_t r = 0;
  for (unsigned d = 0; d < 8; ++d) {
    if (((polynomial >> d) & 1u) != 0) r |= std::uint64_t{1} << (63 - d);
  }
  return r;
}

// The two multipliers that carry a 128-bit block `bits` further along the message: its first
// 64 bits are x^(bits + 64) ahead of the block that far on, its last 64 bits x^bits ahead.
struct FoldConstants {
  std::uint64_t firstHalf;
  std::uint64_t secondHalf;
};

constexpr FoldConstants foldBy(unsigned bits) {
  return {reflected(xPowerModP(bits + 64 - 1)), reflected(xPowerModP(bits - 1))};
}

constexpr FoldConstants kFold128 = foldBy(128);
constexpr FoldConstants kFold512 = foldBy(512);
constexpr FoldConstants kFold2048 = foldBy(2048);

__attribute__((target("pclmul,sse4.1"))) inline __m128i constants128(FoldConstants k) {
  return _mm_set_epi64x(static_cast<long long>(k.secondHalf), static_cast<long long>(k.firstHalf));
}

// The block x carried forward by the distance its constants k stand for.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The CRC of the 16 bytes of x followed by the tail.
__attribute__((target("pclmul,sse4.1"))) std::uint8_t finish(__m128i x, std::span<const unsigned char> tail) {
  alignas(16) unsigned char block[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(block), x);
  return crc8UpdateTable(crc8UpdateTable(0, block), tail);
}

// Folds whole 16-byte blocks of `bytes` into x, one at a time; returns the rest.
__attribute__((target("pclmul,sse4.1"))) std::span<const unsigned char> foldSingles(
    __m128i& x, std::span<const unsigned char> bytes) {
  const __m128i k128 = constants128(kFold128);
  for (; bytes.size() >= 16; bytes = bytes.subspan(16)) x = _mm_xor_si128(fold(x, k128), load(bytes.data()));
  return bytes;
}

}  // namespace

CpuFeatures probeCpuFeatures() {
  CpuidWords words;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) words.leaf1Ecx = ecx;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    words.leaf7Ebx = ebx;
    words.leaf7Ecx = ecx;
  }
  if ((words.leaf1Ecx & (1u << 27)) != 0) {  // OSXSAVE: XGETBV is there
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    words.xcr0 = std::uint64_t{high} << 32 | low;
  }
  return decodeCpuFeatures(words);
}

__attribute__((target("pclmul,sse4.1"))) std::uint8_t crc8UpdateClmul(std::uint8_t crc,
                                                                      std::span<const unsigned char> bytes) noexcept {
  if (bytes.size() < 64) return crc8UpdateTable(crc, bytes);
  const unsigned char* p = bytes.data();
  // The running CRC joins the message's first byte.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(crc));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  std::span<const unsigned char> rest = bytes.subspan(64);
  const __m128i k512 = constants128(kFold512);
  for (; rest.size() >= 64; rest = rest.subspan(64)) {
    p = rest.data();
    x0 = _mm_xor_si128(fold(x0, k512), load(p));
    x1 = _mm_xor_si128(fold(x1, k512), load(p + 16));
    x2 = _mm_xor_si128(fold(x2, k512), load(p + 32));
    x3 = _mm_xor_si128(fold(x3, k512), load(p + 48));
  }
  const __m128i k128 = constants128(kFold128);
  __m128i x = _mm_xor_si128(fold(x0, k128), x1);
  x = _mm_xor_si128(fold(x, k128), x2);
  x = _mm_xor_si128(fold(x, k128), x3);
  rest = foldSingles(x, rest);
  return finish(x, rest);
}

#define AVX512_TARGET __attribute__((target("pclmul,sse4.1,avx512f,avx512bw,avx512vl,vpclmulqdq")))

namespace {

AVX512_TARGET inline __m512i fold512(__m512i x, __m512i k, __m512i next) {
  // Both products and the next block XORed in one instruction (0x96: a ^ b ^ c).
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                   0x96);
}

// The constants repeated in each of the four 128-bit lanes.
AVX512_TARGET inline __m512i constants512(FoldConstants k) {
  return _mm512_set4_epi64(static_cast<long long>(k.secondHalf), static_cast<long long>(k.firstHalf),
                           static_cast<long long>(k.secondHalf), static_cast<long long>(k.firstHalf));
}

AVX512_TARGET inline __m512i load512(const unsigned char* p) { return _mm512_loadu_si512(p); }

}  // namespace

AVX512_TARGET std::uint8_t crc8UpdateAvx512Clmul(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept {
  if (bytes.size() < 512) return crc8UpdateClmul(crc, bytes);
  const unsigned char* p = bytes.data();
  __m512i x0 = _mm512_xor_si512(load512(p), _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, crc));
  __m512i x1 = load512(p + 64);
  __m512i x2 = load512(p + 128);
  __m512i x3 = load512(p + 192);
  std::span<const unsigned char> rest = bytes.subspan(256);
  const __m512i k2048 = constants512(kFold2048);
  for (; rest.size() >= 256; rest = rest.subspan(256)) {
    p = rest.data();
    x0 = fold512(x0, k2048, load512(p));
    x1 = fold512(x1, k2048, load512(p + 64));
    x2 = fold512(x2, k2048, load512(p + 128));
    x3 = fold512(x3, k2048, load512(p + 192));
  }
  // Four registers of 64 bytes into one, then its four 16-byte lanes into one.
  const __m512i k512 = constants512(kFold512);
  __m512i x = fold512(x0, k512, x1);
  x = fold512(x, k512, x2);
  x = fold512(x, k512, x3);
  const __m128i k128 = constants128(kFold128);
  // The zero-masking forms of the extracts: the plain ones (and the cast) trip a false
  // "uninitialized" warning in GCC 12.
  __m128i lane = _mm512_maskz_extracti32x4_epi32(0xF, x, 0);
  lane = _mm_xor_si128(fold(lane, k128), _mm512_maskz_extracti32x4_epi32(0xF, x, 1));
  lane = _mm_xor_si128(fold(lane, k128), _mm512_maskz_extracti32x4_epi32(0xF, x, 2));
  lane = _mm_xor_si128(fold(lane, k128), _mm512_maskz_extracti32x4_epi32(0xF, x, 3));
  rest = foldSingles(lane, rest);
  return finish(lane, rest);
}
