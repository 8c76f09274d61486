#pragma once

#include <string>
#include <vector>

#include "signing.hpp"

// imageInfo --extract OUT FILE.

// Whether --extract's OUT is standard output: "-", or a path to the file it has open.
bool isStandardOutput(const std::string& outPath);

// Gives OUT the payload of FILE only if FILE is intact. A regular OUT is written through a
// temporary file put in place at the end; standard output and other outputs that take bytes as
// they come get only verified bytes. With the payload on standard output, the report goes to
// standard error. With keys, FILE must also be signed by one of them, and verify. Returns the
// exit status.
int extractPayload(const std::string& path, const std::string& outPath, bool json, const std::vector<PublicKey>& keys);
