#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "blockCopy.hpp"
#include "loadImage.hpp"
#include "signatureTrailer.hpp"
#include "signing.hpp"
#include "signingOptions.hpp"

// How an image is to be signed, its key files read and checked: all settled before anything
// is written.
struct Signing {
  enum class Mode { sign, digestOnly, attach };
  Mode mode = Mode::sign;
  std::optional<PrivateKey> privateKey;  // sign
  PublicKey publicKey;                   // the signing key's public half
  std::uint32_t securityCounter = 0;
  Signature signature{};   // attach: the signature given
  std::string digestPath;  // digestOnly
  std::string keyPath;     // the key file, for messages
  std::string signaturePath;
};

// What went wrong preparing a signing: the file at fault and why, for the messages.
struct SigningProblem {
  std::string path;
  std::string reason;
};

// Reads the key files and the signature file the options name (which signingOptionsProblem
// accepts) into a Signing; nullopt, with *problem, where one cannot be used.
std::optional<Signing> prepareSigning(const SigningOptions& options, SigningProblem* problem);

// The digest a signed image's signature is over, and the payload checksum its header carries.
struct ImageDigest {
  CopyStatus status = CopyStatus::ok;  // readFailed: the source could not be read, or changed
  std::uint32_t checksum = 0;
  Digest digest{};
};

// SHA-256 of the image's header (with the payload's checksum), the payload and its padding,
// and the trailer's first 48 bytes (key id and counter, from `trailer`): every byte of the
// signed image but the signature. Reads `count` bytes of `source` from its start twice (the
// checksum first, then the digest) and leaves it at its start.
ImageDigest imageDigest(std::FILE* source, std::uint64_t count, LoadImageHeader header, const SignatureTrailer& trailer);
