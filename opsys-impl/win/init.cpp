// Windows backend only: argument conversion, the console control handler,
// user, host and system description, memory counters, the exit path.
#include <cstdio>

#include "build.h"
#include "dateprim.h"
#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "oserror.h"
#include "osinit.h"
#include "osthread.h"
#include "secure.h"
#include "winsupport.h"
// psapi.h needs the types of windows.h first.
#include <psapi.h>

namespace {

char** convertedArgs = nullptr;

// What the system grants a handler of Close, Logoff and Shutdown before it
// ends the process (5 s on current systems), less a margin.
constexpr DWORD closeGraceMs = 4500;

// After Close, Logoff and Shutdown the process ends as soon as the handler
// returns. The handler therefore waits, within the system's grace, while
// the main thread rolls back and cleans up; the main thread's exit ends the
// process, this thread with it.
BOOL WINAPI controlHandler(DWORD event) {
  const BOOL handled = osConsoleCtrlHandler(event) ? TRUE : FALSE;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(closeGraceMs);
  return handled;
}

// True when the console shows nothing yet: no screen buffer on standard
// output, or the cursor still at the top left.
bool consoleIsFresh() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return true;
  return info.dwCursorPosition.X == 0 && info.dwCursorPosition.Y == 0;
}

const char* architectureName(WORD arch) {
  switch (arch) {
    case 0:
      return "x86";
    case 5:
      return "arm";
    case 6:
      return "ia64";
    case 9:
      return "x64";
    default:
      return "unknown";
  }
}

char* wideToNew(const wchar_t* text) { return winWideToUtf8(text); }

}  // namespace

// Converts the UTF-16 arguments into one block from the local heap: the
// pointer array (count + 1, null-terminated) followed by the UTF-8 strings.
int osConvertArguments(int argc, const void* const* args, int* outArgc, char*** outArgv) {
  const wchar_t* const* in = reinterpret_cast<const wchar_t* const*>(args);
  if (processType == processTypeSfx && argc == 1 && consoleIsFresh()) winHideConsoleWindow();
  size_t total = 0;
  for (int i = 0; i < argc; i++) {
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in[i], -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
      fprintf(stderr, "%ls: Could not convert argument %d\n", in[0], i);
      return -1;
    }
    total += (size_t)n;
  }
  char** block = static_cast<char**>(LocalAlloc(LMEM_FIXED, sizeof(char*) * (size_t)(argc + 1) + total));
  if (!block) return -1;
  char* p = reinterpret_cast<char*>(block + argc + 1);
  for (int i = 0; i < argc; i++) {
    int n = WideCharToMultiByte(CP_UTF8, 0, in[i], -1, p, (int)total, nullptr, nullptr);
    block[i] = p;
    p += n;
    total -= (size_t)n;
  }
  block[argc] = nullptr;
  convertedArgs = block;
  *outArgc = argc;
  *outArgv = block;
  return convInit(outArgc, outArgv);
}

void osRelease() {
  if (convertedArgs) LocalFree(convertedArgs);
  convertedArgs = nullptr;
  osThreadReset();
  secureUnload();
}

uint32_t osProcessId() { return (uint32_t)GetCurrentProcessId(); }

int initPrimInstallControlHandler() {
  if (!SetConsoleCtrlHandler(controlHandler, TRUE)) {
    osErrorReport(logCatInit, GetLastError(), "SetConsoleCtrlHandler");
    return -1;
  }
  return 0;
}

void winAllocConsole() {
  if (!AllocConsole()) return;
  // A new console starts without the process's handler.
  SetConsoleCtrlHandler(controlHandler, FALSE);
  if (!SetConsoleCtrlHandler(controlHandler, TRUE)) osErrorReport(logCatInit, GetLastError(), "SetConsoleCtrlHandler");
}

void winHideConsoleWindow() {
  using ShowWindowFn = BOOL(WINAPI*)(HWND, int);
  static ShowWindowFn showWindow = nullptr;
  HWND window = GetConsoleWindow();
  if (!window) return;
  if (!showWindow) {
    HMODULE user = LoadLibraryW(L"user32.dll");
    showWindow =
        user ? reinterpret_cast<ShowWindowFn>(reinterpret_cast<void*>(GetProcAddress(user, "ShowWindow"))) : nullptr;
  }
  if (showWindow) showWindow(window, SW_HIDE);
}

void initPrimExitProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  ExitProcess((UINT)code);
}

int initPrimEpoch() {
  uint64_t base;
  if (datePrimEpochBase(&base) != 0) {
    osErrorReport(logCatInit, GetLastError(), "SystemTimeToFileTime");
    return -1;
  }
  return 0;
}

int initPrimUserName(char** user) {
  wchar_t name[257];
  DWORD size = 257;
  char* text = nullptr;
  if (!GetUserNameW(name, &size) || !(text = wideToNew(name))) {
    logFatal(logCatInit, "GetUserName failed (%s)\n", osErrorText(nullptr, GetLastError()));
    return -1;
  }
  *user = text;
  return 0;
}

int initPrimDescription(char* description, size_t descriptionSize, char* userAgent, size_t userAgentSize) {
  // The real version (GetVersionEx is capped by the manifest).
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto getVersion =
      ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
  if (!getVersion || getVersion(&v) != 0) {
    v.dwMajorVersion = 0;
    v.dwMinorVersion = 0;
    v.dwBuildNumber = 0;
  }
  SYSTEM_INFO si;
  GetNativeSystemInfo(&si);
  MEMORYSTATUSEX ms = {};
  ms.dwLength = sizeof ms;
  GlobalMemoryStatusEx(&ms);
  const char* arch = architectureName(si.wProcessorArchitecture);
  snprintf(description, descriptionSize, "windows=v%u.%u build=%u kernel=%s processors=%u ram=%" PRIu64 "MB",
           (unsigned)v.dwMajorVersion, (unsigned)v.dwMinorVersion, (unsigned)v.dwBuildNumber, arch,
           (unsigned)si.dwNumberOfProcessors, ((uint64_t)ms.ullTotalPhys + 1047552) / 1048576);
  snprintf(userAgent, userAgentSize, "%s/%s (Windows;%u.%u;%s)", "QZR", releaseVersion, (unsigned)v.dwMajorVersion,
           (unsigned)v.dwMinorVersion, arch);
  return 0;
}

int initPrimHostNames(char** host, char** fqdn) {
  wchar_t name[256];
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, name, &size)) {
    size = 256;
    if (!GetComputerNameExW(ComputerNamePhysicalNetBIOS, name, &size)) {
      logFatal(logCatInit, "GetComputerNameEx failed (%s)\n", osErrorText(nullptr, GetLastError()));
      return -1;
    }
  }
  *host = wideToNew(name);
  size = 256;
  if (GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, name, &size)) {
    *fqdn = wideToNew(name);
  } else {
    logDebug(logCatInit, "GetComputerNameEx failed (%s) to get DnsFullyQualified\n",
             osErrorText(nullptr, GetLastError()));
  }
  return *host ? 0 : -1;
}

bool initPrimMemoryCounters(char* text, size_t size) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  if (!process) return false;
  PROCESS_MEMORY_COUNTERS c = {};
  c.cb = sizeof c;
  bool ok = GetProcessMemoryInfo(process, &c, sizeof c) != 0;
  if (ok) {
    snprintf(text, size,
             "  PageFaultCount:             %u\n"
             "  PeakWorkingSetSize:         %u KiB\n"
             "  WorkingSetSize:             %u KiB\n"
             "  QuotaPeakPagedPoolUsage:    %u KiB\n"
             "  QuotaPagedPoolUsage:        %u KiB\n"
             "  QuotaPeakNonPagedPoolUsage: %u KiB\n"
             "  QuotaNonPagedPoolUsage:     %u KiB\n"
             "  PagefileUsage:              %u KiB\n"
             "  PeakPagefileUsage:          %u KiB\n",
             (unsigned)c.PageFaultCount, (unsigned)(c.PeakWorkingSetSize / 1024), (unsigned)(c.WorkingSetSize / 1024),
             (unsigned)(c.QuotaPeakPagedPoolUsage / 1024), (unsigned)(c.QuotaPagedPoolUsage / 1024),
             (unsigned)(c.QuotaPeakNonPagedPoolUsage / 1024), (unsigned)(c.QuotaNonPagedPoolUsage / 1024),
             (unsigned)(c.PagefileUsage / 1024), (unsigned)(c.PeakPagefileUsage / 1024));
  }
  CloseHandle(process);
  return ok;
}
