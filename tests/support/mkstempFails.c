/* Preloaded into a program under test (LD_PRELOAD), makes every temporary file fail to be made
 * with the errno that MKSTEMP_ERRNO gives (ENOSPC with no inode free, EDQUOT, EMFILE, EACCES in
 * a folder that refuses new files). Everything else passes through. */
#define _GNU_SOURCE
/* With 64-bit offsets the header renames mkstemp to mkstemp64; both are defined here. */
#undef _FILE_OFFSET_BITS
#include <errno.h>
#include <stdlib.h>

static int failure(void) {
  const char *value = getenv("MKSTEMP_ERRNO");
  errno = value != NULL ? atoi(value) : EIO;
  return -1;
}

int mkstemp(char *pattern) {
  (void)pattern;
  return failure();
}

/* The name glibc gives it where files have 64-bit offsets. */
int mkstemp64(char *pattern) {
  (void)pattern;
  return failure();
}
