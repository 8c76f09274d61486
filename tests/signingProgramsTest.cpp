// End-to-end: packLoadable signs (with a key here, or in two steps for a key kept elsewhere) and
// refuses what it cannot sign with; imageInfo shows the trailer and gives each verdict its
// status; every byte of a signed image changed is refused.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imageCheck.hpp"
#include "programs.hpp"
#include "signatureCheck.hpp"
#include "signatureTrailer.hpp"
#include "signing.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"
#include "testKeys.hpp"

namespace fs = std::filesystem;

namespace {

class Signing : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kProgramsHaveCrypto) GTEST_SKIP() << "built without a crypto library";
    for (const auto& [name, pem] : {std::pair{"key.pem", &kKey_rfc6979_pkcs8}, {"sec1.pem", &kKey_rfc6979_sec1},
                                    {"pub.pem", &kKey_rfc6979_public}, {"other.pem", &kKey_other_pkcs8},
                                    {"other-pub.pem", &kKey_other_public}, {"rsa.pem", &kKey_rsa},
                                    {"p384.pem", &kKey_p384}, {"encrypted.pem", &kKey_encrypted}}) {
      writeFile(dir.file(name), textBytes(*pem));
    }
    writeFile(dir.file("app.bin"), payload);
  }

  ProgramResult pack(std::vector<std::string> options, const std::string& target = "app") {
    for (const std::string& argument : {dir.file("app.bin"), dir.file(target), std::string("APP"),
                                        std::string("08000000"), std::string("08000000")}) {
      options.push_back(argument);
    }
    return runProgram(kPackLoadable, options);
  }

  TempDir dir;
  const Bytes payload = randomBytes(301, 41);  // 304 padded: a tail word too
};

}  // namespace

// A signed image is the unsigned one, byte for byte, and the trailer after it; the same key and
// inputs give the same bytes; a SEC1 key signs as its PKCS#8 form does.
TEST_F(Signing, SignedImageIsTheUnsignedOneAndATrailer) {
  ASSERT_EQ(pack({}, "plain").exitStatus, 0);
  const ProgramResult signedRun = pack({"--sign", dir.file("key.pem"), "--security-counter", "0x10"});
  ASSERT_EQ(signedRun.exitStatus, 0) << signedRun.err;
  EXPECT_EQ(signedRun.err, "");
  const Bytes plain = readFile(dir.file("plain.img"));
  const Bytes image = readFile(dir.file("app.img"));
  EXPECT_EQ(signedRun.out, pack({}, "plain").out);  // the same checksum line
  ASSERT_EQ(image.size(), plain.size() + kSignatureTrailerSize);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + static_cast<long>(plain.size())), plain);
  std::string problem;
  const auto trailer = decodeSignatureTrailer(Bytes(image.begin() + static_cast<long>(plain.size()), image.end()), &problem);
  ASSERT_TRUE(trailer) << problem;
  EXPECT_EQ(trailer->securityCounter, 0x10u);
  // The signature is over every byte before it.
  Sha256 hash;
  hash.update(std::span(image).first(plain.size() + kSignedTrailerBytes));
  const auto key = readPublicKeyPem(textBytes(kKey_rfc6979_public));
  ASSERT_TRUE(key.key);
  EXPECT_EQ(trailer->keyId, key.key->id);
  EXPECT_TRUE(verifyDigest(*key.key, hash.finish(), trailer->signature));

  ASSERT_EQ(pack({"--security-counter=16", "--sign=" + dir.file("sec1.pem")}, "again").exitStatus, 0);
  EXPECT_EQ(readFile(dir.file("again.img")), image);

  // From an ELF too: the options among the ELF options.
  const ProgramResult elf = runProgram(kPackLoadable, {"--elf", "--sign", dir.file("key.pem"), dir.file("missing.elf"),
                                                       dir.file("e"), "APP"});
  EXPECT_EQ(elf.exitStatus, 20);
  EXPECT_EQ(elf.out, "ERROR : Can't find source file - " + dir.file("missing.elf") + "\n");
}

