// copyFloor IN OUT: the floor the packers are measured against. A bare copy in the packers'
// block size, through the same unbuffered streams, with no header and no check value: what any
// program that must see every byte pays at least.

#include <array>
#include <cstdio>

#include "blockCopy.hpp"
#include "streams.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: copyFloor IN OUT\n", stderr);
    return 2;
  }
  Stream in = openStream(argv[1], "rb");
  Stream out = openStream(argv[2], "wb");
  if (!in || !out) {
    std::perror("copyFloor");
    return 1;
  }
  alignas(4096) static std::array<unsigned char, kCopyBlockSize> buffer;
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
    if (std::fwrite(buffer.data(), 1, got, out.get()) != got) {
      std::perror("copyFloor");
      return 1;
    }
  }
  return std::ferror(in.get()) == 0 && out.close() ? 0 : 1;
}
