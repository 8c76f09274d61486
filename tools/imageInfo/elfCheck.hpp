#pragma once

#include <string>

#include "elfPayload.hpp"

// imageInfo --elf ELF IMAGE: whether IMAGE is what packLoadable --elf makes of ELF with the same
// `options`, said as text or JSON. Returns the exit status.
int matchElf(const std::string& elfPath, const ElfOptions& options, const std::string& imagePath, bool json);
