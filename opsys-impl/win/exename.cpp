// Windows backend only: the executable's path from the module file name.
#include <cstring>

#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "winsupport.h"

int exePrimModulePath(char* buffer, size_t size) {
  wchar_t wide[1024];
  DWORD n = GetModuleFileNameW(nullptr, wide, 1024);
  if (n == 0) {
    osErrorReport(logCatExeName, GetLastError(), "GetModuleFileName");
    return -1;
  }
  if (n >= 1024) return 1;
  char* text = winWideToUtf8(wide);
  if (!text) return -1;
  size_t length = strlen(text);
  if (length >= size) {
    memFree(text);
    return 1;
  }
  memcpy(buffer, text, length + 1);
  memFree(text);
  return 0;
}
