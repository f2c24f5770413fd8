// Inflate stream level: the resumable deflate state machine, the output ring,
// the zlib wrapper and the level's read and close operations. The fast loop
// (inflatefast.cpp) takes over inside Huffman blocks when enough input and
// window space are at hand; everything here is the reference path, which can
// stop and resume at any bit.
#include <cinttypes>
#include <cstddef>
#include <cstring>

#include "inflate.h"
#include "inflateint.h"
#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"

namespace {

const char* const stateNames[inflateStateCount] = {
    "HEADER",  "DICTIONARY",         "BLOCKS",       "LITERAL_LEN",      "LITERAL_NLEN", "LITERAL",  "DYN_HEADER",
    "HUFFMAN", "HUFFMAN_EXTRA_BITS", "HUFFMAN_DIST", "HUFFMAN_DISTBITS", "CHECKSUM",     "FINISHED",
};
static_assert(SFX_ARRAY_SIZE(stateNames) == inflateStateCount, "one name per state");

// A decode step either made progress (may be repeated at once) or not (the
// read stops, delivering what is pending).
constexpr bool progress = true;
constexpr bool noProgress = false;

int inflateReadOp(IoStream* level, void* buffer, uint32_t n, uint32_t* got);
int inflateCloseOp(void* state);

// ---- window ----

// Stores one decoded byte. -1 when the window is full of undelivered bytes.
int windowPut(InflateState* st, uint8_t byte) {
  if (st->windowPending >= inflateWindowSize) {
    logError(logCatInflate, "Window overflow\n");
    return -1;
  }
  st->window[st->windowWrite] = byte;
  st->windowWrite = (st->windowWrite + 1) & inflateRingMask;
  st->windowPending++;
  return 0;
}

// Copies a match of `length` bytes from `distance` back. Overlapping matches
// repeat their pattern (bytewise copy). The ring is never cleared: the part
// of a match that reaches before the first decoded byte reads as zeros, as
// if the history started with a zero-filled window.
int windowCopyMatch(InflateState* st, uint32_t length, uint32_t distance) {
  if (st->windowPending + length > inflateWindowSize) {
    logError(logCatInflate, "Window overflow\n");
    return -1;
  }
  uint32_t w = st->windowWrite;
  uint32_t src = (w - distance) & inflateRingMask;
  uint8_t* win = st->window;
  uint64_t decoded = st->total + st->windowPending;
  if (distance > decoded) {
    uint32_t zeros = distance - (uint32_t)decoded;
    if (zeros > length) zeros = length;
    for (uint32_t i = 0; i < length; i++)
      win[(w + i) & inflateRingMask] = i < zeros ? 0 : win[(src + i) & inflateRingMask];
  } else if (src + length <= inflateRingSize && w + length <= inflateRingSize && length <= distance) {
    memcpy(win + w, win + src, length);
  } else {
    for (uint32_t i = 0; i < length; i++) win[(w + i) & inflateRingMask] = win[(src + i) & inflateRingMask];
  }
  st->windowWrite = (w + length) & inflateRingMask;
  st->windowPending += length;
  return 0;
}

// Reads up to n stored bytes from the source straight into the ring (at most
// the free window space and the contiguous room before the ring's end).
// *count gets the bytes read (0 at end of input); -1 on a read failure.
int outputWindowRead(InflateState* st, uint32_t n, uint32_t* count) {
  *count = 0;
  uint32_t freeSpace = inflateWindowSize - st->windowPending;
  if (n > freeSpace) n = freeSpace;
  uint32_t room = inflateRingSize - st->windowWrite;
  if (n > room) n = room;
  logTrace(logCatInflate, "outputWindowRead(%u)\n", n);
  if (n == 0) return 0;
  uint32_t got = 0;
  if (iosRead(st->source, st->window + st->windowWrite, n, &got) != 0) return -1;
  if (got > n) got = n;
  st->windowWrite = (st->windowWrite + got) & inflateRingMask;
  st->windowPending += got;
  *count = got;
  return 0;
}

// Reads stored bytes from the source straight into a reader's buffer while
// nothing is pending in the ring: at most n and at most what is left of the
// block. *count gets the bytes read, which the read makes the ring's history
// (keepDirectBytes); -1 on a read failure.
int storedDirect(InflateState* st, uint8_t* out, uint32_t n, uint32_t* count) {
  *count = 0;
  if (n > (uint32_t)st->storedLeft) n = (uint32_t)st->storedLeft;
  logTrace(logCatInflate, "outputWindowRead(%u)\n", n);
  uint32_t got = 0;
  if (iosRead(st->source, out, n, &got) != 0) return -1;
  if (got > n) got = n;
  st->storedLeft -= (int)got;
  *count = got;
  return 0;
}

// Delivers up to n of the oldest pending bytes (one or two pieces when they
// wrap around the ring's end).
uint32_t outputWindowGetData(InflateState* st, uint8_t* buffer, uint32_t n) {
  uint32_t k = n < st->windowPending ? n : st->windowPending;
  if (k > 0) {
    uint32_t start = (st->windowWrite - st->windowPending) & inflateRingMask;
    uint32_t first = inflateRingSize - start;
    if (first > k) first = k;
    memcpy(buffer, st->window + start, first);
    if (k > first) memcpy(buffer + first, st->window, k - first);
    st->windowPending -= k;
  }
  logTrace(logCatInflate, "outputWindowGetData: %u bytes\n", k);
  return k;
}

// ---- bits ----

// Reads n (0..16) bits; -1 when the input cannot supply them yet.
inline int getBits(InflateState* st, uint32_t n) { return n == 0 ? 0 : iosGetBits(st->source, n); }

// Peeks up to `want` bits for a table lookup. When the input cannot supply
// them, the raw and zlib formats take the bits actually held (so that the
// short last code of a stream that ends mid-byte still decodes) and the
// strict format gives up. *held gets the number of valid bits; -1 when none.
int peekForLookup(InflateState* st, uint32_t want, uint32_t* held) {
  int v = iosPeekBits(st->source, want);
  if (v >= 0) {
    *held = want;
    return v;
  }
  if (st->format == INFLATE_FORMAT_ZLIB_STRICT) return -1;
  int have = iosPeekBits(st->source, 0);
  if (have <= 0) return -1;
  *held = (uint32_t)have < want ? (uint32_t)have : want;
  return iosPeekBits(st->source, *held);
}

// Decodes one code with `table` without consuming it: true with its entry
// in *entry when the bits held determine it (inflateEntryCodeLength), false
// when more input is needed.
bool inflateDecodeSymbol(InflateState* st, const InflateTable* table, uint32_t* entry) {
  uint32_t held = 0;
  int v = peekForLookup(st, table->bits, &held);
  if (v < 0) return false;
  uint32_t e = table->entries[(uint32_t)v & ((1u << table->bits) - 1)];
  if (e & inflateEntryLink) {
    uint32_t sub = inflateEntryCodeLength(e);
    if (held < table->bits) return false;
    v = peekForLookup(st, table->bits + sub, &held);
    if (v < 0 || held <= table->bits) return false;
    e = table->entries[(e >> 16) + (((uint32_t)v >> table->bits) & ((1u << sub) - 1))];
  }
  if (inflateEntryCodeLength(e) > held) return false;
  *entry = e;
  return true;
}

// Consumes bits already peeked.
inline void consumeBits(InflateState* st, uint32_t n) {
  if (n) iosGetBits(st->source, n);
}

// ---- tables ----

// Takes the shared fixed tables (made at compile time).
void useFixedTables(InflateState* st) {
  st->fixedLiteralTable = &inflateFixedLiteralTable;
  st->fixedDistanceTable = &inflateFixedDistanceTable;
}

// Reads the code definitions of a dynamic block bit by bit through the level
// below (any input boundary may fall inside): the code lengths into
// lengths[0..*nlit + *ndist), zero-filled by the caller. 0 or -1.
int readCodeLengths(InflateState* st, uint8_t* lengths, uint32_t* nlitOut, uint32_t* ndistOut) {
  int hlit = getBits(st, 5), hdist = getBits(st, 5), hclen = getBits(st, 4);
  if (hlit < 0 || hdist < 0 || hclen < 0) return -1;
  uint32_t nlit = (uint32_t)hlit + 257, ndist = (uint32_t)hdist + 1, ncl = (uint32_t)hclen + 4;
  uint8_t clLengths[19] = {0};
  for (uint32_t i = 0; i < ncl; i++) {
    int v = getBits(st, 3);
    if (v < 0) return -1;
    clLengths[inflateCodeLengthOrder[i]] = (uint8_t)v;
  }
  const InflateTable* clTable = nullptr;
  if (inflateBuildTable(clLengths, 19, inflateKindCodeLength, &clTable) != 0) return -1;
  uint32_t total = nlit + ndist, i = 0;
  uint8_t previous = 0;
  int result = 0;
  while (i < total) {
    uint32_t e = 0;
    if (!inflateDecodeSymbol(st, clTable, &e)) {
      result = -1;
      break;
    }
    consumeBits(st, inflateEntryCodeLength(e));
    int sym = (int)(e >> 16);
    if (sym < 16) {
      lengths[i++] = previous = (uint8_t)sym;
      continue;
    }
    int extra;
    uint32_t repeat;
    uint8_t value = 0;
    if (sym == 16) {
      extra = getBits(st, 2);
      repeat = 3;
      value = previous;
    } else if (sym == 17) {
      extra = getBits(st, 3);
      repeat = 3;
    } else if (sym == 18) {
      extra = getBits(st, 7);
      repeat = 11;
    } else {
      logError(logCatInflate, "Unexpected dynamic code length %d\n", sym);
      result = -1;
      break;
    }
    if (extra < 0 || i + repeat + (uint32_t)extra > total) {
      result = -1;
      break;
    }
    repeat += (uint32_t)extra;
    memset(lengths + i, value, repeat);
    i += repeat;
    previous = value;
  }
  inflateFreeTable(clTable);
  *nlitOut = nlit;
  *ndistOut = ndist;
  return result;
}

// Reads the code definitions of a dynamic block (from the buffered bytes at
// once when the longest header is buffered) and builds its tables.
int readDynamicHeader(InflateState* st) {
  uint8_t lengths[288 + 32] = {0};
  uint32_t nlit = 0, ndist = 0;
  int fast = inflateFastCodeLengths(st, lengths, &nlit, &ndist);
  if (fast < 0 || (fast == 0 && readCodeLengths(st, lengths, &nlit, &ndist) != 0)) return -1;
  inflateReleaseBlockTables(st);
  if (inflateBuildTable(lengths, nlit, inflateKindLiteralLength, &st->literalTable) != 0) return -1;
  return inflateBuildTable(lengths + nlit, ndist, inflateKindDistance, &st->distanceTable);
}

// ---- decode steps ----

void setEnded(InflateState* st) {
  st->state = inflateFinished;
  if (st->endFlag) *st->endFlag = 1;
  logTrace(logCatInflate, "iis: set EOF\n");
}

bool stepHeader(InflateState* st) {
  int v = getBits(st, 16);
  if (v < 0) {
    logError(logCatInflate, "No compression header\n");
  } else {
    uint32_t cmf = (uint32_t)v & 0xFF, flg = (uint32_t)v >> 8;
    if ((cmf * 256 + flg) % 31 != 0) {
      logError(logCatInflate, "Header checksum illegal\n");
    } else if ((cmf & 0x0F) != 8) {
      logError(logCatInflate, "Compression method %d unknown\n", (int)(cmf & 0x0F));
    } else {
      if (flg & 0x20) {
        st->bitsPending = 32;
        st->collected = 0;
        st->state = inflateDictionary;
      } else {
        st->state = inflateBlocks;
      }
      return progress;
    }
  }
  setEnded(st);
  return noProgress;
}

// Collects whole bytes, most significant first, while bitsPending lasts.
// false when the input ran out first.
bool collectBytes(InflateState* st) {
  while (st->bitsPending > 0) {
    int v = getBits(st, 8);
    if (v < 0) return false;
    st->collected = (st->collected << 8) | (uint32_t)v;
    st->bitsPending -= 8;
  }
  return true;
}

bool stepDictionary(InflateState* st) {
  if (!collectBytes(st)) {
    logError(logCatInflate, "Compression header too short\n");
    setEnded(st);
    return noProgress;
  }
  // Decoding needs the preset dictionary, which no caller can supply.
  logError(logCatInflate, "Preset dictionary %08x not supported\n", st->collected);
  st->failed = 1;
  return noProgress;
}

bool stepBlocks(InflateState* st) {
  if (st->lastBlock) {
    iosSkipToNextByte(st->source);
    if (st->format == INFLATE_FORMAT_RAW) {
      st->state = inflateFinished;
      logTrace(logCatInflate, "last block, skipped to byte, state=%s\n", "FINISHED");
      return noProgress;
    }
    st->bitsPending = 32;
    st->collected = 0;
    st->state = inflateChecksum;
    logTrace(logCatInflate, "last block, skipped to byte, state=%s\n", "CHECKSUM");
    return progress;
  }
  int h = getBits(st, 3);
  if (h < 0) {
    logError(logCatInflate, "compressed block header TYPE missing\n");
    st->failed = 1;
    return noProgress;
  }
  st->lastBlock = (uint8_t)(h & 1);
  int type = h >> 1;
  logTrace(logCatInflate, "got block header %u, last=%s\n", (unsigned)type, st->lastBlock ? "true" : "false");
  switch (type) {
    case 0:
      iosSkipToNextByte(st->source);
      st->state = inflateLiteralLen;
      return progress;
    case 1:
      useFixedTables(st);
      inflateReleaseBlockTables(st);
      st->literalTable = st->fixedLiteralTable;
      st->distanceTable = st->fixedDistanceTable;
      st->state = inflateHuffman;
      return progress;
    case 2:
      st->state = inflateDynHeader;
      return progress;
    default:
      logFatal(logCatInflate, "Encountered reserved blocktype %d\n", type);
      st->failed = 1;
      return noProgress;
  }
}

bool stepLiteral(InflateState* st) {
  while (st->storedLeft > 0) {
    if (st->windowPending >= inflateWindowSize) return progress;  // deliver first
    uint32_t count = 0;
    if (outputWindowRead(st, (uint32_t)st->storedLeft, &count) != 0) {
      st->failed = 1;
      return noProgress;
    }
    if (count == 0) {
      // The input ended inside the block: stay here so that a later read
      // continues with the rest of the block.
      logDebug(logCatInflate, "Source ran out of inflate data, truncating output\n");
      return noProgress;
    }
    st->storedLeft -= (int)count;
  }
  st->state = inflateBlocks;
  return progress;
}

// The Huffman loop: decodes symbols until the window needs draining, the
// block ends, the input runs out or an invalid symbol appears. Each state
// keeps what it has read, so decoding resumes at any bit.
bool stepHuffman(InflateState* st) {
  for (;;) {
    if (inflateWindowSize - st->windowPending < inflateMaxMatch) return progress;
    uint32_t e = 0;
    switch (st->state) {
      case inflateHuffman:
        if (!st->symbolAtATime && inflateFastLoop(st) > 0) {
          if (st->state == inflateBlocks) return progress;  // the block ended
          continue;
        }
        if (!inflateDecodeSymbol(st, st->literalTable, &e)) return noProgress;
        if (e & inflateEntryLiteral) {
          consumeBits(st, inflateEntryCodeLength(e));
          if (windowPut(st, (uint8_t)(e >> 16)) != 0) return noProgress;
          if (st->symbolAtATime) return progress;
          continue;
        }
        if (e & inflateEntrySpecial) {
          if ((e >> 16) == 256) {
            consumeBits(st, inflateEntryCodeLength(e));
            inflateReleaseBlockTables(st);
            st->state = inflateBlocks;
            return progress;
          }
          // 286, 287 or a code that reaches nothing. Left unconsumed, so the
          // stream keeps reading as ended here.
          logError(logCatInflate, "Invalid huffman distance %d\n", e == inflateEntryUnreached ? -1 : (int)(e >> 16));
          return noProgress;
        }
        consumeBits(st, inflateEntryCodeLength(e));
        st->length = (int)(e >> 16);
        st->bitsPending = (uint8_t)(inflateEntryBits(e) - inflateEntryCodeLength(e));
        [[fallthrough]];
      case inflateHuffmanExtraBits: {
        st->state = inflateHuffmanExtraBits;
        int v = getBits(st, st->bitsPending);
        if (v < 0) return noProgress;
        st->length += v;
        st->bitsPending = 0;
      }
        [[fallthrough]];
      case inflateHuffmanDist:
        st->state = inflateHuffmanDist;
        if (!inflateDecodeSymbol(st, st->distanceTable, &e)) return noProgress;
        if (e & inflateEntrySpecial) {
          logError(logCatInflate, "Invalid huffman distance %d\n", (int)(e >> 16));
          return noProgress;
        }
        consumeBits(st, inflateEntryCodeLength(e));
        st->distance = (int)(e >> 16);
        st->bitsPending = (uint8_t)(inflateEntryBits(e) - inflateEntryCodeLength(e));
        [[fallthrough]];
      case inflateHuffmanDistBits: {
        st->state = inflateHuffmanDistBits;
        int v = getBits(st, st->bitsPending);
        if (v < 0) return noProgress;
        st->distance += v;
        st->bitsPending = 0;
        if (windowCopyMatch(st, (uint32_t)st->length, (uint32_t)st->distance) != 0) return noProgress;
        st->state = inflateHuffman;
        if (st->symbolAtATime) return progress;
        continue;
      }
      default:
        logError(logCatInflate, "Invalid inflater state %d\n", st->state);
        return noProgress;
    }
  }
}

bool stepChecksum(InflateState* st) {
  if (!collectBytes(st)) return noProgress;
  if (st->collected != st->adler) logError(logCatInflate, "Checksum %04x != expected %04x\n", st->adler, st->collected);
  st->state = inflateFinished;
  return noProgress;
}

// Runs one decode step of the current state.
bool decodeStep(InflateState* st) {
  switch (st->state) {
    case inflateHeader:
      return stepHeader(st);
    case inflateDictionary:
      return stepDictionary(st);
    case inflateBlocks:
      return stepBlocks(st);
    case inflateLiteralLen: {
      int v = getBits(st, 16);
      if (v < 0) {
        logFatal(logCatInflate, "compressed block header LEN missing\n");
        st->failed = 1;
        return noProgress;
      }
      st->storedLeft = v;
      st->state = inflateLiteralNlen;
      return progress;
    }
    case inflateLiteralNlen: {
      int v = getBits(st, 16);
      if (v < 0) {
        logFatal(logCatInflate, "compressed block header NLEN missing\n");
        st->failed = 1;
        return noProgress;
      }
      logTrace(logCatInflate, "Uncompressed literal block nlen=%X literalLen=%X\n", (unsigned)v,
               (unsigned)st->storedLeft);
      if ((uint32_t)v != ((uint32_t)st->storedLeft ^ 0xFFFF)) {
        logError(logCatInflate, "Uncompressed literal block invalid header checksum\n");
        st->failed = 1;
        return noProgress;
      }
      st->state = inflateLiteral;
      return progress;
    }
    case inflateLiteral:
      return stepLiteral(st);
    case inflateDynHeader:
      if (readDynamicHeader(st) != 0) {
        logError(logCatInflate, "Invalid inflater data during dynamic hoffman data\n");
        st->failed = 1;
        return noProgress;
      }
      st->state = inflateHuffman;
      return progress;
    case inflateHuffman:
    case inflateHuffmanExtraBits:
    case inflateHuffmanDist:
    case inflateHuffmanDistBits:
      return stepHuffman(st);
    case inflateChecksum:
      return stepChecksum(st);
    case inflateFinished:
      return noProgress;
    default:
      logError(logCatInflate, "Internal: unexpected inflate state %d\n", st->state);
      st->failed = 1;
      return noProgress;
  }
}

// Closes the decoder: drains unread compressed data when nobody watches the
// end flag, then closes the source or realigns it to whole bytes, and frees
// the state. The OR of the drain's and the close's results.
int inflateClose(InflateState* st) {
  logDebug(logCatInflate, "Inflated %" PRIu64 " bytes\n", st->total);
  int result = 0;
  if (!st->endFlag && st->state != inflateFinished) {
    uint32_t barf = 0;
    logDebug(logCatInflate, "at end of inflate stream state=%s\n", inflateStateName(st->state));
    for (uint32_t i = 0; i < 100000000 && st->state != inflateFinished; i++) {
      uint8_t byte;
      uint32_t got = 0;
      int r = inflateRead(st, &byte, 1, &got);
      logDebug(logCatInflate, "read gave %d, barf=%u state=%s\n", r, barf, inflateStateName(st->state));
      if (r != 0) {
        result = r;
        break;
      }
      if (got == 0) break;
      barf += got;
    }
    if (barf) logError(logCatInflate, "Inflation resulted in %u bytes that were not needed\n", barf);
  }
  if (st->closeSource)
    result |= iosClose(st->source);
  else
    iosSkipToNextByte(st->source);
  inflateReleaseBlockTables(st);
  memFree(st);
  return result;
}

int inflateReadOp(IoStream* level, void* buffer, uint32_t n, uint32_t* got) {
  InflateState* st = static_cast<InflateState*>(level->state);
  uint32_t count = 0;
  int result = inflateRead(st, static_cast<uint8_t*>(buffer), n, &count);
  if (st->state == inflateFinished) {
    if (st->endFlag) *st->endFlag = 1;
    logTrace(logCatInflate, "Unwrap inflate at state FINISHED\n");
    st->closeSource = 0;
    inflateClose(st);
    level->state = nullptr;
    iosUnwrap(level);
  }
  if (got) *got = count;
  return result;
}

int inflateCloseOp(void* state) { return inflateClose(static_cast<InflateState*>(state)); }

}  // namespace

