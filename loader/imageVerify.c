/* Signed load images: the trailer and the signature check; see imageVerify.h for the contract
 * of each call. */
#include "imageVerify.h"

#include <bearssl.h>

/* Bytes hashed from flash at a time, on the stack. */
#define LDR_VERIFY_PIECE 64u

/* The curve code: BearSSL's generic prime-curve code by default, about half the size of its
 * P-256 code (LDR_VERIFY_FAST), which is faster; both constant-time, on 15-bit words. */
#ifdef LDR_VERIFY_FAST
#define LDR_CURVE (&br_ec_p256_m15)
#else
#define LDR_CURVE (&br_ec_prime_i15)
#endif

/* The trusted key whose id the trailer names, or NULL. */
static const ldrTrustedKey *findKey(const ldrTrust *trust, const ldrSignatureTrailer *trailer) {
  size_t k;
  for (k = 0; k < trust->keyCount; ++k) {
    unsigned i;
    unsigned char differ = 0;
    for (i = 0; i < LDR_KEY_ID_SIZE; ++i) differ |= (unsigned char)(trust->keys[k].keyId[i] ^ trailer->keyId[i]);
    if (differ == 0u) return &trust->keys[k];
  }
  return NULL;
}

/* Whether `signature` is the key's over `digest`. */
static ldrStatus checkSignature(const ldrTrustedKey *key, const unsigned char *digest,
                                const unsigned char *signature) {
  br_ec_public_key publicKey;
  publicKey.curve = BR_EC_secp256r1;
  /* BearSSL's key type has no const, but the check only reads the point. */
  publicKey.q = (unsigned char *)(uintptr_t)key->publicKey;
  publicKey.qlen = LDR_PUBLIC_KEY_SIZE;
  return br_ecdsa_i15_vrfy_raw(LDR_CURVE, digest, 32u, &publicKey, signature, LDR_SIGNATURE_SIZE) == 1u
             ? LDR_OK
             : LDR_BAD_SIGNATURE;
}

/* The checks both forms share once the trailer is read and every signed byte hashed into
 * `digest`: the key the trailer names, then its signature. */
static ldrStatus judge(const ldrTrust *trust, const ldrSignatureTrailer *trailer, const unsigned char *digest,
                       uint32_t *securityCounter) {
  const ldrTrustedKey *key = findKey(trust, trailer);
  ldrStatus status;
  if (key == NULL) return LDR_UNTRUSTED_KEY;
  status = checkSignature(key, digest, trailer->signature);
  if (status == LDR_OK) *securityCounter = trailer->securityCounter;
  return status;
}

ldrStatus ldrVerifySlot(const ldrTrust *trust, const ldrFlash *flash, uint32_t slot, uint32_t slotSize,
                        uint32_t *securityCounter) {
  unsigned char piece[LDR_VERIFY_PIECE];
  unsigned char trailerBytes[LDR_TRAILER_SIZE];
  unsigned char digest[32];
  ldrSignatureTrailer trailer;
  ldrLoadHeader header;
  br_sha256_context sha;
  size_t payloadBytes;
  uint32_t signedEnd;
  uint32_t room;
  uint32_t offset;
  ldrStatus status;
  if (securityCounter == NULL) return LDR_NULL_ARGUMENT;
  *securityCounter = 0;
  if (trust == NULL || flash == NULL || flash->read == NULL || (trust->keys == NULL && trust->keyCount > 0u))
    return LDR_NULL_ARGUMENT;
  if (slotSize < LDR_LOAD_HEADER_SIZE) return LDR_TOO_SHORT;
  if (flash->read(flash, slot, piece, LDR_LOAD_HEADER_SIZE) != 0) return LDR_FLASH_READ_FAILED;
  status = ldrReadLoadHeader(piece, LDR_LOAD_HEADER_SIZE, &header);
  if (status == LDR_OK) status = ldrLoadImageExtent(&header, slotSize, &payloadBytes);
  if (status != LDR_OK) return status;
  /* Header and payload fit the slot (checked just above), so neither sum can wrap. */
  offset = LDR_LOAD_HEADER_SIZE + (uint32_t)payloadBytes;
  room = slotSize - offset < LDR_TRAILER_SIZE ? slotSize - offset : LDR_TRAILER_SIZE;
  if (room > 0u && flash->read(flash, slot + offset, trailerBytes, room) != 0) return LDR_FLASH_READ_FAILED;
  status = ldrReadSignatureTrailer(trailerBytes, room, &trailer);
  if (status != LDR_OK) return status;
  if (findKey(trust, &trailer) == NULL) return LDR_UNTRUSTED_KEY; /* before the cost of hashing */

  br_sha256_init(&sha);
  signedEnd = offset + LDR_SIGNED_TRAILER_BYTES;
  for (offset = 0; offset < signedEnd;) {
    const uint32_t n = signedEnd - offset < LDR_VERIFY_PIECE ? signedEnd - offset : LDR_VERIFY_PIECE;
    if (flash->read(flash, slot + offset, piece, n) != 0) return LDR_FLASH_READ_FAILED;
    br_sha256_update(&sha, piece, n);
    offset += n;
  }
  br_sha256_out(&sha, digest);
  return judge(trust, &trailer, digest, securityCounter);
}

ldrStatus ldrVerifyImage(const ldrTrust *trust, const unsigned char *image, size_t available,
                         uint32_t *securityCounter) {
  unsigned char digest[32];
  ldrSignatureTrailer trailer;
  ldrLoadHeader header;
  br_sha256_context sha;
  size_t payloadBytes;
  size_t offset;
  ldrStatus status;
  if (securityCounter == NULL) return LDR_NULL_ARGUMENT;
  *securityCounter = 0;
  if (trust == NULL || image == NULL || (trust->keys == NULL && trust->keyCount > 0u)) return LDR_NULL_ARGUMENT;
  status = ldrReadLoadHeader(image, available, &header);
  if (status == LDR_OK) status = ldrLoadImageExtent(&header, available, &payloadBytes);
  if (status != LDR_OK) return status;
  offset = LDR_LOAD_HEADER_SIZE + payloadBytes;
  status = ldrReadSignatureTrailer(image + offset, available - offset, &trailer);
  if (status != LDR_OK) return status;
  if (findKey(trust, &trailer) == NULL) return LDR_UNTRUSTED_KEY;
  br_sha256_init(&sha);
  br_sha256_update(&sha, image, offset + LDR_SIGNED_TRAILER_BYTES);
  br_sha256_out(&sha, digest);
  return judge(trust, &trailer, digest, securityCounter);
}
