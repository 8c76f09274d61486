#include "loadImage.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

void storeLittleEndian32(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
  out[2] = static_cast<unsigned char>(value >> 16);
  out[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t loadLittleEndian32(const unsigned char* in) {
  if constexpr (std::endian::native == std::endian::little) {
    // On a little-endian host a plain load gives the same value as the shifts, and compilers
    // vectorise it more readily.
    std::uint32_t word;
    std::memcpy(&word, in, sizeof word);
    return word;
  } else {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
  }
}

// The sum of `count` little-endian words, zero-extended to 64 bits. A local sum, not a member:
// the payload bytes could alias a member, which would keep the compiler from holding the sum in
// registers and vectorising the loop. A counted loop, so that the vectoriser knows its trip count.
[[gnu::always_inline]] inline std::uint64_t sumWordsLoop(const unsigned char* words, std::size_t count) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += loadLittleEndian32(words + 4 * i);
  return sum;
}

using SumWords = std::uint64_t (*)(const unsigned char* words, std::size_t count);

std::uint64_t sumWordsBaseline(const unsigned char* words, std::size_t count) { return sumWordsLoop(words, count); }

#ifdef IMAGEPACK_X86_WORDSUM
// The same loop vectorised for 256-bit registers: twice the words a step, which keeps the sum
// ahead of the copy it runs beside.
__attribute__((target("avx2"))) std::uint64_t sumWordsAvx2(const unsigned char* words, std::size_t count) {
  return sumWordsLoop(words, count);
}
#endif

// The widest form this CPU runs, chosen once.
SumWords chooseSumWords() {
#ifdef IMAGEPACK_X86_WORDSUM
  if (__builtin_cpu_supports("avx2")) return sumWordsAvx2;
#endif
  return sumWordsBaseline;
}

}  // namespace

LoadImageHeader makeLoadImageHeader(std::uint32_t imageSize, std::uint32_t loadAddress, std::uint32_t execAddress,
                                    std::string_view name) {
  LoadImageHeader header;
  header.headerSize = static_cast<std::uint32_t>(kLoadImageHeaderSize);
  header.imageSize = imageSize;
  header.loadAddress = loadAddress;
  header.execAddress = execAddress;
  const std::size_t kept = std::min(name.size(), kImageNameSize);
  std::copy_n(name.begin(), kept, header.imageName.begin());
  header.magic = kLoadImageMagic;
  header.fixedCode = kLoadImageFixedCode;
  header.checksum = 0;
  return header;
}

std::array<unsigned char, kLoadImageHeaderSize> encodeLoadImageHeader(const LoadImageHeader& header) {
  std::array<unsigned char, kLoadImageHeaderSize> bytes{};
  storeLittleEndian32(&bytes[0], header.headerSize);
  storeLittleEndian32(&bytes[4], header.imageSize);
  storeLittleEndian32(&bytes[8], header.loadAddress);
  storeLittleEndian32(&bytes[12], header.execAddress);
  std::copy(header.imageName.begin(), header.imageName.end(), bytes.begin() + 16);
  storeLittleEndian32(&bytes[32], header.magic);
  storeLittleEndian32(&bytes[36], header.fixedCode);
  storeLittleEndian32(&bytes[kLoadImageChecksumOffset], header.checksum);
  return bytes;
}

LoadImageHeader decodeLoadImageHeader(std::span<const unsigned char, kLoadImageHeaderSize> bytes) {
  LoadImageHeader header;
  header.headerSize = loadLittleEndian32(&bytes[0]);
  header.imageSize = loadLittleEndian32(&bytes[4]);
  header.loadAddress = loadLittleEndian32(&bytes[8]);
  header.execAddress = loadLittleEndian32(&bytes[12]);
  std::copy_n(bytes.begin() + 16, kImageNameSize, header.imageName.begin());
  header.magic = loadLittleEndian32(&bytes[32]);
  header.fixedCode = loadLittleEndian32(&bytes[36]);
  header.checksum = loadLittleEndian32(&bytes[kLoadImageChecksumOffset]);
  return header;
}

void WordSum::update(std::span<const unsigned char> bytes) noexcept {
  std::size_t pos = 0;
  // Complete a word left open by the previous call.
  while (partialBytes_ != 0 && pos < bytes.size()) {
    partialWord_ |= static_cast<std::uint32_t>(bytes[pos++]) << (8 * partialBytes_);
    if (++partialBytes_ == 4) {
      addWord(partialWord_);
      partialWord_ = 0;
      partialBytes_ = 0;
    }
  }
  const std::size_t wordCount = (bytes.size() - pos) / 4;
  static const SumWords sumWords = chooseSumWords();
  sum_ += sumWords(bytes.data() + pos, wordCount);
  pos += 4 * wordCount;
  for (; pos < bytes.size(); ++pos) {
    partialWord_ |= static_cast<std::uint32_t>(bytes[pos]) << (8 * partialBytes_);
    ++partialBytes_;
  }
}

std::uint32_t WordSum::finish() const noexcept {
  const std::uint64_t sum = sum_ + partialWord_;
  const auto folded =
      static_cast<std::uint32_t>(static_cast<std::uint32_t>(sum) + static_cast<std::uint32_t>(sum >> 32));
  return ~folded;
}