const IoStreamOps inflateInputStreamOps = {
    .name = "InflateInputStream", .read = inflateReadOp, .close = inflateCloseOp};

// Releases the current block's tables (never the fixed ones).
void inflateReleaseBlockTables(InflateState* st) {
  inflateFreeTable(st->literalTable);  // leaves the fixed tables alone
  inflateFreeTable(st->distanceTable);
  st->literalTable = st->distanceTable = nullptr;
}

const char* inflateStateName(int state) { return state >= 0 && state < inflateStateCount ? stateNames[state] : "?"; }

uint32_t inflateAdler32(uint32_t adler, const uint8_t* data, uint32_t length) {
  constexpr uint32_t mod = 65521, chunk = 5552;  // largest chunk whose sums fit 32 bits
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (length > 0) {
    uint32_t n = length < chunk ? length : chunk;
    length -= n;
    while (n--) {
      a += *data++;
      b += a;
    }
    a %= mod;
    b %= mod;
  }
  return (b << 16) | a;
}

// Makes buffer[*kept..have), the bytes a read decoded or copied straight into
// its buffer since the ring was last written, the ring's history: once per
// read and before the ring is used again, rather than after every piece.
// Not after the final block: nothing can refer to them any more.
void keepDirectBytes(InflateState* st, const uint8_t* buffer, uint32_t* kept, uint32_t have) {
  if (have > *kept && !(st->state == inflateBlocks && st->lastBlock))
    inflateKeepHistory(st, buffer + *kept, have - *kept);
  *kept = have;
}

