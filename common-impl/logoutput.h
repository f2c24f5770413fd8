// Internal seam between the log call (logging.cpp) and the log output
// (logfile.cpp): the open log stream, record writing and the per-thread
// logging state.
#pragma once

#include <cstdarg>

#include "compiler.h"

// True once a log stream is open (after the first successful logSwitchFile).
bool logOutputIsOpen();
// Formats and writes one record that passed the gate to the open log.
void logOutputRecord(uint32_t level, uint32_t cat, const char* fmt, va_list ap, const void* data, uint32_t len,
                     bool dump);
void logOutputStopPipe();
void logOutputStatistics(uint64_t* records, uint64_t* bytes);
void logOutputClose();
// Releases the stored names and the logging mutex.
void logOutputRelease();

// Name of the calling thread as shown in record prefixes.
const char* logThreadName();
int logSuppressionDepth();
uint32_t logErrorBufferMode();
void logSetErrorBufferMode(uint32_t mode);

// Logging settings read by the output side.
void logSetErrLevelEnvName(bool toStdout);
uint32_t logGetBufferSize();
bool logPipeRequested();
