#include "signedImage.hpp"

#include <array>
#include <span>

#include "streams.hpp"
#include "textEscape.hpp"

std::optional<Signing> prepareSigning(const SigningOptions& options, SigningProblem* problem) {
  Signing signing;
  signing.securityCounter = options.securityCounter.value_or(0);
  const std::string keyPath = options.signingKey ? *options.signingKey : *options.publicKey;
  signing.keyPath = keyPath;
  if (!kHaveCrypto) {
    *problem = {keyPath, kNoCrypto};
    return std::nullopt;
  }
  std::string why;
  const auto keyFile = readSmallFile(keyPath, kMostKeyFileBytes, &why);
  if (!keyFile) {
    *problem = {keyPath, why};
    return std::nullopt;
  }
  if (options.signingKey) {
    auto reading = readPrivateKeyPem(*keyFile);
    if (!reading.key) {
      *problem = {keyPath, escapePath(keyPath) + " " + reading.problem};
      return std::nullopt;
    }
    signing.publicKey = reading.key->publicKey;
    signing.privateKey = std::move(reading.key);
    return signing;
  }
  auto reading = readPublicKeyPem(*keyFile);
  if (!reading.key) {
    *problem = {keyPath, escapePath(keyPath) + " " + reading.problem};
    return std::nullopt;
  }
  signing.publicKey = *reading.key;
  if (options.digestOut) {
    signing.mode = Signing::Mode::digestOnly;
    signing.digestPath = *options.digestOut;
    return signing;
  }
  signing.mode = Signing::Mode::attach;
  signing.signaturePath = *options.signatureFile;
  const auto signatureFile = readSmallFile(*options.signatureFile, kMostKeyFileBytes, &why);
  if (!signatureFile) {
    *problem = {*options.signatureFile, why};
    return std::nullopt;
  }
  const auto signature = readSignature(*signatureFile);
  if (!signature) {
    *problem = {*options.signatureFile,
                escapePath(*options.signatureFile) + " is neither a DER ECDSA signature (as openssl pkeyutl -sign "
                "writes it) nor the 64 bytes of r and s: " + std::to_string(signatureFile->size()) + " bytes"};
    return std::nullopt;
  }
  signing.signature = *signature;
  return signing;
}

ImageDigest imageDigest(std::FILE* source, std::uint64_t count, LoadImageHeader header, const SignatureTrailer& trailer) {
  ImageDigest result;
  const std::span<unsigned char> buffer = copyBuffer().first(kCopyBlockSize);
  WordSum sum;
  if (std::fseek(source, 0, SEEK_SET) != 0 ||
      readBytes(source, count, buffer, [&sum](std::span<const unsigned char> block) {
        sum.update(block);
        return true;
      }) != CopyStatus::ok) {
    result.status = CopyStatus::readFailed;
    return result;
  }
  header.checksum = sum.finish();
  result.checksum = header.checksum;
  Sha256 hash;
  hash.update(encodeLoadImageHeader(header));
  WordSum again;
  if (std::fseek(source, 0, SEEK_SET) != 0 ||
      readBytes(source, count, buffer, [&](std::span<const unsigned char> block) {
        again.update(block);
        hash.update(block);
        return true;
      }) != CopyStatus::ok ||
      again.finish() != result.checksum || std::fseek(source, 0, SEEK_SET) != 0) {
    result.status = CopyStatus::readFailed;  // unreadable, or changed between the passes
    return result;
  }
  static constexpr std::array<unsigned char, 3> zeros{};
  hash.update(std::span(zeros).first((4 - count % 4) % 4));
  const auto trailerBytes = encodeSignatureTrailer(trailer);
  hash.update(std::span(trailerBytes).first(kSignedTrailerBytes));
  result.digest = hash.finish();
  return result;
}
