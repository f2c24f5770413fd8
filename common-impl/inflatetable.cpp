// Decode tables for the inflate decoder: canonical Huffman codes (RFC 1951
// section 3.2.2) turned into a primary table indexed by the next input bits
// with sub-tables for longer codes. Each 32-bit entry carries everything a
// decoder needs (literal byte, length or distance base with its extra bits,
// or the symbol of a special code), so both the fast loop and the resumable
// reference path decode with one lookup (two for long codes).
#include <algorithm>
#include <cstring>

#include "inflateint.h"
#include "logging.h"
#include "memory.h"

namespace {

constexpr uint32_t maxCodeLength = 15;
constexpr uint32_t maxSymbols = 320;
constexpr uint32_t maxPrimary = 1u << inflateLiteralBits;

// Bytes with their bits in reverse order.
constexpr auto reversedBytes = [] {
  struct Table {
    uint8_t v[256];
  } t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t r = 0;
    for (uint32_t b = 0; b < 8; b++) r |= ((i >> b) & 1) << (7 - b);
    t.v[i] = (uint8_t)r;
  }
  return t;
}();
static_assert(reversedBytes.v[1] == 0x80 && reversedBytes.v[0x0F] == 0xF0, "bit reversal");

// The low `length` (1..15) bits of code in reverse order: deflate sends
// Huffman codes most significant bit first, the tables index in input order.
constexpr uint32_t reverseBits(uint32_t code, uint32_t length) {
  uint32_t r = ((uint32_t)reversedBytes.v[code & 0xFF] << 8) | reversedBytes.v[(code >> 8) & 0xFF];
  return r >> (16 - length);
}

// The entry of symbol `sym` with a code of `len` bits.
constexpr uint32_t makeEntry(int kind, uint32_t sym, uint32_t len) {
  if (kind == inflateKindLiteralLength) {
    if (sym < 256) return (sym << 16) | inflateEntryLiteral | (len << 8) | len;
    if (sym >= 257 && sym <= 285) {
      uint32_t i = sym - 257;
      return ((uint32_t)inflateLengthBase[i] << 16) | (len << 8) | (len + inflateLengthExtra[i]);
    }
    return (sym << 16) | inflateEntrySpecial | (len << 8) | len;  // end of block, 286, 287
  }
  if (kind == inflateKindDistance) {
    if (sym < 30) return ((uint32_t)inflateDistanceBase[sym] << 16) | (len << 8) | (len + inflateDistanceExtra[sym]);
    return (sym << 16) | inflateEntrySpecial | (len << 8) | len;  // distance 30, 31
  }
  return (sym << 16) | (len << 8) | len;  // code-length symbol
}

// Fills the primary table of a code with no code longer than `bits` (all
// indices reached when the code is complete). For the fixed tables.
constexpr void fillShortCode(const uint8_t* lengths, uint32_t count, int kind, uint32_t bits, uint32_t* out) {
  uint32_t perLength[maxCodeLength + 1] = {};
  for (uint32_t s = 0; s < count; s++) perLength[lengths[s]]++;
  perLength[0] = 0;
  uint32_t next[maxCodeLength + 1] = {};
  uint32_t code = 0;
  for (uint32_t l = 1; l <= maxCodeLength; l++) {
    code = (code + perLength[l - 1]) << 1;
    next[l] = code;
  }
  for (uint32_t s = 0; s < count; s++) {
    uint32_t len = lengths[s];
    if (len == 0) continue;
    uint32_t entry = makeEntry(kind, s, len);
    for (uint32_t k = reverseBits(next[len]++, len); k < (1u << bits); k += 1u << len) out[k] = entry;
  }
}

struct FixedEntries {
  uint32_t literal[1u << inflateLiteralBits];
  uint32_t distance[1u << inflateDistanceBits];
};

// The fixed code: literal/length lengths 8 (0-143), 9 (144-255), 7 (256-279)
// and 8 (280-287); 32 distance codes of 5 bits. Both are complete.
constexpr FixedEntries fixedEntries = [] {
  FixedEntries f{};
  uint8_t lengths[288] = {};
  for (uint32_t i = 0; i < 288; i++) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  fillShortCode(lengths, 288, inflateKindLiteralLength, inflateLiteralBits, f.literal);
  uint8_t dist[32] = {};
  for (uint32_t i = 0; i < 32; i++) dist[i] = 5;
  fillShortCode(dist, 32, inflateKindDistance, inflateDistanceBits, f.distance);
  return f;
}();
static_assert(inflateLiteralBits >= 9 && inflateDistanceBits >= 5, "the fixed codes need no sub-tables");
static_assert(fixedEntries.literal[0] == makeEntry(inflateKindLiteralLength, 256, 7), "code 0000000 is 256");
static_assert(fixedEntries.literal[0x0C] == makeEntry(inflateKindLiteralLength, 0, 8), "code 00110000 is 0");

}  // namespace

const InflateTable inflateFixedLiteralTable = {.bits = inflateLiteralBits,
                                               .entryCount = 1u << inflateLiteralBits,
                                               .kind = inflateKindLiteralLength,
                                               .complete = 1,
                                               .entries = fixedEntries.literal};
const InflateTable inflateFixedDistanceTable = {.bits = inflateDistanceBits,
                                                .entryCount = 1u << inflateDistanceBits,
                                                .kind = inflateKindDistance,
                                                .complete = 1,
                                                .entries = fixedEntries.distance};