// Two steps for a key that never leaves a security module: the digest out, signed elsewhere,
// the signature in (DER or raw r and s) gives the image --sign gives.
TEST_F(Signing, TwoStepsGiveTheSameImage) {
  ASSERT_EQ(pack({"--sign", dir.file("key.pem"), "--security-counter", "3"}).exitStatus, 0);
  const ProgramResult digestRun = pack({"--digest-out", dir.file("digest.bin"), "--public-key", dir.file("pub.pem"),
                                        "--security-counter", "3"}, "two");
  ASSERT_EQ(digestRun.exitStatus, 0) << digestRun.err;
  EXPECT_EQ(digestRun.out, "");
  EXPECT_FALSE(fs::exists(dir.path() / "two.img"));
  const Bytes digestBytes = readFile(dir.file("digest.bin"));
  ASSERT_EQ(digestBytes.size(), 32u);
  Digest digest;
  std::copy(digestBytes.begin(), digestBytes.end(), digest.begin());
  const auto key = readPrivateKeyPem(textBytes(kKey_rfc6979_pkcs8));
  ASSERT_TRUE(key.key);
  const auto signature = signDigest(*key.key, digest);
  // DER, as openssl pkeyutl -sign writes it: r and s with a leading zero where the top bit is set.
  Bytes der;
  for (int half = 0; half < 2; ++half) {
    Bytes value(signature.begin() + 32 * half, signature.begin() + 32 * (half + 1));
    while (value.size() > 1 && value[0] == 0 && value[1] < 0x80) value.erase(value.begin());
    if (value[0] >= 0x80) value.insert(value.begin(), 0);
    der.push_back(0x02);
    der.push_back(static_cast<unsigned char>(value.size()));
    der.insert(der.end(), value.begin(), value.end());
  }
  der.insert(der.begin(), {0x30, static_cast<unsigned char>(der.size())});
  writeFile(dir.file("sig.der"), der);
  writeFile(dir.file("sig.raw"), Bytes(signature.begin(), signature.end()));
  for (const char* file : {"sig.der", "sig.raw"}) {
    SCOPED_TRACE(file);
    fs::remove(dir.path() / "two.img");
    const ProgramResult attached = pack({"--signature", dir.file(file), "--public-key", dir.file("pub.pem"),
                                         "--security-counter", "3"}, "two");
    ASSERT_EQ(attached.exitStatus, 0) << attached.err;
    EXPECT_EQ(readFile(dir.file("two.img")), readFile(dir.file("app.img")));
  }
  // Another counter is another digest: the signature does not verify, and nothing is written.
  fs::remove(dir.path() / "two.img");
  const ProgramResult wrong = pack({"--signature", dir.file("sig.der"), "--public-key", dir.file("pub.pem")}, "two");
  EXPECT_EQ(wrong.exitStatus, 20);
  EXPECT_EQ(wrong.out, "ERROR : Signature does not verify - " + dir.file("sig.der") + "\n");
  EXPECT_EQ(wrong.err, "packLoadable: " + dir.file("sig.der") + " is no signature of this image by " +
                           dir.file("pub.pem") +
                           ": made with another key, or of another digest (pack with the same SOURCE, NAME, addresses "
                           "and --security-counter as for --digest-out)\n");
  EXPECT_FALSE(fs::exists(dir.path() / "two.img"));
}

