// Thread layer shared by both backends: thread records in thread-local
// storage, the thread and wait-object maps, stopping and joining, named
// mutexes and wait objects, the interruptible sleep. The backends supply
// the primitives of threadprim.h.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "oserror.h"
#include "osinit.h"
#include "ostest.h"
#include "osthread.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "threadprim.h"

struct OsMutex {
  PrimLock lock;     // the recursive lock
  char name[80];     // at most 79 characters of the name
  bool suppressing;  // raises the holder's logging suppression depth
  bool plain;        // allocated with the C runtime ("memory.mc")
};

struct OsWaitObject {
  PrimEvent* event;  // the OS event
  char name[40];     // unique name, at most 39 characters
};

namespace {

// Per-thread record; "Main" is static, the others belong to their thread
// until it self-joins or to the stopper that joins it.
struct ThreadRecord {
  char* name;                         // "<name> #<serial hex>"; null for Main
  uintptr_t handle;                   // OS thread handle
  OsThreadFunction function;          // what the thread runs
  void* argument;                     // argument of function and stopFunction
  OsThreadStopFunction stopFunction;  // asks the thread to stop, or null
  OsWaitObject** stopWaitObject;      // holder notified to stop it, or null
  uint32_t scratchSize;               // size of scratch
  char* scratch;                      // per-thread scratch buffer
  uint8_t flag;                       // free per-thread flag
  int32_t suppressDepth;              // logging suppression depth
  uint32_t errorMode;                 // error-buffer mode 0..5
  StringBuffer errorBuffer;           // the error buffer
  uint32_t recordBufferOn;            // 4 when recordBuffer may be used
  StringBuffer recordBuffer;          // log records are formatted here
  uint64_t serial;                    // creation serial, from 1
  bool buffersReady;                  // both buffers initialised
  bool joinFailed;                    // a join gave up on it: leave it alone
};

constexpr uint32_t threadStackSize = 0x40000;
constexpr uint32_t recordBufferEnabled = 4;
constexpr uint64_t waitForever = UINT64_MAX;

ThreadRecord mainRecord;  // zeroed; its record buffer is switched on when bound
thread_local ThreadRecord* currentRecord = nullptr;
std::atomic<bool> mainBound{false};
std::atomic<int32_t> sharedSuppressDepth{0};

bool initialised = false;
std::atomic<bool> threadsExist{false};
std::atomic<int32_t> threadCount{0};
uint64_t serialCounter = 0;
OsMutex* threadsMutex = nullptr;
SortMap* threadMap = nullptr;
OsMutex* waitObjectsMutex = nullptr;
SortMap* waitObjectMap = nullptr;
OsWaitObject* sleepWaitObject = nullptr;

// The calling thread's record. The first thread to ask when no thread has
// bound "Main" yet is the main thread.
ThreadRecord* record() {
  ThreadRecord* r = currentRecord;
  if (r) return r;
  if (!mainBound.load(std::memory_order_acquire)) {
    bool expected = false;
    if (mainBound.compare_exchange_strong(expected, true)) {
      mainRecord.recordBufferOn = recordBufferEnabled;
      currentRecord = &mainRecord;
      return &mainRecord;
    }
  }
  return nullptr;
}

// Static initialisation runs on the main thread: bind "Main" there, so a
// helper thread that happens to use the layer first cannot take it.
[[maybe_unused]] const bool mainBoundAtStart = record() != nullptr;

void readyBuffers(ThreadRecord* r) {
  if (r->buffersReady) return;
  sbInitHere(&r->errorBuffer);
  sbInitHere(&r->recordBuffer);
  r->buffersReady = true;
}

// Releases a record's buffers, scratch and (unless it is Main) the record.
void freeRecord(ThreadRecord* r) {
  memFree(r->scratch);
  r->scratch = nullptr;
  r->scratchSize = 0;
  r->errorMode = 0;
  r->recordBufferOn = 0;
  if (r->buffersReady) {
    sbClean(&r->errorBuffer);
    sbClean(&r->recordBuffer);
    r->buffersReady = false;
  }
  if (r == &mainRecord) return;
  memFree(r->name);
  memFree(r);
}

// Where a new thread starts: binds its record, runs the function, then
// removes itself unless a stop is pending (then the stopper joins it).
void threadEntry(void* argument) {
  ThreadRecord* r = static_cast<ThreadRecord*>(argument);
  currentRecord = r;
  logTrace(logCatThread, "Starting thread\n");
  r->function(r->argument);
  logTrace(logCatThread, "Stopping thread\n");
  bool removed = false;
  osThreadLockMutex(threadsMutex);
  if (!osStopRequested() && threadMap) {
    if (smGet(threadMap, r->name) == r && smDetach(threadMap, r->name) == 0) {
      removed = true;
      int32_t count = --threadCount;
      logDebug(logCatThread, "Thread %s handle %p self-joined; threadcount=%d sm=%zu\n", r->name, (void*)r->handle,
               count, (size_t)smCount(threadMap));
    }
  }
  uintptr_t handle = r->handle;
  osThreadUnlockMutex(threadsMutex);
  if (removed) {
    currentRecord = nullptr;
    freeRecord(r);
    primThreadReleaseSelf(handle);
  }
}

bool isLoggingThread(const char* name) { return strncmp(name, "logging", 7) == 0; }

// Joins threads of the map until none is left to wait for (skipping the
// logging thread unless withLogging). Waits happen with the map unlocked.
int joinThreads(bool withLogging, uint64_t timeoutMs) {
  int result = 0;
  for (;;) {
    if (osThreadLockMutex(threadsMutex) != 0) return -1;
    ThreadRecord* target = nullptr;
    const char* key = nullptr;
    for (void* v = smFirst(threadMap, &key); key; v = smNext(threadMap, &key)) {
      ThreadRecord* r = static_cast<ThreadRecord*>(v);
      if (!r) {
        logError(logCatThread, "Thread %s inconsistent; skip stop\n", key);
        continue;
      }
      if (r->joinFailed || (!withLogging && isLoggingThread(key))) continue;
      target = r;
      break;
    }
    osThreadUnlockMutex(threadsMutex);
    if (!target) return result;

    logDebug(logCatThread, "Waiting for thread %s handle %p to stop\n", target->name, (void*)target->handle);
    uint32_t error = 0;
    int rc = primThreadJoin(target->handle, timeoutMs, &error);
    osThreadLockMutex(threadsMutex);
    if (rc != 0) {
      // Still running on its record: keep it, and never wait for it again.
      osErrorReport(logCatThread, error, "Waiting for thread %s failed", target->name);
      target->joinFailed = true;
      result = -1;
      osThreadUnlockMutex(threadsMutex);
      continue;
    }
    if (smDetach(threadMap, target->name) == 0) {
      int32_t count = --threadCount;
      logDebug(logCatThread, "Thread %s handle %p joined; threadcount=%d sm=%zu\n", target->name, (void*)target->handle,
               count, (size_t)smCount(threadMap));
    }
    osThreadUnlockMutex(threadsMutex);
    freeRecord(target);
  }
}

OsMutex* makeMutex(const char* name, bool suppressing) {
  // The allocator's own lock cannot come from the allocator it guards.
  bool plain = strcmp(name, "memory.mc") == 0;
  OsMutex* m = plain ? static_cast<OsMutex*>(calloc(1, sizeof(OsMutex))) : memNew(OsMutex);
  if (!m) {
    logFatal(logCatThread, "unable to allocate memory for mutex %s\n", name);
    return nullptr;
  }
  snprintf(m->name, sizeof m->name, "%s", name);
  m->suppressing = suppressing;
  m->plain = plain;
  primLockInit(&m->lock);
  logTrace(logCatThread, "Created mutex %s\n", m->name);
  return m;
}

}  // namespace

