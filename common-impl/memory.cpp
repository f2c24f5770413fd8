// Tracked memory allocator.
//
// Three modes, chosen once by memInit from QZR_MALLOC_DEBUG:
//   0    plain: the run-time heap, counting operations;
//   1    guard: every block bracketed by guard bytes checked on release;
//   2..  cell tracking: a record ("cell") per live block, checked on release
//        and by periodic heap checks; 3 adds a DEBUG line per operation, 4 and
//        above keep freed blocks in quarantine to catch use after free.
// Every detected fault and heap exhaustion end the process with exit code 3.
//
// Block layouts (H is the header size, rounded up to 16 so that the caller's
// data keeps the heap's alignment on every platform):
//   guard: [file ptr][size u32][line u32][pad][4 x 0xFB] data [4 x 0xFE]
//   cell:  [cell ptr][pad][24 x 0xFB] data [32 x 0xFE]
#include "memory.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "osdate.h"
#include "osinit.h"
#include "osthread.h"

char memEmptyString[1] = {0};

namespace {

constexpr uint32_t roundUp16(uint32_t n) { return (n + 15u) & ~15u; }

// Fill patterns.
constexpr uint8_t fillNew = 0xCD;
constexpr uint8_t fillFreed = 0xDD;
constexpr uint8_t fillHead = 0xFB;
constexpr uint8_t fillTail = 0xFE;

// Guard mode layout.
constexpr uint32_t guardHeadBytes = 4;
constexpr uint32_t guardTailBytes = 4;
constexpr uint32_t guardHeader = roundUp16((uint32_t)sizeof(void*) + 8 + guardHeadBytes);
constexpr uint32_t guardSizeOffset = (uint32_t)sizeof(void*);
constexpr uint32_t guardLineOffset = guardSizeOffset + 4;
static_assert(guardLineOffset + 4 <= guardHeader - guardHeadBytes, "guard header fields overlap the guard");
static_assert(guardHeader % 16 == 0, "guard data stays aligned");

// Cell-tracking layout.
constexpr uint32_t cellHeadBytes = 24;
constexpr uint32_t cellTailBytes = 32;
constexpr uint32_t cellHeader = roundUp16((uint32_t)sizeof(void*) + cellHeadBytes);
static_assert(cellHeader % 16 == 0, "cell data stays aligned");
static_assert(cellHeader - cellHeadBytes >= sizeof(void*), "cell pointer fits before the guard");

constexpr uint32_t reserveBytes = 32768;
constexpr uint32_t dumpBytes = 1024;

// The record kept for every block in the cell-tracking modes.
struct MemCell {
  MemCell* newer;         // towards the most recent cell (null at the head)
  MemCell* older;         // towards the oldest cell
  const char* file;       // allocating source file
  int line;               // allocating source line
  uint32_t id;            // 1 for the first allocation, counting up
  uint32_t size;          // the caller's bytes
  uint8_t* block;         // the raw heap block
  const char* freedFile;  // releasing place; null while live
  int freedLine;
};

// Settings, read from the environment by the first memInit.
struct MemSettings {
  bool read;
  uint32_t level;      // QZR_MALLOC_DEBUG
  uint32_t heapEach;   // QZR_MALLOC_DEBUG_HEAP_EACH (0 means 1000)
  uint32_t heapStart;  // QZR_MALLOC_DEBUG_HEAP_START
  char logName[1024];  // QZR_MALLOC_LOGFILE; empty when unset
};

// Cell-tracking state; every field is guarded by `lock`.
struct MemCells {
  MemCell* live;  // newest live cell
  uint32_t liveCount;
  uint32_t lastId;
  MemCell* quarantine;   // freed cells kept at level 4 and above
  uint32_t heapCounter;  // releases since the last heap check
  MemCell* snapshot;     // live cells of the previous report (copies)
  uint32_t snapshotCount;
  OsMutex* lock;  // "memory.mc"
};

MemSettings settings;
MemCells cells;
FILE* memLogFile = nullptr;
std::atomic<void*> memReserve{nullptr};

std::atomic<int64_t> memAllocCount{0};
std::atomic<int64_t> memFreeCount{0};
std::atomic<int64_t> memReallocCount{0};
int64_t lastAllocCount = 0;
int64_t lastFreeCount = 0;
int64_t lastReallocCount = 0;
uint64_t lastReportTime = 0;

// Set once a fatal fault was found: from then on releases are not checked
// (the blocks are left alone), so that logging the fault and ending the
// process cannot trip over the same fault again.
std::atomic<bool> memDying{false};

// Set while this thread hands a memory message to the normal log, whose own
// allocations must not log again.
thread_local bool inNormalLog = false;

const char* nameOf(const char* file) { return file ? file : "<null>"; }

// ---- Memory messages ----

// Opens the memory log file on first use; a failed open is retried at the
// next message.
FILE* memLogOpen() {
  if (!settings.logName[0]) return nullptr;
  if (memLogFile) return memLogFile;
  if (strcmp(settings.logName, "stderr") == 0) {
    memLogFile = stderr;
  } else {
    memLogFile = fopen(settings.logName, "ab");
  }
  return memLogFile;
}

// Writes one memory message: to the memory log file (regardless of levels)
// and to the normal log when common.memory admits the level. Allocation-free
// apart from what the normal log does.
void memLogV(uint32_t level, const char* fmt, va_list ap) {
  char text[2 * dumpBytes + 256];
  if (level == logLevelFatal) memDying.store(true);
  int n = vsnprintf(text, sizeof text, fmt, ap);
  if (n <= 0) return;
  if (FILE* f = memLogOpen()) {
    char prefix[1024];
    logFormatPrefix(prefix, sizeof prefix, level, logCatMemory);
    fputs(prefix, f);
    fputs(text, f);
    fflush(f);
  }
  // A fatal fault met while the normal log was at work on this thread (its
  // own allocations) cannot go there: its reason goes to standard error,
  // unless the memory log already is standard error.
  if (inNormalLog && level == logLevelFatal && memLogFile != stderr) {
    char prefix[1024];
    logFormatPrefix(prefix, sizeof prefix, level, logCatMemory);
    fputs(prefix, stderr);
    fputs(text, stderr);
    fflush(stderr);
  }
  if (inNormalLog || !logGate(logCatMemory, level)) return;
  inNormalLog = true;
  switch (level) {
    case logLevelFatal:
      logFatalFunc(logCatMemory, "%s", text);
      break;
    case logLevelError:
      logErrorFunc(logCatMemory, "%s", text);
      break;
    case logLevelWarn:
      logWarnFunc(logCatMemory, "%s", text);
      break;
    case logLevelDebug:
      logDebugFunc(logCatMemory, "%s", text);
      break;
    case logLevelTrace:
      logTraceFunc(logCatMemory, "%s", text);
      break;
    default:
      logAt(level, logCatMemory, "%s", text);
      break;
  }
  inNormalLog = false;
}

void memLog(uint32_t level, const char* fmt, ...) SFX_PRINTF(2, 3);
void memLog(uint32_t level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  memLogV(level, fmt, ap);
  va_end(ap);
}

// The end of every fatal path: frees the reserve so that the message can be
// written, logs what failed where, and ends the process with exit code 3.
SFX_NORETURN void memFailure(bool sizeKnown, uint32_t size, const char* file, int line) {
  memDying.store(true);
  memReleaseReserve();
  if (sizeKnown && file)
    memLog(logLevelFatal, "Memory failure allocating %u bytes at %s(%u)\n", size, file, (unsigned)line);
  else if (file)
    memLog(logLevelFatal, "Memory failure at %s(%u)\n", file, (unsigned)line);
  else
    memLog(logLevelFatal, "Memory failure\n");
  osAbortOutOfResources();
}

void countAlloc() { memAllocCount.fetch_add(1, std::memory_order_relaxed); }
void countFree() { memFreeCount.fetch_add(1, std::memory_order_relaxed); }
void countRealloc() { memReallocCount.fetch_add(1, std::memory_order_relaxed); }

bool isNullBlock(const void* block) { return !block || block == memEmptyString; }

// Total of count x size, or the memory failure when it does not fit in 32 bits.
uint32_t callocBytes(uint32_t count, uint32_t size, const char* file, int line) {
  uint64_t total = (uint64_t)count * size;
  if (total > 0xFFFFFFFFu) memFailure(false, 0, file, line);
  return (uint32_t)total;
}

// ---- Plain mode ----

void* plainAlloc(uint32_t size, const char* file, int line) {
  void* p = malloc(size ? size : 1);
  if (!p) memFailure(true, size, file, line);
  countAlloc();
  return p;
}

void* plainCalloc(uint32_t count, uint32_t size, const char* file, int line) {
  uint32_t total = callocBytes(count, size, file, line);
  void* p = plainAlloc(total, file, line);
  memset(p, 0, total);
  return p;
}

void plainFree(void* block, const char*, int) {
  if (isNullBlock(block)) return;
  free(block);
  countFree();
}

void* plainRealloc(void* block, uint32_t size, const char* file, int line) {
  if (isNullBlock(block)) return plainAlloc(size, file, line);
  if (size == 0) {
    plainFree(block, file, line);
    return nullptr;
  }
  void* p = realloc(block, size);
  if (!p) memFailure(true, size, file, line);
  countRealloc();
  return p;
}

void* plainTryAlloc(uint32_t size, const char*, int) {
  void* p = malloc(size ? size : 1);
  if (p) countAlloc();
  return p;
}

// ---- Guard mode ----

uint32_t readU32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

void writeU32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

bool allBytes(const uint8_t* p, uint32_t n, uint8_t value) {
  for (uint32_t i = 0; i < n; i++)
    if (p[i] != value) return false;
  return true;
}

// Lays out a fresh guard block around `size` data bytes; returns the data.
uint8_t* guardLayout(uint8_t* raw, uint32_t size, const char* file, int line) {
  memcpy(raw, &file, sizeof file);
  writeU32(raw + guardSizeOffset, size);
  writeU32(raw + guardLineOffset, (uint32_t)line);
  memset(raw + guardLineOffset + 4, fillHead, guardHeader - guardLineOffset - 4);
  memset(raw + guardHeader, fillNew, size);
  memset(raw + guardHeader + size, fillTail, guardTailBytes);
  return raw + guardHeader;
}

uint64_t guardTotal(uint32_t size) { return (uint64_t)size + guardHeader + guardTailBytes; }

void* guardTryAlloc(uint32_t size, const char* file, int line) {
  uint64_t total = guardTotal(size);
  if (total > SIZE_MAX) return nullptr;
  uint8_t* raw = static_cast<uint8_t*>(malloc((size_t)total));
  if (!raw) return nullptr;
  countAlloc();
  return guardLayout(raw, size, file, line);
}

void* guardAlloc(uint32_t size, const char* file, int line) {
  void* p = guardTryAlloc(size, file, line);
  if (!p) memFailure(true, size, file, line);
  return p;
}

void* guardCalloc(uint32_t count, uint32_t size, const char* file, int line) {
  uint32_t total = callocBytes(count, size, file, line);
  void* p = guardAlloc(total, file, line);
  memset(p, 0, total);
  return p;
}

// Checks both guards of a block being released or reallocated at file/line.
// `realloc` selects the wording of the messages. Returns the raw block.
uint8_t* guardCheck(void* block, bool isRealloc, const char* file, int line, uint32_t* sizeOut) {
  uint8_t* raw = static_cast<uint8_t*>(block) - guardHeader;
  const char* allocFile;
  memcpy(&allocFile, raw, sizeof allocFile);
  uint32_t size = readU32(raw + guardSizeOffset);
  uint32_t allocLine = readU32(raw + guardLineOffset);
  if (!allBytes(raw + guardHeader - guardHeadBytes, guardHeadBytes, fillHead)) {
    if (isRealloc)
      memLog(logLevelFatal, "Header corrupt in memory realloc at %s(%u) allocated at %s(%u)\n", nameOf(file),
             (unsigned)line, nameOf(allocFile), allocLine);
    else
      memLog(logLevelFatal, "Header corrupt in memory allocated at %s(%u)\n", nameOf(allocFile), allocLine);
    memFailure(false, 0, file, line);
  }
  if (!allBytes(raw + guardHeader + size, guardTailBytes, fillTail)) {
    memLog(logLevelFatal, "Trailer corrupt in memory %s at %s(%u) allocated at %s(%u)\n",
           isRealloc ? "realloc" : "free", nameOf(file), (unsigned)line, nameOf(allocFile), allocLine);
    memFailure(false, 0, file, line);
  }
  *sizeOut = size;
  return raw;
}

void guardFree(void* block, const char* file, int line) {
  if (isNullBlock(block) || memDying.load()) return;
  uint32_t size = 0;
  uint8_t* raw = guardCheck(block, false, file, line, &size);
  memset(block, fillFreed, size);
  free(raw);
  countFree();
}

void* guardRealloc(void* block, uint32_t size, const char* file, int line) {
  if (isNullBlock(block)) return guardAlloc(size, file, line);
  if (size == 0) {
    guardFree(block, file, line);
    return nullptr;
  }
  uint32_t oldSize = 0;
  uint8_t* raw = nullptr;
  if (memDying.load()) {
    raw = static_cast<uint8_t*>(block) - guardHeader;
    oldSize = readU32(raw + guardSizeOffset);
  } else {
    raw = guardCheck(block, true, file, line, &oldSize);
  }
  uint64_t total = guardTotal(size);
  uint8_t* grown = total > SIZE_MAX ? nullptr : static_cast<uint8_t*>(realloc(raw, (size_t)total));
  if (!grown) memFailure(true, size, file, line);
  if (size > oldSize) memset(grown + guardHeader + oldSize, fillNew, size - oldSize);
  memset(grown + guardHeader + size, fillTail, guardTailBytes);
  writeU32(grown + guardSizeOffset, size);
  countRealloc();
  return grown + guardHeader;
}

// ---- Cell-tracking mode ----

void cellLock() { osThreadLockMutex(cells.lock); }
void cellUnlock() { osThreadUnlockMutex(cells.lock); }

uint8_t* cellData(const MemCell* c) { return c->block + cellHeader; }

MemCell* findIn(MemCell* list, const uint8_t* raw) {
  // Compares addresses only: a foreign pointer is never dereferenced.
  for (MemCell* c = list; c; c = c->older)
    if (c->block == raw) return c;
  return nullptr;
}

// Checks a block's cell and guards (under the lock). Without a known cell the
// cell is looked up by the block address in the live list (and at level 4 in
// the quarantine). Any fault is fatal. Returns the cell.
MemCell* cellCheck(uint8_t* data, MemCell* known, const char* file, int line) {
  uint8_t* raw = data - cellHeader;
  MemCell* c = known;
  if (!c) {
    c = findIn(cells.live, raw);
    if (!c && settings.level >= 4) c = findIn(cells.quarantine, raw);
    if (!c) {
      memLog(logLevelFatal, "%s(%u): ptr %p not in cell administration\n", nameOf(file), (unsigned)line, (void*)data);
      memFailure(false, 0, file, line);
    }
  }
  if (c->block != raw) {
    memLog(logLevelFatal, "Corrupt ptr id=%u %u@%p != %p at %s(%u)\n", c->id, c->size, (void*)cellData(c), (void*)data,
           nameOf(file), (unsigned)line);
    memFailure(false, 0, file, line);
  }
  MemCell* stored;
  memcpy(&stored, raw, sizeof stored);
  if (stored != c || !allBytes(data - cellHeadBytes, cellHeadBytes, fillHead)) {
    memLog(logLevelFatal, "Corrupt header id=%u %u@%p at %s(%u)\n", c->id, c->size, (void*)data, nameOf(file),
           (unsigned)line);
    memFailure(false, 0, file, line);
  }
  if (c->freedFile && !allBytes(data, c->size, fillFreed)) {
    memLog(logLevelFatal, "Use-after-free id=%u %u@%p at %s(%u)\n", c->id, c->size, (void*)data, nameOf(file),
           (unsigned)line);
    memFailure(false, 0, file, line);
  }
  if (!allBytes(data + c->size, cellTailBytes, fillTail)) {
    memLog(logLevelFatal, "Corrupt trailer id=%u %u@%p at %s(%u)\n", c->id, c->size, (void*)data, nameOf(file),
           (unsigned)line);
    memFailure(false, 0, file, line);
  }
  return c;
}

// The periodic (or forced) walk over every live and quarantined cell.
void heapCheck(bool force, bool quiet) {
  if (settings.level < 2 || memDying.load()) return;
  cellLock();
  if (!force) {
    cells.heapCounter++;
    if (cells.heapCounter < settings.heapStart || cells.heapCounter % settings.heapEach != 0) {
      cellUnlock();
      return;
    }
  }
  cells.heapCounter = 0;
  long bytes = 0, count = 0;
  for (MemCell* c = cells.live; c; c = c->older) {
    cellCheck(cellData(c), c, __FILE__, __LINE__);
    bytes += (long)c->size;
    count++;
  }
  if (force && (!quiet || bytes != 0)) memLog(logLevelTrace, "MEMORY ALLOCATED %ld in %ld cells\n", bytes, count);
  if (settings.level >= 4) {
    long freedBytes = 0, freedCount = 0;
    for (MemCell* c = cells.quarantine; c; c = c->older) {
      cellCheck(cellData(c), c, __FILE__, __LINE__);
      freedBytes += (long)c->size;
      freedCount++;
    }
    if (force) memLog(logLevelTrace, "MEMORY FREED %ld in %ld cells\n", freedBytes, freedCount);
  }
  cellUnlock();
}

void* cellAlloc(uint32_t size, const char* file, int line) {
  if (size == 0) {
    memLog(logLevelFatal, "zero byte  allocation %s(%u)\n", nameOf(file), (unsigned)line);
    memFailure(false, 0, file, line);
  }
  if (line == 0) memLog(logLevelWarn, "No file/line known for allocation\n");
  cellLock();
  uint64_t total = (uint64_t)size + cellHeader + cellTailBytes;
  uint8_t* raw = total > SIZE_MAX ? nullptr : static_cast<uint8_t*>(malloc((size_t)total));
  MemCell* c = raw ? static_cast<MemCell*>(calloc(1, sizeof(MemCell))) : nullptr;
  if (!c) {
    free(raw);
    cellUnlock();
    memReleaseReserve();
    memLog(logLevelFatal, "Out of memory\n");
    memFailure(true, size, file, line);
  }
  c->file = file;
  c->line = line;
  c->id = ++cells.lastId;
  c->size = size;
  c->block = raw;
  c->older = cells.live;
  if (cells.live) cells.live->newer = c;
  cells.live = c;
  cells.liveCount++;
  memcpy(raw, &c, sizeof c);
  memset(raw + sizeof c, fillHead, cellHeader - sizeof c);
  memset(raw + cellHeader, fillNew, size);
  memset(raw + cellHeader + size, fillTail, cellTailBytes);
  uint32_t id = c->id;
  cellUnlock();
  if (settings.level >= 3)
    memLog(logLevelDebug, "malloc  id=%u %u@%p allocated %s(%u)\n", id, size, (void*)(raw + cellHeader), nameOf(file),
           (unsigned)line);
  countAlloc();
  return raw + cellHeader;
}

void* cellCalloc(uint32_t count, uint32_t size, const char* file, int line) {
  uint32_t total = callocBytes(count, size, file, line);
  void* p = cellAlloc(total, file, line);
  memset(p, 0, total);
  return p;
}

void cellFree(void* block, const char* file, int line) {
  if (!block) {
    if (settings.level >= 3) memLog(logLevelDebug, "free null freed %s(%u)\n", nameOf(file), (unsigned)line);
    return;
  }
  if (block == memEmptyString) {
    if (settings.level >= 3) memLog(logLevelDebug, "free empty freed %s(%u)\n", nameOf(file), (unsigned)line);
    return;
  }
  if (memDying.load()) return;
  uint8_t* data = static_cast<uint8_t*>(block);
  cellLock();
  MemCell* c = cellCheck(data, nullptr, file, line);
  if (settings.level >= 4) heapCheck(false, false);
  if (c->freedFile) {
    memLog(logLevelFatal, "double free id=%u %u@%p allocated %s(%u) free %s(%u) free2 %s(%u)\n ", c->id, c->size, block,
           nameOf(c->file), (unsigned)c->line, c->freedFile, (unsigned)c->freedLine, nameOf(file), (unsigned)line);
    memFailure(false, 0, file, line);
  }
  c->freedFile = file ? file : "<null>";
  c->freedLine = line;
  // The cell is complete (filled, unlinked) before anything is logged: the
  // log may allocate and release, and so check the heap, on this thread.
  const uint32_t id = c->id, size = c->size;
  const char* allocFile = c->file;
  const int allocLine = c->line;
  memset(data, fillFreed, c->size);
  if (c->newer)
    c->newer->older = c->older;
  else
    cells.live = c->older;
  if (c->older) c->older->newer = c->newer;
  cells.liveCount--;
  if (settings.level >= 4) {
    c->newer = nullptr;
    c->older = cells.quarantine;
    if (cells.quarantine) cells.quarantine->newer = c;
    cells.quarantine = c;
  } else {
    free(c->block);
    free(c);
  }
  cellUnlock();
  if (settings.level >= 3)
    memLog(logLevelDebug, "free    id=%u %u@%p allocated %s(%u) freed %s(%u)\n", id, size, block, nameOf(allocFile),
           (unsigned)allocLine, nameOf(file), (unsigned)line);
  countFree();
}

void* cellRealloc(void* block, uint32_t size, const char* file, int line) {
  uint32_t oldId = 0, oldSize = 0;
  const char* oldFile = nullptr;
  int oldLine = 0;
  if (!isNullBlock(block) && memDying.load()) {
    // Ending after a fault: move the bytes of a known block, check nothing.
    cellLock();
    MemCell* c = findIn(cells.live, static_cast<uint8_t*>(block) - cellHeader);
    uint32_t copy = c ? std::min(c->size, size) : 0;
    cellUnlock();
    void* moved = size ? cellAlloc(size, file, line) : nullptr;
    if (copy) memcpy(moved, block, copy);
    return moved;
  }
  if (!isNullBlock(block)) {
    cellLock();
    MemCell* c = cellCheck(static_cast<uint8_t*>(block), nullptr, file, line);
    oldId = c->id;
    oldSize = c->size;
    oldFile = c->file;
    oldLine = c->line;
    cellUnlock();
  }
  if (size == 0) {
    if (oldId) {
      cellFree(block, file, line);
      memLog(logLevelWarn, "realloc->free id=%u %u@%p allocated %s(%u) freed %s(%u)\n", oldId, oldSize, block,
             nameOf(oldFile), (unsigned)oldLine, nameOf(file), (unsigned)line);
    } else {
      memLog(logLevelWarn, "realloc->free id=%u freed %s(%u)\n", 0u, nameOf(file), (unsigned)line);
    }
    return nullptr;
  }
  void* moved = cellAlloc(size, file, line);
  if (oldId) {
    memcpy(moved, block, std::min(oldSize, size));
    cellFree(block, file, line);
  }
  if (settings.level >= 3) {
    uint32_t newId = memBlockId(moved);
    if (oldId)
      memLog(logLevelDebug, "realloc id=%u %u@%p allocated %s(%u) -> id=%u %u@%p allocated %s(%u)\n", oldId, oldSize,
             block, nameOf(oldFile), (unsigned)oldLine, newId, size, moved, nameOf(file), (unsigned)line);
    else
      memLog(logLevelDebug, "realloc 0 ->  id=%u %u@%p allocated %s(%u)\n", newId, size, moved, nameOf(file),
             (unsigned)line);
  }
  countRealloc();
  return moved;
}

// ---- Reports ----

// Orders cells by allocating file (null as ""), line, size.
int cellOrder(const MemCell* a, const MemCell* b) {
  int r = strcmp(a->file ? a->file : "", b->file ? b->file : "");
  if (r) return r;
  if (a->line != b->line) return a->line < b->line ? -1 : 1;
  if (a->size != b->size) return a->size < b->size ? -1 : 1;
  return 0;
}

// Dumps a block as text: "%u bytes: " then, per byte, two hex digits and a
// blank (hex) or the byte when printable, C escapes for the control
// characters that have one, %xx for everything else. "..." marks a cut.
void dumpBlock(char* out, uint32_t outSize, const uint8_t* data, uint32_t size, bool hex) {
  uint32_t n = (uint32_t)snprintf(out, outSize, "%u bytes: ", size);
  for (uint32_t i = 0; i < size; i++) {
    char piece[8];
    uint8_t b = data[i];
    if (hex) {
      snprintf(piece, sizeof piece, "%.2x ", b);
    } else if (b >= 0x20 && b < 0x7F && b != '%' && b != '\\') {
      piece[0] = (char)b;
      piece[1] = 0;
    } else {
      const char* esc = nullptr;
      switch (b) {
        case '\t':
          esc = "\\t";
          break;
        case '\n':
          esc = "\\n";
          break;
        case '\v':
          esc = "\\v";
          break;
        case '\f':
          esc = "\\f";
          break;
        case '\r':
          esc = "\\r";
          break;
        case '\\':
          esc = "\\\\";
          break;
        default:
          break;
      }
      if (esc)
        snprintf(piece, sizeof piece, "%s", esc);
      else
        snprintf(piece, sizeof piece, "%%%02x", b);
    }
    uint32_t len = (uint32_t)strlen(piece);
    if (n + len + 4 > outSize) {
      memcpy(out + n, "...", 4);
      return;
    }
    memcpy(out + n, piece, len + 1);
    n += len;
  }
}

void statisticsReport(bool final) {
  int64_t allocs = memAllocCount.load(), frees = memFreeCount.load(), reallocs = memReallocCount.load();
  if (allocs == 0) return;
  uint64_t now = osDateNow();
  if (final) {
    memLog(logLevelDebug,
           "Memory: %" PRId64 " alloc, %" PRId64 " free and %" PRId64 " realloc operations since start\n", allocs,
           frees, reallocs);
    if (allocs != frees)
      memLog(processType == 1 ? logLevelWarn : logLevelDebug, "Leaked %" PRId64 " memory cells since start\n",
             allocs - frees);
  } else if (logGate(logCatMemory, logLevelDebug)) {
    uint64_t elapsed = now - lastReportTime;
    memLog(logLevelDebug,
           "Memory: %" PRId64 " alloc, %" PRId64 " free and %" PRId64 " realloc operations in last %" PRIu64 " ms\n",
           allocs - lastAllocCount, frees - lastFreeCount, reallocs - lastReallocCount, elapsed);
    memLog(logLevelDebug,
           "Memory: %" PRId64 " alloc, %" PRId64 " free and %" PRId64 " realloc operations since start\n", allocs,
           frees, reallocs);
    memLog(logLevelDebug, "Memory allocation changed by %" PRId64 " memory cells in last %" PRIu64 " ms\n",
           (allocs - frees) - (lastAllocCount - lastFreeCount), elapsed);
  }
  lastAllocCount = allocs;
  lastFreeCount = frees;
  lastReallocCount = reallocs;
  lastReportTime = now;
}

// Lists the live cells against the previous report's snapshot: cells only in
// the new list are LEAKED (final, with dumps) or NEW, cells only in the old
// one GONE. The new list becomes the snapshot.
void leakReport(bool final) {
  cellLock();
  uint32_t count = cells.liveCount;
  MemCell* now = count ? static_cast<MemCell*>(malloc(sizeof(MemCell) * count)) : nullptr;
  if (count && !now) {
    cellUnlock();
    memFailure(false, 0, __FILE__, __LINE__);
  }
  uint32_t i = 0;
  for (MemCell* c = cells.live; c && i < count; c = c->older) now[i++] = *c;
  cellUnlock();
  std::sort(now, now + count, [](const MemCell& a, const MemCell& b) { return cellOrder(&a, &b) < 0; });
  uint32_t a = 0, b = 0;
  static char dump[dumpBytes];
  while (a < count || b < cells.snapshotCount) {
    int order = a >= count ? 1 : b >= cells.snapshotCount ? -1 : cellOrder(&now[a], &cells.snapshot[b]);
    if (order < 0) {
      const MemCell& c = now[a++];
      memLog(logLevelTrace, "> %s id=%u %u@%p allocated %s(%u)\n", final ? "LEAKED" : "NEW", c.id, c.size,
             (void*)cellData(&c), nameOf(c.file), (unsigned)c.line);
      if (final) {
        dumpBlock(dump, sizeof dump, cellData(&c), c.size, true);
        memLog(logLevelTrace, "  HEX  %s\n", dump);
        dumpBlock(dump, sizeof dump, cellData(&c), c.size, false);
        memLog(logLevelTrace, "  DATA %s\n", dump);
      }
    } else if (order > 0) {
      const MemCell& c = cells.snapshot[b++];
      memLog(logLevelTrace, "< GONE id=%u %u@%p allocated %s(%u)\n", c.id, c.size, (void*)cellData(&c), nameOf(c.file),
             (unsigned)c.line);
    } else {
      a++;
      b++;
    }
  }
  free(cells.snapshot);
  cells.snapshot = now;
  cells.snapshotCount = count;
}

// The settings are read from the C runtime's environment: the OS layer's
// environment cache allocates, and nothing may be allocated before the mode
// is chosen (a block from one mode cannot be released by another).
uint32_t envNumber(const char* name, uint32_t fallback) {
  const char* v = getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  unsigned long n = strtoul(v, &end, 10);
  return end == v ? fallback : (uint32_t)n;
}

}  // namespace

