#include "signatureTrailer.hpp"

#include <algorithm>

namespace {

void storeLittle16(unsigned char* at, std::uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

void storeLittle32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint16_t little16(std::span<const unsigned char> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::uint32_t little32(std::span<const unsigned char> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace

std::array<unsigned char, kSignatureTrailerSize> encodeSignatureTrailer(const SignatureTrailer& trailer) {
  std::array<unsigned char, kSignatureTrailerSize> bytes{};
  storeLittle32(&bytes[0], kSignatureTrailerMagic);
  storeLittle16(&bytes[4], kSignatureTrailerVersion);
  storeLittle16(&bytes[6], static_cast<std::uint16_t>(kSignatureTrailerSize));
  storeLittle16(&bytes[8], kAlgorithmEcdsaP256Sha256);
  std::copy(trailer.keyId.begin(), trailer.keyId.end(), bytes.begin() + 12);
  storeLittle32(&bytes[44], trailer.securityCounter);
  std::copy(trailer.signature.begin(), trailer.signature.end(), bytes.begin() + 48);
  return bytes;
}

std::optional<SignatureTrailer> decodeSignatureTrailer(std::span<const unsigned char> bytes, std::string* problem) {
  // Each field is checked against its one allowed value before anything is taken from the
  // rest: nothing in the trailer says how long anything else is.
  if (bytes.size() < 4 || little32(bytes, 0) != kSignatureTrailerMagic) {
    *problem = "no trailer magic";
  } else if (bytes.size() < kSignatureTrailerSize) {
    *problem = "truncated: " + std::to_string(bytes.size()) + " of " + std::to_string(kSignatureTrailerSize) + " bytes";
  } else if (little16(bytes, 4) != kSignatureTrailerVersion) {
    *problem = "version " + std::to_string(little16(bytes, 4)) + ", not 1";
  } else if (little16(bytes, 6) != kSignatureTrailerSize) {
    *problem = "length " + std::to_string(little16(bytes, 6)) + ", not 112";
  } else if (little16(bytes, 8) != kAlgorithmEcdsaP256Sha256) {
    *problem = "algorithm " + std::to_string(little16(bytes, 8)) + ", not 1 (ECDSA P-256 SHA-256)";
  } else if (little16(bytes, 10) != 0) {
    *problem = "reserved bytes not zero";
  } else {
    SignatureTrailer trailer;
    std::copy_n(bytes.begin() + 12, kKeyIdSize, trailer.keyId.begin());
    trailer.securityCounter = little32(bytes, 44);
    std::copy_n(bytes.begin() + 48, kSignatureSize, trailer.signature.begin());
    return trailer;
  }
  return std::nullopt;
}
