#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "imageCheck.hpp"
#include "signing.hpp"

// Checking a load image's signature against the keys a user trusts.

// The SHA-256 of the bytes a load image's signature covers: its header, its padded payload and
// the first 48 bytes of the trailer, fed the whole file in order in pieces of any size. Bytes
// past them are not hashed; a file that is no load image gives a digest that nothing verifies.
class SignedBytesDigest {
 public:
  void update(std::span<const unsigned char> bytes);
  Digest finish() const { return hash_.finish(); }

 private:
  std::array<unsigned char, kLoadImageHeaderSize> head_{};
  std::uint64_t offset_ = 0;
  std::uint64_t signedEnd_ = 0;  // known once the header is in
  Sha256 hash_;
};

// The verdict on a report (of a file whose signed bytes have `digest`) against `keys`: the key
// whose id the trailer names, and whether the signature holds.
SignatureVerdict judgeSignature(const ImageReport& report, const Digest& digest, std::span<const PublicKey> keys);

// The words a report and a JSON field use for a verdict ("verified", "unknown key", ...).
const char* signatureVerdictName(SignatureVerdict verdict);

// The key's C header for a boot loader, named after `name` (a C identifier): a macro with the
// initializer { key id, uncompressed point }.
std::string keyAsC(const PublicKey& key, const std::string& name, const std::string& sourcePath);

// A C identifier made of a file's name: its base name without the extension, every other
// character an underscore, a leading digit prefixed with one.
std::string cIdentifierOf(const std::string& path);
