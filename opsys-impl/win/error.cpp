// Windows backend only: the system's description of an error code.
#include <cstdio>
#include <cstring>

#include "memory.h"
#include "oserror.h"
#include "ospath.h"
#include "osthread.h"
#include "winsupport.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// The system's message for `code` (from `module` first when given) as a
// LocalAlloc'ed wide text, or null. Inserts are left unfilled.
wchar_t* systemMessage(HMODULE module, uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                      (module ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  const DWORD n = FormatMessageW(flags, module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<wchar_t*>(&text), 4000, nullptr);
  if (n == 0) {
    if (text) LocalFree(text);
    return nullptr;
  }
  return text;
}

}  // namespace

const char* osErrorText(const char* moduleName, uint32_t code, ...) {
  const DWORD saved = GetLastError();
  HMODULE module = nullptr;
  if (moduleName) {
    wchar_t* wide = winUtf8ToWide(moduleName);
    if (wide) module = LoadLibraryExW(wide, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    memFree(wide);
  }
  wchar_t* message = systemMessage(module, code);
  if (!message && ((code >> 16) & 0x7FFF) == FACILITY_WIN32) message = systemMessage(nullptr, code & 0xFFFF);
  char fallback[64];
  char* utf8 = nullptr;
  const char* text;
  if (message) {
    utf8 = winWideToUtf8(message);
    text = utf8 ? utf8 : "OS error occurred, unable to convert message";
    LocalFree(message);
  } else {
    snprintf(fallback, sizeof fallback, "Windows NT error %ld (%08x)\n", (long)code, (unsigned)code);
    text = fallback;
  }
  if (module) FreeLibrary(module);
  size_t len = strlen(text);
  while (len > 0 && isSpace(text[len - 1])) len--;
  while (len > 0 && isSpace(*text)) text++, len--;
  char* scratch = osThreadScratch((uint32_t)len + 1);
  const char* result = "OS error occurred, unable to specify details";
  if (scratch) {
    memmove(scratch, text, len);
    scratch[len] = 0;
    result = scratch;
  }
  memFree(utf8);
  SetLastError(saved);
  return result;
}

uint32_t osErrorLast() { return GetLastError(); }

void osErrorSetLast(uint32_t code) { SetLastError(code); }
