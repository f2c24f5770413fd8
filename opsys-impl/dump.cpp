// Crash-dump naming shared by both backends. The handlers themselves live in
// the backends; they only read the prefix prepared here and append the time
// and process id with code that neither allocates nor locks.
#include <cstdio>
#include <cstring>

#include "dumpprim.h"
#include "logging.h"
#include "osdir.h"
#include "osdump.h"

char dumpPrefix[dumpPrefixMax];

const char* osDumpPrefix() { return dumpPrefix; }

int osDumpSetDirectory(const char* directory, const char* name) {
  if (!name || !*name) name = "sfx";
  char prefix[dumpPrefixMax];
  int n;
  if (!directory || !*directory)
    n = snprintf(prefix, sizeof prefix, "%s", name);
  else if (directory[strlen(directory) - 1] == osPathSeparator)
    n = snprintf(prefix, sizeof prefix, "%s%s", directory, name);
  else
    n = snprintf(prefix, sizeof prefix, "%s%c%s", directory, osPathSeparator, name);
  if (n < 0 || (size_t)n >= sizeof prefix) {
    logError(logCatDump, "Crash dump directory name is too long: %s\n", directory);
    return -1;
  }
  memcpy(dumpPrefix, prefix, (size_t)n + 1);
  if (!osDumpSupported()) {
    logDebug(logCatDump, "Crash dumps are left to the sanitizer in this build\n");
    return 0;
  }
  if (dumpPrimArm(prefix) != 0) return -1;
  logDebug(logCatDump, "Crash dumps go to %s-*.dmp\n", prefix);
  return 0;
}

// Writes "-yyyymmdd-hhmmss-<pid>.dmp" after `at` from broken-down time
// fields; a formatter that is safe inside a fault handler.
char* dumpAppendSuffix(char* at, const char* end, const uint32_t fields[6], uint64_t pid) {
  auto put = [&](char c) {
    if (at < end - 1) *at++ = c;
  };
  auto digits = [&](uint64_t v, int width) {
    char tmp[24];
    int k = 0;
    do {
      tmp[k++] = (char)('0' + v % 10);
      v /= 10;
    } while (v && k < 20);
    while (k < width) tmp[k++] = '0';
    while (k) put(tmp[--k]);
  };
  put('-');
  digits(fields[0], 4);
  digits(fields[1], 2);
  digits(fields[2], 2);
  put('-');
  digits(fields[3], 2);
  digits(fields[4], 2);
  digits(fields[5], 2);
  put('-');
  digits(pid, 1);
  for (const char* s = ".dmp"; *s; s++) put(*s);
  *at = 0;
  return at;
}