MemAllocFn memAllocPtr = plainAlloc;
MemCallocFn memCallocPtr = plainCalloc;
MemFreeFn memFreePtr = plainFree;
MemReallocFn memReallocPtr = plainRealloc;
MemAllocFn memTryAllocPtr = plainTryAlloc;

void memInit() {
  if (!settings.read) {
    settings.read = true;
    settings.level = envNumber("QZR_MALLOC_DEBUG", 0);
    settings.heapEach = envNumber("QZR_MALLOC_DEBUG_HEAP_EACH", 1000);
    if (settings.heapEach == 0) settings.heapEach = 1000;
    settings.heapStart = envNumber("QZR_MALLOC_DEBUG_HEAP_START", 0);
    const char* name = getenv("QZR_MALLOC_LOGFILE");
    snprintf(settings.logName, sizeof settings.logName, "%s", name ? name : "");
  }
  lastReportTime = osDateNow();
  if (settings.level == 0) {
    memAllocPtr = plainAlloc;
    memCallocPtr = plainCalloc;
    memFreePtr = plainFree;
    memReallocPtr = plainRealloc;
    memTryAllocPtr = plainTryAlloc;
  } else if (settings.level == 1) {
    memAllocPtr = guardAlloc;
    memCallocPtr = guardCalloc;
    memFreePtr = guardFree;
    memReallocPtr = guardRealloc;
    memTryAllocPtr = guardTryAlloc;
  } else {
    if (!cells.lock) cells.lock = osThreadMakeMutex("memory.mc");
    memAllocPtr = cellAlloc;
    memCallocPtr = cellCalloc;
    memFreePtr = cellFree;
    memReallocPtr = cellRealloc;
    memTryAllocPtr = cellAlloc;
  }
  if (!memReserve.load()) {
    void* r = malloc(reserveBytes);
    if (!r) osAbortOutOfResources();
    memReserve.store(r);
  }
}

