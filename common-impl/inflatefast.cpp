// The inflate fast loops: decode Huffman symbols with a 64-bit bit buffer fed
// straight from the buffered level's bytes, 32-bit table entries that carry
// the length or distance base and the bits to consume, and wide match copies
// that may overshoot past the match. One loop decodes into the output ring;
// the other decodes straight into the reader's buffer while the ring holds
// nothing undelivered, and keeps the ring as the history for later reads.
#include <cstring>

#include "inflate.h"
#include "inflateint.h"
#include "iosbuffered.h"
#include "logging.h"

namespace {

// Bytes of input that must be buffered to enter the loop; the loop runs while
// a whole 8-byte load fits, which covers the longest symbol pair (48 bits).
constexpr uint32_t fastMinInput = 16;
// Pending bytes allowed when a symbol starts: the longest match always fits.
constexpr uint32_t fastMaxPending = inflateWindowSize - inflateMaxMatch;

// The little-endian word of T's width at p, whatever its alignment.
template <typename T>
inline T loadLe(const uint8_t* p) {
  T v;
  memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  if constexpr (sizeof v == 8)
    v = __builtin_bswap64(v);
  else
    v = __builtin_bswap32(v);
#endif
  return v;
}

inline uint64_t lowBits(uint64_t v, uint32_t n) { return v & ((1ull << n) - 1); }

// Tops the bit buffer up to 56..63 bits with one 8-byte load (8 bytes must
// be readable at in). Only the low 6 bits of bc are used, so bc may carry
// other bits above them (see the direct loop).
[[gnu::always_inline]] inline void refillWord(uint64_t& bb, uint32_t& bc, const uint8_t*& in) {
  bb |= loadLe<uint64_t>(in) << (bc & 63);
  in += 7 - ((bc >> 3) & 7);
  bc |= 56;
}

// Resolves a sub-table link.
inline uint32_t lookup(const uint32_t* table, uint32_t bits, uint64_t bb) {
  uint32_t e = table[lowBits(bb, bits)];
  if (e & inflateEntryLink) e = table[(e >> 16) + lowBits(bb >> bits, inflateEntryCodeLength(e))];
  return e;
}

// The same for a primary width known at compile time (the direct loop's
// tables), which keeps the masks out of registers.
template <uint32_t bits>
inline uint32_t lookupFixed(const uint32_t* table, uint64_t bb) {
  uint32_t e = table[bb & ((1u << bits) - 1)];
  if (e & inflateEntryLink) [[unlikely]]
    e = table[(e >> 16) + lowBits(bb >> bits, inflateEntryCodeLength(e))];
  return e;
}

// Masks of the low 0..63 bits, indexed by an entry's low byte (its bits
// 6-7 are clear): a load is cheaper than building the mask with shifts.
constexpr auto lowMasks = [] {
  struct Masks {
    uint64_t v[256];
  } m{};
  for (uint32_t n = 0; n < 64; n++) m.v[n] = n ? ~0ull >> (64 - n) : 0;
  return m;
}();
static_assert(lowMasks.v[0] == 0 && lowMasks.v[13] == 0x1FFF && lowMasks.v[63] == ~0ull >> 1, "masks");

// The extra bits of a length or distance entry e from the bits saved before
// its code. Such entries have bits 12-15 clear, so the code length is all of
// e's bits 8-13, and a 64-bit shift takes only the low 6 bits of its count.
[[gnu::always_inline]] inline uint32_t extraBits(uint64_t saved, uint32_t e) {
  return (uint32_t)((saved & lowMasks.v[e & 0xFF]) >> ((e >> 8) & 63));
}

inline void copy8(uint8_t* dst, const uint8_t* src) { memcpy(dst, src, 8); }
inline void copy16(uint8_t* dst, const uint8_t* src) { memcpy(dst, src, 16); }

// Bytes a match copy may write past the match's end.
constexpr uint32_t copyOvershoot = 32;

static_assert(15 + 2 * inflateLiteralBits + inflateLiteralBits <= 56, "three literals and a lookup per refill");
static_assert(inflateRingSlack >= inflateMaxMatch + copyOvershoot, "a match at the ring's end stays in the slack");

// For a distance d from 2 to 7: the largest multiple of d that is at most
// 8. A word holding the first 8 bytes of such a match holds its pattern at
// every such step too.
constexpr uint8_t periodAtMost8[8] = {0, 0, 8, 6, 8, 5, 6, 7};
// For a distance d below 8: the smallest multiple of d that is at least 8.
// Once the first 8 bytes of a match are in place, the match repeats with
// that period too, so it can be copied in non-overlapping 8-byte words.
constexpr uint8_t periodAtLeast8[8] = {0, 8, 8, 9, 8, 10, 12, 14};

[[gnu::always_inline]] inline uint64_t shortPattern(const uint8_t* src, uint32_t d) {
  if (d >= 4) {
    // Two 4-byte words cover the d bytes (overlapping when d < 8).
    uint64_t p = loadLe<uint32_t>(src) | (uint64_t)loadLe<uint32_t>(src + d - 4) << (8 * (d - 4));
    return p | p << (8 * d);
  }
  uint64_t p = src[0] | (uint32_t)src[1] << 8;
  if (d == 2) return 0x0001000100010001ull * p;
  p |= (uint32_t)src[2] << 16;
  return p | p << 24 | p << 48;
}

// Copies a match of distance 2 to 7 to dst..end (up to 7 bytes past end).
// With 64-bit registers its 8-byte pattern is made in a register and stored
// at every multiple of the distance: nothing is read back from bytes just
// written, which would wait for those stores to drain. With 32-bit
// registers the pattern's shifts cost more than that wait: the first 8
// bytes go one at a time (each may depend on the one just written), then
// whole words from one period back.
[[gnu::always_inline]] inline void copyShortDistance(uint8_t* dst, const uint8_t* src, const uint8_t* end,
                                                     uint32_t distance) {
  if constexpr (sizeof(void*) >= 8) {
    uint64_t v = shortPattern(src, distance);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    uint32_t step = periodAtMost8[distance];
    do {
      memcpy(dst, &v, 8);
      dst += step;
    } while (dst < end);
  } else {
    for (uint32_t i = 0; i < 8; i++) dst[i] = src[i];
    uint32_t period = periodAtLeast8[distance];
    dst += 8;
    while (dst < end) {
      copy8(dst, dst - period);
      dst += 8;
    }
  }
}

// Copies a match in linear memory (source and destination do not wrap).
// Short matches are copied with a fixed number of words, so that the
// common lengths take no loop at all; up to copyOvershoot - 1 bytes past the
// match may be written, which the callers leave room for (the unused part of
// the ring, its slack, or the reader's buffer beyond the decoding limit).
[[gnu::always_inline]] inline void copyMatch(uint8_t* dst, const uint8_t* src, uint32_t length, uint32_t distance) {
  uint8_t* end = dst + length;
  if (distance >= 16) {
    copy16(dst, src);
    copy16(dst + 16, src + 16);
    if (length > 32) {
      dst += 32;
      src += 32;
      do {
        copy16(dst, src);
        copy16(dst + 16, src + 16);
        dst += 32;
        src += 32;
      } while (dst < end);
    }
  } else if (distance >= 8) {
    copy8(dst, src);
    copy8(dst + 8, src + 8);
    copy8(dst + 16, src + 16);
    if (length > 24) {
      dst += 24;
      src += 24;
      do {
        copy8(dst, src);
        dst += 8;
        src += 8;
      } while (dst < end);
    }
  } else if (distance == 1) {
    uint64_t v = 0x0101010101010101ull * *src;
    do {
      memcpy(dst, &v, 8);
      memcpy(dst + 8, &v, 8);
      dst += 16;
    } while (dst < end);
  } else {
    copyShortDistance(dst, src, end, distance);
  }
}

// Output room kept free when an iteration of the direct loop starts: up to
// two literals and then the longest match, and the bytes a wide copy may
// write past it.
constexpr uint32_t directSlack = 2 + inflateMaxMatch + copyOvershoot;
// The wide loop checks each match against the room left instead: an
// iteration starts while three literals and a copy's overshoot fit.
constexpr uint32_t wideSlack = 3 + copyOvershoot;
static_assert(inflateDirectMinOut > wideSlack, "a direct read leaves the wide loop room");

// Copies a match in the direct loop whose source starts before out[0]: those
// bytes come from the ring, which ends with the bytes decoded before out[0]
// (`before` of them), or are zeros where they precede the first decoded byte;
// the rest of the match (if any) comes from out itself. Exact: nothing past
// the match is written.
void copyFromHistory(const InflateState* st, uint64_t before, uint8_t* out, uint32_t pos, uint32_t length,
                     uint32_t distance) {
  uint32_t back = distance - pos;  // how far before out[0] the source starts
  uint32_t early = back < length ? back : length;
  uint32_t i = 0;
  if (back > before) {
    i = back - before < early ? back - (uint32_t)before : early;
    memset(out + pos, 0, i);
  }
  while (i < early) {
    uint32_t at = (st->windowWrite - (back - i)) & inflateRingMask;
    uint32_t run = early - i < inflateRingSize - at ? early - i : inflateRingSize - at;
    memcpy(out + pos + i, st->window + at, run);
    i += run;
  }
  for (; i < length; i++) out[pos + i] = out[pos + i - distance];
}

// What a match of the direct loops that reaches back past out[0] needs: the
// ring (the history of earlier reads), the bytes decoded before out[0] and
// out. Kept in one record, so that the loops hold one address for that rare
// case rather than three registers.
struct DirectHistory {
  const InflateState* st;
  uint64_t before;  // bytes decoded before out[0]
  uint8_t* out;
};

// Copies a match of the direct loops that starts before out[0] to op. When it
// lies wholly in the ring, after the first decoded byte and before the ring's
// end, it is copied at once (the ring and the reader's buffer do not overlap;
// a wide copy may read into the slack); otherwise piece by piece.
[[gnu::noinline]] void copyMatchFromRing(const DirectHistory* h, uint8_t* op, uint32_t length, uint32_t distance) {
  uint32_t done = (uint32_t)(op - h->out);  // bytes already in out
  uint32_t back = distance - done;
  uint32_t at = (h->st->windowWrite - back) & inflateRingMask;
  if (back >= length && back <= h->before && at + length <= inflateRingSize)
    copyMatch(op, h->st->window + at, length, inflateWindowSize);
  else
    copyFromHistory(h->st, h->before, h->out, done, length, distance);
}

// Copies a match of the direct loops to op (out[0..op) decoded so far);
// up to copyOvershoot - 1 bytes past it may be written.
inline void copyDirectMatch(const DirectHistory* h, uint8_t* out, uint8_t* op, uint32_t length, uint32_t distance) {
  if (distance <= (uint32_t)(op - out))
    copyMatch(op, op - distance, length, distance);
  else
    copyMatchFromRing(h, op, length, distance);
}

// Tops a 32-bit bit buffer holding at most 31 bits up to 24..31 bits with
// one 4-byte load (4 bytes must be readable at in).
inline void refillNarrow(uint32_t& b, uint32_t& c, const uint8_t*& in) {
  b |= loadLe<uint32_t>(in) << c;
  in += 3 - ((c >> 3) & 3);
  c |= 24;
}

// Most bits the narrow loop may start with: a refill then never shifts a
// 32-bit word by 32 or more.
constexpr uint32_t narrowMaxBits = 31;

// The direct loop for hosts with 32-bit registers, where shifting a 64-bit
// word takes several instructions and two of the few registers: the bits
// live in one 32-bit word, topped up to at least 24 bits before each code
// (the longest code with its extra bits but for a distance: 20) and again
// between a distance code and its up to 13 extra bits. Starts with at most
// narrowMaxBits bits in bb; an iteration refills at most three times, each
// time advancing at most 3 bytes and loading 4, so 13 input bytes must remain
// at its start (inLimit). Stops as the wide loop does and says whether
// decoding must stop (the block ended or a code the reference path reports).
bool decodeNarrow(InflateState* st, uint64_t& bb, uint32_t& bc, const uint8_t*& in, const uint8_t* inLimit,
                  uint8_t* out, uint32_t& pos, uint32_t outLimit, uint64_t before) {
  const uint32_t* litTable = st->literalTable->entries;
  const uint32_t* distTable = st->distanceTable->entries;
  uint32_t b = (uint32_t)bb, c = bc;
  uint8_t* op = out + pos;
  uint8_t* const opLimit = out + outLimit;
  const DirectHistory history = {st, before, out};
  bool stop = false;
  while (in <= inLimit && op <= opLimit) {
    refillNarrow(b, c, in);
    uint32_t e = litTable[b & ((1u << inflateLiteralBits) - 1)];
    if (e & inflateEntryLink)
      e = litTable[(e >> 16) + ((b >> inflateLiteralBits) & ((1u << inflateEntryCodeLength(e)) - 1))];
    uint32_t total = inflateEntryBits(e);
    if (e & inflateEntryLiteral) {
      b >>= total;
      c -= total;
      *op++ = (uint8_t)(e >> 16);
      continue;
    }
    if (e & inflateEntrySpecial) {
      if ((e >> 16) == 256) {
        b >>= total;
        c -= total;
        st->state = inflateBlocks;
        inflateReleaseBlockTables(st);
      }
      stop = true;  // an invalid or unreached code stays unconsumed for the reference path
      break;
    }
    uint32_t length = (e >> 16) + ((b & ((1u << total) - 1)) >> inflateEntryCodeLength(e));
    b >>= total;
    c -= total;
    refillNarrow(b, c, in);
    uint32_t d = distTable[b & ((1u << inflateDistanceBits) - 1)];
    if (d & inflateEntrySpecial) {
      if (d & inflateEntryLink)
        d = distTable[(d >> 16) + ((b >> inflateDistanceBits) & ((1u << inflateEntryCodeLength(d)) - 1))];
      if (d & inflateEntrySpecial) {
        st->length = (int)length;
        st->state = inflateHuffmanDist;
        stop = true;
        break;
      }
    }
    uint32_t code = inflateEntryCodeLength(d), extra = inflateEntryBits(d) - code;
    b >>= code;
    c -= code;
    if (c < extra) refillNarrow(b, c, in);
    uint32_t distance = (d >> 16) + (b & ((1u << extra) - 1));
    b >>= extra;
    c -= extra;
    copyDirectMatch(&history, out, op, length, distance);
    op += length;
  }
  pos = (uint32_t)(op - out);
  bb = b;
  bc = c;
  return stop;
}

// Decodes one symbol into out[pos..n) only when the bits held determine it
// wholly (code and extra bits) and it fits exactly: the direct loop's way
// through the last bytes of the input and of the buffer. Advances pos and
// consumes the bits; false (nothing consumed) when it cannot, or when the
// block ended (state BLOCKS) or the code is one the reference path reports.
bool decodeExact(InflateState* st, uint64_t& bb, uint32_t& bc, uint8_t* out, uint32_t& pos, uint32_t n,
                 uint64_t before) {
  const uint32_t* litTable = st->literalTable->entries;
  const uint32_t* distTable = st->distanceTable->entries;
  uint32_t e = lookupFixed<inflateLiteralBits>(litTable, bb);
  if (e & inflateEntryLiteral) {
    uint32_t len = inflateEntryBits(e);
    if (len > bc || pos >= n) return false;
    bb >>= len;
    bc -= len;
    out[pos++] = (uint8_t)(e >> 16);
    return true;
  }
  if (e & inflateEntrySpecial) {
    if ((e >> 16) == 256 && inflateEntryBits(e) <= bc) {
      bb >>= inflateEntryBits(e);
      bc -= inflateEntryBits(e);
      st->state = inflateBlocks;
      inflateReleaseBlockTables(st);
    }
    return false;
  }
  uint32_t total = inflateEntryBits(e);
  if (total > bc) return false;
  uint32_t length = (e >> 16) + (uint32_t)(lowBits(bb, total) >> inflateEntryCodeLength(e));
  uint64_t rest = bb >> total;
  uint32_t d = lookupFixed<inflateDistanceBits>(distTable, rest);
  if (d & inflateEntrySpecial) return false;
  uint32_t dtotal = inflateEntryBits(d);
  if (total + dtotal > bc || length > n - pos) return false;
  uint32_t distance = (d >> 16) + (uint32_t)(lowBits(rest, dtotal) >> inflateEntryCodeLength(d));
  bb = rest >> dtotal;
  bc -= total + dtotal;
  if (distance <= pos && n - pos >= length + copyOvershoot) {
    copyMatch(out + pos, out + pos - distance, length, distance);  // its overshoot stays in out
    pos += length;
  } else if (distance <= pos) {
    for (uint32_t i = 0; i < length; i++, pos++) out[pos] = out[pos - distance];
  } else {
    copyFromHistory(st, before, out, pos, length, distance);
    pos += length;
  }
  return true;
}

// One pass of the wide direct loop over out[pos..), from in while in <=
// inLimit and while out + pos <= opLimit when a symbol starts. A careful pass
// (near the buffer's end) checks each match against matchEnd, the last place
// a match may end with its copy's overshoot still in the buffer, and leaves
// one that does not fit to the exact decoder; the other passes start a
// symbol only while the longest match fits. A pass that cannot reach back
// past out[0] (out[0..pos) holds a whole window) takes every match from out
// without a test. True when decoding must stop: the block ended, or a code
// the reference path reports.
template <bool careful, bool reachesBack>
[[gnu::always_inline]] inline bool decodeWide(InflateState* st, const DirectHistory* history, uint64_t& bb,
                                              uint32_t& bc, const uint8_t*& in, const uint8_t* inLimit, uint8_t* out,
                                              uint32_t& pos, const uint8_t* opLimit, const uint8_t* matchEnd) {
  const uint32_t* litTable = st->literalTable->entries;
  const uint32_t* distTable = st->distanceTable->entries;
  constexpr uint32_t litMask = (1u << inflateLiteralBits) - 1;
  // Every path through the loop ends with a refill (at least 56 bits held)
  // and the entry of the next literal/length code already looked up, so the
  // lookup overlaps the work of the symbol before it (a match copy above
  // all). An entry is consumed as soon as it is read, with one shift by its
  // bits 0-5, and whole entries are subtracted from c: only c's low byte is
  // exact here (the entries' bits 6-7 are clear), which takes the masking off
  // the critical path; it is trimmed on the way out. The bits live in copies
  // here: bb and bc are passed by reference to the exact decoder, and would
  // otherwise be stored at every change.
  uint64_t b = bb;
  uint32_t c = bc;
  refillWord(b, c, in);
  uint32_t e = litTable[b & litMask];
  // The output position as a pointer in here (an index would be widened at
  // every store).
  uint8_t* op = out + pos;
  bool stop = false;
  while (in <= inLimit && op <= opLimit) {
    uint64_t saved = b;  // the bits before this code: its extra bits and a way back
    b >>= inflateEntryBits(e);
    c -= e;
    // Literals are tested first: their entries are never links, so the
    // commonest symbol takes one test.
    if (e & inflateEntryLiteral) {
      // Up to three literals from one refill: the first may have come
      // from a sub-table (15 bits), the next two are primary codes (11
      // bits), so each is looked up with at least 30 bits held.
      *op++ = (uint8_t)(e >> 16);
      e = litTable[b & litMask];
      if (e & inflateEntryLiteral) {
        b >>= inflateEntryBits(e);
        c -= e;
        *op++ = (uint8_t)(e >> 16);
        e = litTable[b & litMask];
        if (e & inflateEntryLiteral) {
          b >>= inflateEntryBits(e);
          c -= e;
          *op++ = (uint8_t)(e >> 16);
          // At least 19 bits are left, so the next lookup need not wait
          // for the refill.
          e = litTable[b & litMask];
          refillWord(b, c, in);
          continue;
        }
      }
      // The entry after the literals is not a literal: with the bits
      // topped up it is taken at once, as at the top of the loop.
      refillWord(b, c, in);
      saved = b;
      b >>= inflateEntryBits(e);
      c -= e;
    }
    if (e & inflateEntrySpecial) {
      if (e & inflateEntryLink) {
        // A code longer than the primary width: take the entry from its
        // sub-table (it holds the whole code length) and start again
        // from the bits before the code.
        uint32_t sub = litTable[(e >> 16) + lowBits(b, inflateEntryCodeLength(e))];
        b = saved;
        c += e;
        e = sub;
        continue;
      }
      if ((e >> 16) != 256) {
        // Invalid or unreached code: left unconsumed for the reference
        // path to report.
        b = saved;
        c += e;
      } else {
        st->state = inflateBlocks;
        inflateReleaseBlockTables(st);
      }
      stop = true;
      break;
    }
    // A length and a distance with their extra bits: at most 48 bits.
    uint32_t length = (e >> 16) + extraBits(saved, e);
    if (careful && op + length > matchEnd) [[unlikely]] {
      // Too long for the room left: the length code goes back, and the
      // exact decoder takes it.
      b = saved;
      c += e;
      break;
    }
    // Links are special entries too: one test for both in the common case.
    uint32_t d = distTable[b & ((1u << inflateDistanceBits) - 1)];
    if (d & inflateEntrySpecial) [[unlikely]] {
      if (d & inflateEntryLink) d = distTable[(d >> 16) + lowBits(b >> inflateDistanceBits, inflateEntryCodeLength(d))];
      if (d & inflateEntrySpecial) {
        st->length = (int)length;
        st->state = inflateHuffmanDist;
        stop = true;
        break;
      }
    }
    saved = b;
    b >>= inflateEntryBits(d);
    c -= d;
    uint32_t distance = (d >> 16) + extraBits(saved, d);
    // The next lookup goes first when the bits left cover the primary
    // index (nearly always), so that it need not wait for the refill.
    if ((c & 63) >= inflateLiteralBits) {
      e = litTable[b & litMask];
      refillWord(b, c, in);
    } else {
      refillWord(b, c, in);
      e = litTable[b & litMask];
    }
    if (!reachesBack || distance <= (uint32_t)(op - out))
      copyMatch(op, op - distance, length, distance);
    else
      copyMatchFromRing(history, op, length, distance);
    op += length;
  }
  pos = (uint32_t)(op - out);
  bb = b;
  bc = c & 63;
  return stop;
}

}  // namespace

