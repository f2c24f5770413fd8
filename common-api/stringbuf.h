// StringBuffer: the growable, always NUL-terminated byte buffer used for
// texts, paths and data. It remembers the source position that created it
// and charges every growth to that place; a state word catches use of freed
// or broken buffers.
#pragma once

#include <cstdarg>

#include "compiler.h"

struct StringBuffer {
  uint32_t magic;      // 0 growable, 0xF1DE fixed view, 0xC1EA freed, 0xDEAD growth failed
  uint32_t dataCheck;  // copy of the data pointer's low bits; must match `data`
  uint32_t length;     // bytes in use
  uint32_t capacity;   // bytes allocated (fixed view: its length)
  char* data;          // the bytes and a NUL; null until the first growth
  const char* file;    // creator's source file
  int line;            // creator's source line
};

enum : uint32_t {
  sbMagicGrowable = 0,
  sbMagicFixed = 0xF1DE,
  sbMagicFreed = 0xC1EA,
  sbMagicBroken = 0xDEAD,
};

StringBuffer* sbInit(StringBuffer* sb, const char* file, int line);
#define sbInitHere(sb) sbInit((sb), __FILE__, __LINE__)
void sbClean(StringBuffer* sb);
void sbEmpty(StringBuffer* sb);
int sbEnsureCapacity(StringBuffer* sb, uint32_t n);
uint32_t sbGetLength(const StringBuffer* sb);
char* sbGet(StringBuffer* sb);
// Hands the data block (NUL-terminated) to the caller, who frees it with
// memFree; the buffer is left empty and valid.
char* sbTakeString(StringBuffer* sb);

int sbAppendData(StringBuffer* sb, const void* data, uint32_t length);
int sbAppendChar(StringBuffer* sb, char c);
int sbAppendString(StringBuffer* sb, const char* text);
int sbAppendStringBuffer(StringBuffer* sb, const StringBuffer* other);
int sbPrintf(StringBuffer* sb, const char* fmt, ...) SFX_PRINTF(2, 3);
int sbVPrintf(StringBuffer* sb, const char* fmt, va_list ap);
