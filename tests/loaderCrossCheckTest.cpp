// The target library against the host programs: what packLoadable and stampPack write passes
// its checks, and on damaged files it agrees with imageInfo's verdict.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageCheck.hpp"
#include "imageLoader.h"
#include "programs.hpp"
#include "support/runProgram.hpp"
#include "support/testFiles.hpp"

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
