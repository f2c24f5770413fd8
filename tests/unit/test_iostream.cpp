// Stream core: stacking and unstacking, the dispatch rule and its messages, the write loop, closing, the convenience
// operations, FileIO and CopyOutputStream.
#include <gtest/gtest.h>

#include "memory.h"
#include "test_ios_helpers.h"

using namespace iostest;

namespace {

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

// Every line iosReadLine hands out until it fails.
std::vector<std::string> readLines(IoStream* s) {
  std::vector<std::string> lines;
  for (Sb line; iosReadLine(s, &line) == 0; sbEmpty(&line)) lines.push_back(sbText(&line));
  return lines;
}

}  // namespace

TEST(IosStack, WrapUnwrapAndUnwrapType) {
  MockStream in("data", 0);
  Mock pass;
  ASSERT_EQ(iosWrap(in, &pass, &mockPassOps), 0);
  EXPECT_EQ(in.s->next->state, &in.m);  // the old top moved below the handle
  ASSERT_EQ((std::tuple{iosWrapLimitedIoStream(in, -1, -1), describe(in)}),
            std::tuple(0, "LimitedIoStream -> MockPass -> MockIn"));
  EXPECT_EQ(readSome(in, 2), "da");  // through the levels that lack the slot
  EXPECT_EQ((std::tuple{iosUnwrapType(in, "NoSuchType"), describe(in)}),
            std::tuple(0, "LimitedIoStream -> MockPass -> MockIn"));
  ASSERT_EQ((std::tuple{iosUnwrapType(in, "MockPass"), describe(in)}), std::tuple(0, "LimitedIoStream -> MockIn"));
  EXPECT_EQ(readSome(in, 4), "ta");  // the limit's inner pointer still reaches a valid level
  // Pop the limit by hand: its state is the caller's to release.
  void* limitState = in.s->state;
  ASSERT_EQ(iosUnwrap(in), 0);
  memFree(limitState);
  EXPECT_EQ((std::tuple{describe(in), in.close(), pass.closeCalls, in.m.closeCalls}), std::tuple("MockIn", 0, 0, 1));
}

TEST(IosStack, CloseThisLevelLeavesTheRestOpen) {
  MockStream in("xyz", 0);
  Mock pass;
  iosWrap(in, &pass, &mockPassOps);
  EXPECT_EQ((std::tuple{iosCloseThisLevel(in), pass.closeCalls, in.m.closeCalls, describe(in), iosGetByte(in)}),
            std::tuple(0, 1, 0, "MockIn", 'x'));
  pass.closeResult = -1;
  iosWrap(in, &pass, &mockPassOps);
  EXPECT_EQ(std::tuple(iosCloseThisLevel(in), iosCloseThisLevel(nullptr)), std::tuple(-1, 0));
  EXPECT_EQ((std::tuple{in.close(), in.m.closeCalls}), std::tuple(0, 1));
  // An unwrap also removes a drained buffered input level below.
  Mock drainedPass;
  MockStream drained("ABCD", 0, true);
  iosWrap(drained, &drainedPass, &mockPassOps);
  EXPECT_EQ((std::tuple{readSome(drained, 4), iosUnwrap(drained), describe(drained)}), std::tuple("ABCD", 0, "MockIn"));
}

TEST(IosStack, CloseFlushesThenClosesEveryLevel) {
  MockStream out;
  ASSERT_EQ(iosWrapBufferedOutputStream(out, 0), 0);
  ASSERT_EQ((std::tuple{iosWriteString(out, "line\n", nullptr), out.m.out}), std::tuple(0, ""));
  EXPECT_EQ((std::tuple{out.close(), out.m.out, out.m.closeCalls, out.m.flushCalls >= 1, iosClose(nullptr)}),
            std::tuple(0, "line\r\n", 1, true, 0));

  // An event socket is closed without a flush.
  MockStream sock(&eventSocketOps);
  ASSERT_EQ(iosWrite(sock, "a", 1, nullptr), 0);
  EXPECT_EQ((std::tuple{sock.close(), sock.m.flushCalls, sock.m.closeCalls}), std::tuple(0, 0, 1));
}

