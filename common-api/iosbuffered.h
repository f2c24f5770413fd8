// Buffered, bit-level and limited stream levels.
//
// "BufferedInputStream" reads ahead from the level below in large blocks,
// takes any amount of pushed-back data in front of the unread bytes and
// carries the bit reader of the inflate decoder. Wrapped explicitly it is
// permanent; wrapped by a push-back (iosUnGetData) it is automatic and removes
// itself inside the read that drains it.
//
// "BufferedOutputStream" collects written bytes, hands them on at line ends
// once past the flush size (or at flush), and decorates every line with a
// line-start text and a line-end text ("\r\n" by default).
//
// "LimitedIoStream" allows a number of read calls and write calls and then
// reports end of data.
#pragma once

#include "iostream.h"
#include "stringbuf.h"

extern const IoStreamOps iosBufferedInputStreamOps;   // "BufferedInputStream"
extern const IoStreamOps iosBufferedOutputStreamOps;  // "BufferedOutputStream"
extern const IoStreamOps iosLimitedIoStreamOps;       // "LimitedIoStream"

// Smallest (and default) refill and flush size.
constexpr uint32_t iosBufferMinSize = 32768;
// Bytes of one unfinished line a buffered output level holds at most (or
// its flush size, when larger); the rest of a longer line is handed on in
// pieces, so that memory does not grow with the line.
constexpr uint32_t iosBufferLineLimit = 1u << 20;

// Entry n is 2^n - 1.
extern const uint32_t iosBitMask[32];

// One block of buffered input. Nodes form a list in stream order: pushed-back
// data sits in nodes in front of the read-ahead node.
struct IosBufferNode {
  IosBufferNode* nextNode;  // the node after this one
  const uint8_t* readPos;   // next unread byte inside `data`
  uint32_t remaining;       // unread bytes from readPos on
  StringBuffer data;        // the node's bytes
};

// State of a "BufferedInputStream" level.
struct IosBufferedInputState {
  IosBufferNode* head;  // first node; never null while the level exists
  IoStream* inner;      // the level below
  uint32_t refillSize;  // bytes asked from `inner` per refill (>= 32768)
  uint32_t bitBuffer;   // bits taken but not consumed; next bit is bit 0
  int32_t bitCount;     // valid bits in bitBuffer (0..32)
  uint8_t rawRead;      // set while the bit reader fetches a byte through read
  uint8_t automatic;    // wrapped for a push-back; removes itself when drained
  uint8_t innerKnown;   // innerPos is known (set by a seek through this level)
  uint8_t headIsRead;   // the head is the only node and holds one read of `inner`
  uint64_t innerPos;    // position of `inner`: the end of the head's bytes
};

// State of a "BufferedOutputStream" level.
struct IosBufferedOutputState {
  IoStream* inner;         // the level below
  uint32_t flushSize;      // buffer length that triggers a write at a line end
  StringBuffer buffer;     // bytes not yet handed on
  StringBuffer lineStart;  // written before every line (empty by default)
  StringBuffer lineEnd;    // written instead of "\n" ("\r\n" by default)
  uint8_t atLineStart;     // the next byte starts a line
};

// State of a "LimitedIoStream" level; negative counts never limit.
struct IosLimitedState {
  IoStream* inner;     // the level below
  int32_t readsLeft;   // read calls still allowed
  int32_t writesLeft;  // write calls still allowed
};

// ---- BufferedInputStream ----

// Pushes a "BufferedInputStream" (refill size: the larger of size and
// 32768). An existing one on top is kept, made permanent and given the larger
// size. -1 when the top level cannot read.
int iosWrapBufferedInputStream(IoStream* stream, uint32_t size);
// The level's read slot: whole bytes of the bit buffer first, then buffered
// bytes; refills only when nothing was delivered yet.
int iosBufferedInputRead(IoStream* level, void* buf, uint32_t len, uint32_t* got);

// Bit reader. `stream` is a level whose table is iosBufferedInputStreamOps
// (not checked). Bits come least significant first; n is taken modulo 256
// and is at most 24. Peek returns the next n bits without consuming them,
// -1 when the data ends first (the bits gathered stay); n = 0 returns the
// number of bits held. Get does the same and consumes the bits.
int iosPeekBits(IoStream* stream, uint32_t n);
int iosGetBits(IoStream* stream, uint32_t n);
// Drops the bits up to the next byte boundary; wraps a permanent
// "BufferedInputStream" first when the top level is none. -1 for null.
int iosSkipToNextByte(IoStream* stream);

// Direct access for a fast decoder that keeps its own wide bit buffer.
// `stream` is a "BufferedInputStream" level as for the bit reader. Typical use:
//   bits = iosBufferedTakeBits(s, &count);            // own the bit buffer
//   n = iosBufferedAvailable(s, &p);                  // bytes at p[0..n)
//   ... load bytes from p into the wide buffer ..., iosBufferedConsume(s, k);
//   iosBufferedFill(s, &p, &n) when the head is empty (one read from below)
//   iosBufferedGiveBack(s, bits, count);              // unused bits, on exit
// The bytes seen by Available stay valid until the next call on the level.

// Takes the bit buffer out: returns its bits, *count gets how many (0..32);
// the level's bit buffer is left empty.
uint32_t iosBufferedTakeBits(IoStream* stream, uint32_t* count);
// Number of unread bytes contiguous at *data in the first non-empty node
// (drained nodes in front are released); 0 when nothing is buffered. Never
// reads from the level below.
uint32_t iosBufferedAvailable(IoStream* stream, const uint8_t** data);
// Consumes n bytes of those reported by iosBufferedAvailable (clamped).
void iosBufferedConsume(IoStream* stream, uint32_t n);
// As iosBufferedAvailable, but when nothing is buffered reads once from the
// level below. *avail = 0 with result 0 is end of data; -1 on a read failure.
int iosBufferedFill(IoStream* stream, const uint8_t** data, uint32_t* avail);
// Hands back `count` (0..64) unused bits, least significant first, so that
// they are the next bits (or bytes) read, ahead of everything buffered. The
// bit buffer must be empty (taken). Whole bytes beyond 32 bits are put in
// front of the buffered bytes (normally by stepping the read position back).
int iosBufferedGiveBack(IoStream* stream, uint64_t bits, uint32_t count);

// Where in the level below the next byte `level` hands out lies (whole
// bytes in the bit buffer count as not handed out); -1 while that is not
// known: until a seek went through the level.
int iosBufferedPosition(const IoStream* level, uint64_t* pos);

// ---- BufferedOutputStream ----

// Pushes a "BufferedOutputStream" with flush size max(size, 32768); an
// existing one on top just takes the new size. -1 when the top cannot write.
int iosWrapBufferedOutputStream(IoStream* stream, uint32_t size);
// Replace the line-start / line-end text, wrapping a "BufferedOutputStream"
// first when the top level is none. An empty line end drops "\n".
int iosSetLineStart(IoStream* stream, const char* text);
int iosSetLineEnd(IoStream* stream, const char* text);

// ---- LimitedIoStream ----

// Pushes a level that allows `reads` read calls and `writes` write calls
// (negative: unlimited); after that reads give end of data and writes take
// 0 bytes.
int iosWrapLimitedIoStream(IoStream* stream, int32_t reads, int32_t writes);
