#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The optional signature trailer of a load image: 112 bytes of fixed layout, little-endian,
// right after the padded payload. An unsigned image has none; a signed image's first 44 +
// padded bytes are the unsigned image's, byte for byte.
//
//   offset  size  field
//        0     4  magic: the bytes 53 49 47 4E ("SIGN")
//        4     2  version: 1
//        6     2  length: 112, the whole trailer
//        8     2  algorithm: 1, ECDSA over P-256 with SHA-256
//       10     2  reserved: 0
//       12    32  key id: SHA-256 of the signing key's public half (its DER SubjectPublicKeyInfo)
//       44     4  security counter: a version that only goes up
//       48    64  signature: r and s, 32 bytes each, big-endian
//
// The signature is over the SHA-256 of the header, the padded payload and the trailer's first
// 48 bytes: every byte but the signature itself.
inline constexpr std::size_t kSignatureTrailerSize = 112;
inline constexpr std::size_t kSignedTrailerBytes = 48;  // the trailer's bytes the signature covers
inline constexpr std::uint32_t kSignatureTrailerMagic = 0x4E474953u;
inline constexpr std::uint16_t kSignatureTrailerVersion = 1;
inline constexpr std::uint16_t kAlgorithmEcdsaP256Sha256 = 1;
inline constexpr std::size_t kKeyIdSize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using KeyId = std::array<unsigned char, kKeyIdSize>;
using Signature = std::array<unsigned char, kSignatureSize>;

// The fields a trailer carries besides its constants.
struct SignatureTrailer {
  KeyId keyId{};
  std::uint32_t securityCounter = 0;
  Signature signature{};

  bool operator==(const SignatureTrailer&) const = default;
};

// The 112 bytes of a trailer as they stand in the file, whatever the host's byte order.
std::array<unsigned char, kSignatureTrailerSize> encodeSignatureTrailer(const SignatureTrailer& trailer);

// The trailer read from the bytes after a padded payload, all of them; nullopt, with *problem
// saying what is wrong ("truncated: 50 of 112 bytes", "version 2", ...), where they are not
// exactly one trailer of this layout. Bytes beyond the 112 are not looked at: the caller
// counts them.
std::optional<SignatureTrailer> decodeSignatureTrailer(std::span<const unsigned char> bytes, std::string* problem);

// The name of the trailer's algorithm, for reports.
inline constexpr const char* kAlgorithmName = "ECDSA P-256 SHA-256";
