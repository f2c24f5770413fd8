// Decode tables for the inflate decoder: canonical Huffman codes (RFC 1951
// section 3.2.2) turned into a 9-bit reference table with sub-tables, and a
// wider 32-bit table whose entries carry everything the fast loop needs.
#include <algorithm>
#include <cstring>

#include "inflateint.h"
#include "logging.h"
#include "memory.h"

namespace {

constexpr uint32_t maxCodeLength = 15;
constexpr uint32_t maxSymbols = 320;

// Entry of an index that no code reaches, in the fast form.
constexpr uint32_t fastUnreached = (0xFFFFu << 16) | inflateFastSpecial;

uint32_t reverseBits(uint32_t code, uint32_t length) {
  uint32_t r = 0;
  for (uint32_t i = 0; i < length; i++) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// The fast-form entry of symbol `sym` with a code of `len` bits.
uint32_t fastEntry(int kind, uint32_t sym, uint32_t len) {
  if (kind == inflateKindLiteralLength) {
    if (sym < 256) return (sym << 16) | inflateFastLiteral | (len << 8) | len;
    if (sym >= 257 && sym <= 285) {
      uint32_t i = sym - 257;
      return ((uint32_t)inflateLengthBase[i] << 16) | ((len + inflateLengthExtra[i]) << 8) | len;
    }
    return (sym << 16) | inflateFastSpecial | len;  // end of block, 286, 287
  }
  if (sym < 30) return ((uint32_t)inflateDistanceBase[sym] << 16) | ((len + inflateDistanceExtra[sym]) << 8) | len;
  return (sym << 16) | inflateFastSpecial | len;  // distance 30, 31
}

// Canonical codes of every symbol, reversed into input bit order.
struct CodeSet {
  uint16_t code[maxSymbols];  // reversed code per symbol
  uint32_t longest;           // longest code length
};

// Builds the fast form: `bits`-wide primary table, sub-tables behind it.
uint32_t* buildFast(const uint8_t* lengths, uint32_t count, const CodeSet& cs, int kind, uint32_t bits,
                    uint32_t* entryCount) {
  uint32_t primary = 1u << bits;
  uint8_t subLongest[1u << inflateFastLiteralBits] = {0};
  for (uint32_t s = 0; s < count; s++)
    if (lengths[s] > bits) {
      uint32_t p = cs.code[s] & (primary - 1);
      subLongest[p] = std::max<uint8_t>(subLongest[p], lengths[s]);
    }
  uint32_t subStart[1u << inflateFastLiteralBits];
  uint32_t total = primary;
  for (uint32_t p = 0; p < primary; p++)
    if (subLongest[p]) {
      subStart[p] = total;
      total += 1u << (subLongest[p] - bits);
    }
  uint32_t* t = static_cast<uint32_t*>(memAlloc(total * sizeof(uint32_t)));
  for (uint32_t i = 0; i < total; i++) t[i] = fastUnreached;
  for (uint32_t p = 0; p < primary; p++)
    if (subLongest[p])
      t[p] = (subStart[p] << 16) | inflateFastSpecial | inflateFastLink | ((subLongest[p] - bits) << 4) | bits;
  for (uint32_t s = 0; s < count; s++) {
    uint32_t len = lengths[s];
    if (len == 0) continue;
    uint32_t e = fastEntry(kind, s, len);
    uint32_t r = cs.code[s];
    if (len <= bits) {
      for (uint32_t k = r; k < primary; k += 1u << len) t[k] = e;
    } else {
      uint32_t p = r & (primary - 1);
      uint32_t size = 1u << (subLongest[p] - bits);
      for (uint32_t k = r >> bits; k < size; k += 1u << (len - bits)) t[subStart[p] + k] = e;
    }
  }
  *entryCount = total;
  return t;
}

}  // namespace

int inflateBuildTable(const uint8_t* lengths, uint32_t count, int kind, InflateTable** table) {
  *table = nullptr;
  if (count > maxSymbols) {
    logError(logCatInflate, "Too many code lengths %u\n", count);
    return -1;
  }
  uint32_t perLength[maxCodeLength + 1] = {0};
  CodeSet cs;
  cs.longest = 0;
  for (uint32_t s = 0; s < count; s++) {
    if (lengths[s] > maxCodeLength) {
      logError(logCatInflate, "Code length %u out of range\n", lengths[s]);
      return -1;
    }
    perLength[lengths[s]]++;
    cs.longest = std::max<uint32_t>(cs.longest, lengths[s]);
  }
  // Sum of the codes' shares of a 16-bit space: 65536 for a complete code.
  uint32_t sum = 0;
  for (uint32_t l = 1; l <= maxCodeLength; l++) sum += perLength[l] << (16 - l);
  // An over-subscribed code can never be decoded; an incomplete one only
  // when it is empty or a single 1-bit code.
  if (sum > 65536 || (sum < 65536 && cs.longest > 1)) {
    logError(logCatInflate, "code lengths don't add up (0x%x)\n", sum);
    return -1;
  }
  uint32_t next[maxCodeLength + 2] = {0};
  uint32_t code = 0;
  perLength[0] = 0;
  for (uint32_t l = 1; l <= maxCodeLength; l++) {
    code = (code + perLength[l - 1]) << 1;
    next[l] = code;
  }
  for (uint32_t s = 0; s < count; s++)
    cs.code[s] = lengths[s] ? (uint16_t)reverseBits(next[lengths[s]]++, lengths[s]) : 0;

  // Reference form: the longest code under each 9-bit prefix sizes its
  // sub-table; sub-tables go after the primary entries, longest first.
  constexpr uint32_t primary = 1u << inflateTableBits;
  uint8_t subLongest[primary] = {0};
  for (uint32_t s = 0; s < count; s++)
    if (lengths[s] > inflateTableBits) {
      uint32_t p = cs.code[s] & (primary - 1);
      subLongest[p] = std::max<uint8_t>(subLongest[p], lengths[s]);
    }
  uint32_t subStart[primary] = {0};
  uint32_t total = primary;
  for (uint32_t len = maxCodeLength; len > inflateTableBits; len--)
    for (uint32_t p = 0; p < primary; p++)
      if (subLongest[p] == len) {
        subStart[p] = total;
        total += 1u << (len - inflateTableBits);
      }
  InflateTable* t = memNew(InflateTable);
  t->entries = memNewArray(int16_t, total);
  t->entryCount = total;
  t->symbolCount = count;
  t->literalLength = kind == inflateKindLiteralLength;
  t->complete = sum == 65536;
  for (uint32_t p = 0; p < primary; p++)
    if (subLongest[p]) t->entries[p] = (int16_t)(-(int32_t)(subStart[p] * 16) + subLongest[p]);
  for (uint32_t s = 0; s < count; s++) {
    uint32_t len = lengths[s];
    if (len == 0) continue;
    int16_t e = (int16_t)(s * 16 + len);
    uint32_t r = cs.code[s];
    if (len <= inflateTableBits) {
      for (uint32_t k = r; k < primary; k += 1u << len) t->entries[k] = e;
    } else {
      uint32_t p = r & (primary - 1);
      uint32_t size = 1u << (subLongest[p] - inflateTableBits);
      for (uint32_t k = r >> inflateTableBits; k < size; k += 1u << (len - inflateTableBits))
        t->entries[subStart[p] + k] = e;
    }
  }
  if (kind != inflateKindCodeLength) {
    t->fastBits = kind == inflateKindLiteralLength ? inflateFastLiteralBits : inflateFastDistanceBits;
    t->fast = buildFast(lengths, count, cs, kind, t->fastBits, &t->fastCount);
  }
  *table = t;
  return 0;
}

void inflateFreeTable(InflateTable* table) {
  if (!table) return;
  memFree(table->entries);
  if (table->fast) memFree(table->fast);
  memFree(table);
}
