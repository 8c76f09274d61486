#include "standardStreams.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

void prepareStandardStreams() {
#ifdef _WIN32
  // Only the console itself needs telling; a file or a pipe takes the UTF-8 bytes as they are.
  SetConsoleOutputCP(CP_UTF8);
#else
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // Opened the wrong way round, so that using it fails (EBADF) as it did on the closed
    // descriptor: a closed standard input must not read as an empty one.
    const int placeholder = open("/dev/null", descriptor == 0 ? O_WRONLY : O_RDONLY);
    if (placeholder >= 0 && placeholder != descriptor) {
      dup2(placeholder, descriptor);
      close(placeholder);
    }
  }
#endif
}

namespace {

// Why standard output first failed, kept because the C library may drop what it could not write
// and so not fail the same way again.
int gFirstOutputError = 0;

}  // namespace

void flushStandardOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 && gFirstOutputError == 0) gFirstOutputError = errno != 0 ? errno : EIO;
}

int finishStandardOutput(int status, int failureStatus, const char* complaint) {
  flushStandardOutput();
  bool failed = gFirstOutputError != 0 || std::ferror(stdout) != 0;
  int reason = gFirstOutputError;
  errno = 0;
  if (std::fclose(stdout) != 0 && !failed) {
    failed = true;
    reason = errno;
  }
  if (!failed) return status;
  if (complaint != nullptr) std::fprintf(stderr, "%s%s\n", complaint, std::strerror(reason != 0 ? reason : EIO));
  return failureStatus;
}
