// OS start-up and shut-down shared by both backends: the order of osInit
// and osExit, stop requests, console control events and the exit code.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "build.h"
#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "osdate.h"
#include "osenv.h"
#include "osinit.h"
#include "osprocess.h"
#include "ossocket.h"
#include "osthread.h"
#include "secure.h"

int32_t specialExitCode = 0;

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<bool> shutdownInProgress{false};
std::atomic<int32_t> controlEventCount{0};
char* userName = nullptr;
char* hostName = nullptr;
char* hostNameFqdn = nullptr;
char osDescription[512];
char userAgent[512];
// Kept for the process lifetime: the environment may point into it.
char branchEntry[35];
// osInit started the socket layer, so osExit stops it (once).
bool socketStarted = false;

// The exit code the process ends with for a result: results from 140 up
// (signed) mean success.
int exitCodeFor(int result) { return result < 140 ? result : 0; }

const char* controlEventName(uint32_t event) {
  switch (event) {
    case 0:
      return "Ctrl-C";
    case 1:
      return "Break";
    case 2:
      return "Close";
    case 5:
      return "Logoff";
    case 6:
      return "Shutdown";
    default:
      return "unknown";
  }
}

}  // namespace

int osRequestStop(int exitCode) {
  if (!osThreadsExist()) initPrimExitProcess(osExit(exitCode));
  if (exitCode != 0 && exitCode != 140) {
    logDebug(logCatInit, "Set special exitcode %d\n", exitCode);
    specialExitCode = exitCode;
  }
  osSetStopRequested();
  return osNotifySleepers();
}

bool osStopRequested() { return stopRequested; }
void osSetStopRequested() { stopRequested = true; }
void osClearStopRequested() { stopRequested = false; }
bool osShutdownInProgress() { return shutdownInProgress; }

void osSetFinalExitCode(int64_t code) {
  if (code != 0) logDebug(logCatInit, "Setting final exitcode to %" PRId64 "\n", code);
  specialExitCode = (int32_t)code;
}

int osConsoleCtrlHandler(uint32_t event) {
  logDebug(logCatInit, "Control action %d received\n", (int)event);
  int32_t count = ++controlEventCount;
  if (event == 6) shutdownInProgress = true;
  const char* name = controlEventName(event);
  if (count > 1) {
    int code = specialExitCode ? specialExitCode : 1;
    logInfo(logCatInit, "Exit on %s with returncode %d", name, code);
    logFlush();
    initPrimExitProcess(exitCodeFor(code));
  }
  logInfo(logCatInit, "Received request to stop (%s)\n", name);
  logFlush();
  osRequestStop(1);
  return 1;
}

int osInit(int, char**) {
  initPrimInstallControlHandler();
  if (initPrimEpoch() != 0) return -1;
  if (!userName && initPrimUserName(&userName) != 0) return -1;
  if (osDateInit() != 0) return -1;
  initPrimDescription(osDescription, sizeof osDescription, userAgent, sizeof userAgent);
  logDebug(logCatInit, "OS = %s\n", osDescription);
  logDebug(logCatInit, "UserAgent = '%s'\n", userAgent);
  if (exeInit() != 0) return -1;
  if (!hostName && initPrimHostNames(&hostName, &hostNameFqdn) != 0) return -1;
  if (osThreadInit() != 0) return -1;
  if (osSocketInit() != 0) return -1;
  socketStarted = true;
  if (osProcessInit() != 0) return -1;
  logDebug(logCatInit, "Host %s FQDN %s\n", hostName ? hostName : "<null>", hostNameFqdn ? hostNameFqdn : "<null>");
  if (processType == processTypeSfx) {
    snprintf(branchEntry, sizeof branchEntry, "%s", releaseVersion);
    osSetEnv("QZR_BRANCH", branchEntry);
  }
  return 0;
}

int osExit(int result) {
  osProcessExit();
  osThreadStopAll();
  logFlush();
  if (socketStarted) osSocketExit();
  socketStarted = false;
  secureExit();
  osThreadExit();
  exeRelease();
  convRelease();
  memFree(hostName);
  memFree(hostNameFqdn);
  memFree(userName);
  hostName = hostNameFqdn = userName = nullptr;
  envRelease();
  if (specialExitCode != 0) {
    logDebug(logCatInit, "exit = %d\n", specialExitCode);
    return specialExitCode;
  }
  logDebug(logCatInit, "rc = %" PRId64 "\n", (int64_t)result);
  logFlush();
  return exitCodeFor(result);
}

void osAbortOutOfResources() {
  memReleaseReserve();
  logFatal(logCatInit, "Aborting process as we are out of OS resources.\n");
  osResourceReport();
  initPrimExitProcess(3);
}

void osMemoryReport(FILE* stream) {
  char text[1024];
  if (!initPrimMemoryCounters(text, sizeof text)) return;
  if (stream)
    fprintf(stream, "OS memory report\n%s", text);
  else
    logDebug(logCatEnv, "OS memory report\n%s", text);
}

void osResourceReport() {
  osMemoryReport(nullptr);
  // The handle report lists open handles by type; only its switch exists
  // on this platform layer.
  if (osGetEnv("QZR_HANDLE_CHECK")) logDebug(logCatEnv, "Handle report requested\n");
}

const char* osGetHostName(int kind) {
  switch (kind) {
    case 0:
      return hostName;
    case 1:
      return hostNameFqdn;
    case 2:
      return hostNameFqdn ? hostNameFqdn : hostName;
    default:
      return nullptr;
  }
}

const char* osGetCurrentUser() { return userName; }
const char* osGetDescription() { return osDescription; }
const char* osGetUserAgent() { return userAgent; }