void (*osThreadLogStartPipe)() = nullptr;
void (*osThreadLogStopPipe)() = nullptr;

int osThreadInit() {
  record();
  // Main may have been reset by an earlier OS exit: log calls work again.
  mainRecord.recordBufferOn = recordBufferEnabled;
  if (!threadsMutex) threadsMutex = osThreadMakeMutex("Threads");
  if (!threadsMutex || osThreadLockMutex(threadsMutex) != 0) {
    logFatal(logCatThread, "Cannot initialize thread layer");
    return -1;
  }
  if (!threadMap) threadMap = smCreateHere(SORTMAP_COPIED_KEYS, nullptr);
  osThreadUnlockMutex(threadsMutex);
  if (!waitObjectsMutex) waitObjectsMutex = osThreadMakeMutex("WaitObjects");
  if (!waitObjectsMutex || osThreadLockMutex(waitObjectsMutex) != 0) {
    logFatal(logCatThread, "Cannot initialize thread layer");
    return -1;
  }
  if (!waitObjectMap) waitObjectMap = smCreateHere(SORTMAP_COPIED_KEYS, nullptr);
  osThreadUnlockMutex(waitObjectsMutex);
  initialised = true;
  threadsExist = false;
  return 0;
}

void osThreadExit() {
  logTrace(logCatThread, "osThreadExit>\n");
  if (waitObjectsMutex) {
    osWaitObjectDestroy(&sleepWaitObject);
    osThreadLockMutex(waitObjectsMutex);
    const char* key = nullptr;
    while (waitObjectMap && smFirst(waitObjectMap, &key) && key) {
      OsWaitObject* w = static_cast<OsWaitObject*>(smGet(waitObjectMap, key));
      logDebug(logCatThread, "Left with ThreadWaitObject %s\n", key);
      osWaitObjectDestroy(&w);
    }
    smDestroy(waitObjectMap);
    waitObjectMap = nullptr;
    osThreadUnlockMutex(waitObjectsMutex);
    osThreadDestroyMutex(waitObjectsMutex);
    waitObjectsMutex = nullptr;
  }
  smDestroy(threadMap);
  threadMap = nullptr;
  osThreadDestroyMutex(threadsMutex);
  threadsMutex = nullptr;
  memFree(mainRecord.scratch);
  mainRecord.scratch = nullptr;
  mainRecord.scratchSize = 0;
  logTrace(logCatThread, "osThreadExit<\n");
}

