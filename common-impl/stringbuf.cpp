// StringBuffer: growth by powers of two from 64, NUL after the data,
// validity by magic value and data check; the appending, trimming and
// escaping helpers. Date formatting is in sbdate.cpp, streams and files in
// stringbufios.cpp.
#include "stringbuf.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osinit.h"

namespace {

uint32_t checkOf(const char* p) { return (uint32_t)(uintptr_t)p; }

const char* fileOf(const StringBuffer* sb) { return sb->file ? sb->file : "<null>"; }

void invalidMessage(const StringBuffer* sb) {
  logFatal(logCatStringBuf, "returning 0 pointer for StringBuffer (memory error: %x) @ %s line %d\n", sb->magic,
           fileOf(sb), sb->line);
}

// Grows the block so that it holds `size` bytes (the NUL included): the
// capacity becomes 64 doubled until it exceeds the size. Fixed views, the
// size limit and a failed allocation are refused with -1.
int grow(StringBuffer* sb, uint32_t size) {
  if (size < sb->length) size = sb->length;
  if (size > sbMaxCapacity) {
    logFatal(logCatStringBuf, "StringBuffer maximum capacity (%u) exceeded @ %s line %d\n", sbMaxCapacity, fileOf(sb),
             sb->line);
    return -1;
  }
  if (sb->magic == sbMagicFixed) {
    logFatal(logCatStringBuf, "StringBuffer is fixed and cannot be extended @ %s line %d\n", fileOf(sb), sb->line);
    return -1;
  }
  uint32_t cap = 64;
  while (cap < size + 1) cap *= 2;
  char* p = static_cast<char*>(memReallocPtr(sb->data, cap, sb->file, sb->line));
  if (!p) {
    sb->data = nullptr;
    sb->capacity = 0;
    sb->magic = sbMagicBroken;
    logFatal(logCatStringBuf, "Out of memory in allocating string buffer @ %s line %d\n", fileOf(sb), sb->line);
    return -1;
  }
  sb->data = p;
  sb->dataCheck = checkOf(p);
  sb->capacity = cap;
  p[sb->length] = 0;
  return 0;
}

bool inSet(const char* set, char c) { return c && strchr(set, c) != nullptr; }
bool isSpace(char c) { return isspace((unsigned char)c) != 0; }

// Trims with a predicate over the bytes of a growable buffer.
template <typename Pred>
int trimWith(StringBuffer* sb, Pred strip) {
  if (!sbIsGrowable(sb)) return -1;
  if (!sb->data) return 0;
  uint32_t start = 0, end = sb->length;
  while (start < end && strip(sb->data[start])) start++;
  while (end > start && strip(sb->data[end - 1])) end--;
  if (start) memmove(sb->data, sb->data + start, end - start);
  sb->length = end - start;
  sb->data[sb->length] = 0;
  return 0;
}

// Replaces occurrences of oldText from offset `from`; all or only the first.
int replace(StringBuffer* sb, const char* oldText, const char* newText, bool all) {
  if (!sbIsGrowable(sb) || !oldText || !*oldText || !sb->data) return -1;
  if (!newText) newText = "";
  uint32_t oldLen = (uint32_t)strlen(oldText), newLen = (uint32_t)strlen(newText);
  uint32_t pos = 0;
  int found = 0;
  while (pos + oldLen <= sb->length) {
    uint32_t at = pos;
    while (at + oldLen <= sb->length && memcmp(sb->data + at, oldText, oldLen) != 0) at++;
    if (at + oldLen > sb->length) break;
    if (newLen > oldLen && sbEnsureCapacity(sb, sb->length + newLen - oldLen) != 0) return -1;
    memmove(sb->data + at + newLen, sb->data + at + oldLen, sb->length - at - oldLen + 1);
    memcpy(sb->data + at, newText, newLen);
    sb->length = sb->length - oldLen + newLen;
    found++;
    pos = at + newLen;
    if (!all) break;
  }
  return found ? 0 : -1;
}

}  // namespace