TEST(IosDispatch, NullBufferProbesFlushPreallocateReservedAndAccept) {
  MockStream w, r(&mockInOps);
  uint32_t n = 77;
  const std::string log = logOf(logLevelTrace, [&] {
    EXPECT_EQ((std::tuple{iosRead(w, nullptr, 10, &n), iosWrite(r, nullptr, 10, &n)}), std::tuple(-1, -1));
  });
  EXPECT_EQ(log, "");
  EXPECT_EQ((std::tuple{iosRead(r, nullptr, 10, &n), n, w.s->dirty}), std::tuple(0, 77u, 0));
  EXPECT_EQ((std::tuple{iosWrite(w, nullptr, 10, &n), w.s->dirty}), std::tuple(0, 1));
  MockStream flushIn(&mockInOps);
  flushIn.s->dirty = 1;
  EXPECT_EQ((std::tuple{iosFlush(flushIn), flushIn.s->dirty}), std::tuple(0, 1));  // no level flushes: the flag stays
  EXPECT_EQ(std::tuple(iosPreallocate(flushIn, 100), iosReserved13(flushIn)), std::tuple(0, 0));

  // iosPreallocate runs on every level that has the slot and ORs the results.
  IoStream* p = iosNewLevel((void*)(intptr_t)1, &preA);
  iosWrap(p, (void*)(intptr_t)2, &preA);
  iosWrap(p, &flushIn.m, &bareOps);
  EXPECT_EQ((std::tuple{iosPreallocate(p, 10), iosClose(p)}), std::tuple(3, 0));

  // Accept reaches the server level and returns its result.
  MockStream srv(&serverOps);
  srv.m.closeResult = 7;
  void* res = nullptr;
  int marker;
  EXPECT_EQ((std::tuple{iosAccept(&res, srv, &marker, nullptr), res}), std::tuple(7, (void*)&marker));
  srv.m.closeResult = 0;
}

TEST(IosDispatch, MissingMechanismMessagesNameTheTopType) {
  Mock pass;
  MockStream r(&mockInOps), w;
  iosWrap(r, &pass, &bareOps);
  uint8_t b[4] = {1, 2, 3, 4};
  uint32_t n;
  uint64_t pos;
  void* res = nullptr;
  std::vector<std::pair<const char*, int>> cases;  // the message and the result
  std::string log = logOf(logLevelError, [&] {
    cases = {
        {"Performing iosRead operation on MockOut IoStream without read mechanism\n", iosRead(w, b, 4, &n)},
        {"Performing iosWrite operation on Bare IoStream without write mechanism\n", iosWrite(r, b, 4, &n)},
        {"Performing iosCanRead operation on MockOut IoStream without canRead mechanism\n", iosCanRead(w, 0)},
        {"Performing iosPutByte operation on Bare IoStream without putc mechanism\n", iosPutByte(r, 'x')},
        {"Performing iosAccept operation on Bare IoStream without accept mechanism\n", iosAccept(&res, r, b, b)},
        {"Performing iosSeek operation on MockOut IoStream without seek mechanism\n", iosSeek(w, 5)},
        {"Performing iosGetSeek operation on MockOut IoStream without seek mechanism\n", iosGetSeek(w, &pos)},
        {"Performing iosUnGetData operation on MockOut IoStream without ungetdata mechanism\n", iosUnGetData(w, b, 2)},
    };
  });
  for (const auto& [message, result] : cases) {
    EXPECT_EQ(result, -1) << message;
    expectText(log, {message});
  }
  expectText(log, {"IoStream stack Bare -> MockIn.\n", "IoStream stack MockOut.\n",
                   "Performing wrap BufferedInputStream operation on MockOut IoStream without read mechanism\n"});
  // The stacks are unchanged by the failures.
  EXPECT_EQ(std::tuple(describe(r), describe(w)), std::tuple("Bare -> MockIn", "MockOut"));
}

// The write loop: partial writes are repeated until all bytes are taken, a
// level taking nothing ends it, and a failure reports what was taken before.
TEST(IosWrite, LoopTakesAllStopsAtZeroAndKeepsCountOnFailure) {
  MockStream out;
  out.m.maxWrite = 3;
  EXPECT_EQ((std::tuple{writeSome(out, "0123456789"), out.m.writeCalls, out.m.out}), std::tuple("10", 4, "0123456789"));
  ASSERT_EQ(iosWrapLimitedIoStream(out, -1, 1), 0);
  EXPECT_EQ((std::tuple{writeSome(out, "abc"), writeSome(out, "def")}), std::tuple("3", "0"));  // then the limit

  MockStream f;
  f.m.maxWrite = 4;
  f.m.failWriteAt = 1;
  EXPECT_EQ(writeSome(f, "0123456789"), "<fail 4>");
}

