/* Preloaded into a program under test (LD_PRELOAD), makes every rename fail with the errno that
 * RENAME_ERRNO gives (EBUSY, EXDEV, EIO: a file system that refuses at the last step), before
 * anything is renamed. Everything else passes through. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>

int rename(const char *from, const char *to) {
  const char *value = getenv("RENAME_ERRNO");
  (void)from;
  (void)to;
  errno = value != NULL ? atoi(value) : EIO;
  return -1;
}