StringBuffer* sbInit(StringBuffer* sb, const char* file, int line) {
  memset(sb, 0, sizeof *sb);
  sb->file = file;
  sb->line = line;
  return sb;
}

StringBuffer* sbInitFixed(StringBuffer* sb, const void* bytes, uint32_t length, const char* file, int line) {
  sbInit(sb, file, line);
  sb->magic = sbMagicFixed;
  sb->length = sb->capacity = length;
  sb->data = static_cast<char*>(const_cast<void*>(bytes));
  return sb;
}

bool sbIsValid(const StringBuffer* sb) {
  if (!sb) return false;
  if (sb->magic == sbMagicGrowable) return sb->dataCheck == checkOf(sb->data);
  return sb->magic == sbMagicFixed && sb->data != nullptr;
}

bool sbIsGrowable(const StringBuffer* sb) {
  return sb && sb->magic == sbMagicGrowable && sb->dataCheck == checkOf(sb->data);
}

bool sbHasNoData(const StringBuffer* sb) { return sb->data == nullptr; }

void sbClean(StringBuffer* sb) {
  if (sb->magic == sbMagicFixed) return;
  // Only a block this buffer still owns is released: a broken or freed
  // buffer no longer has one.
  if (sb->data && sb->magic == sbMagicGrowable) memFreePtr(sb->data, sb->file, sb->line);
  sb->magic = sbMagicFreed;
  sb->length = sb->capacity = 0;
  sb->dataCheck = 0xFFFF;
  sb->data = nullptr;
}

void sbZap(StringBuffer* sb) {
  if (sb->magic == sbMagicFixed) return;
  if (sbIsGrowable(sb) && sb->data) {
    volatile char* p = sb->data;
    for (uint32_t i = 0; i < sb->capacity; i++) p[i] = 0;
  }
  sbClean(sb);
}

void sbEmpty(StringBuffer* sb) {
  if (sb->magic == sbMagicFixed && sb->data) return;
  if (!sbIsGrowable(sb)) {
    logWarn(logCatStringBuf, "Sequencing error; call to empty StringBuffer (memory error: %x) @ %s line %d\n",
            sb->magic, fileOf(sb), sb->line);
    osAbortOutOfResources();
  }
  sb->length = 0;
  if (sb->data) sb->data[0] = 0;
}

int sbEnsureCapacity(StringBuffer* sb, uint32_t n) {
  if (!sbIsGrowable(sb)) return -1;
  if (sb->data && n < sbMaxCapacity && n + 1 < sb->capacity) return 0;
  if (n >= sbMaxCapacity) {
    logFatal(logCatStringBuf, "StringBuffer maximum capacity (%u) exceeded @ %s line %d\n", sbMaxCapacity, fileOf(sb),
             sb->line);
    return -1;
  }
  return grow(sb, n + 1);
}

uint32_t sbGetLength(const StringBuffer* sb) { return sb->length; }

char* sbGet(StringBuffer* sb) {
  if (!sbIsValid(sb)) {
    invalidMessage(sb);
    return nullptr;
  }
  return sb->data ? sb->data : memEmptyString;
}

char* sbGetDataLength(StringBuffer* sb, char** data, uint32_t* length) {
  char* p = sbGet(sb);
  if (data) *data = p;
  if (length) *length = p ? sb->length : 0;
  return p;
}

char* sbPointer(StringBuffer* sb) {
  if (!sbIsGrowable(sb) || !sb->data) {
    invalidMessage(sb);
    return nullptr;
  }
  return sb->data;
}

char* sbTakeString(StringBuffer* sb) {
  if (sbIsGrowable(sb)) {
    char* p = sb->data ? sb->data : memEmptyString;
    sb->magic = 0;
    sb->dataCheck = 0;
    sb->length = sb->capacity = 0;
    sb->data = nullptr;
    return p;
  }
  if (sbIsValid(sb)) {
    if (sb->capacity == 0) return memEmptyString;
    StringBuffer copy;
    sbInitHere(&copy);
    if (sbAppendData(&copy, sb->data, sb->capacity) != 0) return nullptr;
    return sbTakeString(&copy);
  }
  invalidMessage(sb);
  return nullptr;
}

