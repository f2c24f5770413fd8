// Windows crash dumps: an unhandled-exception filter writes a minidump with
// dbghelp's MiniDumpWriteDump (loaded from System32 on first fault, so the
// program imports nothing extra) and ends the process with the exception
// code instead of waiting on an error-report dialog that an unattended
// installation would never answer.
// clang-format off
#include "winsupport.h"
#include <dbghelp.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>

#include "../dumpprim.h"
#include "logging.h"
#include "memory.h"
#include "osdump.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

wchar_t widePrefix[dumpPrefixMax + 16];
std::atomic<bool> armed{false};
std::atomic<int> faulted{0};

// Runs on the faulting thread; uses stack buffers and system calls only.
LONG WINAPI dumpFilter(EXCEPTION_POINTERS* info) {
  if (faulted.exchange(1) != 0) return EXCEPTION_EXECUTE_HANDLER;
  char suffix[64];
  SYSTEMTIME t;
  GetLocalTime(&t);
  const uint32_t fields[6] = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  dumpAppendSuffix(suffix, suffix + sizeof suffix, fields, GetCurrentProcessId());
  wchar_t name[dumpPrefixMax + 96];
  size_t n = wcslen(widePrefix);
  memcpy(name, widePrefix, n * sizeof(wchar_t));
  for (size_t i = 0; suffix[i]; i++) name[n++] = (wchar_t)suffix[i];
  name[n] = 0;
  HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!dbghelp) {
    // Without the loader update of Windows 7 the flag is refused: the full
    // path in the system directory.
    wchar_t system[MAX_PATH + 16];
    const UINT len = GetSystemDirectoryW(system, MAX_PATH);
    if (len > 0 && len < MAX_PATH) {
      wcscpy(system + len, L"\\dbghelp.dll");
      dbghelp = LoadLibraryW(system);
    }
  }
  auto write =
      dbghelp
          ? reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")))
          : nullptr;
  if (!write) return EXCEPTION_EXECUTE_HANDLER;
  // Made new: a link someone put at the name beforehand is not written through.
  HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return EXCEPTION_EXECUTE_HANDLER;
  MINIDUMP_EXCEPTION_INFORMATION exception{GetCurrentThreadId(), info, FALSE};
  write(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception, nullptr, nullptr);
  CloseHandle(file);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool osDumpSupported() { return true; }

int dumpPrimArm(const char* prefix) {
  wchar_t* wide = winPathToWide(prefix);
  if (!wide) {
    logError(logCatDump, "Cannot convert crash dump name %s\n", prefix);
    return -1;
  }
  size_t n = wcslen(wide);
  if (n >= dumpPrefixMax) {
    memFree(wide);
    logError(logCatDump, "Crash dump directory name is too long: %s\n", prefix);
    return -1;
  }
  memcpy(widePrefix, wide, (n + 1) * sizeof(wchar_t));
  memFree(wide);
  if (!armed.exchange(true)) {
    // Room for the filter itself after a stack overflow of this thread.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    SetUnhandledExceptionFilter(dumpFilter);
  }
  return 0;
}
