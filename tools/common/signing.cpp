#include "signing.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#ifdef IMAGEPACK_HAVE_BEARSSL
#include <bearssl.h>
#endif

namespace {

// A P-256 SubjectPublicKeyInfo is this prefix (id-ecPublicKey, prime256v1, a 66-byte bit
// string) and the uncompressed point.
constexpr std::array<unsigned char, 26> kP256PublicKeyPrefix = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
    0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr std::array<unsigned char, 7> kEcPublicKeyOid = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr std::array<unsigned char, 9> kRsaEncryptionOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

constexpr const char* kHowToMake = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out KEY.pem";

bool contains(std::span<const unsigned char> haystack, std::span<const unsigned char> needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

bool containsText(std::span<const unsigned char> bytes, std::string_view text) {
  return contains(bytes, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

// One object of a PEM file: its label and its decoded bytes.
struct PemObject {
  std::string label;
  std::vector<unsigned char> der;
};

#ifdef IMAGEPACK_HAVE_BEARSSL
// Every object of a PEM file, in order; an object that does not decode is left out.
std::vector<PemObject> pemObjects(std::span<const unsigned char> pem) {
  std::vector<PemObject> objects;
  br_pem_decoder_context decoder;
  br_pem_decoder_init(&decoder);
  PemObject current;
  bool inside = false;
  const auto append = [](void* context, const void* bytes, std::size_t count) {
    auto* der = static_cast<std::vector<unsigned char>*>(context);
    const auto* first = static_cast<const unsigned char*>(bytes);
    der->insert(der->end(), first, first + count);
  };
  // A last line break, so that a file without one still ends its last object.
  std::vector<unsigned char> text(pem.begin(), pem.end());
  text.push_back('\n');
  std::size_t at = 0;
  while (at < text.size()) {
    at += br_pem_decoder_push(&decoder, text.data() + at, text.size() - at);
    switch (br_pem_decoder_event(&decoder)) {
      case BR_PEM_BEGIN_OBJ:
        current = PemObject{br_pem_decoder_name(&decoder), {}};
        inside = true;
        br_pem_decoder_setdest(&decoder, append, &current.der);
        break;
      case BR_PEM_END_OBJ:
        if (inside) objects.push_back(std::move(current));
        inside = false;
        break;
      case BR_PEM_ERROR:
        inside = false;
        break;
      default:
        break;
    }
  }
  return objects;
}

// The private key in one DER object (SEC1 or PKCS#8); problem set where it is not a P-256 one.
KeyReading<PrivateKey> privateKeyOfDer(const std::vector<unsigned char>& der) {
  KeyReading<PrivateKey> reading;
  br_skey_decoder_context decoder;
  br_skey_decoder_init(&decoder);
  br_skey_decoder_push(&decoder, der.data(), der.size());
  if (br_skey_decoder_last_error(&decoder) != 0) {
    reading.problem = "holds a private key of a kind images are not signed with (they are signed with ECDSA over "
                      "P-256: " + std::string(kHowToMake) + " makes such a key)";
    return reading;
  }
  if (br_skey_decoder_key_type(&decoder) == BR_KEYTYPE_RSA) {
    reading.problem = "is an RSA key: images are signed with ECDSA over P-256 (" + std::string(kHowToMake) + ")";
    return reading;
  }
  const br_ec_private_key* ec = br_skey_decoder_get_ec(&decoder);
  if (ec->curve != BR_EC_secp256r1) {
    reading.problem = "is an EC key on another curve than P-256: images are signed with ECDSA over P-256 (" +
                      std::string(kHowToMake) + ")";
    return reading;
  }
  PrivateKey key;
  // The scalar, without leading zeros beyond 32 bytes, right-aligned.
  std::size_t length = ec->xlen;
  const unsigned char* x = ec->x;
  while (length > 32 && *x == 0) {
    ++x;
    --length;
  }
  if (length > 32 || length == 0) {
    reading.problem = "holds a P-256 key whose private value does not fit 32 bytes";
    return reading;
  }
  std::copy_n(x, length, key.scalar.begin() + static_cast<std::ptrdiff_t>(32 - length));
  br_ec_private_key secret{BR_EC_secp256r1, key.scalar.data(), key.scalar.size()};
  EcPoint point{};
  br_ec_public_key pub{};
  if (br_ec_compute_pub(&br_ec_p256_m31, &pub, point.data(), &secret) != point.size()) {
    reading.problem = "holds a P-256 private value that is no key (zero, or not below the group order)";
    return reading;
  }
  key.publicKey = publicKeyOfPoint(point);
  reading.key = key;
  return reading;
}
#endif

}  // namespace

PrivateKey::~PrivateKey() {
  // Through a volatile pointer, so that the compiler cannot drop the stores as dead.
  volatile unsigned char* secret = scalar.data();
  for (std::size_t i = 0; i < scalar.size(); ++i) secret[i] = 0;
}

KeyReading<PrivateKey> readPrivateKeyPem(std::span<const unsigned char> pem) {
  KeyReading<PrivateKey> reading;
  if (!kHaveCrypto) {
    reading.problem = kNoCrypto;
    return reading;
  }
  if (containsText(pem, "ENCRYPTED")) {
    reading.problem = "is encrypted: write it decrypted for the signing (openssl pkey -in KEY.pem -out PLAIN.pem), or "
                      "leave it where it is and sign in two steps, --digest-out and then --signature";
    return reading;
  }
#ifdef IMAGEPACK_HAVE_BEARSSL
  for (const PemObject& object : pemObjects(pem)) {
    if (object.label == "PRIVATE KEY" || object.label == "EC PRIVATE KEY" || object.label == "RSA PRIVATE KEY")
      return privateKeyOfDer(object.der);
    if (object.label == "PUBLIC KEY") {
      reading.problem = "is a public key: signing needs the private key (a public key goes with --public-key)";
      return reading;
    }
  }
#endif
  reading.problem = std::string("holds no private key in PEM (PKCS#8 or SEC1, as ") + kHowToMake + " writes it)";
  return reading;
}

KeyReading<PublicKey> readPublicKeyPem(std::span<const unsigned char> pem) {
  KeyReading<PublicKey> reading;
  if (!kHaveCrypto) {
    reading.problem = kNoCrypto;
    return reading;
  }
#ifdef IMAGEPACK_HAVE_BEARSSL
  for (const PemObject& object : pemObjects(pem)) {
    if (object.label != "PUBLIC KEY") continue;
    const std::span<const unsigned char> der(object.der);
    if (der.size() == kP256PublicKeyPrefix.size() + 65 && std::equal(kP256PublicKeyPrefix.begin(), kP256PublicKeyPrefix.end(), der.begin()) &&
        der[kP256PublicKeyPrefix.size()] == 0x04) {
      EcPoint point;
      std::copy(der.begin() + kP256PublicKeyPrefix.size(), der.end(), point.begin());
      reading.key = publicKeyOfPoint(point);
      return reading;
    }
    reading.problem = contains(der, kRsaEncryptionOid) ? "is an RSA public key: images are signed with ECDSA over P-256"
                      : contains(der, kEcPublicKeyOid)
                          ? "is an EC public key that is not an uncompressed point on P-256: images are signed with "
                            "ECDSA over P-256"
                          : "holds a public key of a kind images are not signed with (ECDSA over P-256)";
    return reading;
  }
  // A private key serves too: its public half.
  if (containsText(pem, "PRIVATE KEY")) {
    KeyReading<PrivateKey> privateKey = readPrivateKeyPem(pem);
    if (privateKey.key) reading.key = privateKey.key->publicKey;
    reading.problem = privateKey.problem;
    return reading;
  }
#else
  (void)pem;
#endif
  reading.problem = "holds no public key in PEM (as openssl pkey -in KEY.pem -pubout writes it)";
  return reading;
}

PublicKey publicKeyOfPoint(const EcPoint& point) {
  PublicKey key;
  key.point = point;
  Sha256 hash;
  hash.update(kP256PublicKeyPrefix);
  hash.update(point);
  key.id = hash.finish();
  return key;
}

#ifdef IMAGEPACK_HAVE_BEARSSL
struct Sha256::State {
  br_sha256_context context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { br_sha256_init(&state_->context); }

void Sha256::update(std::span<const unsigned char> bytes) { br_sha256_update(&state_->context, bytes.data(), bytes.size()); }

Digest Sha256::finish() const {
  Digest digest;
  br_sha256_out(&state_->context, digest.data());
  return digest;
}

std::array<unsigned char, 64> signDigest(const PrivateKey& key, const Digest& digest) {
  br_ec_private_key secret{BR_EC_secp256r1, const_cast<unsigned char*>(key.scalar.data()), key.scalar.size()};
  std::array<unsigned char, 64> signature{};
  // RFC 6979: the nonce comes from the key and the digest, so the same inputs sign the same.
  if (br_ecdsa_i31_sign_raw(&br_ec_p256_m31, &br_sha256_vtable, digest.data(), &secret, signature.data()) !=
      signature.size()) {
    signature.fill(0);  // a signature that never verifies, where the library declined
  }
  return signature;
}

bool verifyDigest(const PublicKey& key, const Digest& digest, std::span<const unsigned char, 64> signature) {
  EcPoint point = key.point;
  br_ec_public_key pub{BR_EC_secp256r1, point.data(), point.size()};
  return br_ecdsa_i31_vrfy_raw(&br_ec_p256_m31, digest.data(), digest.size(), &pub, signature.data(),
                               signature.size()) == 1;
}
#else
struct Sha256::State {};
Sha256::Sha256() = default;
void Sha256::update(std::span<const unsigned char>) {}
Digest Sha256::finish() const { return Digest{}; }
std::array<unsigned char, 64> signDigest(const PrivateKey&, const Digest&) { return {}; }
bool verifyDigest(const PublicKey&, const Digest&, std::span<const unsigned char, 64>) { return false; }
#endif

Sha256::~Sha256() = default;

namespace {

// One strict DER INTEGER of a signature at `at`, left-padded into `out` (32 bytes); the index
// after it, or 0 where it is not a positive integer of at most 32 value bytes, minimally encoded.
std::size_t derInteger(std::span<const unsigned char> bytes, std::size_t at, std::span<unsigned char, 32> out) {
  if (at + 2 > bytes.size() || bytes[at] != 0x02) return 0;
  std::size_t length = bytes[at + 1];
  std::size_t first = at + 2;
  if (length == 0 || length > 33 || first + length > bytes.size()) return 0;
  if (bytes[first] & 0x80) return 0;                                          // negative
  if (length > 1 && bytes[first] == 0 && !(bytes[first + 1] & 0x80)) return 0;  // a zero too many
  if (bytes[first] == 0) {
    ++first;
    --length;
  }
  if (length > 32) return 0;
  std::fill(out.begin(), out.end(), 0);
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(first), length, out.begin() + static_cast<std::ptrdiff_t>(32 - length));
  return first + length;
}

}  // namespace

std::optional<std::array<unsigned char, 64>> readSignature(std::span<const unsigned char> bytes) {
  std::array<unsigned char, 64> signature{};
  // DER: SEQUENCE { INTEGER r, INTEGER s }, nothing after it.
  if (bytes.size() >= 8 && bytes[0] == 0x30 && bytes[1] < 0x80 && bytes[1] + std::size_t{2} == bytes.size()) {
    const std::size_t afterR = derInteger(bytes, 2, std::span(signature).first<32>());
    const std::size_t afterS = afterR != 0 ? derInteger(bytes, afterR, std::span(signature).last<32>()) : 0;
    if (afterS == bytes.size()) return signature;
  }
  if (bytes.size() == 64) {
    std::copy(bytes.begin(), bytes.end(), signature.begin());
    return signature;
  }
  return std::nullopt;
}
