// POSIX backend only: shared libraries with dlopen.
#include <dlfcn.h>

#include <cstring>

#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "osinit.h"
#include "stringbuf.h"

void* osLibraryLoad(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!h) logFatal(logCatLibrary, "Cannot load '%s': %s\n", path, dlerror());
  return h;
}

void* osLibrarySymbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

void osLibraryUnload(void* library) {
  if (library) dlclose(library);
}

const char* const libPrimNamePrefix = "lib";
const char* const libPrimNameSuffix = ".so";

void* libPrimOpen(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }
