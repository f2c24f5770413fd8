// Windows backend only: code-page conversion with MultiByteToWideChar and
// WideCharToMultiByte.
#include "convprim.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "oserror.h"
#include "winsupport.h"

uint32_t convPrimAnsiCodePage() { return GetACP(); }

int convPrimToWide(uint32_t codePage, const char* source, uint32_t length, uint16_t** wide, uint32_t* wideCount) {
  int capacity = (int)length * 2 + 2;
  wchar_t* buf = static_cast<wchar_t*>(memAlloc((size_t)capacity * 2));
  int n = MultiByteToWideChar(codePage, 0, source, (int)length, buf, capacity);
  if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    int need = MultiByteToWideChar(codePage, 0, source, (int)length, nullptr, 0);
    capacity = need + 16;
    buf = static_cast<wchar_t*>(memRealloc(buf, (size_t)capacity * 2));
    n = MultiByteToWideChar(codePage, 0, source, (int)length, buf, capacity);
  }
  if (n == 0) {
    osErrorReport(logCatConv, GetLastError(), "MultiByteToWideChar");
    memFree(buf);
    return -1;
  }
  buf[n] = 0;
  *wide = reinterpret_cast<uint16_t*>(buf);
  *wideCount = (uint32_t)n;
  return 0;
}

int convPrimFromWide(uint32_t codePage, const uint16_t* wide, uint32_t wideCount, char** out, uint32_t* length) {
  const wchar_t* w = reinterpret_cast<const wchar_t*>(wide);
  bool utf8 = codePage == cpUtf8;
  // UTF-7 and UTF-8 take no replacement character.
  const char* replacement = utf8 || codePage == cpUtf7 ? nullptr : "?";
  int capacity = (int)wideCount * 2 + 4;
  char* buf = static_cast<char*>(memAlloc((size_t)capacity + 1));
  int n = WideCharToMultiByte(codePage, 0, w, (int)wideCount, buf, capacity, replacement, nullptr);
  if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    int need = WideCharToMultiByte(codePage, 0, w, (int)wideCount, nullptr, 0, replacement, nullptr);
    capacity = need + 16;
    buf = static_cast<char*>(memRealloc(buf, (size_t)capacity + 1));
    n = WideCharToMultiByte(codePage, 0, w, (int)wideCount, buf, capacity, replacement, nullptr);
  }
  if (n == 0 && wideCount > 0) {
    osErrorReport(logCatConv, GetLastError(), "WideCharToMultiByte");
    memFree(buf);
    return -1;
  }
  buf[n] = 0;
  *out = buf;
  *length = (uint32_t)n;
  return 0;
}

bool convPrimIsLeadByte(uint32_t codePage, unsigned char b) { return IsDBCSLeadByteEx(codePage, b) != 0; }