uint32_t sbAdopt(StringBuffer* sb, char* block, uint32_t length) {
  if (sb->magic != sbMagicFixed && sbIsGrowable(sb) && sb->data) memFreePtr(sb->data, sb->file, sb->line);
  sb->magic = sbMagicGrowable;
  sb->data = block;
  sb->dataCheck = checkOf(block);
  sb->length = length;
  sb->capacity = length + 1;
  block[length] = 0;
  return length + 1;
}

int sbSetLength(StringBuffer* sb, uint32_t n, uint32_t* length) {
  if (!sbIsValid(sb) || n >= sb->capacity) {
    if (length) *length = sb->length;
    return -1;
  }
  sb->length = n;
  // A fixed view's bytes belong to someone else: only its cursor moves.
  if (sb->magic == sbMagicGrowable) sb->data[n] = 0;
  if (length) *length = n;
  return 0;
}

int sbRemove(StringBuffer* sb, uint32_t start, uint32_t end) {
  if (!sbIsGrowable(sb) || start >= sb->length || end <= start) return -1;
  if (end > sb->length) end = sb->length;
  memmove(sb->data + start, sb->data + end, sb->length - end + 1);
  sb->length -= end - start;
  sb->data[sb->length] = 0;
  return 0;
}

int sbGetByteAt(const StringBuffer* sb, uint32_t index, int16_t* value) {
  if (!sbIsValid(sb) || index >= sb->length) return -1;
  *value = (int16_t)(signed char)sb->data[index];
  return 0;
}

int sbSetByteAt(StringBuffer* sb, uint32_t index, char byte) {
  if (!sbIsGrowable(sb) || index >= sb->length) return -1;
  sb->data[index] = byte;
  return 0;
}

int sbFindByte(const StringBuffer* sb, char byte, uint32_t start, uint32_t* index) {
  if (!sbIsValid(sb) || start >= sb->length) return -1;
  const void* hit = memchr(sb->data + start, byte, sb->length - start);
  if (!hit) return -1;
  *index = (uint32_t)(static_cast<const char*>(hit) - sb->data);
  return 0;
}

int sbFindLastByte(const StringBuffer* sb, char byte, uint32_t* index) {
  if (!sbIsValid(sb) || sb->length < 2) return -1;
  for (uint32_t i = sb->length - 1; i >= 1; i--) {
    if (sb->data[i] == byte) {
      *index = i;
      return 0;
    }
    if (sb->data[i] == 0) return -1;
  }
  return -1;
}

int sbTrim(StringBuffer* sb) { return trimWith(sb, isSpace); }

int sbTrimSet(StringBuffer* sb, const char* set) {
  return trimWith(sb, [set](char c) { return inSet(set, c); });
}

int sbReplaceAll(StringBuffer* sb, const char* oldText, const char* newText) {
  return replace(sb, oldText, newText, true);
}

int sbReplaceFirst(StringBuffer* sb, const char* oldText, const char* newText) {
  return replace(sb, oldText, newText, false);
}

int sbAppendData(StringBuffer* sb, const void* data, uint32_t length) {
  if (!sbIsGrowable(sb)) return -1;
  if (length == 0) return 0;
  if (length > sbMaxCapacity || sbEnsureCapacity(sb, sb->length + length) != 0) return -1;
  memcpy(sb->data + sb->length, data, length);
  sb->length += length;
  sb->data[sb->length] = 0;
  return 0;
}

int sbAppendChar(StringBuffer* sb, char c) { return sbAppendData(sb, &c, 1); }

