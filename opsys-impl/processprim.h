// Shared pieces of process launching used by both backends. Private to
// opsys-impl.
#pragma once

#include "compiler.h"
#include "stringbuf.h"

struct OsMutex;

// The "CreateProcess" mutex: held while the child's handles are
// inheritable.
extern OsMutex* processCreateMutex;

// Collects a child's output for the log: complete lines are written as
// they arrive, a last partial line at the end.
struct ProcessLogSink {
  StringBuffer pending;  // bytes of a line not yet ended
};
void processLogSinkInit(ProcessLogSink* sink);
void processLogSinkWrite(ProcessLogSink* sink, const char* data, uint32_t length);
void processLogSinkFinish(ProcessLogSink* sink);

// Where the bytes of one output pipe go: a buffer or the log.
int processDeliver(StringBuffer* buffer, ProcessLogSink* sink, const char* label, const char* data, uint32_t length);

// The child's log level: puts the logging's child level into the
// environment as QZR_LOGLEVEL for the child about to be created (under the
// "CreateProcess" mutex); processChildLogLevelEnd restores this process's
// own value, which its own level parsing may read again.
void processChildLogLevelBegin(char** saved);
void processChildLogLevelEnd(char** saved);

// Splits a command line by the rules of the standard argument parser of
// Windows programs (the inverse of osQuoteArgument), into a vector of
// tracked texts ended by null. Free with processFreeArgv.
char** processSplitCommandLine(const char* commandLine);
void processFreeArgv(char** argv);

// The calling process's own arguments as the standard parser gives them,
// in UTF-8 (tracked texts, null-terminated; free with processFreeArgv).
char** processOwnArguments();

// Backend: appends the command line that runs `command` through the command
// interpreter at `interpreter` ("sh" -c with the command quoted as one
// argument; cmd.exe /S /C with the command in quotes).
void processPrimShellLine(StringBuffer* line, const char* interpreter, const char* command);
