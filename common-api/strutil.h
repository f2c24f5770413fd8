// String utilities: stateless helpers on NUL-terminated UTF-8 texts.
// Comparisons (case-insensitive ones fold Unicode letters below U+1000),
// wildcard matching, ${name} expansion, number, boolean and range parsing,
// and argument-list editing. Results are 0 or -1 unless said otherwise;
// texts handed out are tracked blocks owned by the caller.
#pragma once

#include "compiler.h"

struct StringBuffer;
struct SortMap;

// Simple case folding of U+0000..U+0FFF (Unicode 5.0, statuses C and S).
extern const uint16_t strCaseFoldTable[4096];

// Comparisons: a null argument makes each of them false.
bool strEquals(const char* a, const char* b);
// utf8CaseCmp(a, b) == 0.
bool strEqualsIgnoreCase(const char* a, const char* b);
// The first count bytes are equal (strncmp semantics).
bool strnEquals(const char* a, const char* b, size_t count);
bool strStartsWith(const char* text, const char* prefix);
// Folding comparison over the characters of prefix.
bool strStartsWithIgnoreCase(const char* text, const char* prefix);
bool strEndsWith(const char* text, const char* suffix);
bool strEndsWithIgnoreCase(const char* text, const char* suffix);
// Older name of strEqualsIgnoreCase.
inline bool strCaseEquals(const char* a, const char* b) { return strEqualsIgnoreCase(a, b); }

// Compares code point by code point with case folding: 0 equal, else the
// sign gives the order. An invalid UTF-8 sequence on either side gives -1.
int utf8CaseCmp(const char* a, const char* b);
// Same, but stops after `count` characters (prefix comparison).
int utf8CaseCmpN(const char* a, const char* b, size_t count);
// A total order consistent with utf8CaseCmp on valid texts: folded code
// points, with undecodable bytes ordered after them, one byte at a time.
// Sorted containers use it so that invalid keys cannot upset the order.
int utf8CaseOrder(const char* a, const char* b);

// Glob match of the whole text: '*', '?', [set], [!set], '\' escapes.
// Literal characters compare case-insensitively unless caseSensitive.
bool strMatchWildcard(const char* pattern, const char* text, bool caseSensitive);

// Lookup for ${name} expansion: the value of name (borrowed), or null.
using StrLookupFn = const char* (*)(const char* name, void* context);

// Replaces each ${name} whose lookup gives a value; unknown and empty
// references stay as written. *result is a new text. -1 on failure.
int strEvaluateAntExpr(const char* text, StrLookupFn lookup, void* context, char** result);
// Shell-like expansion: ${name}, ${name:+word}, ${name:-word} and the
// include form ${include:file}; files read are recorded in includes (a map,
// may be null). Repeats on the result while it changes, up to depth 20.
int strEvaluateKshExpr(const char* text, StrLookupFn lookup, void* context, SortMap* includes, int depth,
                       char** result);
// Built-in variables ("HostName", "GUIDv4", ..., "LISTALL"); *value is a new
// text or null when the name is unknown. 0, or -1 when unknown.
int strResolveVariable(const char* name, char** value);

// Parsing. The out value is written only on success unless said otherwise.
// "true"/"false"/"Y"/"N" (case-insensitive, as prefixes) between blanks.
int strParseBoolean(const char* text, uint8_t* flag);
// As strParseBoolean, but logs failures and sets *flag to 0 on failure.
int strParseBooleanLogged(const char* text, uint8_t* flag);
// Hexadecimal; *value is cleared first.
int strParseHex64(const char* text, uint64_t* value, uint64_t minimum, uint64_t maximum);
// Unsigned decimal; *value is cleared first.
int strParseUInt64(const char* text, uint64_t* value, uint64_t minimum, uint64_t maximum);
int strParseUInt32(const char* text, uint32_t* value, uint32_t minimum, uint32_t maximum);
int strParseUInt16(const char* text, uint16_t* value, uint16_t minimum, uint16_t maximum);
// Signed decimal between optional blanks, with overflow detection.
int strParseInt64(const char* text, int64_t* value, int64_t minimum, int64_t maximum);
int strParseInt32(const char* text, int32_t* value, int32_t minimum, int32_t maximum);
// Decimal or hexadecimal ("0x", "x") with an optional unit K, M, G, T
// (powers of 1000) or Ki, Mi, Gi, Ti (powers of 1024).
int strParseScaledInt64(const char* text, int64_t* value, int64_t minimum, int64_t maximum);

struct StrRange {
  int64_t low;   // first value
  int64_t high;  // last value (not checked to be >= low)
};
// "a", "a-b", "a-" or "-b"; missing ends take the defaults; null or empty
// text gives both defaults.
int strParseRange(const char* text, StrRange* range, int64_t defaultLow, int64_t defaultHigh);

struct StrRangeU32 {
  uint32_t low;   // first value
  uint32_t high;  // last value
};
struct StrRangeList {
  uint32_t count;       // ranges in use
  StrRangeU32* ranges;  // tracked array of count ranges, null when empty
};
// Comma-separated ranges between minimum and maximum; "none" gives an empty
// list that allows nothing. Free the list with strFreeRangeList.
int strParseRangeList(const char* text, StrRangeList* list, uint32_t minimum, uint32_t maximum);
void strFreeRangeList(StrRangeList* list);
// True when value lies in one of the list's ranges.
bool strRangeListContains(const StrRangeList* list, uint32_t value);

// Removes n entries from index first of the array (moving later ones down,
// not freeing the removed texts) and lowers *count.
int strRemoveArgs(int* count, char** args, int first, int n);
// Frees every non-null text and then the array; count 0: the array ends
// with a null entry. A null array is ignored.
void strFreeList(char** list, uint32_t count);
inline void strFreeList(const char** list, uint32_t count) { strFreeList(const_cast<char**>(list), count); }
// Formats into a new text (*text, length in *length when not null); the
// result is that of the formatting (0 or -1).
int strPrintfAlloc(char** text, uint32_t* length, const char* fmt, ...) SFX_PRINTF(3, 4);
// Cuts trailing characters from set in place (the first character stays).
char* strTrimRightChars(char* text, const char* set);
// Cuts suffix in place when the text ends with it.
char* strRemoveSuffix(char* text, const char* suffix);
// Writes value in base 2..36 (digits 0-9a-z, leading '-') into buffer, which
// holds at least 66 bytes. Returns the buffer.
char* strFromInt64(char* buffer, int base, int64_t value);
// Appends text percent-encoded (RFC 3986 unreserved characters stay).
int sbAppendUriComponent(StringBuffer* sb, const char* text);
