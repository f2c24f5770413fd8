// Buffered input with push-back and the bit reader, the direct byte access
// of fast decoders, buffered output with line decoration, and the limited
// level.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "iosbuffered.h"
#include "iostream.h"
#include "memory.h"
#include "osfile.h"
#include "test_bits_helpers.h"
#include "test_ios_helpers.h"

using namespace iostest;

namespace {

using testbits::BitWriter;

// A small deterministic generator for the bit sequences.
struct Lcg {
  uint32_t s;
  uint32_t next() {
    s = s * 1103515245u + 12345u;
    return s >> 8;
  }
};

struct Field {
  uint32_t value;
  uint32_t bits;
};

std::vector<Field> randomFields(uint32_t seed, size_t count) {
  Lcg g{seed};
  std::vector<Field> f;
  for (size_t i = 0; i < count; i++) {
    uint32_t bits = 1 + g.next() % 24;
    f.push_back({g.next() & ((1u << bits) - 1), bits});
  }
  return f;
}

// A stream over the mock reading `data` with a buffered input level on top.
IoStream* bufferedOver(Mock* m, const std::string& data, uint32_t maxRead = 0) {
  IoStream* s = mockInput(m, data, maxRead);
  EXPECT_EQ(iosWrapBufferedInputStream(s, 0), 0);
  return s;
}

std::string readAll(IoStream* s) {
  std::string r;
  char buf[100];
  uint32_t n;
  while (iosRead(s, buf, sizeof buf, &n) == 0 && n > 0) r.append(buf, n);
  return r;
}

IosBufferedInputState* bis(IoStream* s) { return static_cast<IosBufferedInputState*>(s->state); }

}  // namespace

// The level a push-back adds on its own hands out only what it holds, and a
// seek drops it without faking the end of data.
TEST(IosBufferedInput, AutomaticLevelHandsOutOnlyWhatItHolds) {
  for (bool seek : {false, true}) {
    Mock in;
    IoStream* s = mockInput(&in, "abcdef");
    ASSERT_EQ(iosUnGetData(s, "XY", 2), 0);
    ASSERT_EQ(seek ? iosSeek(s, 3) : 0, 0);
    EXPECT_EQ(in.seeks.size(), seek ? 1u : 0u);
    char buf[10];
    uint32_t n = 0;
    ASSERT_EQ(iosRead(s, buf, 10, &n), 0);
    EXPECT_EQ(std::string(buf, n), seek ? "def" : "XY");
    EXPECT_EQ(in.readCalls, seek ? in.readCalls : 0);
    EXPECT_EQ(describe(s), "MockIn");
    iosClose(s);
  }
}

TEST(IosBufferedInput, PushBackKeepsOrderOverSeveralNodes) {
  Mock in;
  IoStream* s = bufferedOver(&in, "0123456789");
  char buf[4];
  ASSERT_EQ(iosReadFully(s, buf, 4), 0);
  ASSERT_EQ(iosUnGetData(s, "c", 1), 0);
  ASSERT_EQ(iosUnGetData(s, "ab", 2), 0);
  ASSERT_EQ(iosUnGetByte(s, '_'), 0);
  EXPECT_EQ(iosUnGetData(s, "", 0), 0);
  EXPECT_EQ(readAll(s), "_abc456789");
  iosClose(s);
}

TEST(IosBufferedInput, RefillFailureAndDeliveredBytes) {
  Mock in;
  in.failReadAt = 1;
  IoStream* s = bufferedOver(&in, "abcdef", 4);
  char buf[10];
  uint32_t n = 0;
  // One refill; the read does not wait for more once bytes were delivered.
  ASSERT_EQ(iosRead(s, buf, 10, &n), 0);
  EXPECT_EQ(std::string(buf, n), "abcd");
  EXPECT_EQ(iosRead(s, buf, 10, &n), -1);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(iosRead(s, buf, 10, &n), 0);
  EXPECT_EQ(std::string(buf, n), "ef");
  ASSERT_EQ(iosRead(s, buf, 10, &n), 0);
  EXPECT_EQ(n, 0u);
  iosClose(s);
}

