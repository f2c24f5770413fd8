// StringBuffer: the growable, always NUL-terminated byte buffer used for
// texts, paths and data. It remembers the source position that created it
// and charges every growth to that place; a state word catches use of freed
// or broken buffers.
//
// A buffer is valid when `magic` is 0 and `dataCheck` matches `data`
// (growable), or when `magic` is 0xF1DE and `data` is set (a fixed,
// read-only view of bytes owned by someone else). A zero-initialised buffer
// with file and line set is a valid empty growable buffer: that is what
// sbInit makes. Capacities are 64 and its doublings; a buffer stays below
// 0x20000000 bytes. Results are 0 or -1 unless said otherwise; messages go
// to common.stringbuf.
#pragma once

#include <cstdarg>

#include "compiler.h"

struct IoStream;

struct StringBuffer {
  uint32_t magic;      // 0 growable, 0xF1DE fixed view, 0xC1EA freed, 0xDEAD growth failed
  uint32_t dataCheck;  // copy of the data pointer's low bits; must match `data`
  uint32_t length;     // bytes in use (a fixed view being iterated: the cursor)
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

// Largest size a buffer may grow to, and the limit of one formatted append.
constexpr uint32_t sbMaxCapacity = 0x1FFFFFFF;
constexpr uint32_t sbMaxPrintf = 0x400000;

// ---- Life cycle and access ----

// Makes an empty growable buffer charged to file/line; returns sb.
StringBuffer* sbInit(StringBuffer* sb, const char* file, int line);
#define sbInitHere(sb) sbInit((sb), __FILE__, __LINE__)
// Makes a read-only view of `length` bytes (nothing is copied).
StringBuffer* sbInitFixed(StringBuffer* sb, const void* bytes, uint32_t length, const char* file, int line);
#define sbInitFixedHere(sb, bytes, length) sbInitFixed((sb), (bytes), (length), __FILE__, __LINE__)
// Frees the block and marks the buffer freed; a fixed view is left alone.
void sbClean(StringBuffer* sb);
// sbClean after overwriting the whole capacity with zeros (secrets).
void sbZap(StringBuffer* sb);
// Length 0 and a NUL at the start; a fixed view is unchanged. An invalid
// buffer is a sequencing error that ends the process (exit code 3).
void sbEmpty(StringBuffer* sb);
// Makes room for n bytes and a NUL; -1 for a buffer that is not growable.
int sbEnsureCapacity(StringBuffer* sb, uint32_t n);
uint32_t sbGetLength(const StringBuffer* sb);
// The bytes (NUL-terminated), a static "" when there are none, or null with
// a FATAL-level message for an invalid buffer. Borrowed.
char* sbGet(StringBuffer* sb);
// As sbGet, also giving the length; both outs may be null.
char* sbGetDataLength(StringBuffer* sb, char** data, uint32_t* length);
// The block of a growable buffer that has one; null (with the message) otherwise.
char* sbPointer(StringBuffer* sb);
bool sbIsValid(const StringBuffer* sb);
bool sbIsGrowable(const StringBuffer* sb);
bool sbHasNoData(const StringBuffer* sb);
// Hands the data block (NUL-terminated) to the caller, who frees it with
// memFree (which ignores the static "" an empty buffer gives); the buffer is
// left empty and valid. A fixed view's bytes are copied. Null for an invalid
// buffer.
char* sbTakeString(StringBuffer* sb);
// Frees the current block and takes `block` (a tracked heap block of at
// least length + 1 bytes) as the data; returns length + 1.
uint32_t sbAdopt(StringBuffer* sb, char* block, uint32_t length);
// Cuts the text to n bytes; -1 when n is not below the capacity (*length,
// may be null, then holds the old length).
int sbSetLength(StringBuffer* sb, uint32_t n, uint32_t* length);
// Removes bytes [start, end); end is clipped to the length.
int sbRemove(StringBuffer* sb, uint32_t start, uint32_t end);
// The byte at index, sign-extended.
int sbGetByteAt(const StringBuffer* sb, uint32_t index, int16_t* value);
int sbSetByteAt(StringBuffer* sb, uint32_t index, char byte);
// First index at or after start holding byte.
int sbFindByte(const StringBuffer* sb, char byte, uint32_t start, uint32_t* index);
// Last index holding byte, searching back to index 1 and stopping at a NUL.
int sbFindLastByte(const StringBuffer* sb, char byte, uint32_t* index);
// Removes leading and trailing white space (isspace) or bytes of `set`.
int sbTrim(StringBuffer* sb);
int sbTrimSet(StringBuffer* sb, const char* set);
// Replaces every (or the first) occurrence of oldText; -1 when none is found.
int sbReplaceAll(StringBuffer* sb, const char* oldText, const char* newText);
int sbReplaceFirst(StringBuffer* sb, const char* oldText, const char* newText);

// ---- Appending (all keep the NUL; -1 on a buffer that is not growable) ----

int sbAppendData(StringBuffer* sb, const void* data, uint32_t length);
int sbAppendChar(StringBuffer* sb, char c);
int sbAppendString(StringBuffer* sb, const char* text);
// The text and its NUL (counted in the length).
int sbAppendWithNul(StringBuffer* sb, const char* text);
int sbAppendStringBuffer(StringBuffer* sb, const StringBuffer* other);
// Appends the bytes of src and empties it; into an empty destination the
// block itself moves over without copying.
int sbMoveStringBuffer(StringBuffer* dst, StringBuffer* src);
// printf-formatted text. One append makes less than 4 MiB; a longer one is
// dropped and still gives 0.
int sbPrintf(StringBuffer* sb, const char* fmt, ...) SFX_PRINTF(2, 3);
int sbVPrintf(StringBuffer* sb, const char* fmt, va_list ap);
// Empties the buffer, then sbPrintf.
int sbSetPrintf(StringBuffer* sb, const char* fmt, ...) SFX_PRINTF(2, 3);
int sbAppendUInt16(StringBuffer* sb, uint16_t value);
int sbAppendUInt32(StringBuffer* sb, uint32_t value);
int sbAppendUInt64(StringBuffer* sb, uint64_t value);
// The text without leading and trailing white space; length -1 means
// NUL-terminated, a given length also stops at a NUL.
int sbAppendTrimmed(StringBuffer* sb, const char* text, int32_t length);
// The printable ASCII bytes of text; quotes are dropped unless keepQuotes.
int sbAppendPrintable(StringBuffer* sb, const char* text, bool keepQuotes);
// The text escaped for a key = value file: "\n" for a line feed, a backslash
// before # \ = "; with quote set a text holding white space is put in double
// quotes, without it white space gets a backslash.
int sbAppendQuotedValue(StringBuffer* sb, const char* text, bool quote);
// Two lowercase hexadecimal digits per byte.
int sbAppendHexByte(StringBuffer* sb, uint8_t byte);
int sbAppendHex(StringBuffer* sb, const StringBuffer* bytes);
// Letters and digits as is, bytes of the mode's safe set as is, the rest as
// %XX. Safe sets: mode 1 "$-_.!*'(),/?:@=&", mode 2 "$-_.!*'(),/", others
// "$-_.!*'(),".
int sbAppendUrlEscaped(StringBuffer* sb, const char* text, int mode);
// Local time of ms (since 1970 UTC) formatted by a letter pattern
// (yyyy-MM-dd HH:mm:ss.SSS and friends; 'quoted' text literal). Always 0.
int sbAppendDateFormat(StringBuffer* sb, uint64_t ms, const char* pattern);
// Reads count bytes (0: to the end of the stream) and appends them;
// *got (may be null) receives the bytes appended.
int sbAppendInputStream(StringBuffer* sb, IoStream* stream, uint32_t count, uint32_t* got);
// One iosRead of up to max bytes appended; the read's result.
int sbAppendIosRead(StringBuffer* sb, IoStream* stream, uint32_t max, uint32_t* got);

// ---- Files and streams ----

// Appends the whole file.
int sbAppendFile(StringBuffer* sb, const char* path);
// Reads a text file, honouring a byte order mark (else the local code page),
// and appends it as UTF-8.
int sbReadTextFile(StringBuffer* sb, const char* path);
// A new one-level "StringBufferIoStream" reading from readBuffer and
// writing to writeBuffer (either may be null, not both; they may be the
// same buffer). The buffers stay the caller's; closing frees only the state.
IoStream* sbStringBufferIoStream(StringBuffer* readBuffer, StringBuffer* writeBuffer);
// The next comma-separated item of a fixed view (its length is the cursor),
// trimmed, into out; false at the end. A growable buffer is fatal.
bool sbNextToken(StringBuffer* fixed, StringBuffer* out);
// Splits a growable buffer in place into white-space separated words: each
// call returns the next word (NUL-terminated inside the buffer) and moves
// *cursor (null to start); null at the end.
char* sbNextWord(StringBuffer* sb, char** cursor);

// The "StringBufferIoStream" tables (type test by identity).
struct IoStreamOps;
extern const IoStreamOps sbIoStreamReadWriteOps;
extern const IoStreamOps sbIoStreamReadOps;
extern const IoStreamOps sbIoStreamWriteOps;
