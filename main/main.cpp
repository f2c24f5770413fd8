// Program entry: brings the layers up in a fixed order, answers the version
// queries, runs the self-extractor and takes the layers down again.
#include <cstring>

#include "build.h"
#include "logging.h"
#include "memory.h"
#include "osinit.h"
#include "parameters.h"
#include "secure.h"
#include "sfx.h"
#include "strutil.h"

namespace {

enum Query { queryNone, queryVersion, querySecureVersion };

// The whole program between the converted arguments and the exit code.
int sfxEntry(int wargc, const void* const* wargv) {
  memInit();
  int argc = 0;
  char** argv = nullptr;
  if (osConvertArguments(wargc, wargv, &argc, &argv) != 0) return 3;

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

  // Logging removes its options from the vector: work on a copy.
  char** args = memNewArray(char*, argc + 1);
  memcpy(args, argv, sizeof(char*) * (size_t)(argc + 1));
  int count = argc;
  logInit(&count, &args);
  if (logGate(logCatMain, logLevelDebug)) osResourceReport();
  parInit();
  if (osInit(count, args) != 0) {
    osRelease();
    memExit(true);
    return 3;
  }

  int result = 0;
  if (query != queryNone) {
    logInfo(logCatMain, "Build: %s\nCompiled on: %s\n", buildId, buildDate);
    if (query == queryVersion) {
      if (secureBind(0) == 0) secureUsage(1);
    } else if (secureBind(1) != 0) {
      result = 3;
    } else {
      secureUsage(1);
      logInfo(logCatMain, "Secure: OK\n");
    }
  } else {
    logConnectSocket();
    result = osExit(sfxRun(count, args));
  }

  memFree(args);
  parExit();
  if (processType == 1 || processType == 3) {
    if (result == 141)
      logInfo(logCatMain, "exit with intention to restart\n");
    else
      logInfo(logCatMain, "exit %d\n", result);
  } else {
    logDebug(logCatMain, "exit %d\n", result);
  }
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
  return sfxEntry(argc, reinterpret_cast<const void* const*>(argv));
}
#else
int main(int argc, char** argv) { return sfxEntry(argc, reinterpret_cast<const void* const*>(argv)); }
#endif
