// Decode tables for the inflate decoder: canonical Huffman codes (RFC 1951
// section 3.2.2) turned into a primary table indexed by the next input bits
// with sub-tables for longer codes. Each 32-bit entry carries everything a
// decoder needs (literal byte, length or distance base with its extra bits,
// or the symbol of a special code), so both the fast loop and the resumable
// reference path decode with one lookup (two for long codes).
#include <cstring>

#include "inflateint.h"
#include "logging.h"
#include "memory.h"

namespace {

constexpr uint32_t maxCodeLength = 15;
constexpr uint32_t maxSymbols = 320;

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

namespace {

// makeEntry(kind, sym, 0) for every symbol: an entry is its template plus
// the code length in bits 0-5 and 8-11, which saves the symbol's ranges being
// tested for every code of every block.
struct EntryTemplates {
  uint32_t v[3][maxSymbols];
};
constexpr EntryTemplates entryTemplates = [] {
  EntryTemplates t{};
  for (int kind = 0; kind < 3; kind++)
    for (uint32_t s = 0; s < maxSymbols; s++) t.v[kind][s] = makeEntry(kind, s, 0);
  return t;
}();
constexpr uint32_t lengthToEntry = (1u << 8) | 1u;
static_assert(entryTemplates.v[inflateKindLiteralLength][285] + 5 * lengthToEntry ==
                  makeEntry(inflateKindLiteralLength, 285, 5),
              "templates");
static_assert(entryTemplates.v[inflateKindDistance][29] + 15 * lengthToEntry == makeEntry(inflateKindDistance, 29, 15),
              "templates");

// Copies e[0..count) to e[count..2 count) for a power of two count. The
// short copies, most of them, go 16 bytes at a time: too short to pay for
// the start of a string instruction, which the long ones are left to.
inline void doubleEntries(uint32_t* e, uint32_t count) {
  if (count < 4) {
    for (uint32_t i = 0; i < count; i++) e[count + i] = e[i];
  } else if (count <= 32) {
    for (uint32_t i = 0; i < count; i += 4) memcpy(e + count + i, e + i, 16);
  } else {
    memcpy(e + count, e, count * sizeof(uint32_t));
  }
}

// The entries of a complete code whose symbols, in canonical order (by code
// length, then symbol), are sorted[0..n). The primary part is written
// shortest codes first: the codes of length len are stored once in the
// first 2^len entries, which are then doubled for the next length, so every
// entry is written with wide copies rather than strided stores. Codes longer
// than `bits` come last in canonical order; those that share their first
// `bits` bits are adjacent there, so each such prefix gets one sub-table,
// appended after the primary part and sized by its last (longest) code, and
// a link to it. The number of entries written is returned.
uint32_t fillCompleteCode(const uint16_t* sorted, const uint8_t* lengths, const uint32_t* perLength, uint32_t n,
                          int kind, uint32_t bits, uint32_t* e) {
  const uint32_t* templ = entryTemplates.v[kind];
  uint32_t code = 0;  // canonical code of sorted[k], most significant bit first
  uint32_t k = 0;
  for (uint32_t len = 1; len <= bits; len++) {
    for (uint32_t end = k + perLength[len]; k < end; k++, code++)
      e[reverseBits(code, len)] = templ[sorted[k]] + len * lengthToEntry;
    if (len < bits) doubleEntries(e, 1u << len);
    code <<= 1;
  }
  uint32_t total = 1u << bits;
  uint32_t codeLen = bits + 1;  // length of the codes `code` counts now
  while (k < n) {
    // A new prefix: its codes run while the first `bits` bits stay the same.
    uint32_t len = lengths[sorted[k]];
    code <<= len - codeLen;
    codeLen = len;
    uint32_t prefix = code >> (len - bits);
    uint32_t end = k;
    uint32_t c = code, cl = codeLen;
    for (; end < n; end++, c++) {
      uint32_t l = lengths[sorted[end]];
      c <<= l - cl;
      cl = l;
      if (c >> (l - bits) != prefix) break;
    }
    uint32_t subBits = lengths[sorted[end - 1]] - bits;
    e[reverseBits(prefix, bits)] = (total << 16) | inflateEntrySpecial | inflateEntryLink | (subBits << 8) | bits;
    uint32_t* sub = e + total;
    for (; k < end; k++, code++) {
      uint32_t sym = sorted[k];
      len = lengths[sym];
      code <<= len - codeLen;
      codeLen = len;
      uint32_t entry = templ[sym] + len * lengthToEntry;
      uint32_t r = reverseBits(code, len) >> bits;  // the bits after the prefix, in input order
      for (uint32_t i = r; i < (1u << subBits); i += 1u << (len - bits)) sub[i] = entry;
    }
    total += 1u << subBits;
  }
  return total;
}

// Counts of each code length (0: symbols without a code) in the four
// quarters of the symbols, [0, q), [q, 2q), [2q, 3q) and [3q, count) with
// q = count / 4: the passes over the symbols take one symbol of each
// quarter per step, so that a run of equal lengths does not wait on one
// counter's store and reload at every symbol, and the symbols can be sorted
// the same way (each quarter has its own place for each length).
struct LengthCounts {
  uint32_t quarter;                          // q
  uint32_t inQuarter[4][maxCodeLength + 1];  // codes of each length in each quarter
  uint32_t total[maxCodeLength + 1];         // codes of each length in all
};

// Counts the code lengths into *c. The range check rides along in the same
// pass: a length above 15 is logged and refused.
int countLengths(const uint8_t* lengths, uint32_t count, LengthCounts* c) {
  memset(c, 0, sizeof *c);
  const uint32_t q = count / 4;
  c->quarter = q;
  uint32_t any = 0;
  for (uint32_t s = 0; s < q; s++) {
    uint32_t a = lengths[s], b = lengths[q + s], d = lengths[2 * q + s], e = lengths[3 * q + s];
    any |= a | b | d | e;
    c->inQuarter[0][a & maxCodeLength]++;
    c->inQuarter[1][b & maxCodeLength]++;
    c->inQuarter[2][d & maxCodeLength]++;
    c->inQuarter[3][e & maxCodeLength]++;
  }
  for (uint32_t s = 4 * q; s < count; s++) {
    any |= lengths[s];
    c->inQuarter[3][lengths[s] & maxCodeLength]++;
  }
  if (any > maxCodeLength) {
    for (uint32_t s = 0; s < count; s++)
      if (lengths[s] > maxCodeLength) {
        logError(logCatInflate, "Code length %u out of range\n", lengths[s]);
        break;
      }
    return -1;
  }
  for (uint32_t l = 0; l <= maxCodeLength; l++)
    c->total[l] = c->inQuarter[0][l] + c->inQuarter[1][l] + c->inQuarter[2][l] + c->inQuarter[3][l];
  return 0;
}

// The symbols in canonical order (by code length, then symbol) into
// sorted[0..count), those without a code first. Each quarter of the symbols
// has its own place for each length, so four independent chains of stores
// run side by side.
void sortSymbols(const uint8_t* lengths, uint32_t count, const LengthCounts* c, uint16_t* sorted) {
  uint32_t next[4][maxCodeLength + 1];
  uint32_t at = 0;
  for (uint32_t l = 0; l <= maxCodeLength; l++)
    for (uint32_t k = 0; k < 4; k++) {
      next[k][l] = at;
      at += c->inQuarter[k][l];
    }
  const uint32_t q = c->quarter;
  for (uint32_t s = 0; s < q; s++) {
    sorted[next[0][lengths[s]]++] = (uint16_t)s;
    sorted[next[1][lengths[q + s]]++] = (uint16_t)(q + s);
    sorted[next[2][lengths[2 * q + s]]++] = (uint16_t)(2 * q + s);
    sorted[next[3][lengths[3 * q + s]]++] = (uint16_t)(3 * q + s);
  }
  for (uint32_t s = 4 * q; s < count; s++) sorted[next[3][lengths[s]]++] = (uint16_t)s;
}

}  // namespace

int inflateBuildTable(const uint8_t* lengths, uint32_t count, int kind, const InflateTable** table) {
  *table = nullptr;
  if (count > maxSymbols) {
    logError(logCatInflate, "Too many code lengths %u\n", count);
    return -1;
  }
  LengthCounts counts;
  if (countLengths(lengths, count, &counts) != 0) return -1;
  const uint32_t* perLength = counts.total;
  uint32_t longest = maxCodeLength;
  while (longest > 0 && perLength[longest] == 0) longest--;
  // Sum of the codes' shares of a 16-bit space: 65536 for a complete code.
  uint32_t sum = 0;
  for (uint32_t l = 1; l <= maxCodeLength; l++) sum += perLength[l] << (16 - l);
  // An over-subscribed code can never be decoded; an incomplete one only
  // when it is empty or a single 1-bit code.
  if (sum > 65536 || (sum < 65536 && longest > 1)) {
    logError(logCatInflate, "code lengths don't add up (0x%x)\n", sum);
    return -1;
  }
  uint32_t bits = kind == inflateKindLiteralLength ? inflateLiteralBits
                  : kind == inflateKindDistance    ? inflateDistanceBits
                                                   : inflateCodeLengthBits;
  uint32_t primary = 1u << bits;
  // Room for the sub-tables: one prefix's codes fill its sub-table exactly,
  // and the longest of them alone fills as much of it as each code gets here.
  uint32_t room = primary;
  for (uint32_t l = bits + 1; l <= longest; l++) room += perLength[l] << (l - bits);
  InflateTable* t = static_cast<InflateTable*>(memAlloc(sizeof(InflateTable) + room * sizeof(uint32_t)));
  uint32_t* e = reinterpret_cast<uint32_t*>(t + 1);
  t->bits = bits;
  t->kind = (uint8_t)kind;
  t->complete = sum == 65536;
  t->entries = e;
  if (t->complete) {
    // The symbols in canonical order, after those without a code (sorted
    // along too, so that the loop takes no branch on them).
    uint16_t sorted[maxSymbols];
    sortSymbols(lengths, count, &counts, sorted);
    t->entryCount = fillCompleteCode(sorted + perLength[0], lengths, perLength, count - perLength[0], kind, bits, e);
  } else {
    // Empty or a single 1-bit code (code 0), so no sub-tables. An unreached
    // literal/length index is invalid input (it must not decode as a
    // literal that takes no bits, which would repeat forever); distance and
    // code-length indices decode as symbol 0 without consuming bits.
    uint32_t fill = kind == inflateKindLiteralLength ? inflateEntryUnreached : makeEntry(kind, 0, 0);
    for (uint32_t i = 0; i < primary; i++) e[i] = fill;
    for (uint32_t s = 0; s < count; s++)
      if (lengths[s] == 1)
        for (uint32_t k = 0; k < primary; k += 2) e[k] = makeEntry(kind, s, 1);
    t->entryCount = primary;
  }
  *table = t;
  return 0;
}

void inflateFreeTable(const InflateTable* table) {
  if (table && table != &inflateFixedLiteralTable && table != &inflateFixedDistanceTable)
    memFree(const_cast<InflateTable*>(table));
}
