// Entry of the installer builder: the library's start-up and shut-down
// around mksfxRun.
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "mksfx.h"
#include "osinit.h"

namespace {

int mksfxEntry(int wargc, const void* const* wargv) {
  memInit();
  int argc = 0;
  char** argv = nullptr;
  if (osConvertArguments(wargc, wargv, &argc, &argv) != 0) return 3;
  processType = processTypeUtilix;
  char** args = memNewArray(char*, argc + 1);
  memcpy(args, argv, sizeof(char*) * (size_t)(argc + 1));
  int count = argc;
  logInit(&count, &args);
  if (osInit(count, args) != 0) {
    osRelease();
    memExit(true);
    return 3;
  }
  int result = mksfxRun(count, args);
  memFree(args);
  logExit();
  osRelease();
  memExit(true);
  memReleaseReserve();
  return result;
}

}  // namespace

#ifdef _WIN32
#include "winentry.h"

int wmain(int argc, wchar_t** argv) {
  winEntryRestrictDllSearch();
  return mksfxEntry(argc, reinterpret_cast<const void* const*>(argv));
}
#else
int main(int argc, char** argv) { return mksfxEntry(argc, reinterpret_cast<const void* const*>(argv)); }
#endif
