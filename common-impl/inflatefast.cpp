// The inflate fast loop: decodes Huffman symbols with a 64-bit bit buffer fed
// straight from the buffered level's bytes, 32-bit table entries that carry
// the length or distance base and the bits to consume, and wide match copies
// that may overshoot into the unused part of the ring.
#include <cstring>

#include "inflateint.h"
#include "iosbuffered.h"

namespace {

// Bytes of input that must be buffered to enter the loop; the loop runs while
// a whole 8-byte load fits, which covers the longest symbol pair (48 bits).
constexpr uint32_t fastMinInput = 16;
// Pending bytes allowed when a symbol starts: the longest match always fits.
constexpr uint32_t fastMaxPending = inflateWindowSize - inflateMaxMatch;

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

inline uint64_t lowBits(uint64_t v, uint32_t n) { return v & ((1ull << n) - 1); }

// Resolves a sub-table link.
inline uint32_t lookup(const uint32_t* table, uint32_t bits, uint64_t bb) {
  uint32_t e = table[lowBits(bb, bits)];
  if (e & inflateEntryLink) e = table[(e >> 16) + lowBits(bb >> bits, (e >> 4) & 15)];
  return e;
}

// Copies a match inside the linear part of the ring (source and destination
// do not wrap). Distances of 8 or more copy 8- or 16-byte words, which may
// write up to 15 bytes past the match: those land in the unused part of the
// ring or in the slack after it.
inline void copyMatch(uint8_t* dst, const uint8_t* src, uint32_t length, uint32_t distance) {
  uint8_t* end = dst + length;
  if (distance >= 16) {
    do {
      memcpy(dst, src, 16);
      dst += 16;
      src += 16;
    } while (dst < end);
  } else if (distance >= 8) {
    do {
      memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (distance == 1) {
    memset(dst, *src, length);
  } else {
    while (dst < end) *dst++ = *src++;
  }
}

}  // namespace

// Entry conditions: state HUFFMAN with both tables present, at most
// fastMaxPending bytes pending, and at least fastMinInput bytes buffered in
// the level below. It stops (leaving the reference path to continue) at the
// end of the block, at an invalid or unreached code, when the window needs
// draining or when fewer than 8 buffered bytes remain; on return the unused
// bits are back in the level below and the state is HUFFMAN, HUFFMAN_DIST or
// (after the end code) BLOCKS.
uint32_t inflateFastLoop(InflateState* st) {
  const InflateTable* lit = st->literalTable;
  const InflateTable* dist = st->distanceTable;
  if (st->state != inflateHuffman || !lit || !dist) return 0;
  if (st->windowPending > fastMaxPending) return 0;
  const uint8_t* in = nullptr;
  uint32_t avail = 0;
  if (iosBufferedFill(st->source, &in, &avail) != 0 || avail < fastMinInput) return 0;

  uint32_t count = 0;
  uint64_t bb = iosBufferedTakeBits(st->source, &count);
  uint32_t bc = count;
  const uint8_t* inStart = in;
  const uint8_t* inLimit = in + avail - 8;
  const uint32_t* litTable = lit->entries;
  const uint32_t* distTable = dist->entries;
  const uint32_t litBits = lit->bits, distBits = dist->bits;
  uint8_t* win = st->window;
  uint32_t w = st->windowWrite;
  uint32_t pending = st->windowPending;
  uint32_t symbols = 0;

  while (in <= inLimit && pending <= fastMaxPending) {
    bb |= load64(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;
    uint32_t e = lookup(litTable, litBits, bb);
    if (e & inflateEntryLiteral) {
      uint32_t len = e & 15;
      bb >>= len;
      bc -= len;
      win[w++] = (uint8_t)(e >> 16);
      pending++;
      symbols++;
      // Two more literals fit in the bits left after a refill (3 x 15).
      for (int more = 0; more < 2; more++) {
        e = lookup(litTable, litBits, bb);
        if (!(e & inflateEntryLiteral)) break;
        len = e & 15;
        bb >>= len;
        bc -= len;
        win[w++] = (uint8_t)(e >> 16);
        pending++;
        symbols++;
      }
      if (w >= inflateRingSize) {
        memcpy(win, win + inflateRingSize, w - inflateRingSize);
        w -= inflateRingSize;
      }
      continue;
    }
    if (e & inflateEntrySpecial) {
      if ((e >> 16) == 256) {
        // End of block: the tables go, the next block header follows.
        uint32_t len = e & 15;
        bb >>= len;
        bc -= len;
        symbols++;
        st->state = inflateBlocks;
        inflateReleaseBlockTables(st);
      }
      break;  // invalid or unreached code: the reference path reports it
    }
    uint32_t total = (e >> 8) & 31, codeLen = e & 15;
    uint32_t length = (e >> 16) + (uint32_t)(lowBits(bb, total) >> codeLen);
    bb >>= total;
    bc -= total;
    uint32_t d = lookup(distTable, distBits, bb);
    if (d & inflateEntrySpecial) {
      // Distance 30 or 31: let the reference path report it.
      st->length = (int)length;
      st->state = inflateHuffmanDist;
      symbols++;
      break;
    }
    total = (d >> 8) & 31;
    codeLen = d & 15;
    uint32_t distance = (d >> 16) + (uint32_t)(lowBits(bb, total) >> codeLen);
    bb >>= total;
    bc -= total;
    if (distance <= w) {
      copyMatch(win + w, win + w - distance, length, distance);
    } else {
      // The source wraps around the ring's end.
      uint32_t s = w + inflateRingSize - distance;
      for (uint32_t i = 0; i < length; i++) {
        win[w + i] = win[s++];
        if (s == inflateRingSize) s = 0;
      }
    }
    w += length;
    pending += length;
    symbols++;
    if (w >= inflateRingSize) {
      memcpy(win, win + inflateRingSize, w - inflateRingSize);
      w -= inflateRingSize;
    }
  }

  st->windowWrite = w;
  st->windowPending = pending;
  iosBufferedConsume(st->source, (uint32_t)(in - inStart));
  iosBufferedGiveBack(st->source, lowBits(bb, bc), bc);
  return symbols;
}
