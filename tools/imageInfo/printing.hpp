#pragma once

#include <cstdio>
#include <string>

#include "imageCheck.hpp"

// What imageInfo says, and the statuses it ends with.

inline constexpr int kExitDamaged = 1;  // a file is damaged, not a recognised image, or not its ELF's
inline constexpr int kExitTrouble = 2;  // a usage error, or a file that cannot be read

// Says a problem on standard error, as "imageInfo: PROBLEM".
void sayProblem(const std::string& problem);

// Prints one file's report to `to`, the first with first set; extractedTo names where its
// payload went.
void printReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json, bool first,
                 const std::string* extractedTo = nullptr);

// Prints the report of an --extract as a whole: a JSON array of one, or the text block.
void printExtractReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json,
                        const std::string* extractedTo = nullptr);
