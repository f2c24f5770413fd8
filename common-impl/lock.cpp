// The installation lock. Creating a directory fails for all but one
// creator, which makes it a lock between processes (and machines sharing
// the install directory).
#include "lock.h"

#include <atomic>
#include <cstdlib>

#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "osenv.h"
#include "osfile.h"
#include "osinit.h"
#include "osthread.h"
#include "stringbuf.h"

namespace {

constexpr uint64_t lockStaleMs = 720000;   // a lock unchanged for 12 minutes is stale
constexpr uint64_t lockRefreshMs = 60000;  // a held lock is touched every minute
constexpr int lockWaitSeconds = 180;       // attempts, one second apart

bool lockHeld = false;
char* keeperPath = nullptr;          // the lock directory the keeper refreshes
OsWaitObject* keeperStop = nullptr;  // notified to end the keeper
std::atomic<bool> keeperRunning{false};

// Keeps a held lock fresh: sets the lock directory's modification time to
// now every minute until it is told to stop.
void lockKeeper(void*) {
  for (;;) {
    if (keeperStop && osWaitObjectWait(keeperStop, lockRefreshMs) == 0) break;
    int64_t now = (int64_t)osDateNow();
    if (osFileSetTimes(keeperPath, now, now, 0) != 0)
      logWarn(logCatLock, "Cannot refresh installation lock '%s'\n", keeperPath);
    else
      logTrace(logCatLock, "Refreshed installation lock '%s'\n", keeperPath);
  }
  keeperRunning = false;
}

void startKeeper(const char* path) {
  keeperPath = memStrDup(path);
  keeperStop = osWaitObjectCreate("lock-keeper-stop", true);
  if (!keeperStop) {
    logWarn(logCatLock, "Installation lock '%s' will not be refreshed\n", path);
    return;
  }
  keeperRunning = true;
  if (osThreadCreate("lock-keeper", lockKeeper, nullptr, &keeperStop, nullptr) != 0) {
    keeperRunning = false;
    osWaitObjectDestroy(&keeperStop);
    logWarn(logCatLock, "Installation lock '%s' will not be refreshed\n", path);
  }
}

void stopKeeper() {
  if (keeperStop) {
    osWaitObjectNotify(keeperStop);
    for (int i = 0; i < 500 && keeperRunning; i++) osSleep(10);
    osWaitObjectDestroy(&keeperStop);
  }
  memFree(keeperPath);
  keeperPath = nullptr;
}

// Number of one-second attempts; tests may shorten the wait.
int lockAttempts() {
  const char* v = osGetEnv("QZR_TEST_LOCK_ATTEMPTS");
  if (v && *v) {
    int n = atoi(v);
    if (n > 0 && n < lockWaitSeconds) return n;
  }
  return lockWaitSeconds;
}

// Removes a stale lock without taking a fresh one by mistake: the lock is
// first renamed to a name of this process's own, then its age is checked
// again; a lock that became fresh in between is put back.
int removeStaleLock(const char* path, uint64_t* ageMs) {
  StringBuffer aside;
  sbInitHere(&aside);
  sbPrintf(&aside, "%s-stale-%u", path, osProcessId());
  int rc = -1;
  if (osFileMove(path, sbGet(&aside)) == 0) {
    uint64_t mtime = 0;
    bool isDir = false;
    uint64_t now = osDateNow();
    if (osFileGetInfo(sbGet(&aside), nullptr, &mtime, nullptr, &isDir, nullptr, nullptr, nullptr) == 0 && isDir &&
        now > mtime && now - mtime > lockStaleMs) {
      *ageMs = now - mtime;
      osDirRemoveContents(sbGet(&aside), false);
      rc = osDirRemove(sbGet(&aside), nullptr);
    } else if (osFileMove(sbGet(&aside), path) != 0) {
      osDirRemoveContents(sbGet(&aside), false);
      osDirRemove(sbGet(&aside), nullptr);
    }
  }
  sbClean(&aside);
  return rc;
}

}  // namespace

int lockPath(const char* dir, char** path) {
  *path = nullptr;
  char* own = nullptr;
  if (!dir) {
    own = osGetInstallDirectory();
    if (!own) {
      logError(logCatLock, "No install directory known for the installation lock\n");
      return -1;
    }
    dir = own;
  }
  int rc = osDirJoinPath(dir, ".lock", path);
  memFree(own);
  return rc;
}

int lockObtain(const char* dir) {
  char* path = nullptr;
  if (lockPath(dir, &path) != 0) return -1;
  uint64_t mtime = 0;
  bool isDir = false;
  if (osFileGetInfo(path, nullptr, &mtime, nullptr, &isDir, nullptr, nullptr, nullptr) == 0) {
    if (!isDir) {
      logWarn(logCatLock, "The installation lock '%s' is blocked\n", path);
      memFree(path);
      return -1;
    }
    uint64_t now = osDateNow();
    uint64_t age = 0;
    if (now > mtime && now - mtime > lockStaleMs && removeStaleLock(path, &age) == 0) {
      logWarn(logCatLock, "Removed stale installation lock '%s' that is %" PRIu64 " seconds old\n", path, age / 1000);
    } else {
      logWarn(logCatLock,
              "The installation lock '%s' is taken and this program will wait %d seconds for it to disappear\n", path,
              lockWaitSeconds);
    }
  }
  // The failing attempts below collect their errors out of the log.
  logEnableErrorBuffer(5);
  const int attempts = lockAttempts();
  for (int i = 0; i < attempts; i++) {
    if (osDirCreate(path, osDirTypeLock, nullptr) == 0 && osIsDirPresent(path)) {
      memFree(logGetErrorBuffer());
      logInfo(logCatLock, "Obtained installation lock '%s'\n", path);
      lockHeld = true;
      startKeeper(path);
      memFree(path);
      return 0;
    }
    if (osStopRequested()) break;
    osSleep(1000);
  }
  memFree(logGetErrorBuffer());
  logError(logCatLock, "Failed to obtain installation lock '%s'\n", path);
  memFree(path);
  return -1;
}

int lockRelease(const char* dir) {
  if (!lockHeld) return -1;
  char* path = nullptr;
  if (lockPath(dir, &path) != 0) return -1;
  stopKeeper();
  int rc = -1;
  if (osIsFileDirectory(path)) {
    if (osDirRemove(path, nullptr) == 0) {
      logInfo(logCatLock, "Released installation lock %s\n", path);
      rc = 0;
    } else {
      logError(logCatLock, "Failed to release installation lock %s\n", path);
    }
  }
  lockHeld = false;
  memFree(path);
  return rc;
}

bool lockDetect(const char* dir) {
  if (!lockHeld) return false;
  char* path = nullptr;
  if (lockPath(dir, &path) != 0) return false;
  bool present = osIsFileDirectory(path);
  if (present) logInfo(logCatLock, "Installation lock %s detected\n", path);
  memFree(path);
  return present;
}
