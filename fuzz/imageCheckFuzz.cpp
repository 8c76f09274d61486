// libFuzzer target: arbitrary bytes through the same recognition, verification and report code
// that imageInfo runs. Beyond the sanitizers' own checks it traps when:
// - feeding the file in two pieces gives another report than one piece;
// - a file that is not recognised is called intact;
// - the JSON report is not valid JSON (the path given is arbitrary bytes from the input).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "imageCheck.hpp"
#include "reportFormat.hpp"
#include "support/json.hpp"

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

  const std::string path(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 48));
  const std::string json = reportJson(path, report);
  if (json != reportJson(path, again)) __builtin_trap();
  if (report.intact && report.format == ImageFormat::unrecognised) __builtin_trap();
  if (!parseJson(json)) __builtin_trap();
  if (reportText(path, report).empty()) __builtin_trap();
  return 0;
}
