// Stream core: stacking and unstacking, the dispatch rule and its messages,
// the write loop, closing, the convenience operations, FileIO and
// CopyOutputStream.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "iosbuffered.h"
#include "iostream.h"
#include "memory.h"
#include "stringbuf.h"
#include "test_ios_helpers.h"

using namespace iostest;

namespace {

// A level whose read counts down from a given number of bytes without
// storing anything, so that large copies need no large input string.
struct Counter {
  uint64_t left;
  uint32_t largest;
};
int counterRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  Counter* c = static_cast<Counter*>(level->state);
  if (len > c->largest) c->largest = len;
  uint32_t n = c->left < len ? (uint32_t)c->left : len;
  memset(buf, 'x', n);
  c->left -= n;
  *got = n;
  return 0;
}
int counterClose(void*) { return 0; }
const IoStreamOps counterOps = {.name = "Counter", .read = counterRead, .close = counterClose};

int preallocResult(IoStream* level, uint64_t) { return (int)(intptr_t)level->state; }
// Levels without close: closing the handle still reaches every level.
const IoStreamOps preA = {.name = "PreA", .preallocate = preallocResult};
const IoStreamOps bareOps = {.name = "Bare"};
const IoStreamOps eventSocketOps = {.name = "EventSocket", .write = mockWrite, .close = mockClose, .flush = mockFlush};

int acceptCall(void* result, void* state, void* a, void*) {
  *static_cast<void**>(result) = a;
  return static_cast<Mock*>(state)->closeResult;
}
const IoStreamOps serverOps = {.name = "Server", .accept = acceptCall, .close = mockClose};

}  // namespace

TEST(IosStack, WrapAndUnwrapKeepTheHandle) {
  Mock in, pass;
  in.in = "data";
  IoStream* s = iosNewLevel(&in, &mockInOps);
  IoStream* handle = s;
  ASSERT_EQ(iosWrap(s, &pass, &mockPassOps), 0);
  EXPECT_EQ(s, handle);
  EXPECT_EQ(s->next->state, &in);
  ASSERT_EQ(iosWrapLimitedIoStream(s, -1, -1), 0);
  EXPECT_EQ(describe(s), "LimitedIoStream -> MockPass -> MockIn");
  // Reads pass through the levels that lack the slot.
  char buf[8];
  uint32_t n = 0;
  ASSERT_EQ(iosRead(s, buf, sizeof buf, &n), 0);
  EXPECT_EQ(std::string(buf, n), "data");
  // Pop the limit by hand: its state is the caller's to release.
  void* limitState = s->state;
  ASSERT_EQ(iosUnwrap(s), 0);
  memFree(limitState);
  EXPECT_EQ(s, handle);
  EXPECT_EQ(describe(s), "MockPass -> MockIn");
  ASSERT_EQ(iosUnwrap(s), 0);
  EXPECT_EQ(describe(s), "MockIn");
  EXPECT_EQ(pass.closeCalls, 0);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(in.closeCalls, 1);
}

TEST(IosStack, UnwrapTypeRemovesTheNamedLevelOnly) {
  Mock in, p1;
  IoStream* s = iosNewLevel(&in, &mockInOps);
  iosWrap(s, &p1, &mockPassOps);
  iosWrapLimitedIoStream(s, -1, -1);
  EXPECT_EQ(iosUnwrapType(s, "NoSuchType"), 0);
  EXPECT_EQ(describe(s), "LimitedIoStream -> MockPass -> MockIn");
  ASSERT_EQ(iosUnwrapType(s, "MockPass"), 0);
  EXPECT_EQ(describe(s), "LimitedIoStream -> MockIn");
  // The limit's inner pointer still reaches a valid level.
  in.in = "abc";
  char buf[4];
  uint32_t n = 0;
  ASSERT_EQ(iosRead(s, buf, 4, &n), 0);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(in.closeCalls, 1);
  EXPECT_EQ(p1.closeCalls, 0);
}

