#pragma once

#include <cstdio>
#include <string>

#include "imageCheck.hpp"

// What imageInfo says, and the statuses it ends with.

inline constexpr int kExitDamaged = 1;  // a file is damaged, not a recognised image, or not its ELF's
inline constexpr int kExitTrouble = 2;  // a usage error, or a file that cannot be read
// With --key, a file that is intact but does not verify:
inline constexpr int kExitUnsigned = 3;           // it is not signed
inline constexpr int kExitUnknownKey = 4;         // signed by a key not given
inline constexpr int kExitBadSignature = 5;       // the signature is wrong
inline constexpr int kExitTrailerDamaged = 6;     // its trailer is damaged or cut short
inline constexpr int kExitBytesAfterTrailer = 7;  // bytes follow its trailer

// The status one file's report gives: 0 when it is intact (and, where checked against keys,
// verified), one of the statuses above otherwise. A trailer that is damaged or followed by
// bytes is damage (1) where no key was given.
int reportStatus(const ImageReport& report);

// Says a problem on standard error, as "imageInfo: PROBLEM".
void sayProblem(const std::string& problem);

// Prints one file's report to `to`, the first with first set; extractedTo names where its
// payload went.
void printReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json, bool first,
                 const std::string* extractedTo = nullptr);

// Prints the report of an --extract as a whole: a JSON array of one, or the text block.
void printExtractReport(std::FILE* to, const std::string& path, const ImageReport& report, bool json,
                        const std::string* extractedTo = nullptr);
