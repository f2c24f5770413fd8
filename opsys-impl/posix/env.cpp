// POSIX backend only: the process environment (UTF-8 already).
#include <cstdlib>

#include "osenv.h"

const char* osGetEnv(const char* name) { return getenv(name); }

int osSetEnv(const char* name, const char* value) { return value ? setenv(name, value, 1) : unsetenv(name); }
