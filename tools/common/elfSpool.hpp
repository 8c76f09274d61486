#pragma once

#include <functional>
#include <span>
#include <string>

#include "elfPayload.hpp"
#include "streams.hpp"

// The ELF reader's payload put where the programs read it from: a scratch file.

// An ELF executable's payload, laid out once in a nameless scratch file (gone on every path out
// of the program), ready to be read from its start; or why not.
struct SpooledElf {
  enum class Problem { none, unreadable, refused, noScratchRoom };
  Problem problem = Problem::none;
  std::string reason;  // for a message, the path escaped
  ElfPayload payload;
  Stream spool;
};

// Opens the ELF file at `path`, reads its layout as `options` ask and writes its payload to a
// scratch file, handing every piece to onPayload as well where one is given.
SpooledElf spoolElfPayload(const std::string& path, const ElfOptions& options = {},
                           const std::function<void(std::span<const unsigned char>)>& onPayload = {});