void memExit(bool final) {
  if (final && settings.level >= 2) {
    free(cells.snapshot);
    cells.snapshot = nullptr;
    cells.snapshotCount = 0;
    OsMutex* lock = cells.lock;
    cells.lock = nullptr;
    osThreadDestroyMutex(lock);
  }
  statisticsReport(final);
  if (settings.level >= 2) {
    if (cells.liveCount) memLog(logLevelTrace, "MEMORY LEAKS %d\n", (int)cells.liveCount);
    if (settings.logName[0]) {
      heapCheck(true, final);
      leakReport(final);
      if (final && cells.liveCount) memLog(logLevelTrace, "END OF MEMORY PROBLEMS FOR PID %d\n\n", (int)osProcessId());
    }
  }
  if (final && memLogFile) {
    if (memLogFile != stderr) fclose(memLogFile);
    memLogFile = nullptr;
  }
}

bool memDebugEnabled() { return settings.level > 0; }

void memReleaseReserve() { free(memReserve.exchange(nullptr)); }

void memHeapCheck(bool force, bool quiet) { heapCheck(force, quiet); }

void memGetStatistics(int64_t* allocs, int64_t* frees, int64_t* reallocs) {
  if (allocs) *allocs = memAllocCount.load();
  if (frees) *frees = memFreeCount.load();
  if (reallocs) *reallocs = memReallocCount.load();
}

uint32_t memDebugLevel() { return settings.level; }

uint32_t memBlockId(const void* block) {
  if (settings.level < 2 || isNullBlock(block)) return 0;
  cellLock();
  MemCell* c = findIn(cells.live, static_cast<const uint8_t*>(block) - cellHeader);
  uint32_t id = c ? c->id : 0;
  cellUnlock();
  return id;
}

char* memStrDupFunc(const char* text, const char* file, int line) {
  if (!text) return nullptr;
  size_t n = strlen(text);
  char* p = static_cast<char*>(memAllocPtr((uint32_t)n + 1, file, line));
  memcpy(p, text, n + 1);
  return p;
}

char* memStrNDup(const char* text, uint32_t length, const char* file, int line) {
  if (length == 0xFFFFFFFFu) return nullptr;
  char* p = static_cast<char*>(memAllocPtr(length + 1, file, line));
  if (length) memcpy(p, text, length);
  p[length] = 0;
  return p;
}
