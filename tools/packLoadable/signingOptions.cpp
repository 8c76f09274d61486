#include "signingOptions.hpp"

#include <string_view>

#include "commandLine.hpp"
#include "elfOptions.hpp"
#include "textEscape.hpp"

SigningOptionTaken takeSigningOption(const std::vector<std::string>& args, std::size_t& index, SigningOptions& options,
                                     std::string& problem) {
  static constexpr std::string_view kPaths[] = {"--sign", "--digest-out", "--signature", "--public-key"};
  std::optional<std::string> value;
  if (takeOptionWithValue(args, index, "--security-counter", &value)) {
    const auto counter = value ? parseByteCount(*value) : std::nullopt;
    if (!counter) {
      problem = value ? "--security-counter \"" + escapePath(*value) +
                            "\": a number from 0 to 4294967295, decimal or 0x and hexadecimal"
                      : "--security-counter needs a number N";
      return SigningOptionTaken::refused;
    }
    if (options.securityCounter) {
      problem = "--security-counter is given twice";
      return SigningOptionTaken::refused;
    }
    options.securityCounter = static_cast<std::uint32_t>(*counter);
    return SigningOptionTaken::taken;
  }
  for (const std::string_view name : kPaths) {
    if (!takeOptionWithValue(args, index, name, &value)) continue;
    if (!value || value->empty()) {
      problem = std::string(name) + (name == "--sign" || name == "--public-key" ? " needs a key file" : " needs a FILE");
      return SigningOptionTaken::refused;
    }
    std::optional<std::string>& slot = name == "--sign"         ? options.signingKey
                                       : name == "--digest-out" ? options.digestOut
                                       : name == "--signature"  ? options.signatureFile
                                                                : options.publicKey;
    if (slot) {
      problem = std::string(name) + " is given twice";
      return SigningOptionTaken::refused;
    }
    slot = *value;
    return SigningOptionTaken::taken;
  }
  return SigningOptionTaken::no;
}

std::string signingOptionsProblem(const SigningOptions& options) {
  if (options.signingKey && options.signatureFile) {
    return "--sign and --signature do not go together: --sign signs here, --signature attaches a signature made "
           "elsewhere";
  }
  if (options.signingKey && options.digestOut) {
    return "--sign and --digest-out do not go together: --digest-out is the first of two steps for a key that is "
           "not here";
  }
  if (options.digestOut && options.signatureFile) {
    return "--digest-out and --signature are two steps: the digest first, then the signature made of it";
  }
  if (options.signingKey && options.publicKey) {
    return "--public-key goes with --digest-out or --signature: --sign takes the public key from the private one";
  }
  if ((options.digestOut || options.signatureFile) && !options.publicKey) {
    return std::string(options.digestOut ? "--digest-out" : "--signature") +
           " needs --public-key PUB.pem: the key id it names is signed too";
  }
  if (!options.signingKey && !options.digestOut && !options.signatureFile) {
    return std::string(options.publicKey ? "--public-key" : "--security-counter") +
           " goes with --sign, --digest-out or --signature";
  }
  return "";
}
