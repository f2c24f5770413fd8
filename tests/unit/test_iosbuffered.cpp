// Buffered input with push-back and the bit reader, the direct byte access of fast decoders, buffered output with line
// decoration, and the limited level.
#include <gtest/gtest.h>

#include "osfile.h"
#include "test_ios_helpers.h"

using namespace iostest;

namespace {

IosBufferedInputState* bis(IoStream* s) { return static_cast<IosBufferedInputState*>(s->state); }

}  // namespace

// The level a push-back adds on its own hands out only what it holds, and a
// seek drops it without faking the end of data.
TEST(IosBufferedInput, AutomaticLevelHandsOutOnlyWhatItHolds) {
  for (bool seek : {false, true}) {
    MockStream in("abcdef", 0);
    ASSERT_EQ(iosUnGetData(in, "XY", 2), 0);
    ASSERT_EQ(seek ? iosSeek(in, 3) : 0, 0);
    // No seek: nothing read below.
    EXPECT_EQ((std::tuple{in.m.seeks.size(), readSome(in, 10), seek || in.m.readCalls == 0, describe(in)}),
              std::tuple(seek ? 1u : 0u, seek ? "def" : "XY", true, "MockIn"));
  }
}

TEST(IosBufferedInput, PushBackKeepsOrderOverSeveralNodesAndRefillFailure) {
  MockStream in("0123456789", 0, true);
  EXPECT_EQ(readSome(in, 4), "0123");
  ASSERT_EQ(
      (std::tuple{iosUnGetData(in, "c", 1), iosUnGetData(in, "ab", 2), iosUnGetByte(in, '_'), iosUnGetData(in, "", 0)}),
      std::tuple(0, 0, 0, 0));
  EXPECT_EQ(readAll(in), "_abc456789");
  MockStream refill("abcdef", 4, true);
  refill.m.failReadAt = 1;
  // One refill; the read does not wait for more once bytes were delivered.
  for (const char* want : {"abcd", "<fail>", "ef", ""}) EXPECT_EQ(readSome(refill, 10), want);
}

TEST(IosBufferedInput, SecondWrapKeepsLargerSizeAndMakesPermanent) {
  MockStream in("abc", 0);
  ASSERT_EQ((std::tuple{iosUnGetData(in, "z", 1), bis(in)->automatic}), std::tuple(0, 1));
  ASSERT_EQ(iosWrapBufferedInputStream(in, 100000), 0);
  EXPECT_EQ(std::tuple(bis(in)->automatic, bis(in)->refillSize), std::tuple(0, 100000u));
  expectText(logOf(logLevelTrace, [&] { ASSERT_EQ(iosWrapBufferedInputStream(in, 40000), 0); }),
             {"iosWrapBufferedInputStream: already in place, buffer 100000->100000\n"});
  EXPECT_EQ(std::tuple(bis(in)->refillSize, describe(in)), std::tuple(100000u, "BufferedInputStream -> MockIn"));
  EXPECT_EQ((std::tuple{readAll(in), describe(in)}), std::tuple("zabc", "BufferedInputStream -> MockIn"));  // permanent
  EXPECT_EQ((std::tuple{in.close(), in.m.largestRead, in.m.closeCalls}), std::tuple(0, 100000u, 1));

  MockStream small(&mockInOps);
  ASSERT_EQ((std::tuple{iosWrapBufferedInputStream(small, 10), bis(small)->refillSize}), std::tuple(0, 32768u));
}

TEST(IosBufferedInput, CanReadAndSeekDiscard) {
  MockStream in("abcdef", 0, true);
  // After the first byte, buffered bytes remain.
  EXPECT_EQ((std::tuple{iosCanRead(in, 0), iosGetByte(in), iosCanRead(in, 0)}), std::tuple(0, 'a', 0));
  expectText(logOf(logLevelTrace, [&] { ASSERT_EQ(iosSeek(in, 4), 0); }),
             {"Seeking to offset 4 caused flush of 5 buffered bytes\n"});
  EXPECT_EQ((std::tuple{readAll(in), iosCanRead(in, 0) != 0}), std::tuple("ef", true));
  uint64_t pos = 0;
  EXPECT_EQ((std::tuple{iosGetSeek(in, &pos), pos}), std::tuple(0, 6u));  // the position of the level below
}

