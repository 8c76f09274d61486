// The target library against the host programs: what packLoadable and stampPack write passes
// its checks, and on damaged files it agrees with imageInfo's verdict.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageCheck.hpp"
#include "imageLoader.h"
#include "programs.hpp"
#include "support/loadImageFile.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"
#ifdef CROSS_CHECK_SIGNED
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "signatureCheck.hpp"
#include "support/signedImages.hpp"
#include "testKeys.hpp"
#endif

namespace {

// Whether the target library takes `file` as an intact image of `format` that is exactly the
// file, as imageInfo does.
bool loaderTakes(const Bytes& file, ImageFormat format) {
  static const unsigned char nothing = 0;
  const unsigned char* bytes = file.empty() ? &nothing : file.data();
  if (format == ImageFormat::loadImage) {
    ldrLoadImageInfo info;
    return ldrCheckLoadImage(bytes, file.size(), &info) == LDR_OK && info.length == file.size();
  }
  ldrStampedImageInfo info;
  return ldrCheckStampedImage(bytes, file.size(), &info) == LDR_OK && info.length == file.size();
}

bool imageInfoTakes(const Bytes& file, ImageFormat format) {
  ImageCheck check;
  check.update(file);
  const ImageReport report = check.finish();
  return report.intact && report.format == format;
}

}  // namespace

TEST(LoaderCrossCheck, PackedFilesPassAndDamagedOnesAgreeWithImageInfo) {
  TempDir dir;
  for (const std::size_t size : {0, 1, 2, 3, 4, 5, 4095, 4096, 4097, (256 << 10) - 1, 256 << 10, (256 << 10) + 1}) {
    const Bytes payload = randomBytes(size, static_cast<std::uint32_t>(size) + 3);
    writeFile(dir.file("payload"), payload);
    ASSERT_EQ(
        runProgram(kPackLoadable, {dir.file("payload"), dir.file("packed"), "APP", "20001000", "20001001"}).exitStatus,
        0);
    ASSERT_EQ(runProgram(kStampPack, {dir.file("payload"), dir.file("stamped"), "B007"}).exitStatus, 0);
    const std::pair<std::string, ImageFormat> files[] = {{"packed.img", ImageFormat::loadImage},
                                                         {"stamped", ImageFormat::stampedImage}};
    for (const auto& [name, format] : files) {
      const Bytes file = readFile(dir.file(name));
      SCOPED_TRACE(name + ", " + std::to_string(size) + " bytes");
      EXPECT_TRUE(loaderTakes(file, format));
      // Damaged samples: a byte changed at spread positions, header included, and the file
      // one byte shorter or longer.
      std::vector<Bytes> samples;
      for (std::size_t position = 0; position < file.size(); position += 1 + file.size() / 97) {
        samples.push_back(file);
        samples.back()[position] ^= static_cast<unsigned char>(1u << (position % 8));
      }
      samples.emplace_back(file.begin(), file.end() - 1);
      samples.push_back(file);
      samples.back().push_back(0);
      for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(loaderTakes(samples[i], format), imageInfoTakes(samples[i], format)) << "sample " << i;
      }
    }
  }
}

#ifdef CROSS_CHECK_SIGNED

namespace {

// imageInfo's signature verdict on `file` against `keys`, in the target library's words.
ldrStatus hostVerdict(const Bytes& file, std::span<const PublicKey> keys) {
  ImageCheck check;
  check.update(file);
  SignedBytesDigest digest;
  digest.update(file);
  switch (judgeSignature(check.finish(), digest.finish(), keys)) {
    case SignatureVerdict::verified:
      return LDR_OK;
    case SignatureVerdict::unknownKey:
      return LDR_UNTRUSTED_KEY;
    case SignatureVerdict::badSignature:
      return LDR_BAD_SIGNATURE;
    case SignatureVerdict::unsignedImage:
      return LDR_NOT_SIGNED;
    case SignatureVerdict::trailerDamaged:
    case SignatureVerdict::bytesAfterTrailer:
      break;
  }
  return LDR_TRAILER_DAMAGED;
}

}  // namespace