TEST(IosStack, UnwrapAlsoRemovesDrainedBufferedInputBelow) {
  Mock in, pass;
  in.in = "ABCD";
  IoStream* s = iosNewLevel(&in, &mockInOps);
  ASSERT_EQ(iosWrapBufferedInputStream(s, 0), 0);
  iosWrap(s, &pass, &mockPassOps);
  uint8_t buf[4];
  ASSERT_EQ(iosReadFully(s, buf, 4), 0);
  ASSERT_EQ(iosUnwrap(s), 0);
  EXPECT_EQ(describe(s), "MockIn");
  iosClose(s);

  // With a whole byte in the bit buffer the buffered level stays.
  Mock in2;
  s = mockInput(&in2, "AB");
  ASSERT_EQ(iosWrapBufferedInputStream(s, 0), 0);
  ASSERT_EQ(iosGetBits(s, 8), 'A');
  ASSERT_EQ(iosPeekBits(s, 8), 'B');  // 'B' now sits in the bit buffer
  iosWrap(s, &pass, &mockPassOps);
  ASSERT_EQ(iosUnwrap(s), 0);
  EXPECT_EQ(describe(s), "BufferedInputStream -> MockIn");
  EXPECT_EQ(iosGetByte(s), 'B');
  iosClose(s);
}

TEST(IosStack, CloseThisLevelLeavesTheRestOpen) {
  Mock in, pass;
  in.in = "xyz";
  IoStream* s = iosNewLevel(&in, &mockInOps);
  iosWrap(s, &pass, &mockPassOps);
  EXPECT_EQ(iosCloseThisLevel(s), 0);
  EXPECT_EQ(pass.closeCalls, 1);
  EXPECT_EQ(in.closeCalls, 0);
  EXPECT_EQ(describe(s), "MockIn");
  EXPECT_EQ(iosGetByte(s), 'x');
  pass.closeResult = -1;
  iosWrap(s, &pass, &mockPassOps);
  EXPECT_EQ(iosCloseThisLevel(s), -1);
  EXPECT_EQ(iosCloseThisLevel(nullptr), 0);
  iosClose(s);
  EXPECT_EQ(in.closeCalls, 1);
}

TEST(IosStack, CloseFlushesThenClosesEveryLevel) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosWrapBufferedOutputStream(s, 0), 0);
  ASSERT_EQ(iosWriteString(s, "line\n", nullptr), 0);
  EXPECT_EQ(out.out, "");
  out.closeResult = 0;
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(out.out, "line\r\n");
  EXPECT_EQ(out.closeCalls, 1);
  EXPECT_GE(out.flushCalls, 1);
  EXPECT_EQ(iosClose(nullptr), 0);

  // A failing close is reported.
  Mock bad;
  bad.closeResult = -1;
  EXPECT_NE(iosClose(iosNewLevel(&bad, &mockOutOps)), 0);
  // An event socket is closed without a flush.
  Mock m;
  s = iosNewLevel(&m, &eventSocketOps);
  ASSERT_EQ(iosWrite(s, "a", 1, nullptr), 0);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(m.flushCalls, 0);
  EXPECT_EQ(m.closeCalls, 1);
}

TEST(IosDispatch, NullBufferProbes) {
  Mock out, in;
  IoStream* w = iosNewLevel(&out, &mockOutOps);
  IoStream* r = iosNewLevel(&in, &mockInOps);
  uint32_t n = 77;
  {
    LogCapture cap;
    EXPECT_EQ(iosRead(w, nullptr, 10, &n), -1);
    EXPECT_EQ(iosWrite(r, nullptr, 10, &n), -1);
    EXPECT_EQ(cap.take(), "");
  }
  EXPECT_EQ(iosRead(r, nullptr, 10, &n), 0);
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(w->dirty, 0);
  EXPECT_EQ(iosWrite(w, nullptr, 10, &n), 0);
  EXPECT_EQ(w->dirty, 1);
  iosClose(w);
  iosClose(r);
}