// Once a seek has told the level where it is, a seek into the bytes it holds
// is served from them (an archive's next entry usually lies in the last
// read); anything else, or bytes pushed back, goes to the level below.
TEST(IosBufferedInput, SeekIntoWhatIsHeldIsServedFromIt) {
  std::string data;
  for (int i = 0; i < 200; i++) data += (char)('!' + i % 90);
  MockStream in(data, 100, true);
  struct Step {
    uint64_t at;
    const char* unget;  // pushed back before the seek, or null
    bool below;         // the seek reaches the level below
  } steps[] = {{0, nullptr, true},    {150, nullptr, true},  {120, nullptr, true}, {190, nullptr, false},
               {125, nullptr, false}, {200, nullptr, false}, {130, "xy", true},    {140, nullptr, false}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at);
    ASSERT_EQ(s.unget ? iosUnGetData(in, s.unget, 2) : 0, 0);
    const size_t before = in.m.seeks.size();
    ASSERT_EQ(iosSeek(in, s.at), 0);
    EXPECT_EQ(in.m.seeks.size() - before, s.below ? 1u : 0u);
    EXPECT_EQ(readSome(in, 7), data.substr(s.at, 7));
  }
  iosGetBits(in, 3);  // bits taken and not consumed are dropped
  ASSERT_EQ(iosSeek(in, 160), 0);
  EXPECT_EQ((std::tuple{readAll(in), in.m.seeks.size()}), std::tuple(data.substr(160), 4u));
}

TEST(IosBits, MisalignedByteReadThenSkipAndEndOfDataKeepsGatheredBits) {
  MockStream in(std::string("\xFF\x81\x42\x43\x44", 5), 0, true);
  // The third get takes the fast path: three bytes at once, then 13 bits are left.
  runBits(in, {{'g', 3, 7}, {'g', 5, 0x1F}, {'g', 3, 1}, {'p', 0, 21}, {'g', 8, 0x50}, {'p', 0, 13}});
  expectText(logOf(logLevelError, [&] { EXPECT_EQ(readSome(in, 1), "<fail>"); }),
             {"Attempting to read non-aligned byte data\n"});
  // Nothing was consumed by the refused read.
  runBits(in, {{'p', 0, 13}, {'s', 0, 0}, {'p', 0, 8}, {'b', 0, 0x43}, {'b', 0, 0x44}, {'b', 0, -1}});
  MockStream end("\x05", 0, true);
  expectText(logOf(logLevelTrace, [&] { EXPECT_EQ(iosPeekBits(end, 12), -1); }),
             {"iosPeekBits: no data, wanted 12 but have only 8\n"});
  runBits(end, {{'g', 12, -1}, {'g', 3, 5}, {'g', 5, 0}, {'g', 1, -1}});
  expectText(logOf(logLevelError, [&] { EXPECT_EQ(iosPeekBits(end, 25), -1); }),
             {"iosPeekBits: 25 bits wanted, at most 24 at once\n"});
  // A count of 256 is 0: the number of bits held.
  MockStream mod("\x0F", 0, true);
  runBits(mod, {{'p', 256 + 4, 0xF}, {'g', 256, 8}, {'g', 4, 0xF}});
}

TEST(IosBits, PushBackPutsBitBufferBytesAfterThePushedDataAndNeedsABufferedLevel) {
  MockStream in("ABCDEF", 0, true);
  // The peek takes the fast path: B, C and D go to the bit buffer.
  runBits(in, {{'g', 8, 'A'}, {'p', 8, 'B'}, {'p', 0, 24}});
  expectText(logOf(logLevelTrace, [&] { ASSERT_EQ(iosUnGetData(in, "xy", 2), 0); }),
             {"Appending byte 42 out of bitbuffer\n"});
  EXPECT_EQ((std::tuple{iosPeekBits(in, 0), readAll(in)}), std::tuple(0, "xyBCDEF"));

  MockStream odd("AB", 0, true);
  ASSERT_EQ(iosGetBits(odd, 3), 1);
  expectText(logOf(logLevelError, [&] { EXPECT_EQ(iosUnGetData(odd, "q", 1), -1); }),
             {"Attempting to unget data with non-aligned byte data present\n"});
  EXPECT_EQ((std::tuple{iosSkipToNextByte(odd), readAll(odd)}), std::tuple(0, "B"));  // nothing was pushed
  // Without a buffered level the bit reader refuses and consumes nothing; skipping to the next byte wraps one.
  MockStream bare("\x81Z", 0);
  const std::string log = logOf(logLevelError, [&] { runBits(bare, {{'p', 3, -1}, {'g', 3, -1}}); });
  expectText(log, {"iosPeekBits needs a BufferedInputStream, not MockIn\n"});
  ASSERT_EQ((std::tuple{iosSkipToNextByte(bare), describe(bare), bis(bare)->automatic}),
            std::tuple(0, "BufferedInputStream -> MockIn", 0));
  runBits(bare, {{'g', 1, 1}, {'s', 0, 0}, {'b', 0, 'Z'}});
  EXPECT_EQ(iosSkipToNextByte(nullptr), -1);
}

