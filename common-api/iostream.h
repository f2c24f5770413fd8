// IoStream: byte input and output as a stack of levels.
//
// The bottom level talks to a resource (a file, a pipe, a FILE, a
// StringBuffer); each level above transforms or buffers the data of the level
// below. The caller holds one handle, always the top level, for the whole life
// of the stream: wrapping a level on top copies the old top into a new object
// below the handle, and unwrapping copies the level below back into the handle,
// so the handle's address never changes.
//
// A level's type is its operation table (IoStreamOps): a name and sixteen
// slots. A generic operation runs the slot of the first level, counting from
// the top, whose table fills it; a level only implements what it changes.
// Results are 0 for success and -1 for failure unless said otherwise; a read
// of 0 bytes with result 0 is the end of data. Messages go to common.iostream.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "compiler.h"

struct StringBuffer;
struct IoStreamOps;

// One level of a stream; the caller's handle is the top level.
struct IoStream {
  IoStream* next;          // the level below; null at the bottom level
  void* state;             // the level type's private state; null once its close ran
  const IoStreamOps* ops;  // the level's type; pointer identity is the type test
  uint8_t dirty;           // set by write-type dispatches on the handle, cleared by iosFlush
};

// Slot signatures. `read`, `preallocate` and `urgentRead` receive the level
// object (a read may unwrap its own level); every other slot receives the
// level's state. Positions, sizes and time-outs are 64-bit.
using IosReadFn = int (*)(IoStream* level, void* buf, uint32_t len, uint32_t* got);
using IosWriteFn = int (*)(void* state, const void* buf, uint32_t len, uint32_t* written);
using IosAcceptFn = int (*)(void* result, void* state, void* arg1, void* arg2);
using IosCloseFn = int (*)(void* state);
using IosGetcFn = int (*)(void* state);
using IosUngetFn = int (*)(void* state, const void* buf, uint32_t len);
using IosSeekFn = int (*)(void* state, uint64_t offset);
using IosFlushFn = int (*)(void* state);
using IosGetSeekFn = int (*)(void* state, uint64_t* pos);
using IosPutcFn = int (*)(void* state, int byte);
using IosCanReadFn = int (*)(void* state, uint64_t timeoutMs);
using IosWriteSbFn = int (*)(void* state, StringBuffer* sb);
using IosReservedFn = int (*)(void* state);
using IosPreallocateFn = int (*)(IoStream* level, uint64_t size);

// Time-out meaning "the resource's own default" for iosCanRead.
constexpr uint64_t iosDefaultTimeout = ~(uint64_t)0;

// The constant operation table of a stream type. Null slots pass the
// operation through to the levels below. Tables are written with designated
// initialisers:
//   const IoStreamOps fooOps = {.name = "Foo", .read = fooRead, .close = fooClose};
struct IoStreamOps {
  const char* name = nullptr;                // type name used in every message
  IosReadFn read = nullptr;                  // 1
  IosWriteFn write = nullptr;                // 2
  IosAcceptFn accept = nullptr;              // 3: server sockets only
  IosCloseFn close = nullptr;                // 4: also releases the state
  IosGetcFn getc = nullptr;                  // 5: 0..255 or -1
  IosUngetFn ungetdata = nullptr;            // 6: push-back
  IosSeekFn seek = nullptr;                  // 7: absolute offset
  IosFlushFn flush = nullptr;                // 8
  IosGetSeekFn getseek = nullptr;            // 9
  IosPutcFn putc = nullptr;                  // 10
  IosCanReadFn canRead = nullptr;            // 11: 0 when data can be read
  IosWriteSbFn writeStringBuffer = nullptr;  // 12
  IosReservedFn reserved13 = nullptr;        // 13: filled by no type
  IosPreallocateFn preallocate = nullptr;    // 14
  IosReadFn urgentRead = nullptr;            // 15: out-of-band read
  IosWriteFn urgentWrite = nullptr;          // 16: out-of-band write
};
static_assert(sizeof(IoStreamOps) == 17 * sizeof(void*), "name plus sixteen slots");

// The two types that live with the core.
extern const IoStreamOps iosFileIOOps;            // "FileIO": a stdio FILE
extern const IoStreamOps iosCopyOutputStreamOps;  // "CopyOutputStream": tee to a second stream

// ---- Construction and stacking ----

