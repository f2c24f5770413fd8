// Process environment cache and the executable's location, shared by both
// backends.
#include <cstring>

#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osenv.h"
#include "osfile.h"
#include "osinit.h"
#include "sortmap.h"

namespace {

// name -> value; the key is one block "NAME\0value" owned by the map, the
// value points into it.
SortMap* envCache = nullptr;
bool envCacheOff = false;

char exePath[1024];
char exeDirectory[1024];
char* installDirectory = nullptr;
char* networkDirectory = nullptr;

// Adds one "NAME=value" entry to the cache; entries starting with "=" (the
// per-drive directories of Windows) are skipped.
void addEntry(const char* entry, void*) {
  const char* eq = strchr(entry, '=');
  if (!eq || eq == entry) return;
  size_t length = strlen(entry);
  char* block = static_cast<char*>(memAlloc(length + 1));
  memcpy(block, entry, length + 1);
  block[eq - entry] = 0;
  if (smInsert(envCache, block, block + (eq - entry) + 1) != 0) memFree(block);
}

SortMap* cache() {
  if (!envCache && !envCacheOff) {
    envCache = smCreateHere(SORTMAP_TAKEN_KEYS, nullptr);
    envPrimEnumerate(addEntry, nullptr);
  }
  return envCache;
}

// Replaces (or drops, value null) a cache entry after the environment
// changed, so the cache never disagrees with what children inherit.
void updateCache(const char* name, const char* value) {
  if (!envCache) return;
  smRemove(envCache, name);
  if (!value) return;
  size_t n = strlen(name);
  size_t v = strlen(value);
  char* block = static_cast<char*>(memAlloc(n + v + 2));
  memcpy(block, name, n + 1);
  memcpy(block + n + 1, value, v + 1);
  if (smInsert(envCache, block, block + n + 1) != 0) memFree(block);
}

}  // namespace

const char* osGetEnv(const char* name) {
  SortMap* m = cache();
  const char* value = m ? static_cast<const char*>(smGet(m, name)) : envPrimGetDirect(name);
  logTrace(logCatEnv, "ENV['%s']=%s\n", name, value ? value : "<null>");
  return value;
}

int osSetEnv(const char* name, const char* value) {
  if (envPrimSet(name, value) != 0) {
    logError(logCatEnv, "Cannot set environment variable %s\n", name);
    return -1;
  }
  updateCache(name, value);
  return 0;
}

// Names whose values are never written to a log: installer logs are sent
// around, and agents' environments can carry proxy passwords and tokens.
static bool envIsSecret(const char* name) {
  static constexpr const char* words[] = {"PASSWORD",   "PASSWD", "SECRET",  "TOKEN",
                                          "CREDENTIAL", "APIKEY", "API_KEY", "PRIVATE"};
  char upper[256];
  size_t n = 0;
  for (; name[n] && n + 1 < sizeof upper; n++)
    upper[n] = (char)(name[n] >= 'a' && name[n] <= 'z' ? name[n] - 32 : name[n]);
  upper[n] = 0;
  for (const char* w : words)
    if (strstr(upper, w)) return true;
  return false;
}

// Writes the process environment into the log after each log switch, so a
// log file on its own shows what the run saw. Values of secret-looking names
// are masked.
void osLogEnvironment() {
  if (!logGate(logCatEnv, logLevelDebug)) return;
  SortMap* m = cache();
  if (!m) return;
  logDebug(logCatEnv, "Process environment (%u variables):\n", smCount(m));
  const char* name = nullptr;
  for (void* v = smFirst(m, &name); v; v = smNext(m, &name))
    logDebug(logCatEnv, "   %s=%s\n", name, envIsSecret(name) ? "********" : static_cast<const char*>(v));
}

void envRelease() {
  smDestroy(envCache);
  envCache = nullptr;
  envCacheOff = true;
}

// Test hook: turns the cache on again after an OS exit.
void envReset() { envCacheOff = false; }

int exeInit() {
  char path[1024];
  int rc = exePrimModulePath(path, sizeof path);
  if (rc > 0) {
    logError(logCatExeName, "This executable is placed in a directory with a pathname that is too long\n");
    return -1;
  }
  if (rc < 0) return -1;
  const char* last = strrchr(path, osPathSeparator);
  if (!last) {
    logError(logCatExeName, "Cannot determine directory where the executable is placed\n");
    return -1;
  }
  memcpy(exePath, path, sizeof exePath);
  memcpy(exeDirectory, path, (size_t)(last - path));
  exeDirectory[last - path] = 0;
  osSetEnv("QZR_PARENT_EXECUTABLE_NAME", exePath);
  logDebug(logCatExeName, "Executable name = %s\n", exePath);

  // Two levels above the executable's directory: <install>/bin/x.exe.
  char up[1100];
  snprintf(up, sizeof up, "%.*s..%c..", (int)(last - path + 1), path, osPathSeparator);
  memFree(installDirectory);
  memFree(networkDirectory);
  installDirectory = osFileFullPath(up);
  networkDirectory = nullptr;
  if (installDirectory) {
    logDebug(logCatExeName, "Install directory is %s\n", installDirectory);
    char net[1200];
    snprintf(net, sizeof net, "%s%cnet", up, osPathSeparator);
    networkDirectory = osFileFullPath(net);
    if (networkDirectory) logDebug(logCatExeName, "Network directory is %s\n", networkDirectory);
  }
  return 0;
}

void exeRelease() {
  memFree(installDirectory);
  memFree(networkDirectory);
  installDirectory = networkDirectory = nullptr;
}

const char* osGetExecutableName() { return exePath; }
const char* osGetExecutableDirectory() { return exeDirectory; }
char* osGetInstallDirectory() { return installDirectory ? memStrDup(installDirectory) : nullptr; }
char* osGetNetworkDirectory() { return networkDirectory ? memStrDup(networkDirectory) : nullptr; }
char* osCopyExecutableDirectory() { return exeDirectory[0] ? memStrDup(exeDirectory) : nullptr; }
