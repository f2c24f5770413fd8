// Private helpers of the Windows backend: windows.h, UTF-8 <-> UTF-16.
#pragma once

#include <windows.h>

#include "compiler.h"

// Converts UTF-8 to a new UTF-16 block (memFree it), or null on failure.
wchar_t* winUtf8ToWide(const char* text);
// Converts UTF-16 to a new UTF-8 block (memFree it), or null on failure.
char* winWideToUtf8(const wchar_t* text);
