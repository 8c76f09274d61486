/* Linked into a test program, takes the place of the C library's mkstemp for the code under test
 * in that program: while gMkstempErrno is non-zero every temporary file fails to be made with
 * that errno (EACCES: a folder that refuses new files); otherwise the C library's own runs. */
#define _GNU_SOURCE
/* With 64-bit offsets the header renames mkstemp to mkstemp64; both are defined here. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

int gMkstempErrno = 0;

typedef int (*Mkstemp)(char *);

static int switched(const char *name, char *pattern) {
  void *found;
  Mkstemp real;
  if (gMkstempErrno != 0) {
    errno = gMkstempErrno;
    return -1;
  }
  found = dlsym(RTLD_NEXT, name);
  if (found == NULL) {
    errno = ENOSYS;
    return -1;
  }
  memcpy(&real, &found, sizeof real); /* a data pointer to a function pointer, as POSIX allows */
  return real(pattern);
}

int mkstemp(char *pattern) { return switched("mkstemp", pattern); }

int mkstemp64(char *pattern) { return switched("mkstemp64", pattern); }