TEST(IosBufferedInput, SecondWrapKeepsLargerSizeAndMakesPermanent) {
  Mock in;
  IoStream* s = mockInput(&in, "abc");
  ASSERT_EQ(iosUnGetData(s, "z", 1), 0);
  EXPECT_EQ(bis(s)->automatic, 1);
  ASSERT_EQ(iosWrapBufferedInputStream(s, 100000), 0);
  EXPECT_EQ(bis(s)->automatic, 0);
  EXPECT_EQ(bis(s)->refillSize, 100000u);
  LogCapture cap;
  ASSERT_EQ(iosWrapBufferedInputStream(s, 40000), 0);
  EXPECT_TRUE(contains(cap.take(), "iosWrapBufferedInputStream: already in place, buffer 100000->100000\n"));
  EXPECT_EQ(bis(s)->refillSize, 100000u);
  EXPECT_EQ(describe(s), "BufferedInputStream -> MockIn");
  EXPECT_EQ(readAll(s), "zabc");
  EXPECT_EQ(describe(s), "BufferedInputStream -> MockIn");  // permanent: stays
  iosClose(s);
  EXPECT_EQ(in.closeCalls, 1);

  Mock small;
  s = iosNewLevel(&small, &mockInOps);
  ASSERT_EQ(iosWrapBufferedInputStream(s, 10), 0);
  EXPECT_EQ(bis(s)->refillSize, 32768u);
  EXPECT_EQ(in.largestRead, 100000u);
  iosClose(s);
}

TEST(IosBufferedInput, CanReadAndSeekDiscard) {
  Mock in;
  IoStream* s = bufferedOver(&in, "abcdef");
  EXPECT_EQ(iosCanRead(s, 0), 0);
  EXPECT_EQ(iosGetByte(s), 'a');
  EXPECT_EQ(iosCanRead(s, 0), 0);  // buffered bytes remain
  LogCapture cap;
  ASSERT_EQ(iosSeek(s, 4), 0);
  EXPECT_TRUE(contains(cap.take(), "Seeking to offset 4 caused flush of 5 buffered bytes\n"));
  EXPECT_EQ(readAll(s), "ef");
  EXPECT_NE(iosCanRead(s, 0), 0);
  uint64_t pos = 0;
  ASSERT_EQ(iosGetSeek(s, &pos), 0);  // the position of the level below
  EXPECT_EQ(pos, 6u);
  iosClose(s);
}

TEST(IosBits, PeekZeroPeekTwiceAndGetConsumesExactBytes) {
  Mock in;
  IoStream* s = bufferedOver(&in, std::string("\xA5\x3C\x77", 3));
  EXPECT_EQ(iosPeekBits(s, 0), 0);
  int v = iosPeekBits(s, 9);
  EXPECT_EQ(v, 0xA5 | (0x3C & 1) << 8);
  EXPECT_EQ(iosPeekBits(s, 9), v);
  EXPECT_EQ(iosPeekBits(s, 0), 16);  // a fresh buffer is filled byte by byte
  EXPECT_EQ(iosGetBits(s, 9), v);
  EXPECT_EQ(iosGetBits(s, 7), 0x3C >> 1);
  EXPECT_EQ(iosPeekBits(s, 0), 0);
  EXPECT_EQ(iosGetByte(s), 0x77);
  iosClose(s);
}

TEST(IosBits, MisalignedByteReadThenSkip) {
  Mock in;
  IoStream* s = bufferedOver(&in, std::string("\xFF\x81\x42\x43\x44", 5));
  ASSERT_EQ(iosGetBits(s, 3), 7);
  ASSERT_EQ(iosGetBits(s, 5), 0x1F);
  // Fast path: three bytes at once, then 13 bits are left.
  ASSERT_EQ(iosGetBits(s, 3), 1);
  EXPECT_EQ(iosPeekBits(s, 0), 21);
  ASSERT_EQ(iosGetBits(s, 8), 0x50);
  EXPECT_EQ(iosPeekBits(s, 0), 13);
  char b;
  uint32_t n = 9;
  {
    LogCapture cap(logLevelError);
    EXPECT_EQ(iosRead(s, &b, 1, &n), -1);
    EXPECT_TRUE(contains(cap.take(), "Attempting to read non-aligned byte data\n"));
  }
  EXPECT_EQ(iosPeekBits(s, 0), 13);  // nothing consumed
  ASSERT_EQ(iosSkipToNextByte(s), 0);
  EXPECT_EQ(iosPeekBits(s, 0), 8);
  EXPECT_EQ(iosGetByte(s), 0x43);
  EXPECT_EQ(iosGetByte(s), 0x44);
  EXPECT_EQ(iosGetByte(s), -1);
  iosClose(s);
}

