// Helpers for the inflate tests: a source level that hands out its bytes in
// pieces (and can hold some back until the test releases them), small
// stored, fixed and dynamic encoders over the shared bit writer, sample data and a
// decode driver that reads through the real stream stack.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "inflate.h"
#include "inflateint.h"
#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "test_bits_helpers.h"
#include "testenv.h"

namespace inflatetest {

// The bottom level: reads `data` from `pos`, never past `limit`, at most
// `maxRead` bytes per call (0: no limit). Owned by the test.
struct Source {
  std::string data;
  size_t pos = 0;
  size_t limit = SIZE_MAX;
  uint32_t maxRead = 0;
  int failReadAt = -1;  // read call number (0-based) that fails
  int readCalls = 0;
};

inline int sourceRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  Source* s = static_cast<Source*>(level->state);
  if (s->readCalls++ == s->failReadAt) {
    *got = 0;
    return -1;
  }
  size_t end = std::min(s->data.size(), s->limit);
  size_t n = end > s->pos ? end - s->pos : 0;
  if (n > len) n = len;
  if (s->maxRead && n > s->maxRead) n = s->maxRead;
  memcpy(buf, s->data.data() + s->pos, n);
  s->pos += n;
  *got = (uint32_t)n;
  return 0;
}

inline const IoStreamOps sourceOps = {.name = "TestSource", .read = sourceRead};

using testbits::BitWriter;

// Canonical codes for a set of lengths.
inline std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
  uint32_t count[16] = {0}, next[16] = {0};
  for (uint8_t l : lengths) count[l]++;
  count[0] = 0;
  uint32_t code = 0;
  for (int b = 1; b < 16; b++) {
    code = (code + count[b - 1]) << 1;
    next[b] = code;
  }
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
  size_t i = 0;
  while (i < data.size()) {
    uint32_t bestLen = 0, bestDist = 0;
    if (i + 3 <= data.size()) {
      int64_t cand = head[hash(i)];
      for (int chain = 0; chain < 32 && cand >= 0 && i - (size_t)cand <= maxDistance; chain++) {
        uint32_t len = 0;
        while (len < 258 && i + len < data.size() && data[cand + len] == data[i + len]) len++;
        if (len > bestLen) {
          bestLen = len;
          bestDist = (uint32_t)(i - cand);
        }
        cand = prev[cand];
      }
    }
    size_t step = bestLen >= 3 ? bestLen : 1;
    for (size_t k = 0; k < step; k++, i++) {
      if (i + 3 <= data.size()) {
        uint32_t h = hash(i);
        prev[i] = head[h];
        head[h] = (int64_t)i;
      }
    }
    if (bestLen >= 3)
      tokens.push_back({bestLen, bestDist});
    else
      tokens.push_back({(uint8_t)data[i - 1], 0});
  }
  return tokens;
}

inline void lengthSymbol(uint32_t length, uint32_t* sym, uint32_t* extra, uint32_t* extraBits) {
  for (int i = 28; i >= 0; i--)
    if (length >= inflateLengthBase[i]) {
      *sym = 257 + i;
      *extra = length - inflateLengthBase[i];
      *extraBits = inflateLengthExtra[i];
      return;
    }
}

inline void distanceSymbol(uint32_t distance, uint32_t* sym, uint32_t* extra, uint32_t* extraBits) {
  for (int i = 29; i >= 0; i--)
    if (distance >= inflateDistanceBase[i]) {
      *sym = i;
      *extra = distance - inflateDistanceBase[i];
      *extraBits = inflateDistanceExtra[i];
      return;
    }
}

