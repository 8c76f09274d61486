#pragma once

#include <string>
#include <string_view>

#include "imageCheck.hpp"
#include "textEscape.hpp"

// One block for a person: the path (escapePath), then one field per line, the verdict last.
std::string reportText(std::string_view path, const ImageReport& report);

// One JSON object on one line, every field a number or a string, plus a boolean "intact";
// with extractedTo, also "extractedTo": where the payload was written.
std::string reportJson(std::string_view path, const ImageReport& report, const std::string* extractedTo = nullptr);

// The JSON object for a FILE that could not be read: its path and, in "error", why.
std::string errorJson(std::string_view path, std::string_view error);

// The image name as text for a person: the name field up to its first NUL, printable ASCII as
// it is, a backslash doubled, any other byte as \xNN (UTF-8 too: the name is 8-bit characters
// of the target's, not the host's).
std::string escapeName(const LoadImageHeader& header);

// A JSON string literal holding `bytes`: valid UTF-8 is kept, quotes, backslashes and control
// characters are escaped, and each byte that is not part of valid UTF-8 becomes the code point
// of the same value (\u0080 to \u00ff), so that the output is always valid JSON.
std::string jsonString(std::string_view bytes);
