#pragma once

#include <string>
#include <string_view>

#include "imageCheck.hpp"

// One block for a person: the path (escaped with escapeText, UTF-8 kept), then one field per
// line, the verdict last.
std::string reportText(std::string_view path, const ImageReport& report);

// One JSON object on one line, every field a number or a string, plus a boolean "intact";
// with extractedTo, also "extractedTo": where the payload was written.
std::string reportJson(std::string_view path, const ImageReport& report, const std::string* extractedTo = nullptr);

// Bytes as text for a person: printable ASCII as it is, a backslash doubled, and any other byte
// as \xNN, except that with keepUtf8 valid UTF-8 sequences stay as they are.
std::string escapeText(std::string_view bytes, bool keepUtf8);

// The image name as text: the name field up to its first NUL, escaped with escapeText, UTF-8
// escaped too (the name is 8-bit characters of the target's, not the host's).
std::string escapeName(const LoadImageHeader& header);

// A JSON string literal holding `bytes`: valid UTF-8 is kept, quotes, backslashes and control
// characters are escaped, and each byte that is not part of valid UTF-8 becomes the code point
// of the same value (\u0080 to \u00ff), so that the output is always valid JSON.
std::string jsonString(std::string_view bytes);
