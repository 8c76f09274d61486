// libFuzzer target: arbitrary bytes through the same recognition, verification and report code
// that imageInfo runs. Beyond the sanitizers' own checks it traps when:
// - feeding the file in two pieces gives another report than one piece;
// - a file that is not recognised is called intact;
// - the JSON report is not valid JSON (the path given is arbitrary bytes from the input);
// - a signature verdict differs between the two feeds, or calls verified what is not an intact
//   load image with one trailer after it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imageCheck.hpp"
#include "reportFormat.hpp"
#include "signatureCheck.hpp"
#include "support/json.hpp"

namespace {

// The key the seed corpus's signed image is signed with (RFC 6979's P-256 example key).
PublicKey trustedKey() {
  EcPoint point{0x04};
  constexpr const char* kHex =
      "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
      "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";
  for (std::size_t i = 0; i < 64; ++i) point[1 + i] = static_cast<unsigned char>(std::stoul(std::string(kHex + 2 * i, 2), nullptr, 16));
  return publicKeyOfPoint(point);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const unsigned char> file(data, size);

  ImageCheck whole;
  whole.update(file);
  const ImageReport report = whole.finish();

  const std::size_t cut = size == 0 ? 0 : data[size - 1] % (size + 1);
  ImageCheck pieces;
  pieces.update(file.first(cut));
  pieces.update(file.subspan(cut));
  const ImageReport again = pieces.finish();

  // The signature check, fed the same two ways.
  static const std::vector<PublicKey> keys = {trustedKey()};
  SignedBytesDigest wholeDigest;
  wholeDigest.update(file);
  SignedBytesDigest piecesDigest;
  piecesDigest.update(file.first(cut));
  piecesDigest.update(file.subspan(cut));
  const SignatureVerdict verdict = judgeSignature(report, wholeDigest.finish(), keys);
  if (verdict != judgeSignature(again, piecesDigest.finish(), keys)) __builtin_trap();
  if (verdict == SignatureVerdict::verified &&
      (!report.intact || report.format != ImageFormat::loadImage || report.trailerState != TrailerState::intact))
    __builtin_trap();

  const std::string path(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 48));
  const std::string json = reportJson(path, report);
  if (json != reportJson(path, again)) __builtin_trap();
  if (report.intact && report.format == ImageFormat::unrecognised) __builtin_trap();
  if (!parseJson(json)) __builtin_trap();
  if (reportText(path, report).empty()) __builtin_trap();
  return 0;
}
