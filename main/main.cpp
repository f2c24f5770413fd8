// Program entry: brings the layers up in a fixed order, answers the version
// queries, runs the self-extractor and takes the layers down again.

#include "build.h"
#include "entry.h"
#include "logging.h"
#include "osinit.h"
#include "parameters.h"
#include "programentry.h"
#include "secure.h"
#include "sfx.h"
#include "strutil.h"

namespace {

enum Query { queryNone, queryVersion, querySecureVersion };

// The whole program between the converted arguments and the exit code.
int sfxEntry(int wargc, const void* const* wargv) {
  EntryArgs a;
  if (entryConvertArguments(wargc, wargv, &a) != 0) return 3;
  const int argc = a.argc;
  char** argv = a.argv;

  Query query = queryNone;
  if (argc == 2) {
    if (strCaseEquals(argv[1], "-v"))
      query = queryVersion;
    else if (strCaseEquals(argv[1], "--secureversion"))
      query = querySecureVersion;
    if (query != queryNone) {
      processType = processTypeUtilix;
      logSetLogFile("stderr");
    }
  }

  entryStartLogging(&a);
  if (logGate(logCatMain, logLevelDebug)) osResourceReport();
  parInit();
  if (entryStartOs(&a) != 0) return 3;

  int result = 0;
  if (query != queryNone) {
    logInfo(logCatMain, "Build: %s\nCompiled on: %s\n", buildId, buildDate);
    if (query == queryVersion) {
      if (secureBind(secureBindQuiet) == 0) secureUsage(1);
    } else if (secureBind(secureBindReport) != 0) {
      result = 3;
    } else {
      secureUsage(1);
      logInfo(logCatMain, "Secure: OK\n");
    }
  } else {
    logConnectSocket();
    result = osExit(sfxRun(a.count, a.args));
  }

  parExit();
  if (processType == 1 || processType == 3) {
    if (result == 141)
      logInfo(logCatMain, "exit with intention to restart\n");
    else
      logInfo(logCatMain, "exit %d\n", result);
  } else {
    logDebug(logCatMain, "exit %d\n", result);
  }
  entryShutDown(&a);
  return result;
}

}  // namespace

SFX_PROGRAM_ENTRY(sfxEntry)