// Writes tokens and the end-of-block code with the given codes.
inline void writeTokens(BitWriter& bw, const std::vector<Token>& tokens, const std::vector<uint8_t>& litLen,
                        const std::vector<uint8_t>& distLen) {
  std::vector<uint32_t> lc = canonicalCodes(litLen), dc = canonicalCodes(distLen);
  for (const Token& t : tokens) {
    if (t.distance == 0) {
      bw.putCode(lc[t.value], litLen[t.value]);
      continue;
    }
    uint32_t sym = 0, extra = 0, bits = 0;
    lengthSymbol(t.value, &sym, &extra, &bits);
    bw.putCode(lc[sym], litLen[sym]);
    bw.put(extra, bits);
    distanceSymbol(t.distance, &sym, &extra, &bits);
    bw.putCode(dc[sym], distLen[sym]);
    bw.put(extra, bits);
  }
  bw.putCode(lc[256], litLen[256]);
}

// Stored blocks of at most `blockSize` bytes (an empty input gives one empty
// final block).
inline void writeStored(BitWriter& bw, const std::string& data, bool last, size_t blockSize = 65535) {
  size_t pos = 0;
  do {
    size_t n = std::min(blockSize, data.size() - pos);
    bool final = last && pos + n == data.size();
    bw.put(final ? 1 : 0, 1);
    bw.put(0, 2);
    bw.align();
    bw.put((uint32_t)n, 16);
    bw.put((uint32_t)n ^ 0xFFFF, 16);
    for (size_t i = 0; i < n; i++) bw.put((uint8_t)data[pos + i], 8);
    pos += n;
  } while (pos < data.size());
}

inline void writeFixed(BitWriter& bw, const std::vector<Token>& tokens, bool last) {
  bw.put(last ? 1 : 0, 1);
  bw.put(1, 2);
  writeTokens(bw, tokens, fixedLiteralLengths(), std::vector<uint8_t>(32, 5));
}

// Huffman code lengths (at most maxLen bits) for the given frequencies; a
// symbol with frequency 0 gets no code. At least two symbols get codes.
inline std::vector<uint8_t> huffmanLengths(std::vector<uint64_t> freq, uint32_t maxLen = 15) {
  size_t n = freq.size();
  int used = 0;
  for (auto f : freq) used += f > 0;
  for (size_t i = 0; used < 2 && i < n; i++)
    if (freq[i] == 0) {
      freq[i] = 1;
      used++;
    }
  for (;;) {
    using Node = std::pair<uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> q;
    std::vector<int> parent(2 * n, -1);
    for (size_t i = 0; i < n; i++)
      if (freq[i]) q.push({freq[i], (int)i});
    int next = (int)n;
    while (q.size() > 1) {
      Node a = q.top();
      q.pop();
      Node b = q.top();
      q.pop();
      parent[a.second] = parent[b.second] = next;
      q.push({a.first + b.first, next++});
    }
    std::vector<uint8_t> lengths(n, 0);
    bool ok = true;
    for (size_t i = 0; i < n; i++) {
      if (!freq[i]) continue;
      uint32_t d = 0;
      for (int p = parent[i]; p >= 0; p = parent[p]) d++;
      if (d > maxLen) ok = false;
      lengths[i] = (uint8_t)d;
    }
    if (ok) return lengths;
    for (auto& f : freq)
      if (f) f = (f >> 1) + 1;  // flatten and retry
  }
}

