// Seams for tests of code that works with files and time.
//
// Every file-system call of the file and directory layer (open, read, write,
// close, delete, move, attribute and time changes, directory creation,
// removal and listing, information queries) first passes a fault check. A
// test either fails one named call with a chosen system error (as SQLite's
// xSetSystemCall does), or arms a counter so that the n-th call from now
// fails; repeating the latter with n = 1, 2, 3, ... until the fault no longer
// fires covers every failure point. A test clock replaces the wall clock and
// the waits of the OS layer. Production code never arms them; the checks
// cost an atomic increment and a few loads.
#pragma once

#include "compiler.h"

// Arms the fault: `count` file-system calls starting with the n-th from now
// (1-based) fail with `error` (an errno value on POSIX, a Win32 error code on
// Windows); osTestFailAlways keeps failing every later call. n == 0 disarms.
// Resets the count.
void osTestFailAfter(uint32_t n, uint32_t error, uint32_t count = 1);
inline constexpr uint32_t osTestFailAlways = 0xFFFFFFFFu;
// Disarms the fault (the count keeps running).
void osTestDisarm();
// True when an armed fault has fired since the last osTestFailAfter or
// osTestFailCall.
bool osTestFaultFired();

// Makes local time follow a POSIX-style zone such as "UTC0", "IST-5:30" or
// "NST+3:30" (standard time only on Windows); null restores the system's.
void osTestSetTimeZone(const char* zone);

// Makes the named system call of the file and directory layer fail with
// `error` for its next `count` calls (osTestFailAlways: every call), whatever
// other calls come first. Names are the slots of the backend's call table:
// "open", "rename", "unlink", ... on POSIX; "createFile", "moveFileEx",
// "deleteFile", ... on Windows. Up to four calls can be armed at once; arming
// a name again replaces its fault, and a null name disarms them all.
// Independent of osTestFailAfter; osTestFaultFired tells of both.
void osTestFailCall(const char* name, uint32_t error, uint32_t count = osTestFailAlways);

// Runs step(context) once, right before the next system call of the file
// layer whose name starts with one of the '|'-separated `names` (names as
// for osTestFailCall; "rename" is any rename): a test puts another
// process's move there, such as something exchanged for a file at its name.
// A null name clears it.
void osTestBeforeCall(const char* name, void (*step)(void*), void* context);

// A test clock. While one is set, osDateNow returns `now`, and osSleep and
// the retry waits of the file layer do not wait: they add the wait to `now`
// and record it. For one test thread; the clock outlives its use.
struct OsTestClock {
  uint64_t now;        // milliseconds since 1970, as osDateNow returns
  uint32_t waits[32];  // the first waits asked for, in milliseconds
  uint32_t waitCount;  // how many waits were asked for (may exceed 32)
};
// Sets the test clock; null restores the system clock and real waits.
void osTestSetClock(OsTestClock* clock);

// Makes every close of a file stream take `milliseconds` longer, as
// on-access virus scanners make it on Windows; 0 turns it off. Without a
// call, QZR_TEST_CLOSE_DELAY_MS in the environment sets it (the benchmark's
// slow-close case).
void osTestSetCloseDelay(uint32_t milliseconds);
// Used by the OS layer: the close delay in milliseconds, or 0.
uint32_t osTestCloseDelay();

// Used by the OS layer: counts one call of the named system call and returns
// the error to simulate, or 0 to make the call for real.
uint32_t osTestCheckFault(const char* call);
// Used by the OS layer: the test clock, or null.
OsTestClock* osTestClock();
// Used by the OS layer: takes one wait on the test clock (which must be set).
void osTestClockWait(uint32_t milliseconds);