// Hands the bytes gathered in buffer by one read to the reader: the ring's
// history, Adler-32 (zlib formats), traces and the read's result.
int finishRead(InflateState* st, uint8_t* buffer, uint32_t kept, uint32_t k, uint32_t* got) {
  keepDirectBytes(st, buffer, &kept, k);
  if (st->format != INFLATE_FORMAT_RAW) st->adler = inflateAdler32(st->adler, buffer, k);
  logTrace(logCatInflate, "%u bytes decoded, total %" PRIu64 "\n", k, st->total);
  *got = k;
  logTrace(logCatInflate, "inflateRead< bytes=%u, state=%s\n", k, inflateStateName(st->state));
  return st->failed ? -1 : 0;
}

// Whether a read with a large buffer left goes on from this state after it
// has bytes: inside a Huffman or stored block, and into the header of a block
// that follows a non-final one, so that a read is not cut short at every
// block boundary. A header only when the bytes for the longest one of its
// kind are buffered already: a header cannot wait for more input, and one
// that arrives later (from a pipe, say) must still find the read that meets
// it starting afresh, as it would have without going on. Not past the final
// block: the level must end only with a read that gives no bytes.
bool goesOn(InflateState* st) {
  // The longest dynamic header: 14 bits of counts, 19 x 3 bits of code-length
  // code lengths, 320 lengths of at most 7 + 7 bits.
  constexpr uint32_t dynamicHeaderMaxBytes = (14 + 19 * 3 + 320 * 14 + 7) / 8;
  uint32_t need = 0;
  switch (st->state) {
    case inflateHuffman:
    case inflateLiteral:
      return true;
    case inflateBlocks:
      if (st->lastBlock) return false;
      need = 1;
      break;
    case inflateLiteralLen:
    case inflateLiteralNlen:
      need = 2;
      break;
    case inflateDynHeader:
      need = dynamicHeaderMaxBytes;
      break;
    default:
      return false;
  }
  const uint8_t* bytes = nullptr;
  return iosBufferedAvailable(st->source, &bytes) >= need;
}