// iosPutByte (putc or a one-byte write), iosPrintf, iosWriteString and the
// urgent transfers that fall back to plain ones.
TEST(IosWrite, ConvenienceWritesAndStringBufferEmptiedOnlyAfterCompleteWrite) {
  MockStream out;
  EXPECT_EQ(iosPutByte(out, 'q'), 0);
  ASSERT_EQ(iosWrapBufferedOutputStream(out, 0), 0);
  out.s->dirty = 0;
  EXPECT_EQ((std::tuple{iosPutByte(out, 'r'), out.s->dirty}), std::tuple(0, 1));
  EXPECT_EQ((std::tuple{iosFlush(out), out.s->dirty, out.m.out}), std::tuple(0, 0, std::string("qr")));
  uint32_t n = 5;
  EXPECT_EQ(
      (std::tuple{iosPrintf(out, "%s=%" PRIu64 ";", "n", (uint64_t)1 << 40), iosWriteString(out, nullptr, &n), n}),
      std::tuple(0, 0, 0u));
  EXPECT_EQ((std::tuple{iosWriteString(out, "tail", &n), n}), std::tuple(0, 4u));
  EXPECT_EQ((std::tuple{iosUrgentWrite(out, "!", 1, &n), iosFlush(out), out.m.out}),
            std::tuple(0, 0, "qrn=1099511627776;tail!"));
  MockStream in("zz", 0);
  char buf[2];
  EXPECT_EQ((std::tuple{iosUrgentRead(in, buf, 2, &n), n}), std::tuple(0, 2u));
  MockStream sbOut;
  Sb sb;
  EXPECT_EQ(std::tuple(iosWriteStringBuffer(sbOut, &sb), iosWriteStringBuffer(sbOut, nullptr)), std::tuple(0, 0));
  sbAppendString(&sb, "hello");
  EXPECT_EQ((std::tuple{iosWriteStringBuffer(sbOut, &sb), sbOut.m.out, sbGetLength(&sb)}), std::tuple(0, "hello", 0u));
  ASSERT_EQ(iosWrapLimitedIoStream(sbOut, -1, 0), 0);
  sbAppendString(&sb, "lost?");
  EXPECT_EQ((std::tuple{iosWriteStringBuffer(sbOut, &sb), sbGetLength(&sb)}), std::tuple(-1, 5u));
}

TEST(IosRead, ReadFullyAndReadLineSplitsAndPushesBackTheRest) {
  MockStream in("0123456789", 3);
  char buf[16];
  EXPECT_EQ((std::tuple{iosReadFully(in, buf, 0), in.m.readCalls}), std::tuple(0, 0));
  ASSERT_EQ((std::tuple{iosReadFully(in, buf, 8), std::string(buf, 8)}), std::tuple(0, "01234567"));
  expectText(logOf(logLevelDebug, [&] { EXPECT_EQ(iosReadFully(in, buf, 5), -1); }),
             {"Unable to read full 5 bytes from MockIn\n"});
  in.m.failReadAt = in.m.readCalls, in.m.pos = 0;
  EXPECT_EQ(iosReadFully(in, buf, 5), -1);
  std::string longLine(300, 'L');
  MockStream text("first\nsecond line\n" + longLine + "\nlast", 0);
  EXPECT_EQ(readLines(text), (std::vector<std::string>{"first\n", "second line\n", longLine + "\n", "last"}));
  EXPECT_EQ(describe(text), "MockIn");  // the push-back level went away once drained
  // A single byte after the line end is kept too.
  MockStream one("a\nb", 0);
  EXPECT_EQ(readLines(one), (std::vector<std::string>{"a\n", "b"}));
}

