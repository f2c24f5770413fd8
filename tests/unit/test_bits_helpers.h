// The test-support library every format suite shares: one deflate-order bit writer, one bitwise CRC-32 and one deflate
// encoder (stored, fixed and dynamic blocks over a greedy LZ77), all independent of the library's code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <queue>
#include <string>
#include <utility>
#include <vector>

namespace testbits {

// Deflate bit order: values least significant bit first, Huffman codes most significant first (as the bit reader).
struct BitWriter {
  std::string out;
  uint64_t acc = 0;
  uint32_t n = 0;
  // Appends the low `bits` bits of `value` (at most 32).
  void put(uint32_t value, uint32_t bits) {
    acc |= ((uint64_t)value & ((1ull << bits) - 1)) << n;
    n += bits;
    for (; n >= 8; n -= 8, acc >>= 8) out.push_back((char)(acc & 0xFF));
  }
  // Appends a Huffman code of `len` bits, most significant bit first.
  void putCode(uint32_t code, uint32_t len) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < len; i++) r |= ((code >> i) & 1) << (len - 1 - i);
    put(r, len);
  }
  // Pads with zero bits to the next byte.
  void align() { put(0, (8 - n) % 8); }
  std::string finish() { return align(), out; }
};

// CRC-32 one bit at a time, straight from the polynomial.
inline uint32_t crcBitwise(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

// Canonical codes for a set of lengths.
inline std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
  uint32_t count[16] = {0}, next[16] = {0};
  for (uint8_t l : lengths) count[l]++;
  count[0] = 0;
  for (uint32_t b = 1, code = 0; b < 16; b++) next[b] = code = (code + count[b - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); s++)
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

inline std::vector<uint8_t> fixedLiteralLengths() {
  std::vector<uint8_t> l(288);
  for (int i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  return l;
}

// One LZ77 token: a literal (distance 0) or a match.
struct Token {
  uint32_t value;     // literal byte or match length
  uint32_t distance;  // 0 for a literal
};

// Greedy LZ77 with a small hash chain; `maxDistance` up to 32768.
inline std::vector<Token> lz77(const std::string& data, uint32_t maxDistance = 32768) {
  std::vector<Token> tokens;
  std::vector<int64_t> head(1 << 15, -1), prev(data.size(), -1);
  auto hash = [&](size_t i) {
    return (((uint8_t)data[i] << 10) ^ ((uint8_t)data[i + 1] << 5) ^ (uint8_t)data[i + 2]) & 0x7FFF;
  };
  for (size_t i = 0; i < data.size();) {
    uint32_t bestLen = 0, bestDist = 0;
    if (i + 3 <= data.size()) {
      int64_t cand = head[hash(i)];
      for (int chain = 0; chain < 32 && cand >= 0 && i - (size_t)cand <= maxDistance; chain++) {
        uint32_t len = 0;
        while (len < 258 && i + len < data.size() && data[cand + len] == data[i + len]) len++;
        if (len > bestLen) bestLen = len, bestDist = (uint32_t)(i - cand);
        cand = prev[cand];
      }
    }
    for (size_t end = i + (bestLen >= 3 ? bestLen : 1); i < end; i++)
      if (i + 3 <= data.size()) prev[i] = std::exchange(head[hash(i)], (int64_t)i);
    tokens.push_back(bestLen >= 3 ? Token{bestLen, bestDist} : Token{(uint8_t)data[i - 1], 0});
  }
  return tokens;
}

// A symbol and the extra bits that follow its code.
struct Sym {
  uint32_t sym, extra, bits;
};

// The deflate length and distance codes, worked out from the format's rules rather than from the decoder's tables.
inline Sym lengthSymbol(uint32_t length) {
  uint32_t base = 3, i = 0, bits = 0;
  for (; i < 28; i++, base += 1u << bits)
    if (length != 258 && length < base + (1u << (bits = i < 8 ? 0 : (i - 4) / 4))) break;
  return i == 28 ? Sym{285, 0, 0} : Sym{257 + i, length - base, bits};
}

inline Sym distanceSymbol(uint32_t distance) {
  uint32_t base = 1, i = 0, bits = 0;
  for (; i < 30; i++, base += 1u << bits)
    if (distance < base + (1u << (bits = i < 4 ? 0 : (i - 2) / 2))) break;
  return {i, distance - base, bits};
}

// Writes tokens and the end-of-block code with the given codes.
inline void writeTokens(BitWriter& bw, const std::vector<Token>& tokens, const std::vector<uint8_t>& litLen,
                        const std::vector<uint8_t>& distLen) {
  std::vector<uint32_t> lc = canonicalCodes(litLen), dc = canonicalCodes(distLen);
  for (const Token& t : tokens) {
    const Sym s = t.distance ? lengthSymbol(t.value) : Sym{t.value, 0, 0}, d = distanceSymbol(t.distance);
    bw.putCode(lc[s.sym], litLen[s.sym]), bw.put(s.extra, s.bits);
    if (t.distance) bw.putCode(dc[d.sym], distLen[d.sym]), bw.put(d.extra, d.bits);
  }
  bw.putCode(lc[256], litLen[256]);
}

// Stored blocks of at most `blockSize` bytes (an empty input gives one empty final block).
inline void writeStored(BitWriter& bw, const std::string& data, bool last, size_t blockSize = 65535) {
  size_t pos = 0;
  do {
    size_t n = std::min(blockSize, data.size() - pos);
    bw.put(last && pos + n == data.size(), 3);  // BFINAL, type 0
    bw.align();
    bw.put((uint32_t)n | ((uint32_t)n ^ 0xFFFF) << 16, 32);  // LEN, NLEN
    for (size_t i = 0; i < n; i++) bw.put((uint8_t)data[pos + i], 8);
    pos += n;
  } while (pos < data.size());
}

inline void writeFixed(BitWriter& bw, const std::vector<Token>& tokens, bool last) {
  bw.put(last + 2, 3);  // BFINAL, type 1
  writeTokens(bw, tokens, fixedLiteralLengths(), std::vector<uint8_t>(32, 5));
}

// Huffman code lengths (at most maxLen bits) for the frequencies; frequency 0 gets no code; at least two symbols do.
inline std::vector<uint8_t> huffmanLengths(std::vector<uint64_t> freq, uint32_t maxLen = 15) {
  const size_t n = freq.size();
  for (size_t i = 0, used = n - std::count(freq.begin(), freq.end(), 0); used < 2 && i < n; i++)
    if (freq[i] == 0) freq[i] = 1, used++;
  for (;; /* flatten the frequencies and retry until no code is too long */) {
    using Node = std::pair<uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> q;
    std::vector<int> parent(2 * n, -1);
    for (size_t i = 0; i < n; i++)
      if (freq[i]) q.push({freq[i], (int)i});
    for (int next = (int)n; q.size() > 1; next++) {
      Node two[2];
      for (Node& t : two) t = q.top(), q.pop();
      parent[two[0].second] = parent[two[1].second] = next;
      q.push({two[0].first + two[1].first, next});
    }
    std::vector<uint8_t> lengths(n, 0);
    uint32_t longest = 0;
    for (size_t i = 0; i < n; i++) {
      for (int p = parent[i]; freq[i] && p >= 0; p = parent[p]) lengths[i]++;
      longest = std::max<uint32_t>(longest, lengths[i]);
    }
    if (longest <= maxLen) return lengths;
    for (auto& f : freq) f = f ? (f >> 1) + 1 : 0;
  }
}

// Writes the code-length section of a dynamic block for the given lengths, run-length coded with 16, 17 and 18.
inline void writeDynamicHeader(BitWriter& bw, const std::vector<uint8_t>& litLen, const std::vector<uint8_t>& distLen) {
  std::vector<uint8_t> all(litLen);
  all.insert(all.end(), distLen.begin(), distLen.end());
  std::vector<Sym> items;
  for (size_t i = 0; i < all.size();) {
    size_t run = 1;
    while (i + run < all.size() && all[i + run] == all[i]) run++;
    const bool zeros = all[i] == 0 && run >= 3, repeat = !zeros && i > 0 && all[i] == all[i - 1] && run >= 3;
    const uint32_t r = (uint32_t)(zeros ? std::min<size_t>(run, 138) : repeat ? std::min<size_t>(run, 6) : 1);
    items.push_back(zeros    ? (r >= 11 ? Sym{18, r - 11, 7} : Sym{17, r - 3, 3})
                    : repeat ? Sym{16, r - 3, 2}
                             : Sym{all[i], 0, 0});
    i += r;
  }
  std::vector<uint64_t> freq(19, 0);
  for (auto& it : items) freq[it.sym]++;
  std::vector<uint8_t> clLen = huffmanLengths(freq, 7);
  static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  int hclen = 19;
  while (hclen > 4 && clLen[order[hclen - 1]] == 0) hclen--;
  bw.put((uint32_t)(litLen.size() - 257) | (uint32_t)(distLen.size() - 1) << 5 | (uint32_t)(hclen - 4) << 10, 14);
  for (int i = 0; i < hclen; i++) bw.put(clLen[order[i]], 3);
  std::vector<uint32_t> clCodes = canonicalCodes(clLen);
  for (auto& it : items) bw.putCode(clCodes[it.sym], clLen[it.sym]), bw.put(it.extra, it.bits);
}

// One dynamic block with codes fitted to the tokens' frequencies.
inline void writeDynamic(BitWriter& bw, const std::vector<Token>& tokens, bool last) {
  std::vector<uint64_t> lf(286, 0), df(30, 0);
  for (const Token& t : tokens) {
    lf[t.distance ? lengthSymbol(t.value).sym : t.value]++;
    if (t.distance) df[distanceSymbol(t.distance).sym]++;
  }
  lf[256] = 1;
  std::vector<uint8_t> litLen = huffmanLengths(lf), distLen = huffmanLengths(df);
  while (litLen.size() > 257 && litLen.back() == 0) litLen.pop_back();
  while (distLen.size() > 1 && distLen.back() == 0) distLen.pop_back();
  bw.put(last + 4, 3);  // BFINAL, type 2
  writeDynamicHeader(bw, litLen, distLen);
  writeTokens(bw, tokens, litLen, distLen);
}

// One block of `data`: kind 0 stored, 1 fixed, 2 dynamic.
inline void writeBlock(BitWriter& bw, const std::string& data, int kind, bool last) {
  if (kind == 0) return writeStored(bw, data, last);
  (kind == 1 ? writeFixed : writeDynamic)(bw, lz77(data), last);
}

// Our own deflate encoder: the data in pieces of `blockSize`, each piece as a stored, fixed or dynamic block in turn
// (kind: 0 stored, 1 fixed, 2 dynamic, 3 rotate through all three).
inline std::string deflateOwn(const std::string& data, int kind, size_t blockSize = 50000) {
  BitWriter bw;
  size_t pos = 0;
  for (int block = 0; block == 0 || pos < data.size(); block++) {
    const size_t n = std::min(blockSize, data.size() - pos);
    writeBlock(bw, data.substr(pos, n), kind == 3 ? block % 3 : kind, pos + n == data.size());
    pos += n;
  }
  return bw.finish();
}

}  // namespace testbits