// A read returns as soon as it has bytes, except with a large buffer inside
// the blocks of the data (goesOn): there it decodes (or copies) straight into
// the buffer and, where the input is too short for the fast loop, one symbol
// at a time through the ring, until the buffer is nearly full, the final
// block ends or the input runs out. Inside a block those steps set `failed`
// only for a failing read of the source; the failure of a block header read
// after bytes (a reserved type, say) is kept for the next read, so that the
// error still comes with the read after the bytes, as it would if every read
// stopped at the first byte.
int inflateRead(InflateState* st, uint8_t* buffer, uint32_t n, uint32_t* got) {
  logTrace(logCatInflate, "inflateRead> bytes=%u, state=%s\n", n, inflateStateName(st->state));
  *got = 0;
  if (n == 0 || st->state == inflateFinished) {
    logTrace(logCatInflate, "inflateRead< OK state=%s\n", inflateStateName(st->state));
    return 0;
  }
  uint32_t have = 0;
  uint32_t kept = 0;  // buffer[kept..have): bytes that went straight to the buffer, not yet in the ring
  for (;;) {
    if (st->state != inflateChecksum) {
      uint32_t k = outputWindowGetData(st, buffer + have, n - have);
      st->total += k;
      have += k;
      if (k > 0) kept = have;  // from the ring, which is used only once the direct bytes are kept
      k = inflateFastDirect(st, buffer + kept, have - kept, n - kept);
      st->total += k;
      have += k;
      // Stored bytes go straight to a large buffer as well; the stored step
      // below reports the input running out.
      while (st->state == inflateLiteral && st->storedLeft > 0 && !st->failed && st->windowPending == 0 &&
             n - have >= inflateDirectMinOut) {
        if (storedDirect(st, buffer + have, n - have, &k) != 0) {
          st->failed = 1;
          break;
        }
        if (k == 0) break;
        st->total += k;
        have += k;
      }
      if (st->state == inflateLiteral && st->storedLeft == 0) st->state = inflateBlocks;
      bool direct = goesOn(st) && !st->failed && st->windowPending == 0 && n - have >= inflateDirectMinOut;
      if (have > 0 && !direct) return finishRead(st, buffer, kept, have, got);
    }
    if (st->failed) return have > 0 ? finishRead(st, buffer, kept, have, got) : -1;  // sticky
    // A large read decodes through the ring only until the direct loop can
    // take over again.
    st->symbolAtATime = n - have >= inflateDirectMinOut;
    logTrace(logCatInflate, "decode state=%s\n", inflateStateName(st->state));
    const bool inBlock =
        (st->state >= inflateHuffman && st->state <= inflateHuffmanDistBits) || st->state == inflateLiteral;
    if (inBlock) keepDirectBytes(st, buffer, &kept, have);  // those steps decode through the ring
    if (decodeStep(st)) {
      logTrace(logCatInflate, "decoded state=%s, loop\n", inflateStateName(st->state));
      continue;
    }
    if (st->failed && have > 0 && !inBlock) {
      st->failed = 0;  // a header after the bytes failed: they go first, `failed` with the next read
      int result = finishRead(st, buffer, kept, have, got);
      st->failed = 1;
      return result;
    }
    if (st->failed) return have > 0 ? finishRead(st, buffer, kept, have, got) : -1;
    if (st->windowPending > 0) continue;
    return have > 0 ? finishRead(st, buffer, kept, have, got) : 0;
  }
}

