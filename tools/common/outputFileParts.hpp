#pragma once

// What the output file's two platform halves (outputFilePosix.cpp, outputFileWindows.cpp) and
// the part they share (outputFile.cpp) give each other; no part of OutputFile's interface.

#include <filesystem>
#include <string>

#ifndef _WIN32
#include <csignal>
#endif

namespace outputFileParts {

// The file that `path` finally names once every symbolic link on the way is followed; the name a
// dangling link points to, if it is one. Relative links count from the link's own directory.
std::filesystem::path followLinks(std::filesystem::path path);

// ".NAME.XXXXXX" beside the target: a name a user recognises as belonging to NAME should a kill
// or a power cut leave it behind, and a dot file, so that it stays out of plain listings. A NAME
// too long for the 8 more characters within the file system's limit on a name keeps as much of
// its start as fits, in whole characters, and always the random part: every name the system
// takes gets a temporary file.
std::filesystem::path temporaryPattern(const std::filesystem::path& target);

// Keeps the cleanup (the signal handler on POSIX systems, the console control handler on
// Windows) out for its lifetime, so that it never sees the file half registered, half committed
// or half given up.
class SignalsHeld {
 public:
  SignalsHeld() noexcept;
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

#ifndef _WIN32
 private:
  sigset_t previous_;
#endif
};

// Removes the file, if it can.
void removeFile(const std::string& path);

// Renames `from` over `to` in one step; false when it cannot.
bool renameOver(const std::string& from, const std::string& to);

}  // namespace outputFileParts
