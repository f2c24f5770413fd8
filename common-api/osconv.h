// Character sets by role, code page names and numbers, buffer conversion
// between code pages, converting stream levels, and the UTF-8 and
// byte-order-mark helpers. Text inside the program is UTF-8.
#pragma once

#include "compiler.h"

struct IoStream;

// Roles of character sets (indexes of convCharsetName).
enum : uint32_t {
  convRoleNetwork = 0,
  convRoleInternal = 1,
  convRoleFiledata = 2,
  convRoleFilesys = 3,
  convRolePipedata = 4,
  convRoleHttpHeader = 5,
  convRoleCount = 6,
};

// Conversion slots: pairs of (source, target) code pages set by convInit.
enum : uint32_t {
  convInternalToFiledata = 2,
  convFiledataToInternal = 3,
  convNetworkToFiledata = 4,
  convFiledataToNetwork = 5,
  convInternalToFilesys = 6,
  convFilesysToInternal = 7,
  convInternalToPipedata = 8,
  convPipedataToInternal = 9,
  convInternalToHttpHeader = 10,
  convHttpHeaderToInternal = 11,
  convSlotCount = 12,
};

// Code page numbers with a meaning of their own.
enum : uint32_t {
  cpAnsi = 0,  // also "unknown name"
  cpOem = 1,
  cpUtf16Le = 1200,
  cpUtf16Be = 1201,
  cpUtf32Le = 12000,
  cpUtf32Be = 12001,
  cpUtf7 = 65000,
  cpUtf8 = 65001,
};

// Encodings of the byte-order-mark helpers.
enum : int {
  bomLocal = 0,
  bomUtf8 = 1,
  bomUtf16 = 2,
  bomUtf16Le = 3,
  bomUtf16Be = 4,
  bomUtf32 = 5,
  bomUtf32Le = 6,
  bomUtf32Be = 7,
};

// Sets the filedata and pipedata names (the ANSI code page unless
// "--filedata"/"--pipedata" with a value say otherwise; both consumed from
// the vector) and fills the slots. 0, or -1 when a pair could not be set.
int convInit(int* argc, char*** argv);
// Forgets the names and slots (OS shut-down).
void convRelease();
// The role's current name, or null for an index out of range.
const char* convCharsetName(uint32_t role);
void convLogCharsets();
// Code page of a character-set name, 0 when unknown.
uint32_t cpFromName(const char* name);
// A name, or a printf pattern taking the code page number ("windows-%d").
const char* cpNameFormat(uint32_t codePage);
// The formatted name of a code page into buf (at least 30 bytes).
const char* cpName(uint32_t codePage, char* buf, size_t size);
// Stores (source, target) in a slot. -1 ("Illegal codepage %s") for an
// unknown name.
int convSetPair(const char* targetName, const char* sourceName, uint32_t slot);
// The slot's pair; equal numbers mean no conversion.
void convGetPair(uint32_t slot, uint32_t* source, uint32_t* target);

// Converts *sourceLength bytes from one code page to another into a new
// block (memFree it; NUL-terminated for convenience, not counted). A
// trailing incomplete character is held back: *sourceLength is reduced to
// what was consumed. Nothing to convert: 0 with a null block and length 0.
int convertBuffer(const void* source, uint32_t* sourceLength, char** out, uint32_t* outLength, uint32_t sourceCodePage,
                  uint32_t targetCodePage);
// convertBuffer with a slot's pair; a length of -1 means NUL-terminated
// (counted in 16-bit units for a UTF-16 source).
int convertRole(const void* source, int32_t sourceLength, char** out, uint32_t* outLength, uint32_t slot);

// Push a converting level on the stream (no change when the slot's pair is
// equal). 0 or -1.
int iosWrapConversionInputStream(IoStream* stream, uint32_t slot);
int iosWrapConversionOutputStream(IoStream* stream, uint32_t slot);

// New tracked copy of a NUL-terminated UTF-16 text.
uint16_t* convWideDup(const uint16_t* text);
// Length in bytes (1..6) of the UTF-8 sequence at bytes with its code
// point, or 0 for an invalid sequence. avail bounds the bytes read.
int utf8Decode(const unsigned char* bytes, uint32_t avail, uint32_t* codePoint);
// 0 with the encoding when the bytes start with a byte order mark, else -1.
int bomDetect(const void* bytes, uint32_t length, int* encoding);
// Converts text of an encoding (bom*) to a new UTF-8 text. 0 or -1.
int anyToUtf8(int encoding, const void* bytes, uint32_t length, char** out);