TEST(IosCopy, WriteInputStreamStopsAtCountAndFails) {
  MockStream in(std::string(1500000, 'x'), 0), out;
  uint64_t total = 0;
  ASSERT_EQ(iosWriteInputStream(out, in, 1000000, &total), 0);
  EXPECT_EQ(std::tuple(total, out.m.out.size(), in.m.pos, in.m.largestRead),
            std::tuple(1000000u, 1000000u, 1000000u, 524288u));
  // End of input before the count is success with the bytes copied.
  EXPECT_EQ((std::tuple{iosWriteInputStream(out, in, 1000000, &total), total}), std::tuple(0, 500000u));
  EXPECT_EQ((std::tuple{iosWriteInputStream(out, in, 0, &total), total}), std::tuple(0, 0u));
  MockStream src("abcdef", 0), dst;
  ASSERT_EQ(iosWrapLimitedIoStream(dst, -1, 0), 0);
  uint64_t copied = 9;
  expectText(logOf(logLevelError, [&] { EXPECT_EQ(iosWriteInputStream(dst, src, 6, &copied), -1); }),
             {"Unable to write all output\n"});
  EXPECT_EQ(copied, 0u);
  src.m.failReadAt = src.m.readCalls;
  EXPECT_EQ(iosWriteInputStream(dst, src, 6, &copied), -1);
}

TEST(IosCopyOutput, DuplicatesWritesLeavesSecondOpenAndFailsOnAShortCopy) {
  MockStream copy, out;  // out, which writes into copy, is closed first
  ASSERT_EQ(iosWrapCopyOutputStream(out, copy), 0);
  EXPECT_EQ((std::tuple{writeSome(out, "tee"), out.m.out, copy.m.out}), std::tuple("3", "tee", "tee"));
  EXPECT_EQ((std::tuple{iosFlush(out), out.m.flushCalls, copy.m.flushCalls}), std::tuple(0, 1, 1));
  EXPECT_EQ((std::tuple{out.close(), out.m.closeCalls, copy.m.closeCalls, iosWrite(copy, "!", 1, nullptr)}),
            std::tuple(0, 1, 0, 0));
  MockStream limited, teed, in(&mockInOps);
  ASSERT_EQ(iosWrapLimitedIoStream(limited, -1, 0), 0);
  ASSERT_EQ(iosWrapCopyOutputStream(teed, limited), 0);
  std::string log = logOf(logLevelError, [&] {
    EXPECT_EQ((std::tuple{iosWrite(teed, "abc", 3, nullptr), iosWrapCopyOutputStream(in, in)}), std::tuple(-1, -1));
  });
  expectText(log, {"Unable to write all bytes\n", "Performing operation on IoStream without write mechanism\n"});
  EXPECT_EQ(teed.m.out, "");
}

TEST(IosFileIO, RoundTripSeekAndEnd) {
  std::string path = (scratchDir() / "file.bin").string();
  FILE* f = fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  IoStream* s = iosNewFileIO(f);
  EXPECT_STREQ(iosTypeName(s), "FileIO");
  std::string data = pattern(1000);
  ASSERT_EQ(writeSome(s, data), "1000");
  uint64_t pos = 0;
  EXPECT_EQ((std::tuple{iosGetSeek(s, &pos), pos}), std::tuple(0, (uint64_t)1000));
  ASSERT_EQ(iosFlush(s), 0);
  EXPECT_EQ((std::tuple{iosSeek(s, 990), iosGetByte(s)}), std::tuple(0, (uint8_t)data[990]));
  // End of file is end of data, not a failure.
  EXPECT_EQ((std::tuple{readSome(s, 32), readSome(s, 32), iosGetByte(s), iosClose(s)}),
            std::tuple(data.substr(991), "", -1, 0));
}

TEST(IosHelpers, DescribeAndFindLevel) {
  EXPECT_EQ(describe(nullptr), "<NULL>");
  MockStream in(&mockInOps);
  iosWrapBufferedInputStream(in, 0);
  EXPECT_EQ(iosFindLevel(in, &mockInOps, logCatIoStream), in.s->next);
  std::string log = logOf(logLevelError, [&] {
    EXPECT_EQ(iosFindLevel(in, &iosFileIOOps, logCatIoStream), nullptr);
    EXPECT_EQ(iosFindLevel(nullptr, &iosFileIOOps, logCatIoStream), nullptr);
  });
  expectText(log, {"Cannot find FileIO on IoStream of type BufferedInputStream\n", "Invalid IoStream\n"});
  log = logOf(logLevelDebug, [&] {
    iosLogStack(logLevelDebug, logCatIoStream, in);
    iosLogStack(logLevelTrace, logCatIoStream, in);  // above the category's level: nothing
  });
  expectText(log, {"IoStream stack BufferedInputStream -> MockIn.\n"});
  EXPECT_EQ(log.find("IoStream stack"), log.rfind("IoStream stack"));
}
