// Windows backend only: the process environment, converted to UTF-8.
#include <cstdlib>
#include <cstring>

#include "initprim.h"
#include "memory.h"
#include "winsupport.h"

void envPrimEnumerate(void (*add)(const char* entry, void* context), void* context) {
  wchar_t* block = GetEnvironmentStringsW();
  if (!block) return;
  for (wchar_t* e = block; *e; e += wcslen(e) + 1) {
    char* entry = winWideToUtf8(e);
    if (!entry) continue;  // entries that do not convert are skipped
    add(entry, context);
    memFree(entry);
  }
  FreeEnvironmentStringsW(block);
}

// After shut-down: straight from the process environment into a buffer of
// the calling thread.
const char* envPrimGetDirect(const char* name) {
  static thread_local char value[32768];
  wchar_t* wname = winUtf8ToWide(name);
  if (!wname) return nullptr;
  static thread_local wchar_t wvalue[32768];
  DWORD n = GetEnvironmentVariableW(wname, wvalue, 32768);
  memFree(wname);
  if (n == 0 || n >= 32768) return nullptr;
  if (!WideCharToMultiByte(CP_UTF8, 0, wvalue, -1, value, sizeof value, nullptr, nullptr)) return nullptr;
  return value;
}

int envPrimSet(const char* name, const char* value) {
  wchar_t* wname = winUtf8ToWide(name);
  wchar_t* wvalue = value ? winUtf8ToWide(value) : nullptr;
  BOOL ok = wname && (value == nullptr || wvalue) && SetEnvironmentVariableW(wname, wvalue);
  // Keep the C runtime's copy in step for code that reads it directly.
  if (ok) _wputenv_s(wname, wvalue ? wvalue : L"");
  memFree(wname);
  memFree(wvalue);
  return ok ? 0 : -1;
}
