// POSIX backend only: argument conversion, OS start-up and the exit code.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osinit.h"

int32_t specialExitCode = 0;

namespace {
char** convertedArgs = nullptr;
volatile bool stopRequested = false;
}  // namespace

// On POSIX the arguments are already UTF-8: the block holds the pointer
// array followed by copies of the strings, like the Windows conversion.
int osConvertArguments(int argc, const void* const* args, int* outArgc, char*** outArgv) {
  const char* const* in = reinterpret_cast<const char* const*>(args);
  size_t total = 0;
  for (int i = 0; i < argc; i++) total += strlen(in[i]) + 1;
  char** block = static_cast<char**>(malloc(sizeof(char*) * (size_t)(argc + 1) + total));
  if (!block) return -1;
  char* p = reinterpret_cast<char*>(block + argc + 1);
  for (int i = 0; i < argc; i++) {
    size_t n = strlen(in[i]) + 1;
    memcpy(p, in[i], n);
    block[i] = p;
    p += n;
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
  free(convertedArgs);
  convertedArgs = nullptr;
}

void osAbortOutOfResources() {
  static const char msg[] = "Aborting process as we are out of OS resources.\n";
  logFatal(logCatInit, "%s", msg);
  _exit(3);
}

uint32_t osProcessId() { return (uint32_t)getpid(); }

void osResourceReport() {}

int osRequestStop(int exitCode) {
  specialExitCode = exitCode;
  stopRequested = true;
  return 0;
}

bool osStopRequested() { return stopRequested; }

void osSetStopRequested() { stopRequested = true; }
void osClearStopRequested() { stopRequested = false; }