TEST(IosBits, EndOfDataKeepsGatheredBits) {
  Mock in;
  IoStream* s = bufferedOver(&in, "\x05");
  LogCapture cap;
  EXPECT_EQ(iosPeekBits(s, 12), -1);
  EXPECT_TRUE(contains(cap.take(), "iosPeekBits: no data, wanted 12 but have only 8\n"));
  EXPECT_EQ(iosGetBits(s, 12), -1);
  EXPECT_EQ(iosGetBits(s, 3), 5);
  EXPECT_EQ(iosGetBits(s, 5), 0);
  EXPECT_EQ(iosGetBits(s, 1), -1);
  LogCapture cap2(logLevelError);
  EXPECT_EQ(iosPeekBits(s, 25), -1);  // beyond what the reader supports
  EXPECT_TRUE(contains(cap2.take(), "iosPeekBits: 25 bits wanted, at most 24 at once\n"));
  iosClose(s);
}

TEST(IosBits, CountIsTakenModulo256) {
  Mock in;
  IoStream* s = bufferedOver(&in, "\x0F");
  EXPECT_EQ(iosPeekBits(s, 256 + 4), 0xF);
  EXPECT_EQ(iosGetBits(s, 256), 8);  // n = 0: the number of held bits
  EXPECT_EQ(iosGetBits(s, 4), 0xF);
  iosClose(s);
}

// Random field widths 1..24, read back with the input arriving a few bytes
// per read (and all at once), across many refills of a small buffer.
TEST(IosBits, SequenceAcrossRefillsInAnyChunking) {
  std::vector<Field> fields = randomFields(12345, 30000);
  BitWriter w;
  for (const Field& f : fields) w.put(f.value, f.bits);
  w.finish();
  for (uint32_t chunk : {1u, 2u, 3u, 5u, 7u, 4096u, 0u}) {
    Mock in;
    IoStream* s = bufferedOver(&in, w.out, chunk);
    size_t i = 0;
    for (; i < fields.size(); i++) {
      if (i % 3 == 0) {
        int p = iosPeekBits(s, fields[i].bits);
        ASSERT_EQ((uint32_t)p, fields[i].value) << "chunk " << chunk << " field " << i;
      }
      int v = iosGetBits(s, fields[i].bits);
      ASSERT_EQ((uint32_t)v, fields[i].value) << "chunk " << chunk << " field " << i;
    }
    ASSERT_EQ(iosSkipToNextByte(s), 0);
    EXPECT_EQ(iosPeekBits(s, 0), 0);
    EXPECT_EQ(iosGetByte(s), -1);
    if (chunk == 1) {
      EXPECT_GT(in.readCalls, 1000);
    }
    iosClose(s);
  }
}

TEST(IosBits, BytesAfterBitsFollowAlignedReads) {
  BitWriter w;
  w.put(5, 3);
  w.put(0x1234, 13);
  w.finish();
  std::string data = w.out + "tail";
  Mock in;
  IoStream* s = bufferedOver(&in, data, 2);
  EXPECT_EQ(iosGetBits(s, 3), 5);
  EXPECT_EQ(iosGetBits(s, 13), 0x1234);
  EXPECT_EQ(readAll(s), "tail");
  iosClose(s);
}

TEST(IosBits, SkipWrapsBufferedLevelWhenMissing) {
  Mock in;
  IoStream* s = mockInput(&in, "\x81Z");
  ASSERT_EQ(iosSkipToNextByte(s), 0);
  EXPECT_EQ(describe(s), "BufferedInputStream -> MockIn");
  EXPECT_EQ(bis(s)->automatic, 0);
  EXPECT_EQ(iosGetBits(s, 1), 1);
  ASSERT_EQ(iosSkipToNextByte(s), 0);
  EXPECT_EQ(iosGetByte(s), 'Z');
  EXPECT_EQ(iosSkipToNextByte(nullptr), -1);
  iosClose(s);
}