int inflateWrapInputStream(IoStream* stream, int format, int* endFlag, bool closeSource) {
  if (!stream || !stream->ops || !stream->ops->read) {
    logError(logCatInflate, "Performing inflateWrapInputStream operation on %s IoStream without read mechanism\n",
             iosTypeName(stream));
    return -1;
  }
  if (format < INFLATE_FORMAT_ZLIB || format > INFLATE_FORMAT_ZLIB_STRICT) {
    logError(logCatInflate, "Unknown inflate format %d\n", format);
    return -1;
  }
  if (iosWrapBufferedInputStream(stream, 0) != 0) return -1;
  // Only the fields are cleared: the ring is written before it is read (see
  // windowCopyMatch), and clearing 64 KiB per member is a measurable share
  // of decoding the small members of an archive.
  InflateState* st = static_cast<InflateState*>(memAlloc(sizeof(InflateState)));
  memset(st, 0, offsetof(InflateState, window));
  st->format = format;
  st->endFlag = endFlag;
  st->state = format == INFLATE_FORMAT_RAW ? inflateBlocks : inflateHeader;
  st->adler = 1;
  if (iosWrap(stream, st, &inflateInputStreamOps) != 0) {
    memFree(st);
    return -1;
  }
  st->source = stream->next;
  st->closeSource = closeSource ? 1 : 0;
  return 0;
}
