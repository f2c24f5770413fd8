// What each backend supplies to the shared OS start-up, environment and
// executable-location code. Private to opsys-impl.
#pragma once

#include "compiler.h"

// Installs the console control handler (POSIX: SIGINT, SIGHUP and SIGTERM
// through a self-pipe and a watcher thread). 0, or -1 after logging.
int initPrimInstallControlHandler();
// Ends the process at once with the code.
SFX_NORETURN void initPrimExitProcess(int code);
// The epoch base for file times. 0 or -1 after logging.
int initPrimEpoch();
// The account name (memStrDup'd). 0, or -1 after logging FATAL.
int initPrimUserName(char** user);
// The system description and the user agent.
int initPrimDescription(char* description, size_t descriptionSize, char* userAgent, size_t userAgentSize);
// Host name and fully qualified name (memStrDup'd; fqdn may stay null).
// 0, or -1 after logging FATAL.
int initPrimHostNames(char** host, char** fqdn);
// The process memory counters as report lines into text. false when the
// process cannot be queried.
bool initPrimMemoryCounters(char* text, size_t size);

// The executable's path in UTF-8: 0, 1 when too long, -1 on failure.
int exePrimModulePath(char* buffer, size_t size);

// Calls add for each "NAME=value" entry of the process environment (UTF-8).
void envPrimEnumerate(void (*add)(const char* entry, void* context), void* context);
// A variable read straight from the process environment, in a buffer of
// the calling thread valid until its next call; null when unset.
const char* envPrimGetDirect(const char* name);
// Sets (value non-null) or removes a variable. 0 or -1.
int envPrimSet(const char* name, const char* value);

// Shared: the environment cache and executable location release, used by
// osExit.
void envRelease();
// Turns the cache on again after envRelease (tests).
void envReset();
void exeRelease();
int exeInit();

// Backend: opens a library by name with the system's search order, without
// logging; null when it cannot be loaded.
void* libPrimOpen(const char* name);
// Backend: how a library's file name is made from its bare name
// ("lib" + name + ".so", name + ".dll").
extern const char* const libPrimNamePrefix;
extern const char* const libPrimNameSuffix;
