#pragma once

#include <string>
#include <string_view>

// What `program --version` prints: "NAME (orva-image-tools) VERSION", the version being the
// project's own.
std::string versionLine(std::string_view program);
