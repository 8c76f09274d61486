#include "blockCopy.hpp"

std::span<unsigned char> copyBuffer() {
  alignas(4096) static std::array<unsigned char, kCopyBlockSize + kWriteAlignment> buffer;
  return buffer;
}
