// Helpers for the stream tests: a scripted level type whose reads hand out a few bytes at a time and whose writes take
// a few bytes at a time, with failures on chosen calls; a stream over it closed at scope exit; reads, bit-reader
// scripts and log capture; fresh scratch directories.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "stringbuf.h"
#include "test_sb_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace iostest {

// What a mock level does and what was done to it. Owned by the test; the level's close only records the call.
struct Mock {
  std::string in;               // bytes the level reads out
  size_t pos = 0;               // next byte of `in`
  uint32_t maxRead = 0;         // bytes per read at most (0: no limit)
  int failReadAt = -1;          // read call number (0-based) that fails
  int readCalls = 0;            // read calls so far
  uint32_t largestRead = 0;     // largest length asked by a read
  std::string out;              // bytes written to the level
  uint32_t maxWrite = 0;        // bytes per write at most (0: no limit)
  int failWriteAt = -1;         // write call number that fails (after taking nothing)
  int writeCalls = 0;           // write calls so far
  int flushCalls = 0;           // flush calls so far
  int closeCalls = 0;           // close calls so far
  int closeResult = 0;          // what close returns
  std::vector<uint64_t> seeks;  // offsets given to seek
};

inline Mock* mockOf(void* state) { return static_cast<Mock*>(state); }

inline int mockRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  Mock* m = mockOf(level->state);
  m->largestRead = std::max(m->largestRead, len);
  size_t n = std::min({m->in.size() - m->pos, (size_t)len, m->maxRead ? (size_t)m->maxRead : SIZE_MAX});
  *got = 0;
  if (m->readCalls++ == m->failReadAt) return -1;
  memcpy(buf, m->in.data() + m->pos, n);
  m->pos += n;
  *got = (uint32_t)n;
  return 0;
}

// A failing write takes nothing.
inline int mockWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  Mock* m = mockOf(state);
  bool fail = m->writeCalls++ == m->failWriteAt;
  uint32_t n = fail ? 0 : m->maxWrite ? std::min(len, m->maxWrite) : len;
  m->out.append(static_cast<const char*>(buf), n);
  if (written) *written = n;
  return fail ? -1 : 0;
}

inline int mockClose(void* state) { return mockOf(state)->closeCalls++, mockOf(state)->closeResult; }
inline int mockFlush(void* state) { return mockOf(state)->flushCalls++, 0; }

inline int mockSeek(void* state, uint64_t offset) {
  Mock* m = mockOf(state);
  m->seeks.push_back(offset);
  m->pos = (size_t)std::min<uint64_t>(offset, m->in.size());
  return 0;
}

inline int mockGetSeek(void* state, uint64_t* pos) { return *pos = mockOf(state)->pos, 0; }
inline int mockCanRead(void* state, uint64_t) { return mockOf(state)->pos < mockOf(state)->in.size() ? 0 : 1; }

inline const IoStreamOps mockInOps = {.name = "MockIn",
                                      .read = mockRead,
                                      .close = mockClose,
                                      .seek = mockSeek,
                                      .getseek = mockGetSeek,
                                      .canRead = mockCanRead};
inline const IoStreamOps mockOutOps = {.name = "MockOut", .write = mockWrite, .close = mockClose, .flush = mockFlush};
// A level that only closes: every other operation passes through it.
inline const IoStreamOps mockPassOps = {.name = "MockPass", .close = mockClose};

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The stack description as a std::string.
inline std::string describe(IoStream* s) {
  Sb sb;
  iosDescribeStack(&sb, s);
  return sbText(&sb);
}

// What the stream layer logs at `level` while fn runs.
template <typename Fn>
std::string logOf(uint32_t level, Fn fn) {
  return testCaptureLog(logCatIoStream, level, fn);
}

// A mock level and the stream over it, closed at scope exit unless close() ran; it converts to the stream handle.
struct MockStream {
  Mock m;
  IoStream* s;
  // An output stream, or a stream of the given table.
  explicit MockStream(const IoStreamOps* ops = &mockOutOps) : s(iosNewLevel(&m, ops)) {}
  // An input stream reading `data`, at most maxRead bytes a read (0: all),
  // with a buffered input level on top when asked.
  MockStream(const std::string& data, uint32_t maxRead, bool buffered = false) : s(iosNewLevel(&m, &mockInOps)) {
    m.in = data;
    m.maxRead = maxRead;
    EXPECT_EQ(buffered ? iosWrapBufferedInputStream(s, 0) : 0, 0);
  }
  ~MockStream() { close(); }
  int close() { return iosClose(std::exchange(s, nullptr)); }
  operator IoStream*() const { return s; }
};

// What one read of up to len bytes gives: the bytes, or "<fail>" (with the count when it is not 0) for a failure.
inline std::string readSome(IoStream* s, uint32_t len) {
  std::string buf(len, 0);
  uint32_t n = 0;
  if (iosRead(s, buf.data(), len, &n) != 0) return n ? "<fail " + std::to_string(n) + ">" : "<fail>";
  return buf.substr(0, n);
}

// What one write of `data` gives: the count taken, or "<fail n>" for a failure after taking n bytes.
inline std::string writeSome(IoStream* s, const std::string& data) {
  uint32_t n = 0;
  int r = iosWrite(s, data.data(), (uint32_t)data.size(), &n);
  return r ? "<fail " + std::to_string(n) + ">" : std::to_string(n);
}

// Everything read until the end of data or a failure.
inline std::string readAll(IoStream* s) {
  std::string r;
  char buf[100];
  uint32_t n;
  while (iosRead(s, buf, sizeof buf, &n) == 0 && n > 0) r.append(buf, n);
  return r;
}

// One step of a bit-reader script: 'g' iosGetBits(n), 'p' iosPeekBits(n), 'b' iosGetByte, 's' iosSkipToNextByte, and
// the result it must give. A failure names the caller's line and the step.
struct BitStep {
  char op;
  uint32_t n;
  int want;
};
inline void runBits(IoStream* s, std::initializer_list<BitStep> steps, const char* file = __builtin_FILE(),
                    int line = __builtin_LINE()) {
  testing::ScopedTrace trace(file, line, "bit script");
  for (int i = 0; const BitStep& t : steps) {
    int got = t.op == 'g'   ? iosGetBits(s, t.n)
              : t.op == 'p' ? iosPeekBits(s, t.n)
              : t.op == 'b' ? iosGetByte(s)
                            : iosSkipToNextByte(s);
    EXPECT_EQ(got, t.want) << "step " << i << ": " << t.op << t.n;
    i++;
  }
}

// A fresh, empty directory for one test.
inline std::filesystem::path scratchDir() { return testFreshDir("ios"); }

// n bytes of a recognisable pattern.
inline std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++) s[i] = (char)(i * 7 + (i >> 8) * 13);
  return s;
}

}  // namespace iostest
