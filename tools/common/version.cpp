#include "version.hpp"

#include <cstdio>

std::string versionLine(std::string_view program) {
  return std::string(program) + " (orva-image-tools) " IMAGEPACK_VERSION;
}

bool answeredHelpOrVersion(const std::vector<std::string>& args, std::string_view program, void (*printHelp)()) {
  if (args.size() != 2) return false;
  if (args[1] == "--help") {
    printHelp();
    return true;
  }
  if (args[1] == "--version") {
    std::printf("%s\n", versionLine(program).c_str());
    return true;
  }
  return false;
}