TEST(IosDispatch, MissingMechanismMessagesNameTheTopType) {
  Mock in, out, pass;
  IoStream* r = iosNewLevel(&in, &mockInOps);
  iosWrap(r, &pass, &bareOps);
  IoStream* w = iosNewLevel(&out, &mockOutOps);
  uint8_t b[4] = {1, 2, 3, 4};
  uint32_t n;
  uint64_t pos;
  void* res = nullptr;
  struct Case {
    const char* message;
    int result;
  };
  LogCapture cap(logLevelError);
  std::vector<Case> cases = {
      {"Performing iosRead operation on MockOut IoStream without read mechanism\n", iosRead(w, b, 4, &n)},
      {"Performing iosWrite operation on Bare IoStream without write mechanism\n", iosWrite(r, b, 4, &n)},
      {"Performing iosCanRead operation on MockOut IoStream without canRead mechanism\n", iosCanRead(w, 0)},
      {"Performing iosPutByte operation on Bare IoStream without putc mechanism\n", iosPutByte(r, 'x')},
      {"Performing iosAccept operation on Bare IoStream without accept mechanism\n", iosAccept(&res, r, b, b)},
      {"Performing iosSeek operation on MockOut IoStream without seek mechanism\n", iosSeek(w, 5)},
      {"Performing iosGetSeek operation on MockOut IoStream without seek mechanism\n", iosGetSeek(w, &pos)},
      {"Performing iosUnGetData operation on MockOut IoStream without ungetdata mechanism\n", iosUnGetData(w, b, 2)},
  };
  std::string log = cap.take();
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, -1) << c.message;
    EXPECT_TRUE(contains(log, c.message)) << c.message;
  }
  EXPECT_TRUE(contains(log, "IoStream stack Bare -> MockIn.\n"));
  EXPECT_TRUE(contains(log, "IoStream stack MockOut.\n"));
  EXPECT_TRUE(
      contains(log, "Performing wrap BufferedInputStream operation on MockOut IoStream without read mechanism\n"));
  // The stacks are unchanged by the failures.
  EXPECT_EQ(describe(r), "Bare -> MockIn");
  EXPECT_EQ(describe(w), "MockOut");
  iosClose(r);
  iosClose(w);
}

TEST(IosDispatch, FlushPreallocateAndReservedDefaultToZero) {
  Mock in;
  IoStream* s = iosNewLevel(&in, &mockInOps);
  s->dirty = 1;
  EXPECT_EQ(iosFlush(s), 0);
  EXPECT_EQ(s->dirty, 1);  // no level flushes: the flag stays
  EXPECT_EQ(iosPreallocate(s, 100), 0);
  EXPECT_EQ(iosReserved13(s), 0);
  iosClose(s);

  // iosPreallocate runs on every level that has the slot and ORs the results.
  IoStream* p = iosNewLevel((void*)(intptr_t)1, &preA);
  iosWrap(p, (void*)(intptr_t)2, &preA);
  iosWrap(p, &in, &bareOps);
  EXPECT_EQ(iosPreallocate(p, 10), 3);
  EXPECT_EQ(iosClose(p), 0);
}

TEST(IosDispatch, AcceptReachesTheServerLevel) {
  Mock m;
  m.closeResult = 7;
  IoStream* s = iosNewLevel(&m, &serverOps);
  void* res = nullptr;
  int marker;
  EXPECT_EQ(iosAccept(&res, s, &marker, nullptr), 7);
  EXPECT_EQ(res, &marker);
  m.closeResult = 0;
  iosClose(s);
}

