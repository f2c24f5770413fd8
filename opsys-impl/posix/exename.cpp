// POSIX backend only: the executable's path from the process's own link.
#include <unistd.h>

#include "initprim.h"

int exePrimModulePath(char* buffer, size_t size) {
  ssize_t n = readlink("/proc/self/exe", buffer, size);
  if (n < 0) return -1;
  if ((size_t)n >= size) return 1;
  buffer[n] = 0;
  return 0;
}
