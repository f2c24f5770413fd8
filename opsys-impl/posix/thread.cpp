// POSIX backend only: thread primitives on pthreads (recursive mutexes,
// events as a mutex with a condition on the monotonic clock, joinable
// threads).
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "memory.h"
#include "threadprim.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(PrimLock::bytes), "PrimLock too small for pthread_mutex_t");
static_assert(alignof(pthread_mutex_t) <= 16, "PrimLock alignment");
static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "pthread_t must fit a handle");

struct PrimEvent {
  pthread_mutex_t mutex;  // guards signalled
  pthread_cond_t cond;    // waiters sleep here (monotonic clock)
  bool manualReset;       // stays signalled until reset
  bool signalled;         // current state
};

namespace {

pthread_mutex_t* asMutex(PrimLock* lock) { return reinterpret_cast<pthread_mutex_t*>(lock->bytes); }

// What a started thread runs: the layer's entry and its argument.
struct StartBlock {
  PrimThreadEntry entry;
  void* argument;
};

void* trampoline(void* p) {
  StartBlock block = *static_cast<StartBlock*>(p);
  memFree(p);
  block.entry(block.argument);
  return nullptr;
}

// Absolute monotonic deadline milliseconds from now.
timespec deadlineAfter(uint64_t milliseconds) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ns = (uint64_t)ts.tv_nsec + (milliseconds % 1000) * 1000000u;
  ts.tv_sec += (time_t)(milliseconds / 1000 + ns / 1000000000u);
  ts.tv_nsec = (long)(ns % 1000000000u);
  return ts;
}

}  // namespace

void primLockInit(PrimLock* lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(asMutex(lock), &attr);
  pthread_mutexattr_destroy(&attr);
}

void primLockDestroy(PrimLock* lock) { pthread_mutex_destroy(asMutex(lock)); }
void primLockEnter(PrimLock* lock) { pthread_mutex_lock(asMutex(lock)); }
void primLockLeave(PrimLock* lock) { pthread_mutex_unlock(asMutex(lock)); }

PrimEvent* primEventCreate(bool manualReset, uint32_t* error) {
  PrimEvent* e = memNew(PrimEvent);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  int rc = pthread_cond_init(&e->cond, &attr);
  pthread_condattr_destroy(&attr);
  if (rc != 0) {
    *error = (uint32_t)rc;
    memFree(e);
    return nullptr;
  }
  pthread_mutex_init(&e->mutex, nullptr);
  e->manualReset = manualReset;
  return e;
}

void primEventClose(PrimEvent* event) {
  if (!event) return;
  pthread_cond_destroy(&event->cond);
  pthread_mutex_destroy(&event->mutex);
  memFree(event);
}

int primEventSet(PrimEvent* event, uint32_t*) {
  pthread_mutex_lock(&event->mutex);
  event->signalled = true;
  if (event->manualReset)
    pthread_cond_broadcast(&event->cond);
  else
    pthread_cond_signal(&event->cond);
  pthread_mutex_unlock(&event->mutex);
  return 0;
}

int primEventReset(PrimEvent* event) {
  pthread_mutex_lock(&event->mutex);
  event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return 0;
}

int primEventWait(PrimEvent* event, uint64_t milliseconds, uint32_t* error) {
  bool forever = milliseconds == UINT64_MAX;
  timespec deadline = forever ? timespec{} : deadlineAfter(milliseconds);
  int result = 0;
  pthread_mutex_lock(&event->mutex);
  while (!event->signalled) {
    int rc = forever ? pthread_cond_wait(&event->cond, &event->mutex)
                     : pthread_cond_timedwait(&event->cond, &event->mutex, &deadline);
    if (rc == ETIMEDOUT) {
      result = 1;
      break;
    }
    if (rc != 0) {
      *error = (uint32_t)rc;
      result = -1;
      break;
    }
  }
  if (result == 0 && !event->manualReset) event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return result;
}

int primThreadStart(PrimThreadEntry entry, void* argument, uint32_t stackSize, uintptr_t* handle, uint32_t* threadId,
                    uint32_t* error) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  size_t stack = stackSize;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  stack *= 8;  // instrumented frames are several times larger
#endif
  if (stack < (size_t)PTHREAD_STACK_MIN) stack = PTHREAD_STACK_MIN;
  pthread_attr_setstacksize(&attr, stack);
  StartBlock* block = memNew(StartBlock);
  block->entry = entry;
  block->argument = argument;
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, trampoline, block);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    memFree(block);
    *error = (uint32_t)rc;
    return -1;
  }
  *handle = (uintptr_t)thread;
  *threadId = (uint32_t)(uintptr_t)thread;
  return 0;
}

// Joins without a limit: the program configures no stop timeout, and a
// thread that never ends keeps the process from ending on every platform.
int primThreadJoin(uintptr_t handle, uint64_t, uint32_t* error) {
  int rc = pthread_join((pthread_t)handle, nullptr);
  if (rc != 0) {
    *error = (uint32_t)rc;
    return -1;
  }
  return 0;
}

void primThreadReleaseSelf(uintptr_t handle) { pthread_detach((pthread_t)handle); }

void primSleep(uint32_t milliseconds) {
  timespec ts{(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
