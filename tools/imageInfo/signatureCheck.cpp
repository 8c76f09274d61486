#include "signatureCheck.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "textEscape.hpp"

void SignedBytesDigest::update(std::span<const unsigned char> bytes) {
  if (offset_ < kLoadImageHeaderSize) {
    const std::size_t taken = std::min<std::size_t>(bytes.size(), kLoadImageHeaderSize - static_cast<std::size_t>(offset_));
    std::copy_n(bytes.begin(), taken, head_.begin() + static_cast<std::ptrdiff_t>(offset_));
    if (offset_ + taken == kLoadImageHeaderSize) {
      const LoadImageHeader header = decodeLoadImageHeader(head_);
      signedEnd_ = kLoadImageHeaderSize + (std::uint64_t{header.imageSize} + 3) / 4 * 4 + kSignedTrailerBytes;
    }
  }
  const std::uint64_t end = signedEnd_ != 0 ? signedEnd_ : kLoadImageHeaderSize;
  if (offset_ < end) {
    hash_.update(bytes.first(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), end - offset_))));
  }
  offset_ += bytes.size();
}

SignatureVerdict judgeSignature(const ImageReport& report, const Digest& digest, std::span<const PublicKey> keys) {
  if (report.format != ImageFormat::loadImage) return SignatureVerdict::unsignedImage;
  switch (report.trailerState) {
    case TrailerState::none:
      return SignatureVerdict::unsignedImage;
    case TrailerState::damaged:
      return SignatureVerdict::trailerDamaged;
    case TrailerState::bytesAfter:
      return SignatureVerdict::bytesAfterTrailer;
    case TrailerState::intact:
      break;
  }
  const auto key = std::find_if(keys.begin(), keys.end(), [&](const PublicKey& k) { return k.id == report.trailer.keyId; });
  if (key == keys.end()) return SignatureVerdict::unknownKey;
  return verifyDigest(*key, digest, report.trailer.signature) ? SignatureVerdict::verified
                                                              : SignatureVerdict::badSignature;
}

const char* signatureVerdictName(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::verified:
      return "verified";
    case SignatureVerdict::unknownKey:
      return "signed by a key not given";
    case SignatureVerdict::badSignature:
      return "bad signature";
    case SignatureVerdict::unsignedImage:
      return "unsigned";
    case SignatureVerdict::trailerDamaged:
      return "trailer damaged or truncated";
    case SignatureVerdict::bytesAfterTrailer:
      return "bytes after the trailer";
  }
  return "";
}

namespace {

std::string byteList(std::span<const unsigned char> bytes, const char* indent) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned>(bytes[i]));
    if (i % 12 == 0) text += i == 0 ? "" : ", \\\n" + std::string(indent);
    else text += ", ";
    text += byte;
  }
  return text;
}

}  // namespace

std::string keyAsC(const PublicKey& key, const std::string& name, const std::string& sourcePath) {
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  std::string comment = escapePath(sourcePath);
  // Nothing in the path may end the comment.
  for (std::size_t at; (at = comment.find("*/")) != std::string::npos;) comment.replace(at, 2, "*\\/");
  return "/* A trusted image-signing key, from " + comment + " (imageInfo --key-as-c): ECDSA over P-256.\n"
         " * " + upper + "_TRUSTED_KEY initializes { key id, public key }: the key id is the SHA-256 of the\n"
         " * key's DER SubjectPublicKeyInfo, as a signed image's trailer names it; the public key is the\n"
         " * uncompressed point 04, X, Y. */\n"
         "#ifndef " + upper + "_TRUSTED_KEY\n"
         "#define " + upper + "_TRUSTED_KEY \\\n"
         "  { { " + byteList(key.id, "      ") + " }, \\\n"
         "    { " + byteList(key.point, "      ") + " } }\n"
         "#endif\n";
}

std::string cIdentifierOf(const std::string& path) {
  std::string base = path.substr(path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
  if (const auto dot = base.find('.'); dot != std::string::npos && dot > 0) base.resize(dot);
  for (char& c : base) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) || u >= 0x80) c = '_';
  }
  if (base.empty() || std::isdigit(static_cast<unsigned char>(base[0]))) base.insert(base.begin(), '_');
  return base;
}
