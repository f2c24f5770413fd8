// Tracked memory: every allocation names its source file and line.
//
// The five slots are filled once by memInit according to QZR_MALLOC_DEBUG
// (plain, guard or cell tracking) and called by all code through the macros
// below. No slot returns null except memTryAlloc in plain and guard mode and
// memRealloc with size 0. Heap exhaustion and detected corruption end the
// process with exit code 3.
#pragma once

#include "compiler.h"

using MemAllocFn = void* (*)(uint32_t size, const char* file, int line);
using MemCallocFn = void* (*)(uint32_t count, uint32_t size, const char* file, int line);
using MemFreeFn = void (*)(void* block, const char* file, int line);
using MemReallocFn = void* (*)(void* block, uint32_t size, const char* file, int line);

extern MemAllocFn memAllocPtr;
extern MemCallocFn memCallocPtr;
extern MemFreeFn memFreePtr;
extern MemReallocFn memReallocPtr;
extern MemAllocFn memTryAllocPtr;

// The static empty string handed out for empty StringBuffers; memFree and
// memRealloc treat it like null.
extern char memEmptyString[1];

#define memAlloc(n) memAllocPtr((uint32_t)(n), __FILE__, __LINE__)
#define memCalloc(c, n) memCallocPtr((uint32_t)(c), (uint32_t)(n), __FILE__, __LINE__)
#define memFree(p) memFreePtr((p), __FILE__, __LINE__)
#define memRealloc(p, n) memReallocPtr((p), (uint32_t)(n), __FILE__, __LINE__)
#define memTryAlloc(n) memTryAllocPtr((uint32_t)(n), __FILE__, __LINE__)
#define memStrDup(s) memStrDupFunc((s), __FILE__, __LINE__)
#define memStrDupN(s, n) memStrNDup((s), (uint32_t)(n), __FILE__, __LINE__)
// Typed helpers: memNew(T) is a zeroed block for one T, memNewArray(T, n) for n.
#define memNew(T) static_cast<T*>(memCallocPtr(1, (uint32_t)sizeof(T), __FILE__, __LINE__))
#define memNewArray(T, n) static_cast<T*>(memCallocPtr((uint32_t)(n), (uint32_t)sizeof(T), __FILE__, __LINE__))

// Reads the settings (first call only), fills the slots and sets aside the
// emergency reserve. First thing the program does.
void memInit();
// Statistics and, in the cell-tracking modes, the leak report.
void memExit(bool final);
bool memDebugEnabled();
void memReleaseReserve();
char* memStrDupFunc(const char* text, const char* file, int line);
// A block of length + 1 bytes with that many bytes of text and a NUL;
// a length of 0xFFFFFFFF gives null.
char* memStrNDup(const char* text, uint32_t length, const char* file, int line);

// Diagnostics for tests and reports.
// Runs the heap check of the cell-tracking modes now (force) or as the
// periodic check counts it; quiet drops the summary when nothing is live.
void memHeapCheck(bool force, bool quiet);
// The three operation counters since start (each out may be null).
void memGetStatistics(int64_t* allocs, int64_t* frees, int64_t* reallocs);
// The QZR_MALLOC_DEBUG level in effect.
uint32_t memDebugLevel();
// Cell id of a live block in the cell-tracking modes; 0 otherwise.
uint32_t memBlockId(const void* block);
