#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The options that sign an image, in either form of packLoadable:
//   --sign KEY.pem            sign with this private key
//   --security-counter N      the trailer's security counter (decimal, or 0x and hexadecimal)
//   --digest-out FILE         with --public-key: write the digest to sign elsewhere, no image
//   --signature FILE          with --public-key: attach a signature made elsewhere
//   --public-key PUB.pem      the key the digest is for, or the signature checked against
// Each also as --OPTION=VALUE.
struct SigningOptions {
  std::optional<std::string> signingKey;
  std::optional<std::uint32_t> securityCounter;
  std::optional<std::string> digestOut;
  std::optional<std::string> signatureFile;
  std::optional<std::string> publicKey;

  // Whether any of them is given: the image is to be signed (or its digest written).
  bool any() const { return signingKey || securityCounter || digestOut || signatureFile || publicKey; }
};

enum class SigningOptionTaken {
  no,       // args[index] is not one of them
  taken,    // read into the options; index is at its last argument
  refused,  // one of them, without a value, with a bad one or given twice: problem says why
};

// Reads the option at args[index], with its value, into `options`.
SigningOptionTaken takeSigningOption(const std::vector<std::string>& args, std::size_t& index, SigningOptions& options,
                                     std::string& problem);

// Why the options do not go together, empty where they do: exactly one of --sign, --digest-out
// and --signature, the last two with --public-key, and --public-key and --security-counter only
// beside one of them.
std::string signingOptionsProblem(const SigningOptions& options);
