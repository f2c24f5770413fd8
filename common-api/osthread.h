// Threads, mutexes, wait objects and the interruptible sleep.
//
// Every thread started here gets a thread record reached through
// thread-local storage; the main thread has a static record named "Main",
// bound to the first thread that uses the layer (normally main() through
// memInit/logInit). The record also carries the thread's logging state:
// suppression depth, error-buffer mode, error buffer and record buffer
// (accessors below, used by logging).
//
// Notes for the other modules:
// - The allocator's own lock is a mutex named "memory.mc": create it with
//   osThreadMakeMutex("memory.mc"); that one mutex is allocated and freed
//   with the C runtime's allocator, so it may be made before and used
//   inside the tracked allocator. Mutexes may be created before osThreadInit.
// - Logging's "Logging" mutex is best made with osMutexCreateSuppressing so
//   that nothing logged while it is held re-enters logging.
// - Lock order: "Threads" before "WaitObjects" before "Logging".
// - Logging plugs its pipe start and stop into osThreadLogStartPipe and
//   osThreadLogStopPipe (null: nothing to do).
#pragma once

#include "compiler.h"

struct StringBuffer;
struct OsMutex;
struct OsWaitObject;

// What a thread runs, and what asks it to stop; both get the argument
// given to osThreadCreate.
using OsThreadFunction = void (*)(void* argument);
using OsThreadStopFunction = void (*)(void* argument);

// Called by osThreadCreate before each creation (starts the log pipe and
// the "Logging" mutex) and by osThreadStopAll before the logging thread is
// joined. Set by logging; null means nothing to do.
extern void (*osThreadLogStartPipe)();
extern void (*osThreadLogStopPipe)();

// Brings the layer up: the "Main" record, the "Threads" and "WaitObjects"
// mutexes and their maps. 0 or -1 (FATAL "Cannot initialize thread layer").
int osThreadInit();
// Destroys the wait objects still registered, the maps and the mutexes.
void osThreadExit();
// Called at OS exit: the layer is no longer initialised and the main
// record's logging state is reset, so later log calls of the main thread
// are dropped.
void osThreadReset();

// Starts a thread named "<name> #<serial in hex>" running function(argument)
// on a 256 KiB stack. stopWaitObjectHolder (may be null) holds a wait object
// notified to ask the thread to stop; stopFunction (may be null) is called
// with the argument for the same purpose. 0 or -1; running out of OS
// resources ends the process with exit code 3.
int osThreadCreate(const char* name, OsThreadFunction function, void* argument, OsWaitObject** stopWaitObjectHolder,
                   OsThreadStopFunction stopFunction);
// Asks every thread to stop and joins them all, the logging thread last.
// 0, or -1 when a stop request failed or threads are left.
int osThreadStopAll();
// True once a thread has been created (a stop request then no longer ends
// the process at once).
bool osThreadsExist();
// Threads created and not yet joined.
int32_t osThreadCount();

// Name used in log records: the record's name on a thread of the layer, the
// process type's name on the main thread, "windows-thread" otherwise.
const char* osThreadCurrentName();
void osThreadSetStopWaitObject(OsWaitObject** holder);
// Serial of the calling thread (0 for the main thread or a foreign one).
uint64_t osThreadSerial();
// Renames the calling thread to "<name> #<serial in hex>". 0 or -1.
int osThreadSetName(const char* name);
uint8_t osThreadGetFlag();
void osThreadSetFlag(uint8_t flag);
// The calling thread's scratch buffer of at least size bytes, or null
// without a thread record. Owned by the record; before osThreadInit the main
// thread gets a fixed buffer of 1024 bytes (null for more).
char* osThreadScratch(uint32_t size);
// *counter = resetValue when it equals limit, else *counter + 1; under
// the "Threads" mutex once threads exist.
void osThreadSafeIncrement(uint64_t* counter, uint64_t resetValue, uint64_t limit);

// Logging state of the calling thread. Without a thread record the depth
// is one process-wide counter changed atomically.
int32_t osThreadSuppressIncrement();
int32_t osThreadSuppressDecrement();
int32_t osThreadSuppressDepth();
// Error-buffer mode 0..5; setting 0 empties and releases the error buffer.
uint32_t osThreadGetErrorMode();
void osThreadSetErrorMode(uint32_t mode);
// The thread's error buffer, null when the mode is 0 or there is no record.
StringBuffer* osThreadErrorBuffer();
// The buffer records are formatted in; null when the thread has none.
StringBuffer* osThreadRecordBuffer();

// Named recursive mutexes (name cut to 79 characters). Lock and unlock of
// a null mutex do nothing and give 0.
OsMutex* osThreadMakeMutex(const char* name);
// Same, and the holder's logging suppression depth is raised while held.
OsMutex* osMutexCreateSuppressing(const char* name);
int osThreadLockMutex(OsMutex* mutex);
int osThreadUnlockMutex(OsMutex* mutex);
void osThreadDestroyMutex(OsMutex* mutex);
const char* osMutexName(const OsMutex* mutex);

// Named events (unique names of at most 39 characters), initially not
// signalled. Null on failure or a name already in use.
OsWaitObject* osWaitObjectCreate(const char* name, bool manualReset);
OsWaitObject* osWaitObjectCreateAuto(const char* name);
// Destroys *holder (nothing when null) and clears it. 0 or -1 ("Double
// destroy of %s" when the name is no longer registered).
int osWaitObjectDestroy(OsWaitObject** holder);
int osWaitObjectNotify(OsWaitObject* waitObject);
// Clears a manual-reset object. 0 or -1.
int osWaitObjectReset(OsWaitObject* waitObject);
// 0 when notified, -1 on timeout or failure. UINT64_MAX waits without limit.
int osWaitObjectWait(OsWaitObject* waitObject, uint64_t milliseconds);

// Sleeps up to milliseconds; returns early when a stop is requested.
// During a pending stop a sleep lasts at most one second.
void osSleep(uint64_t milliseconds);
// Wakes every osSleep. 0 or -1.
int osNotifySleepers();
