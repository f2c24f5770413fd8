// OS initialisation, process environment, console control and the process
// exit code.
#pragma once

#include <cstdio>

#include "compiler.h"

// Exit code recorded by a stop request; 0 while none was made.
extern int32_t specialExitCode;

// Converts the process arguments to UTF-8 (one block owned by the OS layer,
// freed by osRelease) and consumes the character-set options. The wide
// arguments are wchar_t on Windows and plain char elsewhere.
int osConvertArguments(int argc, const void* const* args, int* outArgc, char*** outArgv);
// Brings the OS layer up: console control handler, clock, user, system
// description, executable location, host names, threads, process module.
int osInit(int argc, char** argv);
// Shuts the OS layer down and maps the program's result to the exit code:
// a recorded stop code wins; results of 140 and above become 0.
int osExit(int result);
// Frees the converted arguments and unloads the secure library.
void osRelease();
SFX_NORETURN void osAbortOutOfResources();
uint32_t osProcessId();
// Writes the process memory counters to the stream, or to the log at DEBUG
// without one.
void osMemoryReport(FILE* stream);
void osResourceReport();

// Records a stop request with an exit code (console interrupt: 1). Before
// any thread exists the process ends at once with osExit(exitCode).
int osRequestStop(int exitCode);
bool osStopRequested();
// The stop flag alone, as osThreadStopAll raises and clears it.
void osSetStopRequested();
void osClearStopRequested();
bool osShutdownInProgress();
void osSetFinalExitCode(int64_t code);

// A console control event (0 Ctrl-C, 1 Break, 2 Close, 5 Logoff,
// 6 Shutdown): the first asks the program to stop with exit code 1, the
// second ends the process. Returns 1 (handled) when it returns.
int osConsoleCtrlHandler(uint32_t event);

// Stored texts, valid between osInit and osExit.
const char* osGetExecutableName();
const char* osGetExecutableDirectory();
// Owned copies (memFree), or null when unknown.
char* osGetInstallDirectory();
char* osGetNetworkDirectory();
char* osCopyExecutableDirectory();
// 0 host name, 1 fully qualified name, 2 fully qualified else host name.
const char* osGetHostName(int kind);
const char* osGetCurrentUser();
// "windows=v%u.%u build=%u kernel=%s processors=%u ram=%I64uMB" (on POSIX
// the system's own name and release) and the HTTP user agent.
const char* osGetDescription();
const char* osGetUserAgent();

// Function name and slot pair for osLoadFunctions; the table ends with a
// null name.
struct OsFunctionSlot {
  const char* name;  // exported symbol
  void** slot;       // where its address goes
};
// Loads a library once into *module and resolves every name of the table;
// on any missing name the library is unloaded and every slot cleared.
int osLoadFunctions(void** module, const OsFunctionSlot* table, const char* libraryName);
// Loads a library by full path (null on failure, with the system text in
// the log at DEBUG), resolves a symbol, unloads.
void* osLibraryLoad(const char* path);
void* osLibrarySymbol(void* library, const char* name);
void osLibraryUnload(void* library);
// Platform file name of a library called name in the executable's
// directory ("secure.dll", "libsecure.so"). memFree the result.
char* osLibraryPathBesideExecutable(const char* name);