// The write loop: partial writes are repeated until all bytes are taken, a
// level taking nothing ends it, and a failure reports what was taken before.
TEST(IosWrite, LoopTakesAllStopsAtZeroAndKeepsCountOnFailure) {
  Mock out;
  out.maxWrite = 3;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  uint32_t n = 0;
  EXPECT_EQ(iosWrite(s, "0123456789", 10, &n), 0);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(out.writeCalls, 4);
  EXPECT_EQ(out.out, "0123456789");
  ASSERT_EQ(iosWrapLimitedIoStream(s, -1, 1), 0);
  n = 99;
  EXPECT_EQ(iosWrite(s, "abc", 3, &n), 0);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(iosWrite(s, "def", 3, &n), 0);  // limit reached: takes nothing
  EXPECT_EQ(n, 0u);
  iosClose(s);

  Mock f;
  f.maxWrite = 4;
  f.failWriteAt = 1;
  s = iosNewLevel(&f, &mockOutOps);
  EXPECT_EQ(iosWrite(s, "0123456789", 10, &n), -1);
  EXPECT_EQ(n, 4u);
  iosClose(s);
}

TEST(IosWrite, PutByteUsesPutcOrOneByteWrite) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  EXPECT_EQ(iosPutByte(s, 'q'), 0);
  EXPECT_EQ(out.out, "q");
  ASSERT_EQ(iosWrapBufferedOutputStream(s, 0), 0);
  s->dirty = 0;
  EXPECT_EQ(iosPutByte(s, 'r'), 0);
  EXPECT_EQ(s->dirty, 1);
  EXPECT_EQ(iosFlush(s), 0);
  EXPECT_EQ(s->dirty, 0);
  EXPECT_EQ(out.out, "qr");
  iosClose(s);
}

TEST(IosWrite, WriteStringBufferEmptiesOnlyAfterCompleteWrite) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  StringBuffer sb;
  sbInitHere(&sb);
  EXPECT_EQ(iosWriteStringBuffer(s, &sb), 0);
  EXPECT_EQ(iosWriteStringBuffer(s, nullptr), 0);
  sbAppendString(&sb, "hello");
  EXPECT_EQ(iosWriteStringBuffer(s, &sb), 0);
  EXPECT_EQ(out.out, "hello");
  EXPECT_EQ(sbGetLength(&sb), 0u);
  ASSERT_EQ(iosWrapLimitedIoStream(s, -1, 0), 0);
  sbAppendString(&sb, "lost?");
  EXPECT_EQ(iosWriteStringBuffer(s, &sb), -1);
  EXPECT_EQ(sbGetLength(&sb), 5u);
  sbClean(&sb);
  iosClose(s);
}