// Writes the code-length section of a dynamic block for the given lengths,
// run-length coded with 16, 17 and 18.
inline void writeDynamicHeader(BitWriter& bw, const std::vector<uint8_t>& litLen, const std::vector<uint8_t>& distLen) {
  std::vector<uint8_t> all(litLen);
  all.insert(all.end(), distLen.begin(), distLen.end());
  struct Item {
    uint32_t sym = 0, extra = 0, bits = 0;
  };
  std::vector<Item> items;
  for (size_t i = 0; i < all.size();) {
    size_t run = 1;
    while (i + run < all.size() && all[i + run] == all[i]) run++;
    if (all[i] == 0 && run >= 3) {
      size_t r = std::min<size_t>(run, 138);
      if (r >= 11)
        items.push_back({18, (uint32_t)r - 11, 7});
      else
        items.push_back({17, (uint32_t)r - 3, 3});
      i += r;
    } else if (i > 0 && all[i] == all[i - 1] && run >= 3) {
      size_t r = std::min<size_t>(run, 6);
      items.push_back({16, (uint32_t)r - 3, 2});
      i += r;
    } else {
      items.push_back({all[i], 0, 0});
      i++;
    }
  }
  std::vector<uint64_t> freq(19, 0);
  for (auto& it : items) freq[it.sym]++;
  std::vector<uint8_t> clLen = huffmanLengths(freq, 7);
  static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  int hclen = 19;
  while (hclen > 4 && clLen[order[hclen - 1]] == 0) hclen--;
  bw.put((uint32_t)litLen.size() - 257, 5);
  bw.put((uint32_t)distLen.size() - 1, 5);
  bw.put((uint32_t)hclen - 4, 4);
  for (int i = 0; i < hclen; i++) bw.put(clLen[order[i]], 3);
  std::vector<uint32_t> clCodes = canonicalCodes(clLen);
  for (auto& it : items) {
    bw.putCode(clCodes[it.sym], clLen[it.sym]);
    bw.put(it.extra, it.bits);
  }
}

// One dynamic block with codes fitted to the tokens' frequencies.
inline void writeDynamic(BitWriter& bw, const std::vector<Token>& tokens, bool last) {
  std::vector<uint64_t> lf(286, 0), df(30, 0);
  for (const Token& t : tokens) {
    uint32_t sym = 0, extra = 0, bits = 0;
    if (t.distance == 0) {
      lf[t.value]++;
      continue;
    }
    lengthSymbol(t.value, &sym, &extra, &bits);
    lf[sym]++;
    distanceSymbol(t.distance, &sym, &extra, &bits);
    df[sym]++;
  }
  lf[256] = 1;
  std::vector<uint8_t> litLen = huffmanLengths(lf), distLen = huffmanLengths(df);
  while (litLen.size() > 257 && litLen.back() == 0) litLen.pop_back();
  while (distLen.size() > 1 && distLen.back() == 0) distLen.pop_back();
  bw.put(last ? 1 : 0, 1);
  bw.put(2, 2);
  writeDynamicHeader(bw, litLen, distLen);
  writeTokens(bw, tokens, litLen, distLen);
}

// Our own deflate encoder: the data in pieces of `blockSize`, each piece as
// a stored, fixed or dynamic block in turn (kind: 0 stored, 1 fixed,
// 2 dynamic, 3 rotate through all three).
inline std::string deflateOwn(const std::string& data, int kind, size_t blockSize = 50000) {
  BitWriter bw;
  size_t pos = 0;
  int block = 0;
  do {
    size_t n = std::min(blockSize, data.size() - pos);
    std::string piece = data.substr(pos, n);
    bool last = pos + n == data.size();
    int k = kind == 3 ? block % 3 : kind;
    if (k == 0)
      writeStored(bw, piece, last);
    else if (k == 1)
      writeFixed(bw, lz77(piece), last);
    else
      writeDynamic(bw, lz77(piece), last);
    pos += n;
    block++;
  } while (pos < data.size());
  return bw.finish();
}

// zlib wrapper around raw deflate data.
inline std::string zlibWrap(const std::string& raw, const std::string& data) {
  std::string out("\x78\x9C", 2);
  out += raw;
  uint32_t a = inflateAdler32(1, reinterpret_cast<const uint8_t*>(data.data()), (uint32_t)data.size());
  for (int s = 24; s >= 0; s -= 8) out.push_back((char)(a >> s));
  return out;
}

// Sample data of various kinds, deterministic per seed.
enum DataKind { dataRandom, dataText, dataRuns, dataRecords, dataZeros, dataKindCount };

