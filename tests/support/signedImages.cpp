#include "signedImages.hpp"

#include <stdexcept>

#include "signatureTrailer.hpp"

Bytes signImage(const Bytes& image, const PrivateKey& key, std::uint32_t counter) {
  SignatureTrailer trailer;
  trailer.keyId = key.publicKey.id;
  trailer.securityCounter = counter;
  auto bytes = encodeSignatureTrailer(trailer);
  Sha256 sha;
  sha.update(image);
  sha.update(std::span<const unsigned char>(bytes.data(), kSignedTrailerBytes));
  trailer.signature = signDigest(key, sha.finish());
  bytes = encodeSignatureTrailer(trailer);
  Bytes signedImage = image;
  signedImage.insert(signedImage.end(), bytes.begin(), bytes.end());
  return signedImage;
}

PrivateKey testKey(const std::string& pem) {
  const auto reading = readPrivateKeyPem(std::span(reinterpret_cast<const unsigned char*>(pem.data()), pem.size()));
  if (!reading.key) throw std::runtime_error("test key: " + reading.problem);
  return *reading.key;
}

ldrTrustedKey trustedKey(const PublicKey& key) {
  ldrTrustedKey trusted{};
  std::copy(key.id.begin(), key.id.end(), trusted.keyId);
  std::copy(key.point.begin(), key.point.end(), trusted.publicKey);
  return trusted;
}
