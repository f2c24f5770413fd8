// Tracked memory allocator: plain mode (counting only).
// Guard and cell-tracking modes are selected by QZR_MALLOC_DEBUG.
#include "memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "osinit.h"

char memEmptyString[1] = {0};

namespace {

std::atomic<int64_t> memAllocCount{0};
std::atomic<int64_t> memFreeCount{0};
std::atomic<int64_t> memReallocCount{0};
void* memReserve = nullptr;

SFX_NORETURN void memFailure(uint32_t size, const char* file, int line) {
  memReleaseReserve();
  if (logGate(logCatMemory, 1)) logFatalFunc(logCatMemory, "Memory failure allocating %u bytes at %s(%u)\n", size, file ? file : "", (unsigned)line);
  osAbortOutOfResources();
}

void* plainAlloc(uint32_t size, const char* file, int line) {
  void* p = malloc(size ? size : 1);
  if (!p) memFailure(size, file, line);
  memAllocCount.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* plainCalloc(uint32_t count, uint32_t size, const char* file, int line) {
  uint64_t total = (uint64_t)count * size;
  if (total > 0xFFFFFFFFu) memFailure(0xFFFFFFFFu, file, line);
  void* p = plainAlloc((uint32_t)total, file, line);
  memset(p, 0, (size_t)total);
  return p;
}

void plainFree(void* block, const char*, int) {
  if (!block || block == memEmptyString) return;
  free(block);
  memFreeCount.fetch_add(1, std::memory_order_relaxed);
}

void* plainRealloc(void* block, uint32_t size, const char* file, int line) {
  if (!block || block == memEmptyString) return plainAlloc(size, file, line);
  if (size == 0) {
    plainFree(block, file, line);
    return nullptr;
  }
  void* p = realloc(block, size);
  if (!p) memFailure(size, file, line);
  memReallocCount.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* plainTryAlloc(uint32_t size, const char*, int) {
  void* p = malloc(size ? size : 1);
  if (p) memAllocCount.fetch_add(1, std::memory_order_relaxed);
  return p;
}

}  // namespace

MemAllocFn memAllocPtr = plainAlloc;
MemCallocFn memCallocPtr = plainCalloc;
MemFreeFn memFreePtr = plainFree;
MemReallocFn memReallocPtr = plainRealloc;
MemAllocFn memTryAllocPtr = plainTryAlloc;

void memInit() {
  if (!memReserve) {
    memReserve = malloc(32768);
    if (!memReserve) osAbortOutOfResources();
  }
}

void memExit(bool final) {
  if (!final || memAllocCount.load() == 0) return;
  if (logGate(logCatMemory, 6))
    logDebugFunc(logCatMemory, "Memory: %" PRId64 " alloc, %" PRId64 " free and %" PRId64 " realloc operations since start\n",
                 memAllocCount.load(), memFreeCount.load(), memReallocCount.load());
}

bool memDebugEnabled() { return false; }

void memReleaseReserve() {
  free(memReserve);
  memReserve = nullptr;
}

char* memStrDupFunc(const char* text, const char* file, int line) {
  size_t n = strlen(text);
  char* p = static_cast<char*>(memAllocPtr((uint32_t)n + 1, file, line));
  memcpy(p, text, n + 1);
  return p;
}

char* memStrNDup(const char* text, uint32_t length, const char* file, int line) {
  if (length == 0xFFFFFFFFu) return nullptr;
  char* p = static_cast<char*>(memAllocPtr(length + 1, file, line));
  memcpy(p, text, length);
  p[length] = 0;
  return p;
}
