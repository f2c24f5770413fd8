// Private to the OS layer: the parts of the file module that both backends
// share, and the hooks they supply to it.
#pragma once

#include <cstdint>

#include "iostream.h"
#include "osfile.h"

// The words of "Cannot open file '%s' for %s", by open mode.
extern const char* const fileModeWords[osFileModeCount];

// 0, 1 or 2 when `path` names standard input, output or error ("stdin",
// "conin$", "-" for reading; "stdout", "conout$", "-"; "stderr", "conerr$";
// any case), else -1.
int fileStandardStreamOf(const char* path, uint32_t mode);

// The DEBUG lines of a closed file's traffic.
void fileLogClosed(const char* path, uint64_t bytesRead, uint32_t reads, uint64_t bytesWritten, uint32_t writes);

// The first wait of a retried delete, in milliseconds.
inline constexpr uint32_t fileRetryFirstWait = 100;
// Waits before the next attempt of an operation the system refused for a
// moment (a busy file): `*wait` milliseconds, then doubles `*wait` up to
// 500 ms, so the waits run 100, 200, 400, 500, 500, ... Under a test clock
// the wait only advances the clock.
void fileRetryWait(uint32_t* wait);
// The simulated slow close of the test seam (osTestSetCloseDelay), if set.
void fileCloseDelay();

// Backend: whether standard stream 0, 1 or 2 is a console (a terminal).
bool filePrimIsConsole(int std);
// Backend: columns of the console behind standard stream 0, 1 or 2; 0 when
// unknown.
uint32_t filePrimConsoleColumns(int std);
