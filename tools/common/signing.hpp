#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

// Image signing: SHA-256, ECDSA over P-256 and the keys, through the crypto library the build
// found (BearSSL). Built without one, kHaveCrypto is false, and every call here says so rather
// than computing anything.

#ifdef IMAGEPACK_HAVE_BEARSSL
inline constexpr bool kHaveCrypto = true;
#else
inline constexpr bool kHaveCrypto = false;
#endif

// What a program built without a crypto library says where it is asked to sign or verify.
inline constexpr const char* kNoCrypto =
    "built without a crypto library (BearSSL), so it cannot sign or verify; build it where Debian's "
    "libbearssl-dev is installed, or give the build BearSSL's source (IMAGEPACK_BEARSSL_SOURCE)";

// The most a key or signature file may hold: a P-256 key in PEM is a few hundred bytes.
inline constexpr std::size_t kMostKeyFileBytes = std::size_t{64} << 10;

using Digest = std::array<unsigned char, 32>;
using EcPoint = std::array<unsigned char, 65>;  // uncompressed: 04, X, Y

// A P-256 public key, and its key id: the SHA-256 of its DER SubjectPublicKeyInfo (what
// "openssl pkey -pubin -outform DER | openssl dgst -sha256" prints for it).
struct PublicKey {
  EcPoint point{};
  std::array<unsigned char, 32> id{};
};

// A P-256 private key and its public half. The scalar is wiped when the key goes.
struct PrivateKey {
  std::array<unsigned char, 32> scalar{};
  PublicKey publicKey;
  PrivateKey() = default;
  PrivateKey(const PrivateKey&) = default;
  PrivateKey& operator=(const PrivateKey&) = default;
  ~PrivateKey();
};

// What a key file turned out to hold.
template <typename Key>
struct KeyReading {
  std::optional<Key> key;
  std::string problem;  // why not, ending in what to do; empty on success
};

// The private key in PEM text: PKCS#8 ("PRIVATE KEY") or SEC1 ("EC PRIVATE KEY"), as openssl
// writes them, unencrypted, on P-256. Refused, saying why and what to do: an encrypted key, a
// key on another curve, an RSA key, a public key, no key at all.
KeyReading<PrivateKey> readPrivateKeyPem(std::span<const unsigned char> pem);

// The public key in PEM text: a P-256 SubjectPublicKeyInfo ("PUBLIC KEY", as openssl pkey
// -pubout writes it), or a private key as readPrivateKeyPem takes it, of which the public half
// is taken. Refused as readPrivateKeyPem refuses, besides.
KeyReading<PublicKey> readPublicKeyPem(std::span<const unsigned char> pem);

// The public key of an uncompressed P-256 point, with its key id.
PublicKey publicKeyOfPoint(const EcPoint& point);

// SHA-256 as a running value, fed in pieces of any size.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::span<const unsigned char> bytes);
  // The digest of everything fed so far; the running value goes on unchanged.
  Digest finish() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The deterministic ECDSA signature (RFC 6979) of a SHA-256 digest: r and s, 32 bytes each.
std::array<unsigned char, 64> signDigest(const PrivateKey& key, const Digest& digest);

// Whether r and s are a valid signature of the digest by the key.
bool verifyDigest(const PublicKey& key, const Digest& digest, std::span<const unsigned char, 64> signature);

// A signature made elsewhere, as a file holds it: DER (as openssl pkeyutl -sign writes it) or
// raw r and s (64 bytes). Nullopt where it is neither.
std::optional<std::array<unsigned char, 64>> readSignature(std::span<const unsigned char> bytes);
