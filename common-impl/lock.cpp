// The installation lock. Creating a directory fails for all but one
// creator, which makes it a lock between processes (and machines sharing
// the install directory). The holder file inside says who holds it, so a
// lock left by a process that ended is taken over at once, and a lock is
// only ever released by its own holder.
#include "lock.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "osenv.h"
#include "oserror.h"
#include "osfile.h"
#include "osinit.h"
#include "osprocess.h"
#include "osthread.h"
#include "stringbuf.h"

namespace {

constexpr uint64_t lockStaleMs = 720000;   // a lock unchanged for 12 minutes is stale
constexpr uint64_t lockRefreshMs = 60000;  // a held lock is touched every minute
constexpr int lockWaitSeconds = 180;       // attempts, one second apart
constexpr const char* lockHolderName = "holder";
constexpr int lockHolderVersion = 1;

uint64_t systemNow() { return osDateNow(); }
void systemSleep(uint64_t ms) { osSleep(ms); }
constexpr LockClock systemClock = {.now = systemNow, .sleep = systemSleep};
const LockClock* lockClock = &systemClock;

bool lockHeld = false;
char* keeperPath = nullptr;          // the lock directory the keeper refreshes
OsWaitObject* keeperStop = nullptr;  // notified to end the keeper
std::atomic<bool> keeperRunning{false};

// Who holds a lock, as its holder file says.
struct LockHolder {
  uint32_t pid;    // process id
  uint64_t start;  // the process's start time (osProcessStartTime)
  char host[256];  // host name
};

// What a lock found on disk amounts to.
enum LockVerdict {
  lockVerdictLive,   // held by a running process, or too young to judge
  lockVerdictDead,   // its holder no longer runs on this host
  lockVerdictStale,  // no holder known here and unchanged for 12 minutes
};

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

// Tells the keeper to stop and, once it has ended, releases what it used.
// The wait is a real one: osSleep returns at once after a stop request
// (Ctrl-C), and the keeper may still be waking inside its wait on
// keeperStop. A keeper that does not end within 5 seconds keeps both.
void stopKeeper() {
  if (keeperStop) {
    osWaitObjectNotify(keeperStop);
    // A wait on a signal nobody gives is a pause no stop request cuts short.
    OsWaitObject* pause = keeperRunning ? osWaitObjectCreateAuto("lock-keeper-pause") : nullptr;
    for (int i = 0; i < 500 && keeperRunning; i++) {
      if (pause)
        osWaitObjectWait(pause, 10);
      else
        osSleep(10);
    }
    osWaitObjectDestroy(&pause);
    if (keeperRunning) {
      logWarn(logCatLock, "The refresher of installation lock '%s' did not end\n", keeperPath);
      return;
    }
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

// This process as a holder.
int lockSelf(LockHolder* self) {
  memset(self, 0, sizeof *self);
  self->pid = osProcessId();
  if (osProcessStartTime(self->pid, &self->start) != 0) self->start = 0;
  const char* host = osGetHostName(0);
  snprintf(self->host, sizeof self->host, "%s", host && *host ? host : "unknown");
  return 0;
}

// "<lock><sep><name>" as a new block, or null.
char* lockFile(const char* lock, const char* name) {
  char* out = nullptr;
  return osFileJoinPath(lock, name, &out) == 0 ? out : nullptr;
}

// Reads the holder file of the lock directory. -1 when there is none or
// it is not one this program understands.
int lockReadHolder(const char* lock, LockHolder* holder) {
  memset(holder, 0, sizeof *holder);
  char* file = lockFile(lock, lockHolderName);
  if (!file || !osFileIsPresent(file)) {
    memFree(file);
    return -1;
  }
  StringBuffer text;
  sbInitHere(&text);
  int rc = -1;
  int version = 0;
  unsigned long long start = 0;
  if (sbAppendFile(&text, file) == 0 &&
      sscanf(sbGet(&text), "%d %" SCNu32 " %llu %255s", &version, &holder->pid, &start, holder->host) == 4 &&
      version == lockHolderVersion) {
    holder->start = start;
    rc = 0;
  }
  sbClean(&text);
  memFree(file);
  return rc;
}

bool lockSameHolder(const LockHolder* a, const LockHolder* b) {
  return a->pid == b->pid && a->start == b->start && strcmp(a->host, b->host) == 0;
}

// Opens the lock directory (or a staging one) at `lock` as a handle: its
// parent by path, the directory itself without following a link, so that
// the steps on the names inside it stay there whatever is put at its name
// meanwhile. Null (logged) when it cannot be opened.
OsDirHandle* lockOpenDir(const char* lock) {
  char* parent = nullptr;
  OsDirHandle* above = nullptr;
  OsDirHandle* dir = nullptr;
  const char* leaf = nullptr;
  osPathSplit(lock, nullptr, nullptr, &leaf, nullptr, nullptr, nullptr);
  if (leaf && *leaf && osDirCopyParentDirectory(lock, &parent) == 0 && parent && osDirHandleOpen(parent, &above) == 0 &&
      osDirHandleOpenBelow(above, leaf, &dir) != 0)
    dir = nullptr;
  osDirHandleClose(above);
  memFree(parent);
  return dir;
}

// Writes this process's holder file into the open lock directory under a
// name of its own, then moves it to "holder" without replacing one: of two
// processes claiming one lock only one succeeds. 0 when the lock is ours.
// A lock taken over may hold anything at that name: a file (left by an
// earlier process of the same id) is removed; anything else, a link above
// all, is left alone and the claim fails, since on some systems removing a
// link removes what it leads to. The file is created new, so nothing is
// ever written through a name.
int lockWriteHolderIn(const OsDirHandle* dir, const LockHolder* self) {
  char own[64];
  snprintf(own, sizeof own, "%s-%u.tmp", lockHolderName, self->pid);
  char line[400];
  const int len = snprintf(line, sizeof line, "%d %u %llu %s\n", lockHolderVersion, self->pid,
                           (unsigned long long)self->start, self->host);
  const int kind = osDirHandleKindOf(dir, own);
  if (kind >= 0 && (kind != osDirEntryFile || osDirHandleDelete(dir, own) != 0)) return -1;
  bool taken = false;
  IoStream* out = osDirHandleCreateFile(dir, own, osFileTypePlain, &taken);
  if (!out) return -1;
  uint32_t written = 0;
  int rc = iosWrite(out, line, (uint32_t)len, &written) == 0 && written == (uint32_t)len ? 0 : -1;
  if (iosClose(out) != 0) rc = -1;
  if (rc == 0) rc = osDirHandleMove(dir, own, lockHolderName, nullptr);
  if (rc != 0) osDirHandleDelete(dir, own);
  return rc;
}

// As lockWriteHolderIn, for the lock directory at `lock`.
int lockWriteHolder(const char* lock, const LockHolder* self) {
  OsDirHandle* dir = lockOpenDir(lock);
  const int rc = dir ? lockWriteHolderIn(dir, self) : -1;
  osDirHandleClose(dir);
  return rc;
}

// Finds the claim file ("holder-<pid>.old" or ".tmp") a taker leaves while
// it takes a lock over; its id goes to *context.
int lockFindTaker(const char*, const char* name, int, void* context) {
  unsigned pid = 0;
  char tail[8] = {0};
  if (sscanf(name, "holder-%u.%7s", &pid, tail) == 2 && (strcmp(tail, "old") == 0 || strcmp(tail, "tmp") == 0))
    *static_cast<uint32_t*>(context) = pid;
  return 0;
}

// Judges an existing lock directory: by its holder when the holder was on
// this host, else by its age. *holder is filled when known.
LockVerdict lockJudge(const char* lock, uint64_t mtime, const LockHolder* self, LockHolder* holder, bool* hasHolder,
                      uint64_t* ageMs) {
  const uint64_t now = lockClock->now();
  *ageMs = now > mtime ? now - mtime : 0;
  *hasHolder = lockReadHolder(lock, holder) == 0;
  if (*hasHolder && strcmp(holder->host, self->host) == 0) {
    uint64_t start = 0;
    const int running = osProcessStartTime(holder->pid, &start);
    if (running == 1 || (running == 0 && holder->start != 0 && start != holder->start)) return lockVerdictDead;
    // A holder whose start time was not known may be another process that
    // got its id since: only the age tells.
    if (running == 0 && holder->start != 0) return lockVerdictLive;
  } else if (!*hasHolder) {
    // A takeover the taker did not finish: judged by the taker.
    uint32_t taker = 0;
    osDirEnumerateEntries(lock, lockFindTaker, &taker, osDirEntryFile, osDirFlagHidden);
    uint64_t start = 0;
    if (taker && taker != self->pid && osProcessStartTime(taker, &start) == 1) {
      memset(holder, 0, sizeof *holder);
      holder->pid = taker;
      snprintf(holder->host, sizeof holder->host, "%s", self->host);
      return lockVerdictDead;
    }
  }
  return *ageMs > lockStaleMs ? lockVerdictStale : lockVerdictLive;
}

// Takes over a lock directory whose holder is gone: the old holder file is
// first moved to a name of this process's own (only one claimer can do
// that), then this process's holder file is put in. The directory and what
// else is in it stay, so the work its earlier holder left can be finished
// or undone.
int lockTakeOver(const char* lock, const LockHolder* self, bool hasHolder) {
  OsDirHandle* dir = lockOpenDir(lock);
  if (!dir) return -1;
  char gone[64];
  snprintf(gone, sizeof gone, "%s-%u.old", lockHolderName, self->pid);
  if (hasHolder && osDirHandleMove(dir, lockHolderName, gone, nullptr) != 0) {
    osDirHandleClose(dir);
    return -1;
  }
  const int rc = lockWriteHolderIn(dir, self);
  if (hasHolder) osDirHandleDelete(dir, gone);
  if (rc == 0) {
    const int64_t now = (int64_t)lockClock->now();
    IoStream* s = osDirHandleStream(dir);
    if (s) {
      osFileStreamSetTimes(s, now, now, 0);
      iosClose(s);
    }
  }
  osDirHandleClose(dir);
  return rc;
}

// Deletes a holder file, or one a claim left half-way (holder-<pid>.tmp or
// .old), found in a lock directory.
int lockDropHolderFile(const char* dir, const char* name, int, void*) {
  if (strncmp(name, lockHolderName, strlen(lockHolderName)) != 0) return 0;
  char* file = lockFile(dir, name);
  if (file) osFileDeleteEx(file, nullptr, 0);
  memFree(file);
  return 0;
}

// Removes a staging directory: its holder files, then the directory.
void lockDropStage(const char* stage) {
  if (osDirIsLink(stage)) return;
  osDirEnumerateEntries(stage, lockDropHolderFile, nullptr, osDirEntryFile, osDirFlagHidden);
  osDirRemove(stage, nullptr);
}

// A new lock directory, with this process as its holder. It is made under
// a name of this process's own with the holder file in it and then renamed
// to the lock's name, so that no lock is ever seen without its holder (a
// crash in between leaves only the staging directory, which a later run
// sweeps). 1 when something already is at the lock path, 0 when the lock
// was made, -1 when it cannot be made (the system's reason is logged).
int lockCreate(const char* lock, const LockHolder* self) {
  StringBuffer stage;
  sbInitHere(&stage);
  sbPrintf(&stage, "%s.%u.new", lock, self->pid);
  lockDropStage(sbGet(&stage));
  int rc = 1;
  if (osDirCreate(sbGet(&stage), osDirTypeLock, nullptr) != 0) {
    const uint32_t err = osErrorLast();
    memFree(logGetErrorBuffer());
    logError(logCatLock, "Cannot create installation lock '%s': %s\n", lock, osErrorText(nullptr, err));
    rc = -1;
  } else if (lockWriteHolder(sbGet(&stage), self) != 0) {
    const uint32_t err = osErrorLast();
    memFree(logGetErrorBuffer());
    logError(logCatLock, "Cannot create installation lock '%s': %s\n", lock, osErrorText(nullptr, err));
    lockDropStage(sbGet(&stage));
    rc = -1;
  } else if (osFileMoveNoReplace(sbGet(&stage), lock) == 0) {
    rc = 0;
  } else {
    lockDropStage(sbGet(&stage));
  }
  sbClean(&stage);
  return rc;
}

// Staging directories that ended processes left next to the lock.
int lockSweepOne(const char* dir, const char* name, int, void* context) {
  const LockHolder* self = static_cast<const LockHolder*>(context);
  unsigned pid = 0;
  char tail[8] = {0};
  uint64_t start = 0;
  if (sscanf(name, ".lock.%u.%7s", &pid, tail) != 2 || (strcmp(tail, "new") != 0 && strcmp(tail, "gone") != 0) ||
      pid == self->pid || osProcessStartTime(pid, &start) != 1)
    return 0;
  char* stage = lockFile(dir, name);
  if (stage) lockDropStage(stage);
  memFree(stage);
  return 0;
}

// One look at the lock path. 0 taken, 1 wait, -1 give up.
int lockAttempt(const char* path, const LockHolder* self, bool* warned) {
  uint64_t mtime = 0;
  bool isDir = false;
  if (osFileGetInfo(path, nullptr, &mtime, nullptr, &isDir, nullptr, nullptr, nullptr) != 0 && !osDirIsLink(path))
    return lockCreate(path, self);
  // Only a plain directory is a lock; a link is never entered, even one
  // pointing at a directory.
  if (!isDir || osDirIsLink(path)) {
    memFree(logGetErrorBuffer());
    logWarn(logCatLock, "The installation lock '%s' is blocked\n", path);
    return -1;
  }
  LockHolder holder;
  bool hasHolder = false;
  uint64_t age = 0;
  const LockVerdict verdict = lockJudge(path, mtime, self, &holder, &hasHolder, &age);
  const bool taken = verdict != lockVerdictLive && lockTakeOver(path, self, hasHolder) == 0;
  memFree(logGetErrorBuffer());
  if (taken) {
    if (verdict == lockVerdictDead)
      logWarn(logCatLock, "Took over installation lock '%s' of process %u on %s, which no longer runs\n", path,
              holder.pid, holder.host);
    else
      logWarn(logCatLock, "Removed stale installation lock '%s' that is %" PRIu64 " seconds old\n", path, age / 1000);
    return 0;
  }
  if (!*warned) {
    logWarn(logCatLock,
            "The installation lock '%s' is taken and this program will wait %d seconds for it to disappear\n", path,
            lockWaitSeconds);
    *warned = true;
  }
  return 1;
}

}  // namespace

void lockSetClock(const LockClock* clock) { lockClock = clock ? clock : &systemClock; }

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
  LockHolder self;
  lockSelf(&self);
  const int attempts = lockAttempts();
  bool warned = false;
  int rc = 1;
  for (int i = 0; i < attempts && rc == 1; i++) {
    // The failing calls of an attempt collect their errors out of the log.
    logEnableErrorBuffer(5);
    rc = lockAttempt(path, &self, &warned);
    if (rc == 1) {
      if (osStopRequested()) break;
      lockClock->sleep(1000);
    }
  }
  memFree(logGetErrorBuffer());
  if (rc == 0) {
    char* dirOfLock = nullptr;
    if (osDirCopyParentDirectory(path, &dirOfLock) == 0 && dirOfLock)
      osDirEnumerateEntries(dirOfLock, lockSweepOne, &self, osDirEntryDirectory, osDirFlagHidden);
    memFree(dirOfLock);
    logInfo(logCatLock, "Obtained installation lock '%s'\n", path);
    lockHeld = true;
    startKeeper(path);
  } else if (rc == 1) {
    logError(logCatLock, "Failed to obtain installation lock '%s'\n", path);
  }
  memFree(path);
  return rc == 0 ? 0 : -1;
}

// Counts the entries of a lock directory that are not holder files.
static int lockCountOther(const char*, const char* name, int, void* context) {
  if (strncmp(name, lockHolderName, strlen(lockHolderName)) != 0) ++*static_cast<int*>(context);
  return 0;
}

// Removes the lock directory with its holder file. A directory that still
// holds other files (an unfinished journal) is left with this process as
// its holder, which the next run finds gone and takes over.
static int lockRemove(const char* path, const LockHolder* self) {
  int others = 0;
  osDirEnumerateEntries(path, lockCountOther, &others, osDirEntryAny, osDirFlagHidden);
  if (others > 0) return -1;
  // Renamed away first, holder and all, so that a crash part-way never
  // leaves a lock without its holder; the renamed one is swept.
  StringBuffer gone;
  sbInitHere(&gone);
  sbPrintf(&gone, "%s.%u.gone", path, self->pid);
  const int rc = osFileMoveNoReplace(path, sbGet(&gone));
  if (rc == 0) lockDropStage(sbGet(&gone));
  sbClean(&gone);
  return rc;
}

int lockRelease(const char* dir) {
  if (!lockHeld) return -1;
  char* path = nullptr;
  if (lockPath(dir, &path) != 0) return -1;
  stopKeeper();
  lockHeld = false;
  int rc = -1;
  LockHolder self, holder;
  lockSelf(&self);
  if (!osIsFileDirectory(path) || osDirIsLink(path)) {
    // Gone, or replaced by something that is no lock: nothing of ours.
  } else if (lockReadHolder(path, &holder) != 0 || !lockSameHolder(&self, &holder)) {
    logError(logCatLock, "Installation lock %s is no longer held by this process and is left in place\n", path);
  } else if (lockRemove(path, &self) == 0) {
    logInfo(logCatLock, "Released installation lock %s\n", path);
    rc = 0;
  } else {
    logError(logCatLock, "Failed to release installation lock %s\n", path);
  }
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
