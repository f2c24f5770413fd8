// Windows backend only: dynamic libraries with LoadLibrary.
#include <cstring>

#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "osinit.h"
#include "ospath.h"
#include "stringbuf.h"
#include "winsupport.h"

void* osLibraryLoad(const char* path) {
  wchar_t* wide = winUtf8ToWide(path);
  // Dependencies are searched beside the library too.
  HMODULE h = wide ? LoadLibraryExW(wide, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
                   : nullptr;
  DWORD error = GetLastError();
  // Windows 7 without its loader update (KB2533623) refuses those flags;
  // for a full path the altered search order also looks beside the library.
  if (!h && wide && error == ERROR_INVALID_PARAMETER && osPathIsAbsolute(osPathStyleWindows, path)) {
    h = LoadLibraryExW(wide, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    error = GetLastError();
  }
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

const char* const libPrimNamePrefix = "";
const char* const libPrimNameSuffix = ".dll";

void* libPrimOpen(const char* name) {
  wchar_t* wide = winUtf8ToWide(name);
  HMODULE h = wide ? LoadLibraryW(wide) : nullptr;
  memFree(wide);
  return reinterpret_cast<void*>(h);
}