inline std::string sampleData(DataKind kind, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n);
  static const char* const words[] = {"the ",   "inflate ", "stream ", "level ",   "window ", "of ",  "and ",
                                      "bytes ", "\n",       "zip ",    "entry ",   "{ ",      "} ",   "return ",
                                      "int ",   "0x1F ",    "\t",      "archive ", "block ",  "code "};
  while (s.size() < n) {
    switch (kind) {
      case dataRandom:
        s.push_back((char)(rng() & 0xFF));
        break;
      case dataText:
        s += words[rng() % SFX_ARRAY_SIZE(words)];
        break;
      case dataRuns:
        s.append(1 + rng() % 300, (char)("ab\0\xFF"[rng() % 4]));
        break;
      case dataRecords: {
        uint32_t id = (uint32_t)s.size() / 16;
        char rec[16];
        memcpy(rec, &id, 4);
        memcpy(rec + 4, "REC:", 4);
        for (int i = 8; i < 16; i++) rec[i] = (char)(rng() % 3 == 0 ? rng() : 'x');
        s.append(rec, 16);
        break;
      }
      default:
        s.push_back(0);
        break;
    }
  }
  s.resize(n);
  return s;
}

// How the decode driver reads.
enum ReadMode { readWhole, readOneByte, readRandomChunks };

// What a decode through the stack gave.
struct Decoded {
  std::string out;         // bytes read through the inflate level
  int lastResult = 0;      // result of the last read
  bool failed = false;     // some read returned -1
  int endFlag = 0;         // the caller's end flag
  bool levelGone = false;  // the inflate level removed itself
  std::string after;       // bytes read from the stream after the level went
};

// Decodes `compressed` (followed by `trailer`) through Source ->
// BufferedInputStream -> InflateInputStream, reading in the given mode until
// end of data or failure; then reads the rest of the stream.
inline Decoded decodeStack(const std::string& compressed, int format, ReadMode mode, uint32_t seed = 1,
                           const std::string& trailer = "", uint32_t sourceChunk = 0) {
  Source src;
  src.data = compressed + trailer;
  src.maxRead = sourceChunk;
  IoStream* s = iosNewLevel(&src, &sourceOps);
  Decoded d;
  EXPECT_EQ(inflateWrapInputStream(s, format, &d.endFlag, false), 0);
  std::mt19937 rng(seed);
  std::vector<uint8_t> buf(1 << 17);
  for (int guard = 0; guard < 100000000; guard++) {
    uint32_t n = mode == readWhole ? (uint32_t)buf.size() : mode == readOneByte ? 1 : 1 + rng() % 70000;
    uint32_t got = 0;
    bool wasInflate = s->ops == &inflateInputStreamOps;
    if (!wasInflate) break;
    d.lastResult = iosRead(s, buf.data(), n, &got);
    d.out.append(reinterpret_cast<char*>(buf.data()), got);
    if (d.lastResult != 0) {
      d.failed = true;
      break;
    }
    if (got == 0) break;
  }
  d.levelGone = s->ops != &inflateInputStreamOps;
  if (d.levelGone) {
    uint32_t got = 0;
    while (iosRead(s, buf.data(), (uint32_t)buf.size(), &got) == 0 && got > 0)
      d.after.append(reinterpret_cast<char*>(buf.data()), got);
  }
  if (s->ops == &inflateInputStreamOps) iosCloseThisLevel(s);
  iosClose(s);
  return d;
}

// The inflate level's log records while it lives.
struct InflateLog : TestLogCapture {
  explicit InflateLog(uint32_t level = logLevelDebug) : TestLogCapture(logCatInflate, level) {}
};

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::string fromHex(const char* hex) {
  std::string s;
  for (const char* p = hex; p[0] && p[1];) {
    if (*p == ' ') {
      p++;
      continue;
    }
    s.push_back((char)std::stoi(std::string(p, 2), nullptr, 16));
    p += 2;
  }
  return s;
}

}  // namespace inflatetest
