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

uint32_t reverseBits(uint32_t code, uint32_t length) {
  uint32_t r = 0;
  for (uint32_t i = 0; i < length; i++) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// The entry of symbol `sym` with a code of `len` bits.
uint32_t makeEntry(int kind, uint32_t sym, uint32_t len) {
  if (kind == inflateKindLiteralLength) {
    if (sym < 256) return (sym << 16) | inflateEntryLiteral | (len << 8) | len;
    if (sym >= 257 && sym <= 285) {
      uint32_t i = sym - 257;
      return ((uint32_t)inflateLengthBase[i] << 16) | ((len + inflateLengthExtra[i]) << 8) | len;
    }
    return (sym << 16) | inflateEntrySpecial | (len << 8) | len;  // end of block, 286, 287
  }
  if (kind == inflateKindDistance) {
    if (sym < 30) return ((uint32_t)inflateDistanceBase[sym] << 16) | ((len + inflateDistanceExtra[sym]) << 8) | len;
    return (sym << 16) | inflateEntrySpecial | (len << 8) | len;  // distance 30, 31
  }
  return (sym << 16) | (len << 8) | len;  // code-length symbol
}

}  // namespace

int inflateBuildTable(const uint8_t* lengths, uint32_t count, int kind, InflateTable** table) {
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
  t->bits = bits;
  t->entryCount = total;
  t->kind = (uint8_t)kind;
  t->complete = sum == 65536;
  uint32_t* e = t->entries;
  // Every index of a complete code is reached. For the others: an unreached
  // literal/length index is invalid input (it must not decode as a literal
  // that takes no bits, which would repeat forever); distance and code-length
  // indices decode as symbol 0 without consuming bits.
  if (!t->complete) {
    uint32_t fill = kind == inflateKindLiteralLength ? inflateEntryUnreached : makeEntry(kind, 0, 0);
    for (uint32_t i = 0; i < total; i++) e[i] = fill;
  }
  if (longest > bits)
    for (uint32_t p = 0; p < primary; p++)
      if (subLongest[p])
        e[p] = ((uint32_t)subStart[p] << 16) | inflateEntrySpecial | inflateEntryLink | ((subLongest[p] - bits) << 4) |
               bits;
  for (uint32_t s = 0; s < count; s++) {
    uint32_t len = lengths[s];
    if (len == 0) continue;
    uint32_t entry = makeEntry(kind, s, len);
    uint32_t r = codes[s];
    if (len <= bits) {
      for (uint32_t k = r; k < primary; k += 1u << len) e[k] = entry;
    } else {
      uint32_t p = r & (primary - 1);
      uint32_t size = 1u << (subLongest[p] - bits);
      for (uint32_t k = r >> bits; k < size; k += 1u << (len - bits)) e[subStart[p] + k] = entry;
    }
  }
  *table = t;
  return 0;
}

void inflateFreeTable(InflateTable* table) {
  if (table) memFree(table);
}
