#pragma once

#include <string>

// imageInfo --extract OUT FILE.

// Whether --extract's OUT is standard output: "-", or a path to the file it has open.
bool isStandardOutput(const std::string& outPath);

// Gives OUT the payload of FILE only if FILE is intact. A regular OUT is written through a
// temporary file put in place at the end; standard output and other outputs that take bytes as
// they come get only verified bytes. With the payload on standard output, the report goes to
// standard error. Returns the exit status.
int extractPayload(const std::string& path, const std::string& outPath, bool json);
