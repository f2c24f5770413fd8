// Windows backend only: UTF-8 <-> UTF-16 for system calls.
#include "memory.h"
#include "winsupport.h"

wchar_t* winUtf8ToWide(const char* text) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* w = static_cast<wchar_t*>(memAlloc((uint32_t)n * sizeof(wchar_t)));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, w, n);
  return w;
}

char* winWideToUtf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  char* s = static_cast<char*>(memAlloc((uint32_t)n));
  WideCharToMultiByte(CP_UTF8, 0, text, -1, s, n, nullptr, nullptr);
  return s;
}

// ---- The long-path rule ----

#include <versionhelpers.h>

#include "osenv.h"
#include "ospath.h"
#include "strutil.h"

namespace {
int longPathState = -1;  // -1 undecided, 0 off, 1 on
}  // namespace

// On Windows 6 (Vista) and later long paths are on unless QZR_LONG_PATH
// turns them off; QZR_LONG_PATH cannot turn them on for older systems.
bool winLongPaths() {
  if (longPathState < 0) {
    bool on = IsWindowsVistaOrGreater();
    const char* setting = osGetEnv("QZR_LONG_PATH");
    uint8_t flag = 0;
    if (on && setting && strParseBoolean(setting, &flag) == 0) on = flag != 0;
    longPathState = on ? 1 : 0;
  }
  return longPathState == 1;
}

void winResetLongPaths() { longPathState = -1; }

wchar_t* winPathToWide(const char* path) {
  if (!path) return nullptr;
  if (!winLongPaths()) return winUtf8ToWide(path);
  char* longForm = osPathLongForm(path);
  wchar_t* wide = winUtf8ToWide(longForm ? longForm : path);
  memFree(longForm);
  return wide;
}