int inflateBuildTable(const uint8_t* lengths, uint32_t count, int kind, const InflateTable** table) {
  *table = nullptr;
  if (count > maxSymbols) {
    logError(logCatInflate, "Too many code lengths %u\n", count);
    return -1;
  }
  uint32_t perLength[maxCodeLength + 1] = {0};
  uint32_t longest = 0;
  for (uint32_t s = 0; s < count; s++) {
    if (lengths[s] > maxCodeLength) {
      logError(logCatInflate, "Code length %u out of range\n", lengths[s]);
      return -1;
    }
    perLength[lengths[s]]++;
    longest = std::max<uint32_t>(longest, lengths[s]);
  }
  // Sum of the codes' shares of a 16-bit space: 65536 for a complete code.
  uint32_t sum = 0;
  for (uint32_t l = 1; l <= maxCodeLength; l++) sum += perLength[l] << (16 - l);
  // An over-subscribed code can never be decoded; an incomplete one only
  // when it is empty or a single 1-bit code.
  if (sum > 65536 || (sum < 65536 && longest > 1)) {
    logError(logCatInflate, "code lengths don't add up (0x%x)\n", sum);
    return -1;
  }
  uint32_t next[maxCodeLength + 1] = {0};
  uint32_t code = 0;
  perLength[0] = 0;
  for (uint32_t l = 1; l <= maxCodeLength; l++) {
    code = (code + perLength[l - 1]) << 1;
    next[l] = code;
  }
  uint16_t codes[maxSymbols];
  for (uint32_t s = 0; s < count; s++)
    codes[s] = lengths[s] ? (uint16_t)reverseBits(next[lengths[s]]++, lengths[s]) : 0;

  uint32_t bits = kind == inflateKindLiteralLength ? inflateLiteralBits
                  : kind == inflateKindDistance    ? inflateDistanceBits
                                                   : inflateCodeLengthBits;
  uint32_t primary = 1u << bits;
  // The longest code under each primary index sizes that index's sub-table.
  uint8_t subLongest[maxPrimary];
  memset(subLongest, 0, primary);
  for (uint32_t s = 0; s < count; s++)
    if (lengths[s] > bits) {
      uint32_t p = codes[s] & (primary - 1);
      subLongest[p] = std::max<uint8_t>(subLongest[p], lengths[s]);
    }
  uint16_t subStart[maxPrimary];
  uint32_t total = primary;
  if (longest > bits)
    for (uint32_t p = 0; p < primary; p++)
      if (subLongest[p]) {
        subStart[p] = (uint16_t)total;
        total += 1u << (subLongest[p] - bits);
      }
  InflateTable* t = static_cast<InflateTable*>(memAlloc(sizeof(InflateTable) + total * sizeof(uint32_t)));
  uint32_t* e = reinterpret_cast<uint32_t*>(t + 1);
  t->bits = bits;
  t->entryCount = total;
  t->kind = (uint8_t)kind;
  t->complete = sum == 65536;
  t->entries = e;
  // Every index of a complete code is reached. For the others (empty or a
  // single 1-bit code, so no sub-tables): an unreached
  // literal/length index is invalid input (it must not decode as a literal
  // that takes no bits, which would repeat forever); distance and code-length
  // indices decode as symbol 0 without consuming bits.
  if (t->complete) {
    // Primary part of a complete code, shortest codes first: the codes of
    // length len are stored once in the first 2^len entries, which are then
    // doubled for the next length, so every entry is written with wide copies
    // rather than strided stores. Indices under long-code prefixes get their
    // links below (no short code reaches them).
    uint16_t byLength[maxSymbols];
    uint32_t start[maxCodeLength + 2] = {0};
    for (uint32_t l = 1; l <= maxCodeLength; l++) start[l + 1] = start[l] + perLength[l];
    for (uint32_t s = 0; s < count; s++)
      if (lengths[s]) byLength[start[lengths[s]]++] = (uint16_t)s;
    uint32_t k = 0;  // position in byLength: codes in canonical order
    for (uint32_t len = 1; len <= bits; len++) {
      for (uint32_t n = perLength[len]; n > 0; n--, k++) {
        uint32_t sym = byLength[k];
        e[codes[sym]] = makeEntry(kind, sym, len);
      }
      if (len < bits) memcpy(e + (1u << len), e, sizeof(uint32_t) << len);
    }
  } else {
    uint32_t fill = kind == inflateKindLiteralLength ? inflateEntryUnreached : makeEntry(kind, 0, 0);
    for (uint32_t i = 0; i < total; i++) e[i] = fill;
    for (uint32_t s = 0; s < count; s++) {
      uint32_t len = lengths[s];
      if (len == 0 || len > bits) continue;
      uint32_t entry = makeEntry(kind, s, len);
      for (uint32_t k = codes[s]; k < primary; k += 1u << len) e[k] = entry;
    }
  }
  if (longest > bits)
    for (uint32_t p = 0; p < primary; p++)
      if (subLongest[p])
        e[p] = ((uint32_t)subStart[p] << 16) | inflateEntrySpecial | inflateEntryLink | ((subLongest[p] - bits) << 8) |
               bits;
  for (uint32_t s = 0; s < count; s++) {
    uint32_t len = lengths[s];
    if (len <= bits) continue;
    uint32_t entry = makeEntry(kind, s, len);
    uint32_t r = codes[s];
    uint32_t p = r & (primary - 1);
    uint32_t size = 1u << (subLongest[p] - bits);
    for (uint32_t k = r >> bits; k < size; k += 1u << (len - bits)) e[subStart[p] + k] = entry;
  }
  *table = t;
  return 0;
}

void inflateFreeTable(const InflateTable* table) {
  if (table && table != &inflateFixedLiteralTable && table != &inflateFixedDistanceTable)
    memFree(const_cast<InflateTable*>(table));
}
