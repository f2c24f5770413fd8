// Thread primitives each backend supplies to the shared thread layer:
// recursive locks, events with timed waits, joinable threads, a plain
// sleep. Private to opsys-impl.
#pragma once

#include "compiler.h"

// Storage for one recursive lock (critical section or pthread mutex).
struct PrimLock {
  alignas(16) unsigned char bytes[64];
};

void primLockInit(PrimLock* lock);
void primLockDestroy(PrimLock* lock);
void primLockEnter(PrimLock* lock);
void primLockLeave(PrimLock* lock);

// An event, manual or automatic reset, initially not signalled.
struct PrimEvent;
// Null on failure with the system error in *error.
PrimEvent* primEventCreate(bool manualReset, uint32_t* error);
void primEventClose(PrimEvent* event);
// 0, or -1 with the system error in *error.
int primEventSet(PrimEvent* event, uint32_t* error);
int primEventReset(PrimEvent* event);
// 0 signalled, 1 timed out, -1 failed (system error in *error).
// UINT64_MAX waits without limit.
int primEventWait(PrimEvent* event, uint64_t milliseconds, uint32_t* error);

using PrimThreadEntry = void (*)(void* argument);
// Starts a joinable thread; handle and system thread id out. 0, or -1 with
// the system error in *error.
int primThreadStart(PrimThreadEntry entry, void* argument, uint32_t stackSize, uintptr_t* handle, uint32_t* threadId,
                    uint32_t* error);
// Waits for the thread to end (UINT64_MAX: no limit): 0 ended (the handle
// is released), 1 timed out, -1 failed (system error in *error, also set
// for a timeout).
int primThreadJoin(uintptr_t handle, uint64_t milliseconds, uint32_t* error);
// Called by a thread that ends without being joined: releases its handle.
void primThreadReleaseSelf(uintptr_t handle);
void primSleep(uint32_t milliseconds);
