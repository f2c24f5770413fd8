// Fuzz target for the level syntax: any text must parse without fault, leave every category at a valid level 0..8
// (never 5), and give a normalised setting that parses to the same table again.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osdate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    memInit();
    osDateInit();
    logSetEnabled(false);  // warnings for unrecognised elements would flood the output
    return true;
  }();
  (void)ready;
  if (size > 4096) return 0;
  char* levels = static_cast<char*>(memAlloc(size + 1));
  memcpy(levels, data, size);
  levels[size] = 0;
  // "help" prints the whole category list to stderr: keep runs quiet.
  for (size_t i = 0; i < size; i++)
    if (levels[i] == 'h' || levels[i] == 'H') levels[i] = 'x';
  logParseLevels(levels);
  uint32_t first[logCatCount];
  for (uint32_t i = 0; i < logCatCount; i++) {
    if (logLevels[i] > logLevelTrace || logLevels[i] == logLevelInfo2) abort();
    first[i] = logLevels[i];
  }
  const char* normal = logGetLevelSpec();
  if (!normal || !*normal) abort();
  char* again = memStrDup(normal);
  logParseLevels(again);
  for (uint32_t i = 0; i < logCatCount; i++)
    if (logLevels[i] != first[i]) abort();
  memFree(again);
  memFree(levels);
  return 0;
}
