// The log pipe: an anonymous, non-inheritable pipe as one stream level of
// type "Pipe" holding both ends. Logging writes its lines into it from any
// thread and one thread reads them out into the log file.
#pragma once

#include "compiler.h"

struct IoStream;
struct IoStreamOps;

// "Pipe": read from the read end, write to the write end, close both.
extern const IoStreamOps osPipeStreamOps;

// Creates the pipe with a buffer of bufferSize bytes as a new stream, or null
// (nothing left open) on failure. A read returns 0 bytes with result 0 once
// the write end is closed and the pipe is empty.
IoStream* osPipeCreate(uint32_t bufferSize);
// Closes the write end only, so that the reader sees the end of data once it
// has read everything written before. 0 or -1.
int osPipeCloseWrite(IoStream* pipe);
// True when the pipe holds data to read, waiting up to `milliseconds`.
bool osPipeHasData(IoStream* pipe, uint32_t milliseconds);
