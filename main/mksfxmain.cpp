// Entry of the installer builder: the library's start-up and shut-down
// around mksfxRun.
#include "entry.h"
#include "logging.h"
#include "mksfx.h"
#include "programentry.h"

namespace {

int mksfxEntry(int wargc, const void* const* wargv) {
  EntryArgs a;
  if (entryConvertArguments(wargc, wargv, &a) != 0) return 3;
  processType = processTypeUtilix;
  entryStartLogging(&a);
  if (entryStartOs(&a) != 0) return 3;
  const int result = mksfxRun(a.count, a.args);
  entryShutDown(&a);
  return result;
}

}  // namespace

SFX_PROGRAM_ENTRY(mksfxEntry)
