#pragma once

#include <cstdio>
#include <string>

// One output file that appears complete or not at all. The bytes go to a temporary file beside
// the target (".NAME.XXXXXX" in the target's directory, NAME shortened where the whole would
// pass the system's limit on a name), which commit() renames over the target
// in one step. Until then the target keeps whatever it held; a failure, an object destroyed
// without commit(), or any signal that ends the program (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGPIPE, SIGXFSZ, SIGXCPU, SIGALRM, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2; Ctrl-C or
// Ctrl-Break on Windows) remove the temporary file, and the program then dies of that signal.
//
// What the target is, the system's own lookup decides (it follows every link, /dev/stdout and
// /proc/self/fd/N included):
// - a regular file, or none yet: the temporary file and the rename. An existing target that
//   may not be written is refused, and the rename never bypasses that; it keeps its permission
//   bits (and, where the system allows, its owner); a new one gets 0666 less the umask. A
//   symbolic link stays a link: the file it points to is replaced (a dangling link creates the
//   file it names). A hard link to the old target keeps the old contents.
// - the file standard output already has open (/dev/stdout redirected to a file, or its path):
//   written through standard output, front to back, where it stands.
// - anything else that is not a regular file (a pipe, a FIFO, a socket, a terminal, a device):
//   opened as it is, never created, truncated, renamed or removed, and written front to back.
// - a regular file whose directory takes no new file, or that the rename may not replace
//   (another user's file in a sticky folder such as /tmp): written in place, the old way. A
//   failure or a cleanup signal removes the incomplete file or, where it cannot be removed (the
//   folder takes no change), empties it.
// - on Windows, a device name (NUL, CON, COM1, \\.\NUL; nul.txt names the device too): written
//   straight through, like a device on Linux.
// Only one OutputFile may be open at a time in a program, because the signal handler knows one
// temporary file.
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

  // Whether the output can seek back to patch what it wrote (a regular file). Where it cannot,
  // every byte must be written once, in order.
  bool seekable() const noexcept { return seekable_; }

  // Whether the target is what standard output has open, however it was named (/dev/stdout,
  // /dev/fd/1, a link, the redirected file's own path): then nothing else may go there.
  bool isStandardOutput() const noexcept { return isStandardOutput_; }

  // Closes the stream and puts the file in place. False when anything written or the close or
  // the rename failed; the target is then as it was (or, written in place, removed if it was a
  // regular file) and no temporary file remains.
  bool commit();

  // Gives up: closes the stream and removes what was written, leaving the target as it was.
  void discard() noexcept;

 private:
  // The temporary file is gone (renamed or removed): the signal handler must not touch it.
  void forgetTemporary() noexcept;
  // The file written in place is closed: the signal handler must not touch it.
  void forgetInPlace() noexcept;

  // Writes `path` where it stands, without a temporary file: a regular file (`regular`) is
  // created or truncated, anything else opened as it is. False, with errno, when it cannot be.
  bool openInPlace(const std::string& path, bool regular);

  std::FILE* stream_ = nullptr;
  bool seekable_ = false;
  bool removeOnFailure_ = false;  // a regular file written in place, which a failure removes
  bool isStandardOutput_ = false;
  std::string target_;     // the file that is replaced: the target with its links followed
  std::string temporary_;  // empty when writing in place
#ifdef _WIN32
  std::wstring temporaryWide_;  // the same, as the system takes it; the handler reads it
  std::wstring targetWide_;     // the target written in place, as the system takes it; the handler reads it
#endif
};

#ifdef _WIN32
// Whether `path` names a device rather than a file: \\.\anything, or a name Windows reserves
// (NUL, CON, PRN, AUX, CONIN$, CONOUT$, COM0-9, LPT0-9 and COM or LPT with a superscript 1, 2
// or 3) in any case, with or without an extension or trailing blanks, in any folder.
bool isDeviceName(const std::string& path);

// What Ctrl-C, Ctrl-Break or the console closing does while a file is being written (the work of
// the console control handler, which the system runs on a thread of its own): stops the thread
// that writes, removes the temporary file or empties a file written in place, and ends the
// process with STATUS_CONTROL_C_EXIT. Callable from any thread, for tests that have no console
// to send the event through.
[[noreturn]] void endOnConsoleControl();
#endif
