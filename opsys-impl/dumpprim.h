// Backend seam of the crash-dump module.
#pragma once

#include <cstdint>

constexpr uint32_t dumpPrefixMax = 1024;
// "<directory><sep><name>", filled before the handler is armed.
extern char dumpPrefix[dumpPrefixMax];

// Installs the backend's fault handler once; dumpPrefix already holds
// `prefix`.
int dumpPrimArm(const char* prefix);
// Appends "-yyyymmdd-hhmmss-<pid>.dmp" (fields: year, month, day, hour,
// minute, second) at `at`, never past end - 1; returns the new end.
char* dumpAppendSuffix(char* at, const char* end, const uint32_t fields[6], uint64_t pid);
