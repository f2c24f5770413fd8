// Inflate internals shared by the decoder's files and its tests: the state
// record, the states, the decode tables and the window geometry.
#pragma once

#include "compiler.h"

struct IoStream;

// Decoder states (values are part of the diagnostics). Transitions:
//   HEADER -> [DICTIONARY] -> BLOCKS
//   BLOCKS -> LITERAL_LEN -> LITERAL_NLEN -> LITERAL -> BLOCKS      (stored)
//   BLOCKS -> [DYN_HEADER] -> HUFFMAN <-> HUFFMAN_EXTRA_BITS -> HUFFMAN_DIST
//          -> HUFFMAN_DISTBITS -> HUFFMAN ... end of block -> BLOCKS
//   BLOCKS (after the final block) -> CHECKSUM -> FINISHED  (zlib formats)
//   BLOCKS (after the final block) -> FINISHED              (raw)
enum InflateStateId : int {
  inflateHeader = 0,            // read the 2-byte zlib header
  inflateDictionary = 1,        // collect the 4-byte dictionary id
  inflateBlocks = 2,            // read a block header (or finish after the final block)
  inflateLiteralLen = 3,        // read LEN of a stored block
  inflateLiteralNlen = 4,       // read NLEN and compare
  inflateLiteral = 5,           // copy stored bytes into the window
  inflateDynHeader = 6,         // read a dynamic block's code definitions
  inflateHuffman = 7,           // decode a literal/length symbol
  inflateHuffmanExtraBits = 8,  // read the length's extra bits
  inflateHuffmanDist = 9,       // decode a distance symbol
  inflateHuffmanDistBits = 10,  // read the distance's extra bits, then copy the match
  inflateChecksum = 11,         // collect the 4-byte Adler-32 and compare
  inflateFinished = 12,         // nothing more; reads return 0 bytes
  inflateStateCount = 13,
};

// Name of a state as printed in diagnostics ("?" for an unknown value).
const char* inflateStateName(int state);

// Logical window: the deflate history and the most bytes pending delivery.
constexpr uint32_t inflateWindowSize = 32768;
// Longest match; decoding stops when less than this is free.
constexpr uint32_t inflateMaxMatch = 258;
// Physical ring: twice the window, so that the bytes just ahead of the write
// position are never history and wide copies may overshoot into them.
constexpr uint32_t inflateRingSize = 2 * inflateWindowSize;
constexpr uint32_t inflateRingMask = inflateRingSize - 1;
// Slack after the ring: a match that starts just before the end may run into
// it (plus a word of overshoot); those bytes are moved to the ring's start.
constexpr uint32_t inflateRingSlack = inflateMaxMatch + 64;
static_assert((inflateRingSize & inflateRingMask) == 0, "ring size is a power of two");

// Length base and extra bits for symbols 257..285, distance base and extra
// bits for symbols 0..29.
inline constexpr uint16_t inflateLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t inflateLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t inflateDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                                     33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                                     1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t inflateDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
static_assert(SFX_ARRAY_SIZE(inflateLengthBase) == SFX_ARRAY_SIZE(inflateLengthExtra), "length tables");
static_assert(SFX_ARRAY_SIZE(inflateDistanceBase) == SFX_ARRAY_SIZE(inflateDistanceExtra), "distance tables");
static_assert(inflateLengthBase[28] == inflateMaxMatch, "longest match");
static_assert(inflateDistanceBase[29] + (1u << inflateDistanceExtra[29]) - 1 == inflateWindowSize, "farthest distance");

// Order in which a dynamic block stores the code-length code lengths.
inline constexpr uint8_t inflateCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                       11, 4,  12, 3, 13, 2, 14, 1, 15};

// Primary index widths of the decode tables.
constexpr uint32_t inflateLiteralBits = 11;
constexpr uint32_t inflateDistanceBits = 8;
constexpr uint32_t inflateCodeLengthBits = 7;

// Decode-table entry (32 bits):
//   bits 0-5   bits to consume in all: code length + extra bits (for a
//              sub-table link: the primary index width); bits 6-7 are clear,
//              so the fast loops may subtract a whole entry from a bit count
//              whose low byte alone is kept exact
//   bits 8-11  code length (for a link: the sub-table index width)
//   bit 13     link to a sub-table (with inflateEntrySpecial)
//   bit 14     literal byte
//   bit 15     special: end of block, invalid symbol, unreached code or link
//   bits 16-31 value: literal, length base, distance base, code-length
//              symbol, sub-table start, or for specials the symbol (0xFFFF
//              for an index that no code reaches)
// The extra bits of a length or distance are the bits under the whole
// entry's mask above the code: (bits & mask(entry bits)) >> code length.
enum : uint32_t {
  inflateEntryLink = 1u << 13,
  inflateEntryLiteral = 1u << 14,
  inflateEntrySpecial = 1u << 15,
  inflateEntryUnreached = (0xFFFFu << 16) | (1u << 15),
};

// Bits an entry consumes: its code and extra bits (a link: the primary width).
constexpr uint32_t inflateEntryBits(uint32_t e) { return e & 63; }
// Code length of an entry (a link: the width of its sub-table index).
constexpr uint32_t inflateEntryCodeLength(uint32_t e) { return (e >> 8) & 15; }

// Kinds of table.
enum InflateTableKind : int {
  inflateKindLiteralLength = 0,
  inflateKindDistance = 1,
  inflateKindCodeLength = 2,
};

