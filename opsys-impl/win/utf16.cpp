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
