// The installation lock: a ".lock" directory inside an install directory,
// so that two installers never work on one installation at once. The
// directory holds the file "holder" naming the process that holds it
// (process id, process start time, host), and may hold files of the
// holder's own work, such as the journal of an update.
#pragma once

#include "compiler.h"

// "<dir><sep>.lock"; without a directory the install directory of the
// executable. 0 or -1; the caller frees *path.
int lockPath(const char* dir, char** path);
// Takes the lock. A lock whose holder no longer runs on this host is taken
// over at once; one held by a running process never is. A lock of another
// host, or one without holder data, is taken over once it has been
// unchanged for more than 12 minutes. Otherwise up to 180 one-second
// attempts, judging the lock again at each. A lock that cannot be created
// for another reason than that it exists fails at once. While held, the
// lock directory's time is refreshed every minute. 0 when taken, -1
// otherwise. A lock taken over keeps the files its earlier holder left in
// it.
int lockObtain(const char* dir);
// Releases a lock this process took, only while it is still this
// process's. 0 when the lock directory was removed.
int lockRelease(const char* dir);
// True when this process holds the lock and its directory is present.
bool lockDetect(const char* dir);

// The clock and sleep the lock waits by; tests put in their own.
struct LockClock {
  uint64_t (*now)();           // ms since 1970 UTC
  void (*sleep)(uint64_t ms);  // waits
};
// Replaces the clock; null restores the system's.
void lockSetClock(const LockClock* clock);
