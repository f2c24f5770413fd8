// Windows backend only: dynamic libraries with LoadLibrary.
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "osinit.h"
#include "stringbuf.h"
#include "winsupport.h"

void* osLibraryLoad(const char* path) {
  wchar_t* wide = winUtf8ToWide(path);
  // Dependencies are searched beside the library too.
  HMODULE h = wide ? LoadLibraryExW(wide, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
                   : nullptr;
  DWORD error = GetLastError();
  memFree(wide);
  if (!h) logFatal(logCatLibrary, "Cannot load '%s': %s\n", path, osErrorText(nullptr, error));
  return reinterpret_cast<void*>(h);
}

void* osLibrarySymbol(void* library, const char* name) {
  return library ? reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name)) : nullptr;
}

void osLibraryUnload(void* library) {
  if (library) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

char* osLibraryPathBesideExecutable(const char* name) {
  const char* dir = osGetExecutableDirectory();
  if (!dir || !*dir) return nullptr;
  StringBuffer sb;
  sbInitHere(&sb);
  bool hasExtension = strchr(name, '.') != nullptr;
  sbPrintf(&sb, "%s\\%s%s", dir, name, hasExtension ? "" : ".dll");
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
  wchar_t* wide = winUtf8ToWide(libraryName);
  HMODULE h = wide ? LoadLibraryW(wide) : nullptr;
  memFree(wide);
  if (!h) {
    logDebug(logCatInit, "Can not load '%s'; either this is not the right Windows version or it has dependencies\n",
             libraryName);
    logDebug(logCatInit, "Loaded %d functions from %s result %d\n", 0, libraryName, -1);
    return -1;
  }
  int count = 0;
  for (const OsFunctionSlot* t = table; t->name; t++, count++) {
    *t->slot = reinterpret_cast<void*>(GetProcAddress(h, t->name));
    if (!*t->slot) {
      logDebug(logCatInit, "Can not locate function %s() in '%s'\n", t->name, libraryName);
      for (const OsFunctionSlot* u = table; u->name; u++) *u->slot = nullptr;
      FreeLibrary(h);
      logDebug(logCatInit, "Loaded %d functions from %s result %d\n", -1, libraryName, -1);
      return -1;
    }
    logTrace(logCatInit, "Loaded %s - %s\n", libraryName, t->name);
  }
  *module = reinterpret_cast<void*>(h);
  logDebug(logCatInit, "Loaded %d functions from %s result %d\n", count, libraryName, 0);
  return 0;
}
