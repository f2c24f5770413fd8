// OS initialisation, process environment and the process exit code.
#pragma once

#include "compiler.h"


// Exit code recorded by a stop request; 0 while none was made.
extern int32_t specialExitCode;

// Converts the process arguments to UTF-8 (one block owned by the OS layer,
// freed by osRelease) and consumes the character-set options. The wide
// arguments are wchar_t on Windows and plain char elsewhere.
int osConvertArguments(int argc, const void* const* args, int* outArgc, char*** outArgv);
int osInit(int argc, char** argv);
// Shuts the OS layer down and maps the program's result to the exit code.
int osExit(int result);
void osRelease();
SFX_NORETURN void osAbortOutOfResources();
uint32_t osProcessId();
void osResourceReport();
// Records a stop request with an exit code (console interrupt: 1).
int osRequestStop(int exitCode);
bool osStopRequested();
