/* The four memory functions of <string.h> that BearSSL calls, for firmware built without a C
 * library (this example's). A firmware with newlib or picolibc uses theirs instead. */
#ifndef EXAMPLE_STRING_H
#define EXAMPLE_STRING_H

#include <stddef.h>

void *memcpy(void *to, const void *from, size_t count);
void *memmove(void *to, const void *from, size_t count);
void *memset(void *to, int value, size_t count);
int memcmp(const void *a, const void *b, size_t count);

#endif