TEST(IosBits, PushBackPutsBitBufferBytesAfterThePushedData) {
  Mock in;
  IoStream* s = bufferedOver(&in, "ABCDEF");
  ASSERT_EQ(iosGetBits(s, 8), 'A');
  ASSERT_EQ(iosPeekBits(s, 8), 'B');  // fast path: B, C and D go to the bit buffer
  EXPECT_EQ(iosPeekBits(s, 0), 24);
  LogCapture cap;
  ASSERT_EQ(iosUnGetData(s, "xy", 2), 0);
  EXPECT_TRUE(contains(cap.take(), "Appending byte 42 out of bitbuffer\n"));
  EXPECT_EQ(iosPeekBits(s, 0), 0);
  EXPECT_EQ(readAll(s), "xyBCDEF");
  iosClose(s);

  Mock in2;
  s = bufferedOver(&in2, "AB");
  ASSERT_EQ(iosGetBits(s, 3), 1);
  LogCapture cap2(logLevelError);
  EXPECT_EQ(iosUnGetData(s, "q", 1), -1);
  EXPECT_TRUE(contains(cap2.take(), "Attempting to unget data with non-aligned byte data present\n"));
  ASSERT_EQ(iosSkipToNextByte(s), 0);
  EXPECT_EQ(readAll(s), "B");  // nothing was pushed
  iosClose(s);
}

TEST(IosBits, WrongLevelIsRefused) {
  Mock in;
  IoStream* s = mockInput(&in, "A");
  LogCapture cap(logLevelError);
  EXPECT_EQ(iosPeekBits(s, 3), -1);
  EXPECT_EQ(iosGetBits(s, 3), -1);
  EXPECT_TRUE(contains(cap.take(), "iosPeekBits needs a BufferedInputStream, not MockIn\n"));
  EXPECT_EQ(iosGetByte(s), 'A');
  iosClose(s);
}

// A decoder that owns a wide bit buffer: take the bits, load bytes
// directly, give back what it did not use; plain reads continue exactly.
TEST(IosDirect, TakeLoadAndGiveBack) {
  std::vector<Field> fields = randomFields(777, 4000);
  BitWriter w;
  for (const Field& f : fields) w.put(f.value, f.bits);
  w.finish();
  std::string data = w.out + "END";
  for (uint32_t chunk : {1u, 3u, 64u, 0u}) {
    Mock in;
    IoStream* s = bufferedOver(&in, data, chunk);
    size_t i = 0;
    while (i < fields.size()) {
      // A few fields through the ordinary bit reader.
      for (size_t k = 0; k < 3 && i < fields.size(); k++, i++)
        ASSERT_EQ((uint32_t)iosGetBits(s, fields[i].bits), fields[i].value) << i;
      // Then a burst through the direct interface.
      uint32_t count = 0;
      uint64_t bits = iosBufferedTakeBits(s, &count);
      for (size_t k = 0; k < 20 && i < fields.size(); k++, i++) {
        while (count < fields[i].bits) {
          const uint8_t* p;
          uint32_t avail;
          ASSERT_EQ(iosBufferedFill(s, &p, &avail), 0);
          ASSERT_GT(avail, 0u);
          uint32_t take = 0;
          while (take < avail && count <= 56) bits |= (uint64_t)p[take++] << count, count += 8;
          iosBufferedConsume(s, take);
        }
        ASSERT_EQ((uint32_t)(bits & ((1u << fields[i].bits) - 1)), fields[i].value) << i;
        bits >>= fields[i].bits;
        count -= fields[i].bits;
      }
      ASSERT_EQ(iosBufferedGiveBack(s, bits, count), 0);
    }
    ASSERT_EQ(iosSkipToNextByte(s), 0);
    EXPECT_EQ(readAll(s), "END") << "chunk " << chunk;
    iosClose(s);
  }
}

