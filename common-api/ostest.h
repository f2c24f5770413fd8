// Fault injection for tests of code that works with files.
//
// Every file-system call of the file and directory layer (open, read, write,
// close, delete, move, attribute and time changes, directory creation,
// removal and listing, information queries) first passes one counter check.
// A test arms the counter so that the n-th such call from now fails with a
// chosen system error, then runs its scenario and checks that nothing is
// lost; repeating with n = 1, 2, 3, ... until the fault no longer fires
// covers every failure point. Production code never arms it; the check costs
// one atomic increment.
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
// True when an armed fault has fired since the last osTestFailAfter.
bool osTestFaultFired();
// File-system calls made since the last osTestFailAfter.
uint32_t osTestCallCount();

// Makes local time follow a POSIX-style zone such as "UTC0", "IST-5:30" or
// "NST+3:30" (standard time only on Windows); null restores the system's.
void osTestSetTimeZone(const char* zone);

// Used by the OS layer: counts one call and returns the error to simulate,
// or 0 to make the call for real.
uint32_t osTestCheckFault();