// Everything packLoadable cannot sign with is refused with status 20, and writes nothing.
TEST_F(Signing, RefusalsWriteNothing) {
  writeFile(dir.file("short.sig"), Bytes(63, 1));
  writeFile(dir.file("app.img"), Bytes{9, 9});
  const std::string make = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out KEY.pem";
  const struct {
    const char* what;
    std::vector<std::string> options;
    std::string out, err;
  } cases[] = {
      {"a missing key", {"--sign", dir.file("none.pem")}, "ERROR : Can't use key - " + dir.file("none.pem") + "\n",
       "packLoadable: cannot open " + dir.file("none.pem") + ": No such file or directory\n"},
      {"an RSA key", {"--sign", dir.file("rsa.pem")}, "ERROR : Can't use key - " + dir.file("rsa.pem") + "\n",
       "packLoadable: " + dir.file("rsa.pem") + " is an RSA key: images are signed with ECDSA over P-256 (" + make + ")\n"},
      {"a P-384 key", {"--sign", dir.file("p384.pem")}, "ERROR : Can't use key - " + dir.file("p384.pem") + "\n",
       "packLoadable: " + dir.file("p384.pem") + " is an EC key on another curve than P-256: images are signed with "
       "ECDSA over P-256 (" + make + ")\n"},
      {"a public key as --sign", {"--sign", dir.file("pub.pem")}, "ERROR : Can't use key - " + dir.file("pub.pem") + "\n",
       "packLoadable: " + dir.file("pub.pem") + " is a public key: signing needs the private key (a public key goes "
       "with --public-key)\n"},
      {"an encrypted key", {"--sign", dir.file("encrypted.pem")},
       "ERROR : Can't use key - " + dir.file("encrypted.pem") + "\n",
       "packLoadable: " + dir.file("encrypted.pem") + " is encrypted: write it decrypted for the signing (openssl pkey "
       "-in KEY.pem -out PLAIN.pem), or leave it where it is and sign in two steps, --digest-out and then --signature\n"},
      {"a signature of the wrong length", {"--signature", dir.file("short.sig"), "--public-key", dir.file("pub.pem")},
       "ERROR : Can't use signature - " + dir.file("short.sig") + "\n",
       "packLoadable: " + dir.file("short.sig") + " is neither a DER ECDSA signature (as openssl pkeyutl -sign writes "
       "it) nor the 64 bytes of r and s: 63 bytes\n"},
      {"a counter out of range", {"--sign", dir.file("key.pem"), "--security-counter", "4294967296"}, "",
       "packLoadable: --security-counter \"4294967296\": a number from 0 to 4294967295, decimal or 0x and "
       "hexadecimal\n"},
      {"a counter that is no number", {"--security-counter", "-1", "--sign", dir.file("key.pem")}, "",
       "packLoadable: --security-counter \"-1\": a number from 0 to 4294967295, decimal or 0x and hexadecimal\n"},
      {"--sign with --signature", {"--sign", dir.file("key.pem"), "--signature", dir.file("short.sig")}, "",
       "packLoadable: --sign and --signature do not go together: --sign signs here, --signature attaches a signature "
       "made elsewhere\n"},
      {"--digest-out without the public key", {"--digest-out", dir.file("d.bin")}, "",
       "packLoadable: --digest-out needs --public-key PUB.pem: the key id it names is signed too\n"},
      {"a counter alone", {"--security-counter", "1"}, "",
       "packLoadable: --security-counter goes with --sign, --digest-out or --signature\n"},
      {"--sign twice", {"--sign", dir.file("key.pem"), "--sign", dir.file("key.pem")}, "",
       "packLoadable: --sign is given twice\n"},
  };
  // After the five arguments an option would be ignored with the others: an unsigned image.
  const ProgramResult late = runProgram(kPackLoadable, {dir.file("app.bin"), dir.file("app"), "APP", "0", "0", "--sign",
                                                        dir.file("key.pem")});
  EXPECT_EQ(late.exitStatus, 20);
  EXPECT_EQ(late.err, "packLoadable: --sign comes before SOURCE: after the fifth argument it would be ignored\n");
  EXPECT_EQ(readFile(dir.file("app.img")), (Bytes{9, 9}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProgramResult result = pack(c.options);
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(readFile(dir.file("app.img")), (Bytes{9, 9}));
    EXPECT_FALSE(fs::exists(dir.path() / "d.bin"));
  }
}

// Each verdict of imageInfo --key has its own status; without --key a signed image reads as
// before, its trailer shown, and a damaged trailer is damage.
TEST_F(Signing, EachVerdictItsStatus) {
  ASSERT_EQ(pack({"--sign", dir.file("key.pem"), "--security-counter", "5"}).exitStatus, 0);
  ASSERT_EQ(pack({}, "plain").exitStatus, 0);
  ASSERT_EQ(runProgram(kStampPack, {dir.file("app.bin"), dir.file("app.stp")}).exitStatus, 0);
  const Bytes image = readFile(dir.file("app.img"));
  Bytes badSignature = image;
  badSignature.back() ^= 0x01;
  writeFile(dir.file("badsig.img"), badSignature);
  writeFile(dir.file("cut.img"), Bytes(image.begin(), image.end() - 1));
  Bytes longer = image;
  longer.push_back(0);
  writeFile(dir.file("longer.img"), longer);
  const struct {
    const char* file;
    std::vector<std::string> keys;  // --key files; none: no check
    int status;
    std::string check;    // the "signature check" line; empty: none
    std::string verdict;
  } cases[] = {
      {"app.img", {}, 0, "", "ok"},
      {"app.img", {"pub.pem"}, 0, "verified", "ok"},
      {"app.img", {"other-pub.pem", "key.pem"}, 0, "verified", "ok"},  // any one may match; a private key's half
      {"app.img", {"other-pub.pem"}, 4, "signed by a key not given", "ok"},
      {"badsig.img", {"pub.pem"}, 5, "bad signature", "ok"},
      {"plain.img", {"pub.pem"}, 3, "unsigned", "ok"},
      {"app.stp", {"pub.pem"}, 3, "unsigned", "ok"},
      {"cut.img", {"pub.pem"}, 6, "trailer damaged or truncated", "damaged: signature trailer truncated: 111 of 112 bytes"},
      {"cut.img", {}, 1, "", "damaged: signature trailer truncated: 111 of 112 bytes"},
      {"longer.img", {"pub.pem"}, 7, "bytes after the trailer", "damaged: 1 bytes after the signature trailer"},
      {"longer.img", {}, 1, "", "damaged: 1 bytes after the signature trailer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " with " + std::to_string(c.keys.size()) + " keys");
    std::vector<std::string> args;
    for (const std::string& key : c.keys) {
      args.push_back("--key");
      args.push_back(dir.file(key));
    }
    args.push_back(dir.file(c.file));
    const ProgramResult result = runProgram(kImageInfo, args);
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.err, "");
    const bool signedFile = std::string(c.file) == "app.img" || std::string(c.file) == "badsig.img" ||
                            std::string(c.file) == "longer.img";
    EXPECT_EQ(result.out.find("  security counter: 5\n") != std::string::npos, signedFile) << result.out;
    EXPECT_EQ(result.out.find("  signature check: " + c.check + "\n") != std::string::npos, !c.check.empty()) << result.out;
    EXPECT_NE(result.out.find("  verdict: " + c.verdict + "\n"), std::string::npos) << result.out;
  }
  // JSON carries the same; --extract with --key gives the payload only when it verifies.
  const ProgramResult json = runProgram(kImageInfo, {"--json", "--key", dir.file("pub.pem"), dir.file("app.img")});
  EXPECT_NE(json.out.find("\"signed\": true, \"algorithm\": \"ECDSA P-256 SHA-256\", \"keyId\": \""), std::string::npos);
  EXPECT_NE(json.out.find("\"securityCounter\": 5, \"signature\": \"verified\", \"intact\": true"), std::string::npos);
  EXPECT_EQ(runProgram(kImageInfo, {"--key", dir.file("other-pub.pem"), "--extract", dir.file("out"), dir.file("app.img")})
                .exitStatus,
            4);
  EXPECT_FALSE(fs::exists(dir.path() / "out"));
  ASSERT_EQ(runProgram(kImageInfo, {"--key", dir.file("pub.pem"), "--extract", dir.file("out"), dir.file("app.img")})
                .exitStatus,
            0);
  EXPECT_EQ(readFile(dir.file("out")), payload);
  // A key imageInfo cannot use is a usage error.
  const ProgramResult rsa = runProgram(kImageInfo, {"--key", dir.file("rsa.pem"), dir.file("app.img")});
  EXPECT_EQ(rsa.exitStatus, 2);
  EXPECT_EQ(rsa.err, "imageInfo: " + dir.file("rsa.pem") + " is an RSA key: images are signed with ECDSA over P-256 "
                     "(openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out KEY.pem)\n");
}

// The key as a C header: its id and point, byte for byte.
TEST_F(Signing, KeyAsAHeaderForTheBootLoader) {
  const ProgramResult header = runProgram(kImageInfo, {"--key-as-c", dir.file("pub.pem")});
  ASSERT_EQ(header.exitStatus, 0) << header.err;
  EXPECT_NE(header.out.find("#define PUB_TRUSTED_KEY \\\n  { { 0x5a, 0x7a, 0x78, 0xcc,"), std::string::npos) << header.out;
  EXPECT_NE(header.out.find("    { 0x04, 0x60, 0xfe, 0xd4,"), std::string::npos) << header.out;
  EXPECT_NE(header.out.find("0x22, 0x99 } }\n#endif\n"), std::string::npos) << header.out;
  EXPECT_EQ(runProgram(kImageInfo, {"--key-as-c", dir.file("pub.pem"), dir.file("app.bin")}).exitStatus, 2);
}

// Every byte of a small signed image changed, one at a time, is refused by the check against
// its key: header, payload, padding and trailer.
TEST(SignedImage, EveryChangedByteIsRefused) {
  if (!kHaveCrypto) GTEST_SKIP() << kNoCrypto;
  const auto key = readPrivateKeyPem(textBytes(kKey_rfc6979_pkcs8));
  ASSERT_TRUE(key.key);
  LoadImageHeader header = makeLoadImageHeader(13, 0x08000000, 0x08000001, "T");
  Bytes payload = randomBytes(13, 7);
  payload.resize(16, 0);
  WordSum sum;
  sum.update(payload);
  header.checksum = sum.finish();
  const auto headerBytes = encodeLoadImageHeader(header);
  Bytes image(headerBytes.begin(), headerBytes.end());
  image.insert(image.end(), payload.begin(), payload.end());
  SignatureTrailer trailer;
  trailer.keyId = key.key->publicKey.id;
  trailer.securityCounter = 9;
  auto trailerBytes = encodeSignatureTrailer(trailer);
  Sha256 hash;
  hash.update(image);
  hash.update(std::span(trailerBytes).first(kSignedTrailerBytes));
  trailer.signature = signDigest(*key.key, hash.finish());
  trailerBytes = encodeSignatureTrailer(trailer);
  image.insert(image.end(), trailerBytes.begin(), trailerBytes.end());
  const std::vector<PublicKey> keys = {key.key->publicKey};
  const auto verdictOf = [&keys](const Bytes& file) {
    ImageCheck check;
    SignedBytesDigest digest;
    check.update(file);
    digest.update(file);
    ImageReport report = check.finish();
    report.signature = judgeSignature(report, digest.finish(), keys);
    return report;
  };
  ASSERT_EQ(verdictOf(image).signature, SignatureVerdict::verified);
  for (std::size_t at = 0; at < image.size(); ++at) {
    for (const int flip : {0x01, 0x80}) {
      Bytes changed = image;
      changed[at] = static_cast<unsigned char>(changed[at] ^ flip);
      const ImageReport report = verdictOf(changed);
      EXPECT_FALSE(report.intact && report.signature == SignatureVerdict::verified) << "byte " << at;
    }
  }
}
