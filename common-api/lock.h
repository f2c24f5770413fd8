// The installation lock: a ".lock" directory inside an install directory,
// so that two installers never work on one installation at once.
#pragma once

#include "compiler.h"

// "<dir><sep>.lock"; without a directory the install directory of the
// executable. 0 or -1; the caller frees *path.
int lockPath(const char* dir, char** path);
// Takes the lock: removes a stale one (unchanged for more than 12 minutes),
// waits up to 180 one-second attempts for a live one. While held, the lock
// directory's time is refreshed every minute, so a long installation never
// looks stale to a second installer. 0 when taken, -1 otherwise.
int lockObtain(const char* dir);
// Releases a lock this process took. 0 when the lock directory was removed.
int lockRelease(const char* dir);
// True when this process holds the lock and its directory is present.
bool lockDetect(const char* dir);