void osThreadReset() {
  initialised = false;
  freeRecord(&mainRecord);
}

int osThreadCreate(const char* name, OsThreadFunction function, void* argument, OsWaitObject** stopWaitObjectHolder,
                   OsThreadStopFunction stopFunction) {
  if (osThreadLogStartPipe) osThreadLogStartPipe();
  logDebug(logCatThread, "Creating thread %s\n", name);
  if (!threadsMutex) {
    logError(logCatThread, "Unable to acquire thread map mutex\n");
    return -1;
  }
  ThreadRecord* r = memNew(ThreadRecord);
  size_t nameSize = strlen(name) + 22;
  r->name = static_cast<char*>(memAlloc(nameSize));
  r->function = function;
  r->argument = argument;
  r->stopWaitObject = stopWaitObjectHolder;
  r->stopFunction = stopFunction;
  r->recordBufferOn = recordBufferEnabled;
  readyBuffers(r);

  osThreadLockMutex(threadsMutex);
  r->serial = ++serialCounter;
  snprintf(r->name, nameSize, "%s #%" PRIx64, name, r->serial);
  smInsert(threadMap, r->name, r);
  uint32_t threadId = 0;
  uint32_t error = 0;
  if (primThreadStart(threadEntry, r, threadStackSize, &r->handle, &threadId, &error) != 0) {
    osErrorReport(logCatThread, error, "CreateThread");
    smDetach(threadMap, r->name);
    osThreadUnlockMutex(threadsMutex);
    freeRecord(r);
    osAbortOutOfResources();
  }
  int32_t count = ++threadCount;
  logDebug(logCatThread, "Thread created windows ID #%x handle %p for thread %s threadcount=%d sm=%zu\n", threadId,
           (void*)r->handle, r->name, count, (size_t)smCount(threadMap));
  threadsExist = true;
  osThreadUnlockMutex(threadsMutex);
  return 0;
}