bool inflateNarrowBits = sizeof(void*) < 8;

// Makes the last (up to 32 KiB) of the `produced` bytes at out the ring's
// history, as if they had been decoded into the ring and delivered: the write
// position advances by all of them, so it still counts every decoded byte
// modulo the ring size.
void inflateKeepHistory(InflateState* st, const uint8_t* out, uint32_t produced) {
  uint32_t keep = produced < inflateWindowSize ? produced : inflateWindowSize;
  uint32_t at = (st->windowWrite + produced - keep) & inflateRingMask;
  const uint8_t* from = out + produced - keep;
  uint32_t first = inflateRingSize - at < keep ? inflateRingSize - at : keep;
  memcpy(st->window + at, from, first);
  memcpy(st->window, from + first, keep - first);
  st->windowWrite = (st->windowWrite + produced) & inflateRingMask;
}

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
    bb |= loadLe<uint64_t>(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;
    uint32_t e = lookup(litTable, litBits, bb);
    if (e & inflateEntryLiteral) {
      uint32_t len = inflateEntryBits(e);
      bb >>= len;
      bc -= len;
      win[w++] = (uint8_t)(e >> 16);
      pending++;
      symbols++;
      // Two more literals fit in the bits left after a refill (3 x 15).
      for (int more = 0; more < 2; more++) {
        e = lookup(litTable, litBits, bb);
        if (!(e & inflateEntryLiteral)) break;
        len = inflateEntryBits(e);
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
        uint32_t len = inflateEntryBits(e);
        bb >>= len;
        bc -= len;
        symbols++;
        st->state = inflateBlocks;
        inflateReleaseBlockTables(st);
      }
      break;  // invalid or unreached code: the reference path reports it
    }
    uint32_t total = inflateEntryBits(e), codeLen = inflateEntryCodeLength(e);
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
    total = inflateEntryBits(d);
    codeLen = inflateEntryCodeLength(d);
    uint32_t distance = (d >> 16) + (uint32_t)(lowBits(bb, total) >> codeLen);
    bb >>= total;
    bc -= total;
    if (distance <= w) {
      copyMatch(win + w, win + w - distance, length, distance);
    } else if (st->total + pending < distance) {
      // The match reaches before the first decoded byte (nothing has wrapped
      // yet, so w counts every byte decoded): that part reads as zeros.
      uint32_t zeros = distance - w;
      for (uint32_t i = 0; i < length; i++) win[w + i] = i < zeros ? 0 : win[w + i - distance];
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

// Entry conditions: state HUFFMAN with both tables present, nothing pending
// in the ring, not failed, at least inflateDirectMinOut bytes free at
// out[start..n) and at least fastMinInput bytes buffered in the level below.
// out[0..start) are bytes the read decoded straight into its buffer before,
// not yet copied to the ring, which ends with the bytes before out[0].
// Decodes into out[start..n): with the wide loop while 16 input bytes remain
// and each match with its copy overshoot still fits, then symbol by symbol
// with exact copies, taking the next block of input from the level below
// when the buffered bytes run out; no byte past out[n-1] is ever written. It
// stops when the buffer is full, the input has nothing more for now, the
// block ends, or at a code the reference path must report. Matches that
// reach back past out[0] take their bytes from the ring (the history of
// earlier reads) or, before the first decoded byte, zeros. On return the
// unused bits are back in the level below; the caller makes the bytes the
// ring's history (inflateKeepHistory) before the ring is used again.
// Returns the number of bytes produced; the caller accounts for them.
uint32_t inflateFastDirect(InflateState* st, uint8_t* out, uint32_t start, uint32_t n) {
  const InflateTable* lit = st->literalTable;
  const InflateTable* dist = st->distanceTable;
  if (st->state != inflateHuffman || !lit || !dist || st->failed || st->windowPending != 0 ||
      n - start < inflateDirectMinOut || lit->bits != inflateLiteralBits || dist->bits != inflateDistanceBits)
    return 0;
  const uint8_t* buffered = nullptr;
  uint32_t avail = 0;
  if (iosBufferedFill(st->source, &buffered, &avail) != 0 || avail < fastMinInput) return 0;

  uint32_t count = 0;
  uint64_t bb = iosBufferedTakeBits(st->source, &count);
  uint32_t bc = count;
  // The read position is a plain local (never address-taken), so that it can
  // stay in a register through the loop.
  const uint8_t* in = buffered;
  const uint8_t* inStart = in;
  const uint8_t* inEnd = in + avail;
  // The narrow loop, and the wide one but for its last pass, start a symbol
  // only while the longest match plus the copy overshoot fit. (A smaller
  // buffer is filled by the careful pass and exact decoding alone.)
  const bool roomy = n >= directSlack;
  const uint32_t outLimit = roomy ? n - directSlack : 0;
  const uint32_t wideLimit = n - wideSlack;
  const uint64_t before = st->total - start;  // bytes decoded before out[0]
  const DirectHistory history = {st, before, out};
  // The strict format must not decode a code from the last bits of the input
  // that the reference path would refuse: there only whole lookups are made.
  const uint32_t tailMinBits = st->format == INFLATE_FORMAT_ZLIB_STRICT ? 48 : 0;
  uint32_t pos = start;
  bool inputEnded = false;  // the level below had nothing more for now
  bool stop = false;        // a symbol the reference path must handle, or the block ended

  for (;;) {
    bool inputRoom = in + fastMinInput <= inEnd;
    if (inflateNarrowBits && roomy && inputRoom && pos <= outLimit) {
      // The narrow loop starts with at most narrowMaxBits bits: symbols are
      // decoded from the bits held until that is so (input follows them, so
      // even the strict format may take them).
      if (bc > narrowMaxBits) {
        if (decodeExact(st, bb, bc, out, pos, n, before)) continue;
        if (st->state != inflateHuffman) break;  // the block ended
      } else {
        if (decodeNarrow(st, bb, bc, in, inEnd - 15, out, pos, outLimit, before)) break;
        continue;
      }
    } else if (!inflateNarrowBits && inputRoom && pos <= wideLimit) {
      // An iteration refills at most twice (literals, then a match), each
      // time advancing at most 7 bytes and loading 8.
      const uint8_t* inLimit = inEnd - 15;
      const uint8_t* matchEnd = out + n - copyOvershoot;
      // The first window of the buffer may reach back into the ring; the
      // rest may not; the last part checks each match against the room left.
      const bool careful = !roomy || pos > outLimit;
      if (careful)
        stop = decodeWide<true, true>(st, &history, bb, bc, in, inLimit, out, pos, out + wideLimit, matchEnd);
      else if (pos < inflateWindowSize)
        stop = decodeWide<false, true>(st, &history, bb, bc, in, inLimit, out, pos,
                                       out + (outLimit < inflateWindowSize ? outLimit : inflateWindowSize), matchEnd);
      else
        stop = decodeWide<false, false>(st, &history, bb, bc, in, inLimit, out, pos, out + outLimit, matchEnd);
      if (stop) break;
      // Only the output limit of this pass was reached: on with the next.
      if (!careful && in <= inLimit) continue;
    }
    // Near the end of the input or of the buffer: whole bytes, exact copies.
    while (bc < 56 && in < inEnd) {  // at most 63 bits held
      bb |= (uint64_t)*in++ << bc;
      bc += 8;
    }
    if (bc < 48 && in == inEnd && !inputEnded) {
      // The input may have more: the bits held stay ahead of the next block
      // of bytes, read from the level below when all these are consumed.
      iosBufferedConsume(st->source, (uint32_t)(in - inStart));
      const uint8_t* next = nullptr;
      uint32_t more = 0;
      if (iosBufferedFill(st->source, &next, &more) != 0 || more == 0) {
        inputEnded = true;
        inStart = in;
      } else {
        in = inStart = next;
        inEnd = next + more;
      }
      continue;
    }
    if (bc < tailMinBits || !decodeExact(st, bb, bc, out, pos, n, before)) break;
  }

  iosBufferedConsume(st->source, (uint32_t)(in - inStart));
  iosBufferedGiveBack(st->source, lowBits(bb, bc), bc);
  return pos - start;
}

// Reads the code definitions of a dynamic block from the buffered bytes as
// long as a whole 8-byte load fits before their end at each refill; when one
// does not, everything taken is put back and the bit-by-bit reader goes
// instead (0). So a short member's header, well under the longest possible
// one, is read here too.
int inflateFastCodeLengths(InflateState* st, uint8_t* lengths, uint32_t* nlit, uint32_t* ndist) {
  const uint8_t* in = nullptr;
  const uint32_t avail = iosBufferedAvailable(st->source, &in);
  if (avail < 8) return 0;
  uint32_t count = 0;
  uint64_t bb = iosBufferedTakeBits(st->source, &count);
  const uint64_t taken = bb;
  const uint32_t takenCount = count;
  uint32_t bc = count;
  const uint8_t* inStart = in;
  const uint8_t* const inLast = in + avail - 8;  // the last place an 8-byte load may start
  bool ranShort = false;
  auto refill = [&] {
    if (in > inLast) {
      ranShort = true;
      return;
    }
    bb |= loadLe<uint64_t>(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;
  };
  auto take = [&](uint32_t n) {
    uint32_t v = (uint32_t)lowBits(bb, n);
    bb >>= n;
    bc -= n;
    return v;
  };
  refill();
  uint32_t nl = take(5) + 257, nd = take(5) + 1, ncl = take(4) + 4;
  uint8_t clLengths[19] = {0};
  for (uint32_t i = 0; i < ncl && !ranShort; i++) {
    if (bc < 3) refill();
    clLengths[inflateCodeLengthOrder[i]] = (uint8_t)take(3);
  }
  if (ranShort) {
    iosBufferedGiveBack(st->source, taken, takenCount);
    return 0;
  }
  const InflateTable* clTable = nullptr;
  int result = inflateBuildTable(clLengths, 19, inflateKindCodeLength, &clTable);
  uint32_t total = nl + nd, i = 0;
  uint8_t previous = 0;
  // The entries' address in a local: the stores of lengths might otherwise
  // alias the table record and reload it at every code.
  const uint32_t* clEntries = result == 0 ? clTable->entries : nullptr;
  while (result == 0 && i < total) {
    // A code and its repeat bits take at most 14 bits, so a refill (to 56
    // bits or more) serves several codes.
    if (bc < 14) {
      refill();
      if (ranShort) break;
    }
    uint32_t e = clEntries[lowBits(bb, inflateCodeLengthBits)];
    take(inflateEntryBits(e));
    uint32_t sym = e >> 16;
    if (sym < 16) {
      lengths[i++] = previous = (uint8_t)sym;
      continue;
    }
    uint32_t repeat;
    uint8_t value = 0;
    if (sym == 16) {
      repeat = 3 + take(2);
      value = previous;
    } else if (sym == 17) {
      repeat = 3 + take(3);
    } else if (sym == 18) {
      repeat = 11 + take(7);
    } else {
      logError(logCatInflate, "Unexpected dynamic code length %d\n", (int)sym);
      result = -1;
      break;
    }
    if (i + repeat > total) {
      result = -1;
      break;
    }
    memset(lengths + i, value, repeat);
    i += repeat;
    previous = value;
  }
  inflateFreeTable(clTable);
  if (ranShort) {
    iosBufferedGiveBack(st->source, taken, takenCount);
    return 0;
  }
  iosBufferedConsume(st->source, (uint32_t)(in - inStart));
  iosBufferedGiveBack(st->source, lowBits(bb, bc), bc);
  *nlit = nl;
  *ndist = nd;
  return result == 0 ? 1 : -1;
}
