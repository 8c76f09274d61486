#pragma once

#include <string>
#include <string_view>
#include <vector>

// What `program --version` prints: "NAME (orva-image-tools) VERSION", the version being the
// project's own.
std::string versionLine(std::string_view program);

// Answers `program --help` (with printHelp) or `program --version` (with versionLine) on
// standard output when that option is the only argument; false for every other call.
bool answeredHelpOrVersion(const std::vector<std::string>& args, std::string_view program, void (*printHelp)());
