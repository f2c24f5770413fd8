// Binding a table of functions from a library, shared by both backends;
// the backends open libraries and look symbols up.
#include <cstring>

#include "initprim.h"
#include "logging.h"
#include "osdir.h"
#include "osinit.h"
#include "stringbuf.h"

char* osLibraryPathBesideExecutable(const char* name) {
  const char* dir = osGetExecutableDirectory();
  if (!dir || !*dir) return nullptr;
  StringBuffer sb;
  sbInitHere(&sb);
  bool hasExtension = strchr(name, '.') != nullptr;
  sbPrintf(&sb, "%s%c%s%s%s", dir, osPathSeparator, libPrimNamePrefix, name, hasExtension ? "" : libPrimNameSuffix);
  char* path = sbTakeString(&sb);
  sbClean(&sb);
  return path;
}

// Fills every slot of `table` from the library, or none: a missing function
// leaves all slots null and the library unloaded. A library already bound
// (*module set) is kept.
int osLoadFunctions(void** module, const OsFunctionSlot* table, const char* libraryName) {
  if (!module) {
    logDebug(logCatInit, "Can not load '%s'\n", libraryName);
    return -1;
  }
  if (*module) return 0;
  void* h = libPrimOpen(libraryName);
  if (!h) {
    logDebug(logCatInit, "Can not load '%s'; either this is not the right Windows version or it has dependencies\n",
             libraryName);
    logDebug(logCatInit, "Loaded %d functions from %s result %d\n", 0, libraryName, -1);
    return -1;
  }
  int count = 0;
  for (const OsFunctionSlot* t = table; t->name; t++, count++) {
    *t->slot = osLibrarySymbol(h, t->name);
    if (!*t->slot) {
      logDebug(logCatInit, "Can not locate function %s() in '%s'\n", t->name, libraryName);
      for (const OsFunctionSlot* u = table; u->name; u++) *u->slot = nullptr;
      osLibraryUnload(h);
      logDebug(logCatInit, "Loaded %d functions from %s result %d\n", -1, libraryName, -1);
      return -1;
    }
    logTrace(logCatInit, "Loaded %s - %s\n", libraryName, t->name);
  }
  *module = h;
  logDebug(logCatInit, "Loaded %d functions from %s result %d\n", count, libraryName, 0);
  return 0;
}