// A decode table for one code: a primary table indexed by the next `bits`
// input bits (in input order, that is the codes' bits reversed); a code of
// at most `bits` bits fills every index whose low bits are the code; a
// prefix of longer codes holds a link to a sub-table indexed by the bits
// above the first `bits`. A built table is one allocation (the entries
// follow the record); the fixed code's tables are static.
struct InflateTable {
  uint32_t bits;            // primary index width
  uint32_t entryCount;      // primary + sub-table entries
  uint8_t kind;             // InflateTableKind
  uint8_t complete;         // the code fills its space (every index decodes)
  const uint32_t* entries;  // the entries: right after this record, or static (the fixed code)
};
static_assert(sizeof(InflateTable) % alignof(uint32_t) == 0, "entries may follow the record");

// The tables of the fixed code (block type 1), made at compile time and
// shared by every level.
extern const InflateTable inflateFixedLiteralTable;
extern const InflateTable inflateFixedDistanceTable;

// Builds the table for `count` code lengths (0..15, 0 = no code) into
// *table. An over-subscribed code, or an incomplete one that has a code
// longer than 1 bit, logs "code lengths don't add up (0x%x)\n" and fails;
// an empty code and a single 1-bit code are accepted. 0 or -1.
int inflateBuildTable(const uint8_t* lengths, uint32_t count, int kind, const InflateTable** table);
// Frees a table from inflateBuildTable (null and the fixed tables are ignored).
void inflateFreeTable(const InflateTable* table);

// Per-level decoder state, owned by the level. Its fields are zeroed at
// creation, the ring is not (only bytes written are ever read).
struct InflateState {
  IoStream* source;        // the "BufferedInputStream" level below
  uint64_t total;          // decompressed bytes delivered so far
  uint8_t failed;          // error flag; once set, every read returns -1
  int format;              // INFLATE_FORMAT_*
  uint8_t closeSource;     // closing this level also closes the source
  int* endFlag;            // caller's flag, set to 1 when the data has ended; may be null
  uint8_t bitsPending;     // bits still to collect (zlib fields) or extra bits of the current code
  int state;               // InflateStateId
  uint32_t adler;          // Adler-32 of the delivered bytes (zlib formats)
  int length;              // length of the current match
  int distance;            // distance of the current match
  uint8_t lastBlock;       // the current block has the final-block bit
  int storedLeft;          // bytes left in the current stored block
  uint32_t collected;      // bytes collected for the dictionary id or checksum, most significant first
  uint8_t symbolAtATime;   // the Huffman step returns after each symbol (a large read waits to go direct)
  uint32_t windowPending;  // bytes decoded and not yet delivered (0..32768)
  uint32_t windowWrite;    // write position in the ring (0..inflateRingSize-1)
  const InflateTable* fixedLiteralTable;   // the shared fixed tables once a fixed block has been seen
  const InflateTable* fixedDistanceTable;  // likewise
  const InflateTable* literalTable;        // tables of the current block (the fixed ones for a fixed block)
  const InflateTable* distanceTable;
  uint8_t window[inflateRingSize + inflateRingSlack];  // output ring; never cleared, only written bytes are read
};

// Decodes into the ring while whole symbols are buffered in the level below
// and the window has room; see inflatefast.cpp for the entry conditions.
// Returns the number of symbols decoded (0: nothing could be done fast).
uint32_t inflateFastLoop(InflateState* st);

// The direct loop keeps its bits in a 32-bit word rather than a 64-bit one:
// set on hosts with 32-bit registers; tests set it to run that loop on
// 64-bit hosts as well.
extern bool inflateNarrowBits;

// Smallest read for which inflateFastDirect decodes into the reader's buffer;
// shorter reads go through the ring (cheaper per call for tiny reads).
constexpr uint32_t inflateDirectMinOut = 64;

// Decodes straight into a reader's buffer out[start..n) while the ring holds
// no undelivered bytes; out[0..start) are bytes decoded the same way before
// and not yet kept in the ring. See inflatefast.cpp for the entry
// conditions. Returns the number of bytes produced (0: nothing could be done
// this way).
uint32_t inflateFastDirect(InflateState* st, uint8_t* out, uint32_t start, uint32_t n);

// Reads the code definitions of a dynamic block from the buffered bytes: the
// code lengths go to lengths[0..*nlit + *ndist) (zero-filled by the caller).
// 1 when done, 0 when the buffered bytes end before the header does (nothing
// consumed), -1 for invalid definitions (logged as the bit-by-bit reader logs
// them).
int inflateFastCodeLengths(InflateState* st, uint8_t* lengths, uint32_t* nlit, uint32_t* ndist);

// Makes the last (up to 32 KiB) of `produced` bytes decoded straight into a
// reader's buffer the ring's history, advancing the write position by all
// of them (it keeps counting every decoded byte modulo the ring size).
void inflateKeepHistory(InflateState* st, const uint8_t* out, uint32_t produced);

// Releases the current block's tables (never the fixed ones).
void inflateReleaseBlockTables(InflateState* st);

// Core of the read operation (exposed for tests and the close drain).
int inflateRead(InflateState* st, uint8_t* buffer, uint32_t n, uint32_t* got);

// Adler-32 update (RFC 1950), starting value 1.
uint32_t inflateAdler32(uint32_t adler, const uint8_t* data, uint32_t length);
