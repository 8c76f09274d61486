/*
 * Signed load images on the device: checks an image's signature trailer against the boot
 * loader's trusted public keys, so that a device runs only what a key's holder signed, and
 * reports the image's security counter, so that it never installs an older one.
 *
 * The signature is over the SHA-256 of the header, the padded payload and the trailer's first
 * 48 bytes (imageLoader.h gives its layout): every byte but the signature itself.
 *
 * C99, no heap, no static state that changes. The hash and the signature check are BearSSL's
 * (the constant-time i15 code, which needs no multiplier wider than 32 bits), the library the
 * host tools sign with; this file calls nothing else. LDR_VERIFY_FAST chooses BearSSL's P-256
 * code over its generic prime-curve code: faster, and about twice the size. A boot loader that verifies links it and
 * BearSSL; one that does not links neither, since the update code reaches the verification
 * only through the pointer that LDR_TRUST sets.
 */
#ifndef IMAGE_VERIFY_H
#define IMAGE_VERIFY_H

#include <stddef.h>
#include <stdint.h>

#include "imageLoader.h"
#include "imageUpdate.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LDR_PUBLIC_KEY_SIZE 65u /* the uncompressed point: 04, X, Y */

/* A public key the boot loader trusts: what `imageInfo --key-as-c` prints initializes one. */
typedef struct {
  unsigned char keyId[LDR_KEY_ID_SIZE];
  unsigned char publicKey[LDR_PUBLIC_KEY_SIZE];
} ldrTrustedKey;

/* The keys an update or a boot check trusts, and the verification behind them; initialize with
 * LDR_TRUST. An image is trusted when its trailer names one of the keys and that key's
 * signature verifies. */
typedef struct ldrTrust {
  const ldrTrustedKey *keys;
  size_t keyCount;
  ldrStatus (*verifySlot)(const struct ldrTrust *trust, const ldrFlash *flash, uint32_t slot, uint32_t slotSize,
                          uint32_t *securityCounter);
} ldrTrust;

#define LDR_TRUST(keys, keyCount) \
  { (keys), (keyCount), ldrVerifySlot }

/* Checks the signed image at the start of the `slotSize` bytes at `slot`, read through the
 * board's read callback in pieces: its header (the header's statuses; LDR_IMAGE_TRUNCATED where
 * it does not fit), its trailer (LDR_NOT_SIGNED, LDR_TRAILER_DAMAGED), the key it names
 * (LDR_UNTRUSTED_KEY) and the signature (LDR_BAD_SIGNATURE); a read that fails is
 * LDR_FLASH_READ_FAILED. The word-sum is not checked: the signature covers every byte it does.
 * On LDR_OK *securityCounter is the trailer's counter, else 0. No keys (keyCount 0) trust
 * nothing: LDR_UNTRUSTED_KEY for every signed image. */
ldrStatus ldrVerifySlot(const ldrTrust *trust, const ldrFlash *flash, uint32_t slot, uint32_t slotSize,
                        uint32_t *securityCounter);

/* The same check of the signed image at `image`, in memory (memory-mapped flash) of which
 * `available` bytes may be read, for the boot check. */
ldrStatus ldrVerifyImage(const ldrTrust *trust, const unsigned char *image, size_t available,
                         uint32_t *securityCounter);

#ifdef __cplusplus
}
#endif

#endif /* IMAGE_VERIFY_H */