int sbAppendString(StringBuffer* sb, const char* text) {
  if (!text) return sbIsGrowable(sb) ? 0 : -1;
  return sbAppendData(sb, text, (uint32_t)strlen(text));
}

int sbAppendWithNul(StringBuffer* sb, const char* text) {
  return sbAppendData(sb, text ? text : "", (uint32_t)strlen(text ? text : "") + 1);
}

int sbAppendStringBuffer(StringBuffer* sb, const StringBuffer* other) {
  if (!sbIsValid(other)) return sbIsGrowable(sb) ? 0 : -1;
  return sbAppendData(sb, other->data, other->length);
}

int sbMoveStringBuffer(StringBuffer* dst, StringBuffer* src) {
  if (!sbIsGrowable(dst)) return -1;
  bool dstHasText = dst->data && dst->length;
  if (!dstHasText && sbIsGrowable(src) && src != dst) {
    if (dst->data) memFreePtr(dst->data, dst->file, dst->line);
    dst->magic = src->magic;
    dst->dataCheck = src->dataCheck;
    dst->length = src->length;
    dst->capacity = src->capacity;
    dst->data = src->data;
    src->magic = 0;
    src->dataCheck = 0;
    src->length = src->capacity = 0;
    src->data = nullptr;
    return 0;
  }
  if (src == dst) return 0;
  if (sbAppendStringBuffer(dst, src) != 0) return -1;
  if (sbIsValid(src)) sbEmpty(src);
  return 0;
}

int sbVPrintf(StringBuffer* sb, const char* fmt, va_list ap) {
  if (!sbIsGrowable(sb)) return -1;
  uint32_t chunk = 128;
  for (;;) {
    if (sbEnsureCapacity(sb, sb->length + chunk) != 0) return -1;
    va_list copy;
    va_copy(copy, ap);
    int r = vsnprintf(sb->data + sb->length, chunk, fmt, copy);
    va_end(copy);
    if (r >= 0 && (uint32_t)r < chunk - 1) {
      sb->length += (uint32_t)r;
      sb->data[sb->length] = 0;
      return 0;
    }
    // Too small: drop what was cut off and retry with the size asked for.
    sb->data[sb->length] = 0;
    uint64_t next = r >= 0 ? (uint64_t)r + 2 : (uint64_t)chunk * 2;
    if (next >= sbMaxPrintf) return 0;
    chunk = (uint32_t)next;
  }
}

int sbPrintf(StringBuffer* sb, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = sbVPrintf(sb, fmt, ap);
  va_end(ap);
  return r;
}

int sbSetPrintf(StringBuffer* sb, const char* fmt, ...) {
  if (!sbIsGrowable(sb)) return -1;
  sbEmpty(sb);
  va_list ap;
  va_start(ap, fmt);
  int r = sbVPrintf(sb, fmt, ap);
  va_end(ap);
  return r;
}

int sbAppendUInt16(StringBuffer* sb, uint16_t value) { return sbPrintf(sb, "%hu", value); }
int sbAppendUInt32(StringBuffer* sb, uint32_t value) { return sbPrintf(sb, "%u", value); }
int sbAppendUInt64(StringBuffer* sb, uint64_t value) { return sbPrintf(sb, "%" PRIu64, value); }

int sbAppendTrimmed(StringBuffer* sb, const char* text, int32_t length) {
  if (!sbIsGrowable(sb)) return -1;
  if (!text) return 0;
  uint32_t n = 0;
  while ((length < 0 || n < (uint32_t)length) && text[n]) n++;
  uint32_t start = 0;
  while (start < n && isSpace(text[start])) start++;
  while (n > start && isSpace(text[n - 1])) n--;
  return sbAppendData(sb, text + start, n - start);
}

int sbAppendPrintable(StringBuffer* sb, const char* text, bool keepQuotes) {
  if (!sbIsGrowable(sb)) return -1;
  for (const char* p = text ? text : ""; *p; p++) {
    unsigned char c = (unsigned char)*p;
    if (c < 0x20 || c >= 0x7F) continue;
    if (!keepQuotes && (c == '"' || c == '\'')) continue;
    if (sbAppendChar(sb, (char)c) != 0) return -1;
  }
  return 0;
}