TEST(IosDirect, GiveBackInFrontOfOtherBytes) {
  Mock in;
  IoStream* s = bufferedOver(&in, "abcdef");
  const uint8_t* p;
  uint32_t avail = 0;
  ASSERT_EQ(iosBufferedFill(s, &p, &avail), 0);
  ASSERT_EQ(avail, 6u);
  EXPECT_EQ(iosBufferedAvailable(s, &p), 6u);
  iosBufferedConsume(s, 2);
  // 40 bits that did not come from this buffer: 32 stay as bits, one
  // byte is pushed in front.
  uint64_t bits = 0;
  for (int k = 0; k < 5; k++) bits |= (uint64_t)("VWXYZ"[k]) << (8 * k);
  ASSERT_EQ(iosBufferedGiveBack(s, bits, 40), 0);
  EXPECT_EQ(iosPeekBits(s, 0), 32);
  EXPECT_EQ(readAll(s), "VWXYZcdef");
  // A held bit buffer refuses a give-back.
  Mock in2;
  IoStream* t = bufferedOver(&in2, "q");
  ASSERT_EQ(iosGetBits(t, 1), 1);
  LogCapture cap(logLevelError);
  EXPECT_EQ(iosBufferedGiveBack(t, 1, 1), -1);
  EXPECT_EQ(iosBufferedGiveBack(s, 0, 65), -1);
  cap.take();
  iosClose(t);
  iosClose(s);
}

TEST(IosBufferedOutput, LineDecoration) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosSetLineStart(s, "T"), 0);
  EXPECT_EQ(describe(s), "BufferedOutputStream -> MockOut");
  ASSERT_EQ(iosPutByte(s, 'a'), 0);
  ASSERT_EQ(iosPutByte(s, 'b'), 0);
  ASSERT_EQ(iosPutByte(s, '\n'), 0);
  ASSERT_EQ(iosPutByte(s, 'c'), 0);
  ASSERT_EQ(iosPutByte(s, 'd'), 0);
  EXPECT_EQ(out.out, "");
  ASSERT_EQ(iosFlush(s), 0);
  EXPECT_EQ(out.out, "Tab\r\nTcd");
  iosClose(s);
}

TEST(IosBufferedOutput, WriteMatchesPutcAndLineEndChoices) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosWrapBufferedOutputStream(s, 0), 0);
  ASSERT_EQ(iosSetLineStart(s, "> "), 0);
  uint32_t n = 0;
  ASSERT_EQ(iosWrite(s, "one\r\n\ntwo\nthree", 15, &n), 0);
  EXPECT_EQ(n, 15u);
  ASSERT_EQ(iosFlush(s), 0);
  EXPECT_EQ(out.out, "> one\r\r\n> \r\n> two\r\n> three");
  out.out.clear();
  ASSERT_EQ(iosSetLineEnd(s, ""), 0);
  ASSERT_EQ(iosSetLineStart(s, ""), 0);
  ASSERT_EQ(iosWriteString(s, "x\ny\n", nullptr), 0);
  ASSERT_EQ(iosFlush(s), 0);
  EXPECT_EQ(out.out, "xy");
  iosClose(s);
}

TEST(IosBufferedOutput, HandsOnAtLineEndPastFlushSize) {
  Mock out;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosWrapBufferedOutputStream(s, 0), 0);
  std::string big(40000, 'b');
  ASSERT_EQ(iosWrite(s, big.data(), (uint32_t)big.size(), nullptr), 0);
  EXPECT_EQ(out.out.size(), 0u);  // no line end yet, however long
  ASSERT_EQ(iosWrite(s, "\nrest", 5, nullptr), 0);
  EXPECT_EQ(out.out, big + "\r\n");
  uint64_t pos = 0;
  {
    LogCapture cap(logLevelError);
    EXPECT_EQ(iosGetSeek(s, &pos), -1);  // the mock cannot tell, but getseek flushed first
    EXPECT_TRUE(contains(cap.take(), "Performing iosGetSeek operation on MockOut IoStream without seek mechanism\n"));
  }
  EXPECT_EQ(out.out, big + "\r\nrest");
  // Shrinking the flush size through a second wrap.
  ASSERT_EQ(iosWrapBufferedOutputStream(s, 100000), 0);
  EXPECT_EQ(static_cast<IosBufferedOutputState*>(s->state)->flushSize, 100000u);
  iosClose(s);
}

