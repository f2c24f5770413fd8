// StringBuffer: growth by powers of two from 64, NUL after the data,
// validity by magic value and data check.
#include "stringbuf.h"

#include <cstdio>
#include <cstring>

#include "logging.h"
#include "memory.h"

namespace {

constexpr uint32_t sbMaxSize = 0x1FFFFFFF;
char sbStaticEmpty[1] = {0};

uint32_t checkOf(const char* p) { return (uint32_t)(uintptr_t)p; }

bool isGrowable(const StringBuffer* sb) { return sb->magic == sbMagicGrowable && sb->dataCheck == checkOf(sb->data); }

// Grows the block to hold n bytes (n includes the NUL).
int grow(StringBuffer* sb, uint32_t n) {
  if (!isGrowable(sb)) return -1;
  if (sb->data && n <= sb->capacity) return 0;
  if (n > sbMaxSize) {
    logError(logCatStringBuf, "StringBuffer size %u too large @ %s line %d\n", n, sb->file ? sb->file : "?", sb->line);
    sb->magic = sbMagicBroken;
    return -1;
  }
  uint32_t cap = sb->capacity < 64 ? 64 : sb->capacity;
  while (cap < n) cap *= 2;
  char* p = static_cast<char*>(memReallocPtr(sb->data, cap, sb->file, sb->line));
  if (!sb->data) p[0] = 0;
  sb->data = p;
  sb->dataCheck = checkOf(p);
  sb->capacity = cap;
  return 0;
}

}  // namespace

StringBuffer* sbInit(StringBuffer* sb, const char* file, int line) {
  memset(sb, 0, sizeof *sb);
  sb->file = file;
  sb->line = line;
  return sb;
}

void sbClean(StringBuffer* sb) {
  if (sb->magic == sbMagicFixed) return;
  if (sb->data) memFreePtr(sb->data, sb->file, sb->line);
  sb->magic = sbMagicFreed;
  sb->length = sb->capacity = 0;
  sb->dataCheck = 0xFFFF;
  sb->data = nullptr;
}

void sbEmpty(StringBuffer* sb) {
  if (sb->magic == sbMagicFixed) return;
  sb->length = 0;
  if (sb->data) sb->data[0] = 0;
}

int sbEnsureCapacity(StringBuffer* sb, uint32_t n) { return grow(sb, n + 1); }

uint32_t sbGetLength(const StringBuffer* sb) { return sb->length; }

char* sbGet(StringBuffer* sb) { return sb->data ? sb->data : sbStaticEmpty; }

char* sbTakeString(StringBuffer* sb) {
  if (!sb->data && grow(sb, 1) != 0) return nullptr;
  char* p = sb->data;
  sb->data = nullptr;
  sb->dataCheck = 0;
  sb->length = sb->capacity = 0;
  return p;
}

int sbAppendData(StringBuffer* sb, const void* data, uint32_t length) {
  if (!isGrowable(sb)) return -1;
  if (length == 0) return 0;
  if (grow(sb, sb->length + length + 1) != 0) return -1;
  memcpy(sb->data + sb->length, data, length);
  sb->length += length;
  sb->data[sb->length] = 0;
  return 0;
}

int sbAppendChar(StringBuffer* sb, char c) { return sbAppendData(sb, &c, 1); }
int sbAppendString(StringBuffer* sb, const char* text) { return sbAppendData(sb, text, (uint32_t)strlen(text)); }
int sbAppendStringBuffer(StringBuffer* sb, const StringBuffer* other) {
  return sbAppendData(sb, other->data, other->length);
}

int sbVPrintf(StringBuffer* sb, const char* fmt, va_list ap) {
  if (!isGrowable(sb)) return -1;
  va_list copy;
  va_copy(copy, ap);
  char small[256];
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return -1;
  if ((size_t)n < sizeof small) return sbAppendData(sb, small, (uint32_t)n);
  if (grow(sb, sb->length + (uint32_t)n + 1) != 0) return -1;
  vsnprintf(sb->data + sb->length, (size_t)n + 1, fmt, ap);
  sb->length += (uint32_t)n;
  return 0;
}

int sbPrintf(StringBuffer* sb, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = sbVPrintf(sb, fmt, ap);
  va_end(ap);
  return r;
}