int osThreadStopAll() {
  int result = 0;
  const uint64_t timeoutMs = waitForever;  // no configured stop timeout
  if (threadCount > 0) {
    if (threadsMutex && osThreadLockMutex(threadsMutex) == 0) {
      logDebug(logCatThread, "Requesting %d threads (sm=%zu) to stop\n", (int)threadCount, (size_t)smCount(threadMap));
      const char* key = nullptr;
      for (void* v = smFirst(threadMap, &key); key; v = smNext(threadMap, &key))
        logDebug(logCatThread, "  stop thread %" PRIu64 " = %s\n", static_cast<ThreadRecord*>(v)->serial, key);
      osThreadUnlockMutex(threadsMutex);
    } else {
      logFatal(logCatThread, "Stopping but thread administration is incorrect\n");
    }
  } else {
    logDebug(logCatThread, "There are no threads to stop\n");
  }
  osSetStopRequested();

  if (threadsMutex && threadCount > 0 && osThreadLockMutex(threadsMutex) == 0) {
    osNotifySleepers();
    const char* key = nullptr;
    for (void* v = smFirst(threadMap, &key); key; v = smNext(threadMap, &key)) {
      ThreadRecord* r = static_cast<ThreadRecord*>(v);
      if (r->stopFunction) {
        logDebug(logCatThread, "Stopping thread %s via function\n", key);
        r->stopFunction(r->argument);
      }
      if (r->stopWaitObject && waitObjectsMutex) {
        osThreadLockMutex(waitObjectsMutex);
        if (*r->stopWaitObject) {
          logDebug(logCatThread, "Stopping thread %s via wait object\n", key);
          if (osWaitObjectNotify(*r->stopWaitObject) != 0) {
            logError(logCatThread, "Stop of thread %s via wait object failed\n", key);
            result = -1;
          }
        }
        osThreadUnlockMutex(waitObjectsMutex);
      }
    }
    osThreadUnlockMutex(threadsMutex);

    logDebug(logCatThread, "Waiting for all threads except logging to stop\n");
    if (joinThreads(false, timeoutMs) != 0) result = -1;
    logDebug(logCatThread, "Waiting for logging thread to stop\n");
    osThreadSuppressIncrement();
    if (osThreadLogStopPipe) osThreadLogStopPipe();
    int joined = joinThreads(true, timeoutMs);
    osThreadSuppressDecrement();
    if (joined != 0) result = -1;
    if (threadCount != 0) {
      logFatal(logCatThread, "%d threads did not stop\n", (int)threadCount);
      result = -1;
    } else {
      logDebug(logCatThread, "All threads stopped\n");
    }
    if (sleepWaitObject) osWaitObjectReset(sleepWaitObject);
  }
  osClearStopRequested();
  return result;
}

bool osThreadsExist() { return threadsExist; }
int32_t osThreadCount() { return threadCount; }

const char* osThreadCurrentName() {
  ThreadRecord* r = record();
  if (r == &mainRecord || !initialised) return processTypeNames[processType < processTypeCount ? processType : 0];
  if (r && r->name) return r->name;
  return "windows-thread";
}

void osThreadSetStopWaitObject(OsWaitObject** holder) {
  ThreadRecord* r = record();
  if (!r) return;
  r->stopWaitObject = holder;
  logTrace(logCatThread, "WaitObject %s used to stop thread\n", holder && *holder ? (*holder)->name : "<null>");
}

uint64_t osThreadSerial() {
  ThreadRecord* r = record();
  return r ? r->serial : 0;
}

int osThreadSetName(const char* name) {
  ThreadRecord* r = record();
  if (!r || r == &mainRecord || !threadsMutex) return -1;
  size_t nameSize = strlen(name) + 22;
  char* text = static_cast<char*>(memAlloc(nameSize));
  snprintf(text, nameSize, "%s #%" PRIx64, name, r->serial);
  osThreadLockMutex(threadsMutex);
  bool mapped = smGet(threadMap, r->name) == r;
  if (mapped) smDetach(threadMap, r->name);
  char* old = r->name;
  r->name = text;
  if (mapped) smInsert(threadMap, r->name, r);
  osThreadUnlockMutex(threadsMutex);
  memFree(old);
  return 0;
}

uint8_t osThreadGetFlag() {
  ThreadRecord* r = record();
  return r ? r->flag : 0;
}

void osThreadSetFlag(uint8_t flag) {
  ThreadRecord* r = record();
  if (r) r->flag = flag;
}

