// Code-page conversion primitives each backend supplies (Windows
// conversion functions, or iconv). Private to opsys-impl.
#pragma once

#include "compiler.h"

// The system's ANSI code page (POSIX: the locale's character set).
uint32_t convPrimAnsiCodePage();
// Converts bytes of a code page to a new UTF-16 block (memFree it). 0, or
// -1 after logging "MultiByteToWideChar".
int convPrimToWide(uint32_t codePage, const char* source, uint32_t length, uint16_t** wide, uint32_t* wideCount);
// Converts UTF-16 to a new block in a code page, "?" for characters it
// cannot hold (none for UTF-8). 0, or -1 after logging
// "WideCharToMultiByte".
int convPrimFromWide(uint32_t codePage, const uint16_t* wide, uint32_t wideCount, char** out, uint32_t* length);
// True when b starts a double-byte character in the code page.
bool convPrimIsLeadByte(uint32_t codePage, unsigned char b);
