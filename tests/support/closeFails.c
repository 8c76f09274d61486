/* Preloaded into a program under test (LD_PRELOAD), makes the final close of the file that
 * standard output has open fail, as it can on NFS or FUSE where a close reports a write the
 * server refused: fclose() of a stream on another descriptor for that same regular file closes
 * it and then returns EOF with errno EIO. Everything else passes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int fclose(FILE *stream) {
  static int (*realFclose)(FILE *);
  struct stat closing, output;
  const int descriptor = fileno(stream);
  const int fails = descriptor > 2 && fstat(descriptor, &closing) == 0 && fstat(STDOUT_FILENO, &output) == 0 &&
                    S_ISREG(closing.st_mode) && closing.st_dev == output.st_dev && closing.st_ino == output.st_ino;
  int result;
  if (realFclose == NULL) realFclose = (int (*)(FILE *))dlsym(RTLD_NEXT, "fclose");
  result = realFclose(stream);
  if (!fails) return result;
  errno = EIO;
  return EOF;
}
