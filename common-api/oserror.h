// OS error text: the system's description of an error code, and the
// reports that log a failed system call with its code and description.
//
// Codes are Win32 error codes on Windows and errno values elsewhere.
#pragma once

#include "compiler.h"

// The description of `code`, trimmed of surrounding white space. On Windows
// a module name selects that module's message table first. The text lives in
// the calling thread's scratch buffer until the thread asks for the next one;
// without one the text is a fixed message. Never null.
const char* osErrorText(const char* moduleName, uint32_t code, ...);
// Logs at ERROR under `category`: the message, ": <code>: " and the
// description; gated by "opsys.error" as well as the category. A null or
// empty format logs nothing.
void osErrorReport(uint32_t category, uint32_t code, const char* format, ...) SFX_PRINTF(3, 4);
// As osErrorReport, with the description from the named module's table and
// without the code: the message, ": " and the description.
void osErrorReportModule(uint32_t category, const char* moduleName, uint32_t code, const char* format, ...)
    SFX_PRINTF(4, 5);
// Logs the message and ": <description>" at `level`, without the opsys.error
// gate.
void osErrorLog(uint32_t level, uint32_t category, uint32_t code, const char* format, ...) SFX_PRINTF(4, 5);
// The calling thread's last system error code (GetLastError / errno).
uint32_t osErrorLast();
