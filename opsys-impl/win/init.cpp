// Windows backend only: argument conversion, OS start-up and the exit code.
#include <cstdio>

#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osinit.h"
#include "winsupport.h"

int32_t specialExitCode = 0;

namespace {
char** convertedArgs = nullptr;
volatile bool stopRequested = false;
}  // namespace

// Converts the UTF-16 arguments into one block from the local heap: the
// pointer array (count + 1, null-terminated) followed by the UTF-8 strings.
int osConvertArguments(int argc, const void* const* args, int* outArgc, char*** outArgv) {
  const wchar_t* const* in = reinterpret_cast<const wchar_t* const*>(args);
  size_t total = 0;
  for (int i = 0; i < argc; i++) {
    int n = WideCharToMultiByte(CP_UTF8, 0, in[i], -1, nullptr, 0, nullptr, nullptr);
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
  return 0;
}

int osInit(int, char**) {
  if (osDateInit() != 0) return -1;
  return 0;
}

int osExit(int result) {
  if (specialExitCode != 0) return specialExitCode;
  return result >= 140 ? 0 : result;
}

void osRelease() {
  if (convertedArgs) LocalFree(convertedArgs);
  convertedArgs = nullptr;
}

void osAbortOutOfResources() {
  logFatal(logCatInit, "Aborting process as we are out of OS resources.\n");
  ExitProcess(3);
}

uint32_t osProcessId() { return (uint32_t)GetCurrentProcessId(); }

void osResourceReport() {}

int osRequestStop(int exitCode) {
  specialExitCode = exitCode;
  stopRequested = true;
  return 0;
}

bool osStopRequested() { return stopRequested; }

void osSetStopRequested() { stopRequested = true; }
void osClearStopRequested() { stopRequested = false; }
