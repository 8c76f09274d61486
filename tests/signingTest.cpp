// Signing: the trailer's bytes, SHA-256 and ECDSA P-256 against published answers (RFC 6979's
// deterministic signature included), and what each kind of key file reads as.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loadImage.hpp"
#include "signatureTrailer.hpp"
#include "signing.hpp"
#include "support/testFiles.hpp"
#include "testKeys.hpp"

namespace {

Bytes hexBytes(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::span<const unsigned char> bytesOf(const std::string& text) {
  return std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// RFC 6979, A.2.5: the P-256 key, and its SHA-256 signature of "sample".
const std::string kRfcPoint =
    "04" "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
    "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";
const std::string kRfcSignature =
    "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
    "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8";
// openssl pkey -pubin -outform DER | openssl dgst -sha256, for that key.
const std::string kRfcKeyId = "5a7a78cca4a0f420d9bc62bb669c3c2759e39f723d3ae10dcbe0f0815a07ecd4";

}  // namespace

TEST(SignatureTrailer, FixedLayoutAndEveryRefusal) {
  SignatureTrailer trailer;
  for (std::size_t i = 0; i < trailer.keyId.size(); ++i) trailer.keyId[i] = static_cast<unsigned char>(i);
  for (std::size_t i = 0; i < trailer.signature.size(); ++i) trailer.signature[i] = static_cast<unsigned char>(0xC0 + i);
  trailer.securityCounter = 0x01020304;
  const auto bytes = encodeSignatureTrailer(trailer);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12), hexBytes("5349474E" "0100" "7000" "0100" "0000"));
  EXPECT_EQ(Bytes(bytes.begin() + 44, bytes.begin() + 48), hexBytes("04030201"));
  EXPECT_EQ(bytes[12], 0);
  EXPECT_EQ(bytes[48], 0xC0);
  std::string problem;
  EXPECT_EQ(decodeSignatureTrailer(bytes, &problem), trailer);
  const struct {
    std::size_t offset;  // the byte changed; 112: the trailer cut to 50 bytes
    unsigned char value;
    std::string problem;
  } cases[] = {
      {0, 0x54, "no trailer magic"},
      {4, 2, "version 2, not 1"},
      {6, 0x71, "length 113, not 112"},
      {7, 1, "length 368, not 112"},
      {8, 2, "algorithm 2, not 1 (ECDSA P-256 SHA-256)"},
      {11, 1, "reserved bytes not zero"},
      {112, 0, "truncated: 50 of 112 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.problem);
    Bytes changed(bytes.begin(), bytes.end());
    if (c.offset < changed.size()) {
      changed[c.offset] = c.value;
    } else {
      changed.resize(50);
    }
    problem.clear();
    EXPECT_EQ(decodeSignatureTrailer(changed, &problem), std::nullopt);
    EXPECT_EQ(problem, c.problem);
  }
}

TEST(Signing, KnownAnswers) {
  if (!kHaveCrypto) GTEST_SKIP() << kNoCrypto;
  Sha256 abc;
  abc.update(bytesOf("a"));
  abc.update(bytesOf("bc"));  // in pieces
  const Digest digest = abc.finish();
  EXPECT_EQ(Bytes(digest.begin(), digest.end()),
            hexBytes("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

  for (const std::string* pem : {&kKey_rfc6979_sec1, &kKey_rfc6979_pkcs8}) {
    const auto reading = readPrivateKeyPem(bytesOf(*pem));
    ASSERT_TRUE(reading.key) << reading.problem;
    EXPECT_EQ(Bytes(reading.key->publicKey.point.begin(), reading.key->publicKey.point.end()), hexBytes(kRfcPoint));
    EXPECT_EQ(Bytes(reading.key->publicKey.id.begin(), reading.key->publicKey.id.end()), hexBytes(kRfcKeyId));
    Sha256 sample;
    sample.update(bytesOf("sample"));
    const auto signature = signDigest(*reading.key, sample.finish());
    EXPECT_EQ(Bytes(signature.begin(), signature.end()), hexBytes(kRfcSignature));  // RFC 6979's own k
    EXPECT_TRUE(verifyDigest(reading.key->publicKey, sample.finish(), signature));
    auto flipped = signature;
    flipped[63] ^= 1;
    EXPECT_FALSE(verifyDigest(reading.key->publicKey, sample.finish(), flipped));
    EXPECT_FALSE(verifyDigest(reading.key->publicKey, digest, signature));
  }
  const auto publicKey = readPublicKeyPem(bytesOf(kKey_rfc6979_public));
  ASSERT_TRUE(publicKey.key) << publicKey.problem;
  EXPECT_EQ(Bytes(publicKey.key->id.begin(), publicKey.key->id.end()), hexBytes(kRfcKeyId));
}

// Each kind of key file as --sign (a private key) and as --public-key or --key (a public key,
// or the public half of a private one) reads it.
TEST(Signing, KeyFilesAndWhatTheyHold) {
  if (!kHaveCrypto) GTEST_SKIP() << kNoCrypto;
  const std::string howToMake = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out KEY.pem";
  const struct {
    const char* what;
    const std::string& pem;
    std::string asPrivate, asPublic;  // the problem; empty: read
  } cases[] = {
      {"PKCS#8", kKey_rfc6979_pkcs8, "", ""},
      {"SEC1", kKey_rfc6979_sec1, "", ""},
      {"a public key", kKey_rfc6979_public,
       "is a public key: signing needs the private key (a public key goes with --public-key)", ""},
      {"encrypted", kKey_encrypted,
       "is encrypted: write it decrypted for the signing (openssl pkey -in KEY.pem -out PLAIN.pem), or leave it where "
       "it is and sign in two steps, --digest-out and then --signature",
       "is encrypted: write it decrypted for the signing (openssl pkey -in KEY.pem -out PLAIN.pem), or leave it where "
       "it is and sign in two steps, --digest-out and then --signature"},
      {"P-384", kKey_p384, "is an EC key on another curve than P-256: images are signed with ECDSA over P-256 (" + howToMake + ")",
       "is an EC key on another curve than P-256: images are signed with ECDSA over P-256 (" + howToMake + ")"},
      {"P-384 public", kKey_p384_public, "is a public key: signing needs the private key (a public key goes with --public-key)",
       "is an EC public key that is not an uncompressed point on P-256: images are signed with ECDSA over P-256"},
      {"RSA", kKey_rsa, "is an RSA key: images are signed with ECDSA over P-256 (" + howToMake + ")",
       "is an RSA key: images are signed with ECDSA over P-256 (" + howToMake + ")"},
      {"RSA public", kKey_rsa_public, "is a public key: signing needs the private key (a public key goes with --public-key)",
       "is an RSA public key: images are signed with ECDSA over P-256"},
      {"no PEM at all", kKey_rfc6979_public.substr(30),
       "holds no private key in PEM (PKCS#8 or SEC1, as " + howToMake + " writes it)",
       "holds no public key in PEM (as openssl pkey -in KEY.pem -pubout writes it)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto asPrivate = readPrivateKeyPem(bytesOf(c.pem));
    EXPECT_EQ(asPrivate.problem, c.asPrivate);
    EXPECT_EQ(asPrivate.key.has_value(), c.asPrivate.empty());
    const auto asPublic = readPublicKeyPem(bytesOf(c.pem));
    EXPECT_EQ(asPublic.problem, c.asPublic);
    EXPECT_EQ(asPublic.key.has_value(), c.asPublic.empty());
  }
}

// A signature made elsewhere: DER as openssl writes it, or raw r and s; nothing else.
TEST(Signing, SignaturesInEitherEncoding) {
  const Bytes raw = hexBytes(kRfcSignature);
  // r and s both have their top bit set: DER gives each a leading zero.
  const Bytes der = hexBytes("3046" "022100" + kRfcSignature.substr(0, 64) + "022100" + kRfcSignature.substr(64));
  // A short r (its top byte zero) is encoded in 31 bytes and comes back left-padded.
  const std::string shortRHex = "7F" + kRfcSignature.substr(4, 60);
  const Bytes shortR = hexBytes("3044" "021F" + shortRHex + "022100" + kRfcSignature.substr(64));
  const Bytes paddedR = hexBytes("00" + shortRHex + kRfcSignature.substr(64));
  const struct {
    const char* what;
    Bytes bytes;
    std::optional<Bytes> expected;
  } cases[] = {
      {"raw", raw, raw},
      {"DER", der, raw},
      {"DER, a short r", shortR, paddedR},
      {"63 bytes", Bytes(raw.begin(), raw.end() - 1), std::nullopt},
      {"65 bytes", [&] { Bytes b = raw; b.push_back(0); return b; }(), std::nullopt},
      {"DER with a byte after it", [&] { Bytes b = der; b.push_back(0); return b; }(), std::nullopt},
      {"DER with a zero too many", hexBytes("3047" "02220000" + kRfcSignature.substr(0, 64) + "022100" + kRfcSignature.substr(64)), std::nullopt},
      {"DER, a negative s", hexBytes("3045" "022100" + kRfcSignature.substr(0, 64) + "0220" + kRfcSignature.substr(64)), std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto signature = readSignature(c.bytes);
    ASSERT_EQ(signature.has_value(), c.expected.has_value());
    if (signature) {
      EXPECT_EQ(Bytes(signature->begin(), signature->end()), *c.expected);
    }
  }
}

// The worked example of the format's description: every byte of a signed image.
TEST(Signing, TheDocumentedExample) {
  if (!kHaveCrypto) GTEST_SKIP() << kNoCrypto;
  const auto key = readPrivateKeyPem(bytesOf(kKey_rfc6979_pkcs8));
  ASSERT_TRUE(key.key);
  const Bytes payload = {1, 0, 0, 0, 2, 0, 0, 0};
  LoadImageHeader header = makeLoadImageHeader(8, 0x20000000, 0x20000000, "kernel");
  WordSum sum;
  sum.update(payload);
  header.checksum = sum.finish();
  SignatureTrailer trailer;
  trailer.keyId = key.key->publicKey.id;
  trailer.securityCounter = 1;
  const auto headerBytes = encodeLoadImageHeader(header);
  const auto trailerBytes = encodeSignatureTrailer(trailer);
  Sha256 hash;
  hash.update(headerBytes);
  hash.update(payload);
  hash.update(std::span(trailerBytes).first(kSignedTrailerBytes));
  const Digest digest = hash.finish();
  EXPECT_EQ(Bytes(digest.begin(), digest.end()),
            hexBytes("3d21ca0571cebf0f4fa82a891acedfca707571cd32f3cb615b90fa42e6e54d76"));
  const auto signature = signDigest(*key.key, digest);
  EXPECT_EQ(Bytes(signature.begin(), signature.end()),
            hexBytes("5f28f5eb40dc7511920652cf2bd5810b31a07626df18b3d8cec8227c3dd36d2208471620978509975" "8a829ea"
                     "35e22b8ee78785c96dd59402ee9bfcf9bf69bfbd"));
}