char* osThreadScratch(uint32_t size) {
  ThreadRecord* r = record();
  // Before the layer is up (or after it is down) the main thread gets a
  // fixed buffer, so that error texts work from the first line of main.
  static char early[1024];
  if (r == &mainRecord && !initialised) return size <= sizeof early ? early : nullptr;
  if (!r || !initialised) return nullptr;
  if (r->scratchSize < size || !r->scratch) {
    memFree(r->scratch);
    r->scratch = static_cast<char*>(memAlloc(size ? size : 1));
    r->scratchSize = size ? size : 1;
  }
  return r->scratch;
}

void osThreadSafeIncrement(uint64_t* counter, uint64_t resetValue, uint64_t limit) {
  bool locked = threadsExist && threadsMutex && osThreadLockMutex(threadsMutex) == 0;
  *counter = *counter == limit ? resetValue : *counter + 1;
  if (locked) osThreadUnlockMutex(threadsMutex);
}

int32_t osThreadSuppressIncrement() {
  ThreadRecord* r = record();
  if (!r) return ++sharedSuppressDepth;
  return ++r->suppressDepth;
}

int32_t osThreadSuppressDecrement() {
  ThreadRecord* r = record();
  if (!r) return --sharedSuppressDepth;
  return --r->suppressDepth;
}

int32_t osThreadSuppressDepth() {
  ThreadRecord* r = record();
  return r ? r->suppressDepth : sharedSuppressDepth.load();
}

uint32_t osThreadGetErrorMode() {
  ThreadRecord* r = record();
  return r ? r->errorMode : 0;
}

void osThreadSetErrorMode(uint32_t mode) {
  ThreadRecord* r = record();
  if (!r) return;
  r->errorMode = mode;
  if (mode == 0 && r->buffersReady) {
    sbClean(&r->errorBuffer);
    sbInitHere(&r->errorBuffer);
  }
}

StringBuffer* osThreadErrorBuffer() {
  ThreadRecord* r = record();
  if (!r || r->errorMode == 0) return nullptr;
  readyBuffers(r);
  return &r->errorBuffer;
}

StringBuffer* osThreadRecordBuffer() {
  ThreadRecord* r = record();
  if (!r || r->recordBufferOn == 0) return nullptr;
  readyBuffers(r);
  return &r->recordBuffer;
}

OsMutex* osThreadMakeMutex(const char* name) { return makeMutex(name, false); }
OsMutex* osMutexCreateSuppressing(const char* name) { return makeMutex(name, true); }

int osThreadLockMutex(OsMutex* mutex) {
  if (!mutex) return 0;
  if (mutex->suppressing) osThreadSuppressIncrement();
  primLockEnter(&mutex->lock);
  return 0;
}

int osThreadUnlockMutex(OsMutex* mutex) {
  if (!mutex) return 0;
  primLockLeave(&mutex->lock);
  if (mutex->suppressing) osThreadSuppressDecrement();
  return 0;
}

void osThreadDestroyMutex(OsMutex* mutex) {
  if (!mutex) return;
  logTrace(logCatThread, "Destroying mutex %s\n", mutex->name);
  primLockDestroy(&mutex->lock);
  if (mutex->plain)
    free(mutex);
  else
    memFree(mutex);
}

const char* osMutexName(const OsMutex* mutex) { return mutex ? mutex->name : ""; }

OsWaitObject* osWaitObjectCreate(const char* name, bool manualReset) {
  if (!waitObjectsMutex || !waitObjectMap) {
    logFatal(logCatThread, "Unable to acquire thread wait object mutex\n");
    return nullptr;
  }
  osThreadLockMutex(waitObjectsMutex);
  OsWaitObject* w = memNew(OsWaitObject);
  uint32_t error = 0;
  w->event = primEventCreate(manualReset, &error);
  if (!w->event) {
    osErrorReport(logCatThread, error, "CreateEventW");
    memFree(w);
    osThreadUnlockMutex(waitObjectsMutex);
    return nullptr;
  }
  snprintf(w->name, sizeof w->name, "%s", name);
  logTrace(logCatThread, "Created waitobject %s (%p)\n", w->name, (void*)w);
  if (smInsert(waitObjectMap, w->name, w) != 0) {
    logError(logCatThread, "Wait object %s does not have a unique name\n", w->name);
    primEventClose(w->event);
    memFree(w);
    w = nullptr;
  }
  osThreadUnlockMutex(waitObjectsMutex);
  return w;
}

