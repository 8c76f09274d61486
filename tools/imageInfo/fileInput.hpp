#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "inputKind.hpp"
#include "streams.hpp"

// The files imageInfo reads: a regular file, or standard input named "-".

// The path reports give standard input, named "-" on the command line.
inline constexpr const char* kStandardInputName = "<stdin>";

// A file being read: a regular file, whose length is known before reading, or standard input,
// whose length is what arrives.
struct Input {
  Stream owned;
  std::FILE* stream = nullptr;
  std::optional<std::uint64_t> length;
};

// Opens `path` ("-": standard input) for reading; nullopt, with *problem saying why, when it
// cannot be read. A FIFO or a device is refused at once, without waiting for a writer.
std::optional<Input> openInput(const std::string& path, std::string* problem);

// Reads the whole input in blocks, in order, handing each to onBlock; false, with *problem
// saying why, on a read error or a file shorter than its length.
bool readInput(const std::string& path, Input& input, const std::function<void(std::span<const unsigned char>)>& onBlock,
               std::string* problem);

// The path a report shows for a command-line FILE.
std::string shownPath(const std::string& path);

// What the regular file at `path` is by its first bytes, for a hint on arguments given in the
// wrong order; `other` where it cannot be read.
InputKind kindOfFile(const std::string& path);
