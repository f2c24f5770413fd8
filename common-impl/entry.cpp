// Start-up and shut-down shared by the programs' entry functions.
#include "entry.h"

#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osinit.h"

int entryConvertArguments(int wargc, const void* const* wargv, EntryArgs* a) {
  memInit();
  *a = {};
  return osConvertArguments(wargc, wargv, &a->argc, &a->argv) == 0 ? 0 : -1;
}

void entryStartLogging(EntryArgs* a) {
  a->args = memNewArray(char*, a->argc + 1);
  memcpy(a->args, a->argv, sizeof(char*) * (size_t)(a->argc + 1));
  a->count = a->argc;
  logInit(&a->count, &a->args);
}

int entryStartOs(EntryArgs* a) {
  if (osInit(a->count, a->args) == 0) return 0;
  osRelease();
  memExit(true);
  return -1;
}

void entryShutDown(EntryArgs* a) {
  memFree(a->args);
  a->args = nullptr;
  logExit();
  osRelease();
  memExit(true);
  memReleaseReserve();
}
