// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320, initial value
// all ones, final complement).
#pragma once

#include "compiler.h"

// Updates *crc with `length` bytes of `data`. Start with *crc = 0; the value
// is complemented on entry and exit, so the result of one call is the input
// of the next and split updates give the same value as one update over the
// whole data.
void crc32Update(uint32_t* crc, const void* data, uint32_t length);
