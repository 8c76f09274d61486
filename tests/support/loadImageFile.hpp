#pragma once

#include <cstdint>

#include "testFiles.hpp"
#include "wordSumReference.hpp"

// A load image as packLoadable writes it, built field by field from the references: the
// header, the payload, and zeros to a whole word.
inline Bytes loadImage(const Bytes& payload, std::uint32_t loadAddress = 0x20001000,
                       std::uint32_t execAddress = 0x20001001) {
  Bytes file;
  for (const std::uint32_t field : {44u, static_cast<std::uint32_t>(payload.size()), loadAddress, execAddress})
    appendLittleEndian32(file, field);
  const Bytes name = textBytes("APP");
  file.insert(file.end(), name.begin(), name.end());
  file.resize(32, 0);
  for (const std::uint32_t field : {0xA0FFFF9Fu, 7u, referenceWordSum(payload)}) appendLittleEndian32(file, field);
  file.insert(file.end(), payload.begin(), payload.end());
  file.resize(44 + (payload.size() + 3) / 4 * 4, 0);
  return file;
}

// The load image (signed or not) with its header's checksum made again over its payload as it
// now stands, so that only a signature tells a changed payload byte.
inline Bytes withChecksumMadeAgain(Bytes image) {
  const std::uint32_t size = image[4] | image[5] << 8 | image[6] << 16 | static_cast<std::uint32_t>(image[7]) << 24;
  const std::uint32_t sum = referenceWordSum(Bytes(image.begin() + 44, image.begin() + 44 + size));
  for (int i = 0; i < 4; ++i) image[40 + i] = static_cast<unsigned char>(sum >> (8 * i));
  return image;
}
