// Windows backend only: the process environment, converted to UTF-8.
#include <cstdlib>
#include <cstring>

#include "memory.h"
#include "osenv.h"
#include "winsupport.h"

namespace {

// Converted values, one slot per distinct name asked for; kept for the
// process lifetime so returned texts stay valid.
struct EnvSlot {
  char* name;
  char* value;
};
EnvSlot envSlots[64];

}  // namespace

const char* osGetEnv(const char* name) {
  wchar_t wname[256];
  if (!MultiByteToWideChar(CP_UTF8, 0, name, -1, wname, 256)) return nullptr;
  wchar_t wvalue[4096];
  DWORD n = GetEnvironmentVariableW(wname, wvalue, 4096);
  if (n == 0 || n >= 4096) return nullptr;
  char value[4096 * 3];
  if (!WideCharToMultiByte(CP_UTF8, 0, wvalue, -1, value, sizeof value, nullptr, nullptr)) return nullptr;
  for (EnvSlot& s : envSlots) {
    if (s.name && strcmp(s.name, name) == 0) {
      if (strcmp(s.value, value) != 0) {
        free(s.value);
        s.value = strdup(value);
      }
      return s.value;
    }
    if (!s.name) {
      s.name = strdup(name);
      s.value = strdup(value);
      return s.value;
    }
  }
  return nullptr;
}

int osSetEnv(const char* name, const char* value) {
  wchar_t* wname = winUtf8ToWide(name);
  wchar_t* wvalue = value ? winUtf8ToWide(value) : nullptr;
  BOOL ok = wname && (value == nullptr || wvalue) && SetEnvironmentVariableW(wname, wvalue);
  // Keep the C runtime's copy in step for code that reads it directly.
  if (ok) _wputenv_s(wname, wvalue ? wvalue : L"");
  memFree(wname);
  memFree(wvalue);
  return ok ? 0 : -1;
}
