#pragma once

#include <cstdio>
#include <string>

// One output file that appears complete or not at all. The bytes go to a temporary file beside
// the target (".NAME.XXXXXX" in the target's directory), which commit() renames over the target
// in one step. Until then the target keeps whatever it held; a failure, an object destroyed
// without commit(), or SIGINT, SIGTERM or SIGHUP (Ctrl-C or Ctrl-Break on Windows) remove the
// temporary file.
//
// What callers rely on stays as it was when the target was written in place:
// - a target that exists but may not be written is refused, and the rename never bypasses that;
// - an existing target keeps its permission bits (and, where the system allows, its owner);
//   a new one gets 0666 less the umask;
// - a symbolic link stays a link: the file it points to is replaced (a dangling link creates
//   the file it names);
// - a target that is not a regular file (/dev/null, a FIFO, a device) is written in place, and
//   so is one whose directory takes no new file (the old way, with the incomplete output
//   removed on failure).
// A hard link to the old target keeps the old contents. Only one OutputFile may be open at a
// time in a program, because the signal handler knows one temporary file.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Prepares to write `target` (UTF-8). False when it cannot be written; errno says why.
  bool open(const std::string& target);

  // The stream to write to, unbuffered, positioned at the start; null before open().
  std::FILE* stream() const noexcept { return stream_; }

  // Closes the stream and puts the file in place. False when anything written or the close or
  // the rename failed; the target is then as it was (or, written in place, removed if it was a
  // regular file) and no temporary file remains.
  bool commit();

  // Gives up: closes the stream and removes what was written, leaving the target as it was.
  void discard() noexcept;

 private:
  // The temporary file is gone (renamed or removed): the signal handler must not touch it.
  void forgetTemporary() noexcept;

  std::FILE* stream_ = nullptr;
  std::string target_;     // the file that is replaced: the target with its links followed
  std::string temporary_;  // empty when writing in place
#ifdef _WIN32
  std::wstring temporaryWide_;  // the same, as the system takes it; the handler reads it
#endif
};
