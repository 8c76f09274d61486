#include "version.hpp"

#include <cstdio>

std::string versionLine(std::string_view program) {
  return std::string(program) + " (orva-image-tools) " IMAGEPACK_VERSION;
}
