// POSIX backend only: shared libraries with dlopen.
#include <dlfcn.h>

#include <cstring>

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

char* osLibraryPathBesideExecutable(const char* name) {
  const char* dir = osGetExecutableDirectory();
  if (!dir || !*dir) return nullptr;
  StringBuffer sb;
  sbInitHere(&sb);
  bool hasExtension = strchr(name, '.') != nullptr;
  sbPrintf(&sb, "%s/lib%s%s", dir, name, hasExtension ? "" : ".so");
  char* path = sbTakeString(&sb);
  sbClean(&sb);
  return path;
}

int osLoadFunctions(void** module, const OsFunctionSlot* table, const char* libraryName) {
  if (!module) {
    logDebug(logCatInit, "Can not load '%s'\n", libraryName);
    return -1;
  }
  if (*module) return 0;
  void* h = dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    logDebug(logCatInit, "Can not load '%s'; either this is not the right Windows version or it has dependencies\n",
             libraryName);
    logDebug(logCatInit, "Loaded %d functions from %s result %d\n", 0, libraryName, -1);
    return -1;
  }
  int count = 0;
  for (const OsFunctionSlot* t = table; t->name; t++, count++) {
    *t->slot = dlsym(h, t->name);
    if (!*t->slot) {
      logDebug(logCatInit, "Can not locate function %s() in '%s'\n", t->name, libraryName);
      for (const OsFunctionSlot* u = table; u->name; u++) *u->slot = nullptr;
      dlclose(h);
      logDebug(logCatInit, "Loaded %d functions from %s result %d\n", -1, libraryName, -1);
      return -1;
    }
    logTrace(logCatInit, "Loaded %s - %s\n", libraryName, t->name);
  }
  *module = h;
  logDebug(logCatInit, "Loaded %d functions from %s result %d\n", count, libraryName, 0);
  return 0;
}
