/* The memory functions BearSSL calls (see libc/string.h), a byte at a time: the boot loader
 * copies little with them, and -fno-builtin keeps the compiler from turning these loops back
 * into calls of themselves. */
#include <string.h>

void *memcpy(void *to, const void *from, size_t count) {
  unsigned char *t = to;
  const unsigned char *f = from;
  while (count-- > 0u) *t++ = *f++;
  return to;
}

void *memmove(void *to, const void *from, size_t count) {
  unsigned char *t = to;
  const unsigned char *f = from;
  if (t < f) {
    while (count-- > 0u) *t++ = *f++;
  } else {
    while (count-- > 0u) t[count] = f[count];
  }
  return to;
}

void *memset(void *to, int value, size_t count) {
  unsigned char *t = to;
  while (count-- > 0u) *t++ = (unsigned char)value;
  return to;
}

int memcmp(const void *a, const void *b, size_t count) {
  const unsigned char *x = a;
  const unsigned char *y = b;
  for (; count > 0u; --count, ++x, ++y)
    if (*x != *y) return *x < *y ? -1 : 1;
  return 0;
}

#ifdef __ARM_EABI__
/* The run-time ABI's forms, which clang calls for a structure's copy even under -fno-builtin,
 * and which libgcc or compiler-rt would give (this example links neither). The aligned forms
 * may take the byte loops too. */
void __aeabi_memcpy(void *to, const void *from, size_t count);
void __aeabi_memcpy4(void *to, const void *from, size_t count);
void __aeabi_memcpy8(void *to, const void *from, size_t count);
void __aeabi_memset(void *to, size_t count, int value);
void __aeabi_memclr(void *to, size_t count);
void __aeabi_memclr4(void *to, size_t count);

void __aeabi_memcpy(void *to, const void *from, size_t count) { (void)memcpy(to, from, count); }
void __aeabi_memcpy4(void *to, const void *from, size_t count) { (void)memcpy(to, from, count); }
void __aeabi_memcpy8(void *to, const void *from, size_t count) { (void)memcpy(to, from, count); }
void __aeabi_memset(void *to, size_t count, int value) { (void)memset(to, value, count); }
void __aeabi_memclr(void *to, size_t count) { (void)memset(to, 0, count); }
void __aeabi_memclr4(void *to, size_t count) { (void)memset(to, 0, count); }
#endif
