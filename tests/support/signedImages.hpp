#pragma once

#include <cstdint>
#include <string>

#include "imageVerify.h"
#include "signing.hpp"
#include "testFiles.hpp"

// A load image signed as packLoadable --sign signs it: the trailer, with `key`'s id and
// `counter`, after the padded payload.
Bytes signImage(const Bytes& image, const PrivateKey& key, std::uint32_t counter);

// The key in a PEM text of the tests' keys, and its public half as a boot loader trusts it.
PrivateKey testKey(const std::string& pem);
ldrTrustedKey trustedKey(const PublicKey& key);
