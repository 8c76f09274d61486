#include "wildcards.hpp"

#ifndef _WIN32
#include <glob.h>
#endif

std::vector<std::string> expandWildcards(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
#ifndef _WIN32
    if (i > 0 && argument.find_first_of("*?") != std::string::npos) {
      glob_t matches{};
      if (glob(argument.c_str(), 0, nullptr, &matches) == 0) {
        for (std::size_t m = 0; m < matches.gl_pathc; ++m) args.emplace_back(matches.gl_pathv[m]);
        globfree(&matches);
        continue;
      }
      globfree(&matches);
    }
#endif
    args.push_back(argument);
  }
  return args;
}
