// Windows backend only: thread primitives on critical sections, events
// and kernel threads.
#include "memory.h"
#include "threadprim.h"
#include "winsupport.h"

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PrimLock::bytes), "PrimLock too small for CRITICAL_SECTION");
static_assert(sizeof(HANDLE) <= sizeof(uintptr_t), "HANDLE must fit a handle");

namespace {

CRITICAL_SECTION* asSection(PrimLock* lock) { return reinterpret_cast<CRITICAL_SECTION*>(lock->bytes); }

// What a started thread runs: the layer's entry and its argument.
struct StartBlock {
  PrimThreadEntry entry;
  void* argument;
};

DWORD WINAPI trampoline(LPVOID p) {
  StartBlock block = *static_cast<StartBlock*>(p);
  memFree(p);
  block.entry(block.argument);
  return 0;
}

DWORD waitTime(uint64_t milliseconds) { return milliseconds == UINT64_MAX ? INFINITE : (DWORD)milliseconds; }

}  // namespace

void primLockInit(PrimLock* lock) { InitializeCriticalSection(asSection(lock)); }
void primLockDestroy(PrimLock* lock) { DeleteCriticalSection(asSection(lock)); }
void primLockEnter(PrimLock* lock) { EnterCriticalSection(asSection(lock)); }
void primLockLeave(PrimLock* lock) { LeaveCriticalSection(asSection(lock)); }

PrimEvent* primEventCreate(bool manualReset, uint32_t* error) {
  HANDLE h = CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (!h) *error = GetLastError();
  return reinterpret_cast<PrimEvent*>(h);
}

void primEventClose(PrimEvent* event) {
  if (event) CloseHandle(reinterpret_cast<HANDLE>(event));
}

int primEventSet(PrimEvent* event, uint32_t* error) {
  if (SetEvent(reinterpret_cast<HANDLE>(event))) return 0;
  *error = GetLastError();
  return -1;
}

int primEventReset(PrimEvent* event) { return ResetEvent(reinterpret_cast<HANDLE>(event)) ? 0 : -1; }

int primEventWait(PrimEvent* event, uint64_t milliseconds, uint32_t* error) {
  DWORD rc = WaitForSingleObject(reinterpret_cast<HANDLE>(event), waitTime(milliseconds));
  if (rc == WAIT_OBJECT_0) return 0;
  if (rc == WAIT_TIMEOUT) return 1;
  *error = GetLastError();
  return -1;
}

int primThreadStart(PrimThreadEntry entry, void* argument, uint32_t stackSize, uintptr_t* handle, uint32_t* threadId,
                    uint32_t* error) {
  StartBlock* block = memNew(StartBlock);
  block->entry = entry;
  block->argument = argument;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, stackSize, trampoline, block, STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (!h) {
    *error = GetLastError();
    memFree(block);
    return -1;
  }
  *handle = (uintptr_t)h;
  *threadId = id;
  return 0;
}

int primThreadJoin(uintptr_t handle, uint64_t milliseconds, uint32_t* error) {
  DWORD rc = WaitForSingleObject(reinterpret_cast<HANDLE>(handle), waitTime(milliseconds));
  if (rc == WAIT_OBJECT_0) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return 0;
  }
  *error = rc == WAIT_TIMEOUT ? (uint32_t)WAIT_TIMEOUT : GetLastError();
  return rc == WAIT_TIMEOUT ? 1 : -1;
}

void primThreadReleaseSelf(uintptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void primSleep(uint32_t milliseconds) { Sleep(milliseconds); }