TEST(IosWrite, PrintfAndWriteString) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  EXPECT_EQ(iosPrintf(s, "%s=%" PRIu64 ";", "n", (uint64_t)1 << 40), 0);
  uint32_t n = 5;
  EXPECT_EQ(iosWriteString(s, nullptr, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(iosWriteString(s, "tail", &n), 0);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(out.out, "n=1099511627776;tail");
  iosClose(s);
}

TEST(IosWrite, UrgentFallsBackToPlainTransfer) {
  Mock in, out;
  in.in = "zz";
  IoStream* r = iosNewLevel(&in, &mockInOps);
  IoStream* w = iosNewLevel(&out, &mockOutOps);
  char buf[2];
  uint32_t n = 0;
  EXPECT_EQ(iosUrgentRead(r, buf, 2, &n), 0);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(iosUrgentWrite(w, "ok", 2, &n), 0);
  EXPECT_EQ(out.out, "ok");
  iosClose(r);
  iosClose(w);
}

TEST(IosRead, ReadFully) {
  Mock in;
  IoStream* s = mockInput(&in, "0123456789", 3);
  char buf[16];
  EXPECT_EQ(iosReadFully(s, buf, 0), 0);
  EXPECT_EQ(in.readCalls, 0);
  ASSERT_EQ(iosReadFully(s, buf, 8), 0);
  EXPECT_EQ(std::string(buf, 8), "01234567");
  LogCapture cap(logLevelDebug);
  EXPECT_EQ(iosReadFully(s, buf, 5), -1);
  EXPECT_TRUE(contains(cap.take(), "Unable to read full 5 bytes from MockIn\n"));
  in.failReadAt = in.readCalls;
  in.pos = 0;
  EXPECT_EQ(iosReadFully(s, buf, 5), -1);
  iosClose(s);
}

TEST(IosRead, ReadLineSplitsAndPushesBackTheRest) {
  Mock in;
  IoStream* s = mockInput(&in, "first\nsecond line\n" + std::string(300, 'L') + "\nlast");
  StringBuffer line;
  sbInitHere(&line);
  ASSERT_EQ(iosReadLine(s, &line), 0);
  EXPECT_STREQ(sbGet(&line), "first\n");
  sbEmpty(&line);
  ASSERT_EQ(iosReadLine(s, &line), 0);
  EXPECT_STREQ(sbGet(&line), "second line\n");
  sbEmpty(&line);
  ASSERT_EQ(iosReadLine(s, &line), 0);
  EXPECT_EQ(std::string(sbGet(&line)), std::string(300, 'L') + "\n");
  sbEmpty(&line);
  ASSERT_EQ(iosReadLine(s, &line), 0);
  EXPECT_STREQ(sbGet(&line), "last");
  sbEmpty(&line);
  EXPECT_EQ(iosReadLine(s, &line), -1);
  // The push-back level went away once drained.
  EXPECT_EQ(describe(s), "MockIn");
  iosClose(s);

  // A single byte after the line end is kept too.
  Mock one;
  s = mockInput(&one, "a\nb");
  sbEmpty(&line);
  ASSERT_EQ(iosReadLine(s, &line), 0);
  EXPECT_STREQ(sbGet(&line), "a\n");
  sbEmpty(&line);
  ASSERT_EQ(iosReadLine(s, &line), 0);
  EXPECT_STREQ(sbGet(&line), "b");
  sbClean(&line);
  iosClose(s);
}

TEST(IosCopy, WriteInputStreamStopsAtCount) {
  Counter c{1500000, 0};
  IoStream* in = iosNewLevel(&c, &counterOps);
  Mock out;
  IoStream* w = iosNewLevel(&out, &mockOutOps);
  uint64_t total = 0;
  ASSERT_EQ(iosWriteInputStream(w, in, 1000000, &total), 0);
  EXPECT_EQ(total, 1000000u);
  EXPECT_EQ(out.out.size(), 1000000u);
  EXPECT_EQ(c.left, 500000u);
  EXPECT_EQ(c.largest, 524288u);
  // End of input before the count is success with the bytes copied.
  ASSERT_EQ(iosWriteInputStream(w, in, 1000000, &total), 0);
  EXPECT_EQ(total, 500000u);
  EXPECT_EQ(iosWriteInputStream(w, in, 0, &total), 0);
  EXPECT_EQ(total, 0u);
  iosClose(in);
  iosClose(w);
}

TEST(IosCopy, WriteInputStreamFailures) {
  Mock in, out;
  in.in = "abcdef";
  IoStream* r = iosNewLevel(&in, &mockInOps);
  IoStream* w = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosWrapLimitedIoStream(w, -1, 0), 0);
  uint64_t total = 9;
  LogCapture cap(logLevelError);
  EXPECT_EQ(iosWriteInputStream(w, r, 6, &total), -1);
  EXPECT_TRUE(contains(cap.take(), "Unable to write all output\n"));
  EXPECT_EQ(total, 0u);
  in.failReadAt = in.readCalls;
  EXPECT_EQ(iosWriteInputStream(w, r, 6, &total), -1);
  iosClose(r);
  iosClose(w);
}

TEST(IosCopyOutput, DuplicatesWritesAndLeavesSecondOpen) {
  Mock main, copy;
  IoStream* s = iosNewLevel(&main, &mockOutOps);
  IoStream* second = iosNewLevel(&copy, &mockOutOps);
  ASSERT_EQ(iosWrapCopyOutputStream(s, second), 0);
  uint32_t n = 0;
  EXPECT_EQ(iosWrite(s, "tee", 3, &n), 0);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(main.out, "tee");
  EXPECT_EQ(copy.out, "tee");
  EXPECT_EQ(iosFlush(s), 0);
  EXPECT_EQ(main.flushCalls, 1);
  EXPECT_EQ(copy.flushCalls, 1);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(main.closeCalls, 1);
  EXPECT_EQ(copy.closeCalls, 0);
  EXPECT_EQ(iosWrite(second, "!", 1, nullptr), 0);
  iosClose(second);
}