OsWaitObject* osWaitObjectCreateAuto(const char* name) { return osWaitObjectCreate(name, false); }

int osWaitObjectDestroy(OsWaitObject** holder) {
  if (!holder || !*holder) return 0;
  OsWaitObject* w = *holder;
  if (!waitObjectsMutex) {
    logError(logCatThread, "Cannot obtain lock thread wait object mutex\n");
    return -1;
  }
  osThreadLockMutex(waitObjectsMutex);
  // Found by address, never by reading the object: a second destroy through
  // another holder points at freed memory.
  const char* key = nullptr;
  bool registered = false;
  for (void* v = waitObjectMap ? smFirst(waitObjectMap, &key) : nullptr; key; v = smNext(waitObjectMap, &key))
    if (v == w) {
      registered = true;
      break;
    }
  int result = 0;
  if (!registered) {
    char name[32];
    snprintf(name, sizeof name, "%p", (void*)w);
    logError(logCatThread, "Double destroy of %s\n", name);
    result = -1;
  } else {
    logTrace(logCatThread, "Destroy %s notification object\n", w->name);
    smDetach(waitObjectMap, w->name);
    primEventClose(w->event);
    memFree(w);
  }
  *holder = nullptr;
  osThreadUnlockMutex(waitObjectsMutex);
  return result;
}

int osWaitObjectNotify(OsWaitObject* waitObject) {
  if (!waitObject) return -1;
  uint32_t error = 0;
  if (primEventSet(waitObject->event, &error) != 0) {
    osErrorReport(logCatThread, error, "SetEvent");
    return -1;
  }
  logDebug(logCatThread, "Notified %s\n", waitObject->name);
  return 0;
}

int osWaitObjectReset(OsWaitObject* waitObject) {
  if (!waitObject) return -1;
  return primEventReset(waitObject->event);
}

int osWaitObjectWait(OsWaitObject* waitObject, uint64_t milliseconds) {
  if (!waitObject) return -1;
  if (milliseconds != 0)
    logTrace(logCatThread, "Waiting for waitobject %s with timeout %" PRIu64 " ms\n", waitObject->name, milliseconds);
  uint64_t ms = milliseconds == waitForever ? waitForever : (uint64_t)(uint32_t)milliseconds;
  uint64_t start = osDateNow();
  uint32_t error = 0;
  int rc = primEventWait(waitObject->event, ms, &error);
  uint64_t waited = osDateNow() - start;
  if (rc == 0) {
    logTrace(logCatThread, "%s notified, waited %" PRIu64 " ms\n", waitObject->name, waited);
    return 0;
  }
  if (rc > 0) {
    logDebug(logCatThread, "%s timeout, waited %" PRIu64 " ms\n", waitObject->name, waited);
    return -1;
  }
  osErrorReport(logCatThread, error, "WaitForSingleObject");
  return -1;
}

void osSleep(uint64_t milliseconds) {
  if (osTestClock()) {
    osTestClockWait((uint32_t)milliseconds);
    return;
  }
  uint64_t now = osDateNow();
  uint64_t end = now + milliseconds;
  if (initialised && !sleepWaitObject && waitObjectsMutex)
    sleepWaitObject = osWaitObjectCreate("SleepWaitObject", true);
  bool restricted = false;
  if (osStopRequested() && milliseconds > 1000) {
    end = now + 1000;
    restricted = true;
    logDebug(logCatThread, "Sleep restricted to %" PRId64 " millis by pending stop\n", (int64_t)1000);
  }
  for (now = osDateNow(); now < end; now = osDateNow()) {
    if (!restricted && osStopRequested()) return;
    uint64_t left = end - now;
    if (sleepWaitObject && !restricted) {
      uint32_t error = 0;
      if (primEventWait(sleepWaitObject->event, left, &error) == 0 && osStopRequested()) return;
      // A notification without a stop (the event stays set until reset)
      // falls back to short naps so the loop cannot spin.
      if (osDateNow() < end && !osStopRequested()) primSleep((uint32_t)(left < 250 ? left : 250));
    } else {
      primSleep((uint32_t)(left < 250 ? left : 250));
    }
  }
}

int osNotifySleepers() {
  if (!sleepWaitObject) return 0;
  return osWaitObjectNotify(sleepWaitObject);
}
