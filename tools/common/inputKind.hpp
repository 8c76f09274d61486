#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

// What an input's first bytes show it to be, for the warning a packer gives when handed a file
// that is already packed, or an ELF meant for packLoadable --elf.
enum class InputKind { other, elf, loadImage, stampedImage };

// Reads `head` (the input's first bytes, up to 44) of an input of `size` bytes: an ELF by its
// magic; a load image by its three constants and a length that matches (a signed one's too); a
// stamped image by its zero reserved bytes, a plausible date and a length that matches. No check
// value is computed.
InputKind inputKindOf(std::span<const unsigned char> head, std::uint64_t size);

// The same for an open regular file of `size` bytes, read from its start; the stream is left at
// its start again. `other` where it cannot be read or put back.
InputKind inputKindOf(std::FILE* stream, std::uint64_t size);

// The warning for packing an input of `kind` named `role` ("SOURCE", "INPUT") at `path` again,
// where `kind` is other than `other`; empty otherwise. `verb` is what the program does to it
// ("packed", "stamped"); `elfHint` what to use for an ELF.
std::string repackingWarning(InputKind kind, const std::string& role, const std::string& path, const std::string& verb,
                             const std::string& elfHint);
