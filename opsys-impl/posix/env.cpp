// POSIX backend only: the process environment (UTF-8 already).
#include <cstdlib>
#include <cstring>

#include "initprim.h"

extern char** environ;

void envPrimEnumerate(void (*add)(const char* entry, void* context), void* context) {
  for (char** e = environ; e && *e; e++) add(*e, context);
}

const char* envPrimGetDirect(const char* name) { return getenv(name); }

int envPrimSet(const char* name, const char* value) { return value ? setenv(name, value, 1) : unsetenv(name); }
