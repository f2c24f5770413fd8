// Child processes: start from a command line or an argument vector, feed
// standard input, collect standard output and error, wait for the end.
#pragma once

#include "compiler.h"

struct StringBuffer;

// Output target meaning: no redirection and no waiting.
#define RUNCOMMAND_NO_WAIT (reinterpret_cast<StringBuffer*>(1))

// What a caller gets instead of a wait.
struct OsProcessHandles {
  uintptr_t process;   // process handle (POSIX: the process id)
  uintptr_t thread;    // main thread handle (POSIX: 0)
  uint32_t processId;  // process id
  uint32_t threadId;   // main thread id (POSIX: 0)
};

// Runs a command line. input (may be null) is written whole to the child's
// standard input. output: null sends the child's output and error to the
// log stream, RUNCOMMAND_NO_WAIT starts it without redirection or waiting,
// a buffer collects standard output (and standard error too when errors is
// null). exitCode receives the child's code (258 after the one-hour wait
// ran out and the child was killed). With handles the caller owns the
// handles and nothing is waited for. 0 when the child ran and, where waited
// for, exited with 0; -1 otherwise.
int osRunCommand(const char* commandLine, StringBuffer* input, StringBuffer* output, StringBuffer* errors,
                 uint64_t* exitCode, OsProcessHandles* handles);
// Builds a command line from a null-terminated vector that the child's
// standard argument parsing turns back into exactly those elements (a
// batch-file target refuses elements the command interpreter would
// misread) and runs it. A bare first element names <exe dir>/<name>.exe
// when that file is present.
int osRunArgv(const char* const* argv, StringBuffer* input, StringBuffer* output, StringBuffer* errors,
              uint64_t* exitCode);
// Runs a command text through the command interpreter.
int osRunShellCommand(const char* command, StringBuffer* input, StringBuffer* output);
// The interpreter's path into out. 0 or -1.
int osGetCommandInterpreter(StringBuffer* out);
bool osCanExecute(const char* path);
// Module start (creates the "CreateProcess" mutex) and shut-down.
int osProcessInit();
// Whether process `pid` runs on this machine and when it started, so that a
// reused process id is not taken for an earlier process: 0 running (with
// *startTime, an opaque system value that stays the same for the life of
// the process), 1 not running, -1 unknown (for example access denied).
int osProcessStartTime(uint32_t pid, uint64_t* startTime);
void osProcessExit();
// "standalone" for this program (memFree the result).
char* osGetProcessDescription();

// Quoting of one element for a command line (appended to out), for the
// child's standard argument parser. Tests use it directly.
int osQuoteArgument(StringBuffer* out, const char* element);
// The same for a batch-file target (cmd.exe parses the line itself): -1
// with an ERROR for an element it cannot carry safely.
int osQuoteBatchArgument(StringBuffer* out, const char* element);
// How long osRunCommand waits for a child before killing it (ms); tests
// shorten it.
extern uint64_t osRunCommandTimeout;