int sbAppendQuotedValue(StringBuffer* sb, const char* text, bool quote) {
  if (!sbIsGrowable(sb)) return -1;
  if (!text) text = "";
  bool enclose = false;
  if (quote)
    for (const char* p = text; *p && !enclose; p++) enclose = isSpace(*p);
  int r = enclose ? sbAppendChar(sb, '"') : 0;
  for (const char* p = text; *p && r == 0; p++) {
    char c = *p;
    if (c == '\n') {
      r = sbAppendData(sb, "\\n", 2);
      continue;
    }
    if (c == '#' || c == '\\' || c == '=' || c == '"' || (!quote && isSpace(c))) r = sbAppendChar(sb, '\\');
    if (r == 0) r = sbAppendChar(sb, c);
  }
  if (r == 0 && enclose) r = sbAppendChar(sb, '"');
  return r;
}

int sbAppendHexByte(StringBuffer* sb, uint8_t byte) {
  static const char digits[] = "0123456789abcdef";
  char pair[2] = {digits[byte >> 4], digits[byte & 15]};
  return sbAppendData(sb, pair, 2);
}

int sbAppendHex(StringBuffer* sb, const StringBuffer* bytes) {
  if (!sbIsGrowable(sb)) return -1;
  if (!sbIsValid(bytes) || bytes->length == 0) return 0;
  if ((uint64_t)bytes->length * 2 + sb->length >= sbMaxCapacity ||
      sbEnsureCapacity(sb, sb->length + bytes->length * 2) != 0)
    return -1;
  for (uint32_t i = 0; i < bytes->length; i++)
    if (sbAppendHexByte(sb, (uint8_t)bytes->data[i]) != 0) return -1;
  return 0;
}

int sbAppendUrlEscaped(StringBuffer* sb, const char* text, int mode) {
  if (!sbIsGrowable(sb)) return -1;
  const char* safe = mode == 1 ? "$-_.!*'(),/?:@=&" : mode == 2 ? "$-_.!*'(),/" : "$-_.!*'(),";
  for (const char* p = text ? text : ""; *p; p++) {
    unsigned char c = (unsigned char)*p;
    int r = isalnum(c) || inSet(safe, (char)c) ? sbAppendChar(sb, (char)c) : sbPrintf(sb, "%%%02X", c);
    if (r != 0) return -1;
  }
  return 0;
}

bool sbNextToken(StringBuffer* fixed, StringBuffer* out) {
  if (fixed->magic != sbMagicFixed) {
    logFatal(logCatStringBuf, "Cannot iterate over non-fixed SB @ %s line %d\n", fileOf(fixed), fixed->line);
    osAbortOutOfResources();
  }
  sbEmpty(out);
  if (!fixed->data || fixed->length >= fixed->capacity) return false;
  const char* start = fixed->data + fixed->length;
  uint32_t left = fixed->capacity - fixed->length;
  const char* comma = static_cast<const char*>(memchr(start, ',', left));
  uint32_t n = comma ? (uint32_t)(comma - start) : left;
  sbAppendData(out, start, n);
  fixed->length += comma ? n + 1 : n;
  sbTrim(out);
  return true;
}

char* sbNextWord(StringBuffer* sb, char** cursor) {
  if (!sbIsGrowable(sb) || !sb->data) return nullptr;
  char* end = sb->data + sb->length;
  char* p = *cursor ? *cursor : sb->data;
  if (p < sb->data || p > end) return nullptr;
  while (p < end && (isSpace(*p) || *p == 0)) p++;
  if (p >= end) {
    *cursor = end;
    return nullptr;
  }
  char* word = p;
  while (p < end && *p && !isSpace(*p)) p++;
  if (p < end) *p++ = 0;
  *cursor = p;
  return word;
}