TEST(IosDirect, GiveBackInFrontOfOtherBytes) {
  MockStream in("abcdef", 0, true);
  const uint8_t* p;
  uint32_t avail = 0;
  ASSERT_EQ((std::tuple{iosBufferedFill(in, &p, &avail), avail, iosBufferedAvailable(in, &p)}), std::tuple(0, 6u, 6u));
  iosBufferedConsume(in, 2);
  // 40 bits that did not come from this buffer: 32 stay as bits, one byte is pushed in front.
  const uint64_t bits = 0x5A59585756;  // "VWXYZ", first byte lowest
  EXPECT_EQ((std::tuple{iosBufferedGiveBack(in, bits, 40), iosPeekBits(in, 0), readAll(in)}),
            std::tuple(0, 32, "VWXYZcdef"));
  // A held bit buffer refuses a give-back, and so does a count past 64.
  MockStream held("q", 0, true);
  ASSERT_EQ(iosGetBits(held, 1), 1);
  logOf(logLevelError, [&] {
    EXPECT_EQ(std::tuple(iosBufferedGiveBack(held, 1, 1), iosBufferedGiveBack(in, 0, 65)), std::tuple(-1, -1));
  });
}

// Line start and end texts on one stream, changed between the rows; the first row's line start wraps the buffered level
// itself. Each row leaves the stream mid-line, so the next row's first line gets no line start.
TEST(IosBufferedOutput, LineDecoration) {
  static const struct {
    const char *start, *end;  // end null: left as it is
    bool byPutc;
    const char *in, *out;
  } cases[] = {{"T", nullptr, true, "ab\ncd", "Tab\r\nTcd"},
               {"> ", nullptr, false, "one\r\n\ntwo\nthree", "one\r\r\n> \r\n> two\r\n> three"},
               {"", "", false, "x\ny\n", "xy"}};
  MockStream out;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    out.m.out.clear();
    ASSERT_EQ(iosSetLineStart(out, c.start), 0);
    ASSERT_EQ(c.end ? iosSetLineEnd(out, c.end) : 0, 0);
    EXPECT_EQ(describe(out), "BufferedOutputStream -> MockOut");
    uint32_t n = 0, len = (uint32_t)strlen(c.in);
    for (uint32_t i = 0; c.byPutc && i < len; i++) ASSERT_EQ(iosPutByte(out, c.in[i]), 0);
    ASSERT_EQ(c.byPutc ? 0 : iosWrite(out, c.in, len, &n), 0);
    EXPECT_EQ(std::tuple(n, out.m.out), std::tuple(c.byPutc ? 0u : len, ""));
    EXPECT_EQ((std::tuple{iosFlush(out), out.m.out}), std::tuple(0, c.out));
  }
}