TEST(IosBufferedOutput, FailuresAndMessages) {
  LogCapture cap(logLevelError);
  EXPECT_EQ(iosSetLineEnd(nullptr, "x"), -1);
  EXPECT_EQ(iosSetLineStart(nullptr, "x"), -1);
  Mock in;
  IoStream* r = iosNewLevel(&in, &mockInOps);
  EXPECT_EQ(iosWrapBufferedOutputStream(r, 0), -1);
  EXPECT_EQ(iosSetLineEnd(r, "x"), -1);
  std::string log = cap.take();
  EXPECT_TRUE(contains(log, "iosSetLineEnd only supported on iosBufferedOutput\n"));
  EXPECT_TRUE(contains(log, "iosSetLineStart only supported on iosBufferedOutput\n"));
  EXPECT_TRUE(contains(log, "Performing open buffer operation on IoStream without write mechanism\n"));
  EXPECT_EQ(describe(r), "MockIn");
  iosClose(r);

  // A failing flush still empties the buffer and reports the failure.
  Mock out;
  out.failWriteAt = 0;
  IoStream* s = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosWrapBufferedOutputStream(s, 0), 0);
  ASSERT_EQ(iosWriteString(s, "lost", nullptr), 0);
  EXPECT_EQ(iosFlush(s), -1);
  ASSERT_EQ(iosWriteString(s, "kept", nullptr), 0);
  EXPECT_EQ(iosFlush(s), 0);
  EXPECT_EQ(out.out, "kept");
  out.closeResult = -1;
  EXPECT_NE(iosClose(s), 0);
}

TEST(IosLimited, ReadsAndWritesAreCounted) {
  Mock in;
  IoStream* s = mockInput(&in, "abcdefgh", 2);
  LogCapture cap;
  ASSERT_EQ(iosWrapLimitedIoStream(s, 2, 0), 0);
  EXPECT_TRUE(contains(cap.take(), "wrapped limit for 2 reads and 0 writes\n"));
  EXPECT_EQ(readAll(s), "abcd");
  char b[4];
  uint32_t n = 7;
  EXPECT_EQ(iosRead(s, b, 4, &n), 0);
  EXPECT_EQ(n, 0u);
  iosClose(s);
  EXPECT_EQ(in.closeCalls, 1);

  Mock all;
  s = mockInput(&all, pattern(1000), 10);
  ASSERT_EQ(iosWrapLimitedIoStream(s, -1, -1), 0);
  EXPECT_EQ(readAll(s), all.in);
  iosClose(s);

  Mock out;
  s = iosNewLevel(&out, &mockOutOps);
  ASSERT_EQ(iosWrapLimitedIoStream(s, 0, 2), 0);
  EXPECT_EQ(iosWrite(s, "1", 1, &n), 0);
  EXPECT_EQ(iosWrite(s, "2", 1, &n), 0);
  EXPECT_EQ(iosWrite(s, "3", 1, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out.out, "12");
  iosClose(s);
}

TEST(IosFiles, PushBackIntoAnOsFileStream) {
  std::string path = (scratchDir() / "os.bin").string();
  std::string data = pattern(5000);
  ASSERT_EQ(iosWriteFile(path.c_str(), osFileModeWrite, data.data(), (uint32_t)data.size()), 0);
  IoStream* s = osFileOpen(path.c_str(), osFileModeRead, osFileTypePlain, nullptr, false, false);
  ASSERT_NE(s, nullptr);
  std::string fileType = osFileStreamOps.name;
  char buf[100];
  ASSERT_EQ(iosReadFully(s, buf, 100), 0);
  {
    LogCapture cap;
    ASSERT_EQ(iosUnGetData(s, buf + 90, 10), 0);
    EXPECT_TRUE(contains(cap.take(), "Make ios " + fileType + " unget capable by wrapping iosBufferedInputStream\n"));
  }
  EXPECT_EQ(describe(s), "BufferedInputStream -> " + fileType);
  ASSERT_EQ(iosReadFully(s, buf, 10), 0);
  EXPECT_EQ(std::string(buf, 10), data.substr(90, 10));
  EXPECT_EQ(describe(s), fileType);
  EXPECT_EQ(readAll(s), data.substr(100));
  EXPECT_EQ(iosClose(s), 0);
}

TEST(IosFiles, WriteFileFailsWithoutDirectory) {
  std::string path = (scratchDir() / "missing" / "x.bin").string();
  testing::internal::CaptureStderr();
  EXPECT_EQ(iosWriteFile(path.c_str(), osFileModeWrite, "x", 1), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(std::filesystem::exists(path));
}
