// Helpers for the inflate tests: the scripted source level of the stream tests, zlib wrapping, sample data and a decode
// driver that reads through the real stream stack.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "inflate.h"
#include "inflateint.h"
#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "test_bits_helpers.h"
#include "test_ios_helpers.h"
#include "testenv.h"

namespace inflatetest {

// The bottom level: the stream tests' scripted level, reading its `in`.
using iostest::contains;
using iostest::Mock;
using iostest::mockInOps;

// A source reading `in`, at most `maxRead` bytes a read (0: no limit); read call number `failReadAt` (0-based) fails.
inline Mock source(const std::string& in, uint32_t maxRead = 0, int failReadAt = -1) {
  Mock m;
  m.in = in, m.maxRead = maxRead, m.failReadAt = failReadAt;
  return m;
}

using namespace testbits;

// zlib wrapper around raw deflate data.
inline std::string zlibWrap(const std::string& raw, const std::string& data) {
  std::string out = "\x78\x9C" + raw;
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
    if (kind == dataRandom) s.push_back((char)(rng() & 0xFF));
    if (kind == dataText) s += words[rng() % SFX_ARRAY_SIZE(words)];
    if (kind == dataRuns) s.append(1 + rng() % 300, (char)("ab\0\xFF"[rng() % 4]));
    if (kind == dataZeros) s.push_back(0);
    if (kind == dataRecords) {
      const uint32_t id = (uint32_t)s.size() / 16;
      char rec[16];
      memcpy(rec, &id, 4);
      memcpy(rec + 4, "REC:", 4);
      for (int i = 8; i < 16; i++) rec[i] = (char)(rng() % 3 == 0 ? rng() : 'x');
      s.append(rec, 16);
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
  uint32_t lastGot = 0;    // bytes the last read gave
  bool failed = false;     // some read returned -1
  int endFlag = 0;         // the caller's end flag
  bool levelGone = false;  // the inflate level removed itself
  std::string after;       // bytes read from the stream after the level went
};

// The source level over `src` with an inflate level on top (and a buffered one between).
inline IoStream* openInflate(Mock& src, int format = INFLATE_FORMAT_RAW, int* endFlag = nullptr) {
  IoStream* s = iosNewLevel(&src, &mockInOps);
  EXPECT_EQ(inflateWrapInputStream(s, format, endFlag, false), 0);
  return s;
}

// Closes the inflate level if it is still there, then the rest.
inline void closeStack(IoStream* s) {
  if (s->ops == &inflateInputStreamOps) iosCloseThisLevel(s);
  iosClose(s);
}

// Reads through the inflate level on `s`, read i asking for size(i) bytes, until it gives nothing, fails or goes.
template <typename SizeFn>
void readLevel(IoStream* s, Decoded& d, SizeFn size) {
  for (size_t i = 0; s->ops == &inflateInputStreamOps; i++) {
    std::vector<uint8_t> buf(size(i));  // exactly the read's size: a write past it is caught under ASan
    d.lastResult = iosRead(s, buf.data(), (uint32_t)buf.size(), &d.lastGot);
    d.out.append(reinterpret_cast<char*>(buf.data()), d.lastGot);
    d.failed = d.lastResult != 0;
    if (d.failed || d.lastGot == 0) break;
  }
  d.levelGone = s->ops != &inflateInputStreamOps;
}

// Decodes `compressed` (followed by `trailer`) through the source -> BufferedInputStream -> InflateInputStream, reading
// in the given mode until end of data or failure; then reads the rest of the stream.
inline Decoded decodeStack(const std::string& compressed, int format, ReadMode mode, uint32_t seed = 1,
                           const std::string& trailer = "", uint32_t sourceChunk = 0) {
  Mock src = source(compressed + trailer, sourceChunk);
  Decoded d;
  IoStream* s = openInflate(src, format, &d.endFlag);
  std::mt19937 rng(seed);
  readLevel(s, d, [&](size_t) { return mode == readWhole ? 1u << 17 : mode == readOneByte ? 1 : 1 + rng() % 70000; });
  char buf[4096];
  for (uint32_t got = 0; d.levelGone && iosRead(s, buf, sizeof buf, &got) == 0 && got > 0;) d.after.append(buf, got);
  closeStack(s);
  return d;
}

// The inflate level's log records while it lives.
// Puts back the host's choice of direct loop that a test overrides.
struct NarrowBitsRestored {
  bool saved = inflateNarrowBits;
  ~NarrowBitsRestored() { inflateNarrowBits = saved; }
};

struct InflateLog : TestLogCapture {
  explicit InflateLog(uint32_t level = logLevelDebug) : TestLogCapture(logCatInflate, level) {}
};

inline std::string fromHex(const char* hex) {
  std::string s;
  for (const char* p = hex; p[0] && p[1]; p += *p == ' ' ? 1 : 2)
    if (*p != ' ') s.push_back((char)std::stoi(std::string(p, 2), nullptr, 16));
  return s;
}

}  // namespace inflatetest