TEST(IosBufferedOutput, FailuresMessagesAndHandingOnAtLineEndOrPastTheLineLimit) {
  MockStream r(&mockInOps);
  std::string log = logOf(logLevelError, [&] {
    EXPECT_EQ((std::tuple{iosSetLineEnd(nullptr, "x"), iosSetLineStart(nullptr, "x"), iosWrapBufferedOutputStream(r, 0),
                          iosSetLineEnd(r, "x")}),
              std::tuple(-1, -1, -1, -1));
  });
  expectText(log, {"iosSetLineEnd only supported on iosBufferedOutput\n",
                   "iosSetLineStart only supported on iosBufferedOutput\n",
                   "Performing open buffer operation on IoStream without write mechanism\n"});
  EXPECT_EQ(describe(r), "MockIn");

  // A failing flush still empties the buffer and reports the failure.
  MockStream out;
  out.m.failWriteAt = 0;
  ASSERT_EQ(iosWrapBufferedOutputStream(out, 0), 0);
  EXPECT_EQ((std::tuple{iosWriteString(out, "lost", nullptr), iosFlush(out)}), std::tuple(0, -1));
  EXPECT_EQ((std::tuple{iosWriteString(out, "kept", nullptr), iosFlush(out), out.m.out}), std::tuple(0, 0, "kept"));
  out.m.closeResult = -1;
  EXPECT_NE(out.close(), 0);
  MockStream lines;
  ASSERT_EQ(iosWrapBufferedOutputStream(lines, 0), 0);
  std::string big(40000, 'b');
  // No line end yet, however long.
  ASSERT_EQ((std::tuple{iosWrite(lines, big.data(), (uint32_t)big.size(), nullptr), lines.m.out.size()}),
            std::tuple(0, 0u));
  ASSERT_EQ((std::tuple{iosWrite(lines, "\nrest", 5, nullptr), lines.m.out}), std::tuple(0, big + "\r\n"));
  uint64_t pos = 0;
  // The mock cannot tell its position, but getseek flushed first.
  expectText(logOf(logLevelError, [&] { EXPECT_EQ(iosGetSeek(lines, &pos), -1); }),
             {"Performing iosGetSeek operation on MockOut IoStream without seek mechanism\n"});
  EXPECT_EQ(lines.m.out, big + "\r\nrest");
  // A line without end is handed on in pieces past a limit; the buffer does not grow with it.
  std::string huge(3u << 20, 'h');
  lines.m.out.clear();
  ASSERT_EQ(iosWrite(lines, huge.data(), (uint32_t)huge.size(), nullptr), 0);
  const uint32_t held = static_cast<IosBufferedOutputState*>(lines.s->state)->buffer.capacity;
  EXPECT_TRUE(held <= (4u << 20) && lines.m.out.size() >= (1u << 20)) << held << " held, " << lines.m.out.size();
  EXPECT_EQ((std::tuple{iosFlush(lines), lines.m.out == huge}), std::tuple(0, true));
  // Shrinking the flush size through a second wrap.
  EXPECT_EQ((std::tuple{iosWrapBufferedOutputStream(lines, 100000),
                        static_cast<IosBufferedOutputState*>(lines.s->state)->flushSize}),
            std::tuple(0, 100000u));
}

TEST(IosLimited, ReadsAndWritesAreCounted) {
  MockStream in("abcdefgh", 2);
  expectText(logOf(logLevelTrace, [&] { ASSERT_EQ(iosWrapLimitedIoStream(in, 2, 0), 0); }),
             {"wrapped limit for 2 reads and 0 writes\n"});
  EXPECT_EQ((std::tuple{readAll(in), readSome(in, 4)}), std::tuple("abcd", ""));
  EXPECT_EQ((std::tuple{in.close(), in.m.closeCalls}), std::tuple(0, 1));

  MockStream all(pattern(1000), 10);
  EXPECT_EQ((std::tuple{iosWrapLimitedIoStream(all, -1, -1), readAll(all)}), std::tuple(0, all.m.in));

  MockStream out;
  ASSERT_EQ(iosWrapLimitedIoStream(out, 0, 2), 0);
  uint32_t n = 7;
  for (const char* c : {"1", "2", "3"}) EXPECT_EQ(iosWrite(out, c, 1, &n), 0);
  EXPECT_EQ(std::tuple(n, out.m.out), std::tuple(0u, "12"));
}

TEST(IosFiles, PushBackIntoAnOsFileStreamAndWriteFailure) {
  std::string path = (scratchDir() / "os.bin").string();
  std::string data = pattern(5000);
  ASSERT_EQ(iosWriteFile(path.c_str(), osFileModeWrite, data.data(), (uint32_t)data.size()), 0);
  IoStream* s = osFileOpen(path.c_str(), osFileModeRead, osFileTypePlain, nullptr, false, false);
  ASSERT_NE(s, nullptr);
  std::string fileType = osFileStreamOps.name;
  char buf[100];
  ASSERT_EQ(iosReadFully(s, buf, 100), 0);
  const std::string wrapped = "Make ios " + fileType + " unget capable by wrapping iosBufferedInputStream\n";
  expectText(logOf(logLevelTrace, [&] { ASSERT_EQ(iosUnGetData(s, buf + 90, 10), 0); }), {wrapped.c_str()});
  EXPECT_EQ((std::tuple{describe(s), readSome(s, 10), describe(s), readAll(s), iosClose(s)}),
            std::tuple("BufferedInputStream -> " + fileType, data.substr(90, 10), fileType, data.substr(100), 0));

  // Writing into a folder that does not exist fails and leaves nothing.
  path = (scratchDir() / "missing" / "x.bin").string();
  testing::internal::CaptureStderr();
  EXPECT_EQ((std::tuple{iosWriteFile(path.c_str(), osFileModeWrite, "x", 1), std::filesystem::exists(path)}),
            std::tuple(-1, false));
  testing::internal::GetCapturedStderr();
}