// A new one-level "FileIO" stream whose state is `file`; closing the stream
// fcloses the file. The caller owns the returned handle.
IoStream* iosNewFileIO(FILE* file);
// A new zeroed heap level with the given state and table and no level below:
// how bottom-level constructors of other modules make their handle.
IoStream* iosNewLevel(void* state, const IoStreamOps* ops);
// Pushes a level (state, ops) on top; the old top moves into a new object
// below the handle. Always 0.
int iosWrap(IoStream* stream, void* state, const IoStreamOps* ops);
// Pops the top level without running its close (the caller released its
// state). A drained "BufferedInputStream" right below goes too (iosbuffered.h).
int iosUnwrap(IoStream* stream);
// Pops, as iosUnwrap does, the first level from the top whose type name is
// exactly `typeName`; no match changes nothing (result 0).
int iosUnwrapType(IoStream* stream, const char* typeName);
// Flushes, closes the top level only (its close must leave the level below
// open) and pops it; the close result, 0 for a null stream or table.
int iosCloseThisLevel(IoStream* stream);
// Flushes and closes the whole stack, freeing the handle. Null gives 0.
int iosClose(IoStream* stream);
// Pushes a "CopyOutputStream" level that duplicates every write into
// `second`; `second` stays owned by the caller and is not closed with it.
int iosWrapCopyOutputStream(IoStream* stream, IoStream* second);

// ---- Generic operations (dispatched to the first level with the slot) ----

// Reads up to len bytes; *got = 0 with result 0 is end of data. A null buf
// probes: 0 when some level can read (got untouched), -1 silently otherwise.
int iosRead(IoStream* stream, void* buf, uint32_t len, uint32_t* got);
// Writes all len bytes, repeating the level's write while it takes some;
// *written (may be null) is the total, also after a failure. A null buf
// probes: 0 (and the handle marked dirty) when some level can write.
int iosWrite(IoStream* stream, const void* buf, uint32_t len, uint32_t* written);
// The next byte 0..255, or -1 at end of data or on failure.
int iosGetByte(IoStream* stream);
int iosPutByte(IoStream* stream, int byte);
// Pushes bytes back so that they are the next bytes read, in the given
// order; wraps an automatic "BufferedInputStream" when no level can.
int iosUnGetData(IoStream* stream, const void* buf, uint32_t len);
int iosUnGetByte(IoStream* stream, int byte);
int iosSeek(IoStream* stream, uint64_t offset);
int iosGetSeek(IoStream* stream, uint64_t* pos);
// 0 when nothing was written since the last flush or no level flushes.
int iosFlush(IoStream* stream);
// 0 when data can be read within timeoutMs (iosDefaultTimeout: the resource's own).
int iosCanRead(IoStream* stream, uint64_t timeoutMs);
int iosAccept(void* result, IoStream* stream, void* arg1, void* arg2);
// Runs preallocate on every level that has it; OR of their results.
int iosPreallocate(IoStream* stream, uint64_t size);
// Out-of-band transfer; without the slot, plain iosRead / iosWrite.
int iosUrgentRead(IoStream* stream, void* buf, uint32_t len, uint32_t* got);
int iosUrgentWrite(IoStream* stream, const void* buf, uint32_t len, uint32_t* written);
// Writes the buffer's bytes and empties it after a complete write; an empty
// or null buffer gives 0.
int iosWriteStringBuffer(IoStream* stream, StringBuffer* sb);
// Dispatch of the unused thirteenth slot; 0 when no level fills it.
int iosReserved13(IoStream* stream);

// ---- Convenience operations ----

// Reads exactly len bytes; -1 on failure or end of data first.
int iosReadFully(IoStream* stream, void* buf, uint32_t len);
int iosPrintf(IoStream* stream, const char* fmt, ...) SFX_PRINTF(2, 3);
int iosVPrintf(IoStream* stream, const char* fmt, va_list ap);
// Writes a NUL-terminated text without its NUL; null or "" gives 0, count 0.
int iosWriteString(IoStream* stream, const char* text, uint32_t* written);
// Copies up to count bytes from `in` to `out`; *total (may be null) gets the
// bytes copied in every case. End of input before count is success.
int iosWriteInputStream(IoStream* out, IoStream* in, uint64_t count, uint64_t* total);
// Appends the next line, its "\n" included; -1 when nothing was appended.
int iosReadLine(IoStream* stream, StringBuffer* line);
// Opens `name` with the file layer's open-by-name (mode as osFileOpen takes
// it), writes the block and closes; 0 only when every byte was written.
int iosWriteFile(const char* name, uint32_t mode, const void* data, uint32_t len);
// Appends the type names from the top down joined by " -> "; "<NULL>" for null.
void iosDescribeStack(StringBuffer* sb, IoStream* stream);
// Logs "IoStream stack %s.\n" at `level` in `cat` when the category admits it.
void iosLogStack(uint32_t level, uint32_t cat, IoStream* stream);

// ---- Helpers ----

// Type name of the top level, "<NULL>" for a null stream or table.
const char* iosTypeName(const IoStream* stream);
// The first level from the top whose table is `ops`, or null. When none
// matches it logs at ERROR in `cat` "Cannot find %s on IoStream of type %s\n",
// or "Invalid IoStream\n" for a null handle or a handle without table.
IoStream* iosFindLevel(IoStream* stream, const IoStreamOps* ops, uint32_t cat);