TEST(IosCopyOutput, ShortWriteOfTheCopyFails) {
  Mock main, copy;
  IoStream* s = iosNewLevel(&main, &mockOutOps);
  IoStream* second = iosNewLevel(&copy, &mockOutOps);
  ASSERT_EQ(iosWrapLimitedIoStream(second, -1, 0), 0);
  ASSERT_EQ(iosWrapCopyOutputStream(s, second), 0);
  LogCapture cap(logLevelError);
  EXPECT_EQ(iosWrite(s, "abc", 3, nullptr), -1);
  EXPECT_TRUE(contains(cap.take(), "Unable to write all bytes\n"));
  EXPECT_EQ(main.out, "");
  iosClose(s);
  iosClose(second);

  Mock in;
  IoStream* r = iosNewLevel(&in, &mockInOps);
  LogCapture cap2(logLevelError);
  EXPECT_EQ(iosWrapCopyOutputStream(r, r), -1);
  EXPECT_TRUE(contains(cap2.take(), "Performing operation on IoStream without write mechanism\n"));
  iosClose(r);
}

TEST(IosFileIO, RoundTripSeekAndEnd) {
  std::string path = (scratchDir() / "file.bin").string();
  FILE* f = fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  IoStream* s = iosNewFileIO(f);
  EXPECT_STREQ(iosTypeName(s), "FileIO");
  std::string data = pattern(1000);
  uint32_t n = 0;
  ASSERT_EQ(iosWrite(s, data.data(), 1000, &n), 0);
  EXPECT_EQ(n, 1000u);
  uint64_t pos = 0;
  ASSERT_EQ(iosGetSeek(s, &pos), 0);
  EXPECT_EQ(pos, 1000u);
  ASSERT_EQ(iosFlush(s), 0);
  ASSERT_EQ(iosSeek(s, 990), 0);
  EXPECT_EQ(iosGetByte(s), (uint8_t)data[990]);
  char buf[32];
  ASSERT_EQ(iosRead(s, buf, sizeof buf, &n), 0);
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(std::string(buf, 9), data.substr(991));
  // End of file is end of data, not a failure.
  ASSERT_EQ(iosRead(s, buf, sizeof buf, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(iosGetByte(s), -1);
  EXPECT_EQ(iosClose(s), 0);
}

TEST(IosHelpers, DescribeAndFindLevel) {
  EXPECT_EQ(describe(nullptr), "<NULL>");
  Mock in;
  IoStream* s = iosNewLevel(&in, &mockInOps);
  iosWrapBufferedInputStream(s, 0);
  EXPECT_EQ(iosFindLevel(s, &mockInOps, logCatIoStream), s->next);
  LogCapture cap(logLevelError);
  EXPECT_EQ(iosFindLevel(s, &iosFileIOOps, logCatIoStream), nullptr);
  EXPECT_EQ(iosFindLevel(nullptr, &iosFileIOOps, logCatIoStream), nullptr);
  std::string log = cap.take();
  EXPECT_TRUE(contains(log, "Cannot find FileIO on IoStream of type BufferedInputStream\n"));
  EXPECT_TRUE(contains(log, "Invalid IoStream\n"));
  LogCapture cap2(logLevelDebug);
  iosLogStack(logLevelDebug, logCatIoStream, s);
  iosLogStack(logLevelTrace, logCatIoStream, s);  // above the category's level: nothing
  log = cap2.take();
  EXPECT_TRUE(contains(log, "IoStream stack BufferedInputStream -> MockIn.\n"));
  EXPECT_EQ(log.find("IoStream stack"), log.rfind("IoStream stack"));
  iosClose(s);
}