// A thousand random signed images, by two keys, intact or with one change (a payload byte with
// or without the checksum made again, a header field, a trailer byte, the trailer cut or left
// out), each judged with one key trusted and with both: the target's check and imageInfo's give
// the same verdict on all 2,000. The target
// reads bytes after a payload that do not start with "SIGN" as no trailer at all (what follows
// an image in flash is anything), where imageInfo, which sees the file's end, says damaged.
TEST(LoaderCrossCheck, SignedImagesGetTheSameVerdictFromBoth) {
  const PrivateKey keys[] = {testKey(kKey_rfc6979_pkcs8), testKey(kKey_other_pkcs8)};
  const ldrTrustedKey trusted[] = {trustedKey(keys[0].publicKey), trustedKey(keys[1].publicKey)};
  const PublicKey hostKeys[] = {keys[0].publicKey, keys[1].publicKey};
  std::mt19937 random(20261209);
  std::size_t verdicts[5] = {};  // LDR_OK, then LDR_NOT_SIGNED to LDR_TRAILER_DAMAGED
  // The slow builds (sanitizers, emulators) check fewer, as they sample the power-cut campaigns.
  const char* thin = std::getenv("LDR_CAMPAIGN_THIN");
  const int rounds = 1000 / std::max(1, thin != nullptr ? std::atoi(thin) : 1);
  for (int round = 0; round < rounds; ++round) {
    const std::size_t size = random() % 300;
    Bytes file = signImage(loadImage(randomBytes(size, static_cast<std::uint32_t>(round))), keys[random() % 2],
                           static_cast<std::uint32_t>(random()));
    const std::size_t trailerAt = file.size() - LDR_TRAILER_SIZE;
    switch (random() % 7) {
      case 0:
        break;
      case 1:
      case 2:
        if (trailerAt > 44) {
          file[44 + random() % (trailerAt - 44)] ^= static_cast<unsigned char>(1u << random() % 8);
          if (random() % 2 == 0) file = withChecksumMadeAgain(file);
        }
        break;
      case 3:
        file[8 + random() % 24] ^= static_cast<unsigned char>(1u << random() % 8);  // addresses or name
        break;
      case 4:
        file[trailerAt + random() % LDR_TRAILER_SIZE] ^= static_cast<unsigned char>(1u << random() % 8);
        break;
      case 5:
        file.resize(trailerAt + random() % LDR_TRAILER_SIZE);
        break;
      default:
        file.resize(trailerAt);
        break;
    }
    SCOPED_TRACE("round " + std::to_string(round));
    // The device trusts the first key, or both.
    for (std::size_t trustedCount = 1; trustedCount <= 2; ++trustedCount) {
      const ldrTrust trust{trusted, trustedCount, ldrVerifySlot};
      std::uint32_t counter = 0;
      const ldrStatus target = ldrVerifyImage(&trust, file.data(), file.size(), &counter);
      ldrStatus host = hostVerdict(file, std::span(hostKeys, trustedCount));
      const bool magicThere = file.size() >= trailerAt + 4 && std::equal(file.begin() + trailerAt, file.begin() + trailerAt + 4, "SIGN");
      if (host == LDR_TRAILER_DAMAGED && !magicThere) host = LDR_NOT_SIGNED;
      ASSERT_STREQ(ldrStatusName(target), ldrStatusName(host));
      if (target == LDR_OK) {
        EXPECT_EQ(counter, static_cast<std::uint32_t>(file[trailerAt + 44] | file[trailerAt + 45] << 8 |
                                                      file[trailerAt + 46] << 16 | file[trailerAt + 47] << 24));
      }
      ++verdicts[target == LDR_OK ? 0 : target - LDR_NOT_ON_TRIAL];
    }
  }
  // Every verdict came up.
  for (const std::size_t count : verdicts) EXPECT_GT(count, 0u);
}

// Images that packLoadable signed, in one step and in two with openssl signing the digest:
// verified by the target's check.
TEST(LoaderCrossCheck, ImagesSignedByPackLoadableVerifyOnTheTarget) {
  if (!kProgramsHaveCrypto) GTEST_SKIP() << "the programs are built without a crypto library";
  TempDir dir;
  writeFile(dir.file("key.pem"), Bytes(kKey_rfc6979_pkcs8.begin(), kKey_rfc6979_pkcs8.end()));
  const PrivateKey key = testKey(kKey_rfc6979_pkcs8);
  const ldrTrustedKey trusted[] = {trustedKey(key.publicKey)};
  const ldrTrust trust{trusted, 1, ldrVerifySlot};
  for (const std::size_t size : {0, 1, 5, 4096, 65537}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    writeFile(dir.file("payload"), randomBytes(size, static_cast<std::uint32_t>(size)));
    ASSERT_EQ(runProgram(kPackLoadable, {"--sign", dir.file("key.pem"), "--security-counter", std::to_string(size),
                                         dir.file("payload"), dir.file("signed"), "APP", "20001000", "20001001"})
                  .exitStatus,
              0);
    const Bytes file = readFile(dir.file("signed.img"));
    std::uint32_t counter = 0;
    EXPECT_EQ(ldrVerifyImage(&trust, file.data(), file.size(), &counter), LDR_OK);
    EXPECT_EQ(counter, size);
    EXPECT_EQ(file, signImage(Bytes(file.begin(), file.end() - LDR_TRAILER_SIZE), key, static_cast<std::uint32_t>(size)));
  }
  // The two steps, the signature made by the openssl command line (ECDSA's random nonce: another
  // signature each time), where it runs natively beside the programs.
  const std::string openssl = "/usr/bin/openssl";
#ifndef _WIN32
  if (!kProgramEmulator.empty() || !std::filesystem::exists(openssl)) GTEST_SKIP() << "no native openssl";
  writeFile(dir.file("public.pem"), Bytes(kKey_rfc6979_public.begin(), kKey_rfc6979_public.end()));
  for (std::uint32_t round = 0; round < 20; ++round) {
    SCOPED_TRACE("openssl round " + std::to_string(round));
    writeFile(dir.file("payload"), randomBytes(round * 97, round));
    const std::vector<std::string> image = {dir.file("payload"), dir.file("two"), "APP", "20001000", "20001001"};
    std::vector<std::string> digestOut = {"--digest-out", dir.file("digest"), "--public-key", dir.file("public.pem"),
                                          "--security-counter", std::to_string(round)};
    digestOut.insert(digestOut.end(), image.begin(), image.end());
    ASSERT_EQ(runProgram(kPackLoadable, digestOut).exitStatus, 0);
    ASSERT_EQ(runProgram(openssl, {"pkeyutl", "-sign", "-inkey", dir.file("key.pem"), "-in", dir.file("digest"), "-out",
                                   dir.file("signature")}).exitStatus, 0);
    std::vector<std::string> attach = {"--signature", dir.file("signature"), "--public-key", dir.file("public.pem"),
                                       "--security-counter", std::to_string(round)};
    attach.insert(attach.end(), image.begin(), image.end());
    ASSERT_EQ(runProgram(kPackLoadable, attach).exitStatus, 0);
    const Bytes file = readFile(dir.file("two.img"));
    std::uint32_t counter = 1234;
    EXPECT_EQ(ldrVerifyImage(&trust, file.data(), file.size(), &counter), LDR_OK);
    EXPECT_EQ(counter, round);
  }
#else
  (void)openssl;
#endif
}

#endif
