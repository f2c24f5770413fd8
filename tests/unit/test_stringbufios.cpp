// StringBuffer with streams (the "StringBufferIoStream" type, appending from a stream) and the date pattern formatter.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <vector>

#include "test_ios_helpers.h"

using iostest::readSome;
using iostest::writeSome;

namespace {

// Milliseconds of a local calendar time.
uint64_t localMs(int y, int mo, int d, int h, int mi, int s, int ms) {
  struct tm tm = {};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
  tm.tm_isdst = -1;
  return (uint64_t)mktime(&tm) * 1000 + (uint64_t)ms;
}

// The time formatted by each pattern.
std::vector<std::string> dates(uint64_t ms, std::initializer_list<const char*> patterns) {
  std::vector<std::string> out;
  for (const char* p : patterns) {
    Sb sb;
    EXPECT_EQ(sbAppendDateFormat(&sb, ms, p), 0) << p;
    out.push_back(sbText(&sb));
  }
  return out;
}

std::string writeFile(const std::filesystem::path& dir, const char* name, const std::string& bytes) {
  std::filesystem::path p = dir / name;
  std::ofstream(p, std::ios::binary) << bytes;
  return p.string();
}

}  // namespace

TEST(StringBufStream, ReadGetcSeekEndAndUnget) {
  Sb in("hello world");
  IoStream* s = sbStringBufferIoStream(&in, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::tuple(s->ops, std::string(iosTypeName(s))), std::tuple(&sbIoStreamReadOps, "StringBufferIoStream"));
  EXPECT_EQ((std::tuple{readSome(s, 5), iosGetByte(s)}), std::tuple("hello", ' '));
  uint64_t pos = 0;
  EXPECT_EQ((std::tuple{iosGetSeek(s, &pos), pos, iosCanRead(s, 0)}), std::tuple(0, 6u, 0));
  EXPECT_EQ((std::tuple{readSome(s, 8), readSome(s, 8), iosGetByte(s), iosCanRead(s, 0) != 0}),
            std::tuple("world", "", -1, true));
  // The length itself is refused.
  EXPECT_EQ((std::tuple{iosSeek(s, 11), iosSeek(s, 1ull << 32), iosSeek(s, 10), iosGetByte(s)}),
            std::tuple(-1, -1, 0, 'd'));
  EXPECT_EQ((std::tuple{iosWrite(s, "x", 1, nullptr), iosClose(s)}), std::tuple(-1, 0));
  EXPECT_STREQ(sbGet(&in), "hello world");  // the buffer stays the caller's
  // Unget puts bytes back.
  Sb unget("abcdef");
  IoStream* u = sbStringBufferIoStream(&unget, nullptr);
  EXPECT_EQ((std::tuple{readSome(u, 3), iosUnGetData(u, "XY", 2), readSome(u, 4), iosUnGetData(u, "123456789", 9)}),
            std::tuple("abc", 0, "XYde", -1));
  iosClose(u);
  // A fixed view's bytes are not overwritten: only the bytes read go back.
  const char bytes[] = "fixed";
  StringBuffer view;
  sbInitFixedHere(&view, bytes, 5);
  IoStream* f = sbStringBufferIoStream(&view, nullptr);
  EXPECT_EQ((std::tuple{readSome(f, 2), iosUnGetData(f, "zz", 2), iosUnGetData(f, "fi", 2), iosGetByte(f)}),
            std::tuple("fi", -1, 0, 'f'));
  iosClose(f);
}

TEST(StringBufStream, SharedBufferDropsReadBytesBeforeWritingAndWriteOnlyRefusesReads) {
  Sb rw("0123456789");
  IoStream* s = sbStringBufferIoStream(&rw, &rw);
  EXPECT_EQ((std::tuple{s->ops, readSome(s, 5)}), std::tuple(&sbIoStreamReadWriteOps, "01234"));
  EXPECT_EQ((std::tuple{writeSome(s, "abc"), sbText(&rw), iosGetByte(s), iosFlush(s)}),
            std::tuple("3", "56789abc", '5', 0));
  iosClose(s);
  Sb out;
  IoStream* w = sbStringBufferIoStream(nullptr, &out);
  EXPECT_EQ((std::tuple{w->ops, iosPrintf(w, "%s=%d", "n", 5), iosWriteString(w, ";", nullptr), sbText(&out)}),
            std::tuple(&sbIoStreamWriteOps, 0, 0, "n=5;"));
  uint32_t got = 0;  // reads fail: there is no read mechanism
  EXPECT_EQ((std::tuple{iosGetByte(w), readSome(w, 2), iosRead(w, nullptr, 0, &got)}), std::tuple(-1, "<fail>", -1));
  iosClose(w);
  EXPECT_EQ(sbStringBufferIoStream(nullptr, nullptr), nullptr);
}

TEST(StringBufStream, AppendInputStreamAndIosRead) {
  const std::string big = "A" + std::string(19998, 'z') + "Z";
  Sb src(big.c_str());
  IoStream* s = sbStringBufferIoStream(&src, nullptr);
  Sb dst("<");
  uint32_t got = 0;
  EXPECT_EQ((std::tuple{sbAppendInputStream(&dst, s, 10, &got), got, sbGetLength(&dst)}), std::tuple(0, 10u, 11u));
  EXPECT_EQ((std::tuple{sbAppendInputStream(&dst, s, 0, &got), got}), std::tuple(0, 19990u));  // to the end
  EXPECT_EQ(std::tuple(sbText(&dst), sbGet(&dst)[sbGetLength(&dst)]), std::tuple("<" + big, 0));
  EXPECT_EQ((std::tuple{sbAppendInputStream(&dst, s, 5, &got), got}), std::tuple(0, 0u));  // end of data
  iosSeek(s, 19998);
  Sb one;
  EXPECT_EQ(sbAppendIosRead(&one, s, 0, &got), -1);
  EXPECT_EQ((std::tuple{sbAppendIosRead(&one, s, 100, &got), got, sbText(&one)}), std::tuple(0, 2u, "zZ"));
  iosClose(s);
}

// Letters without a meaning stay; the ISO week of 2024-12-31 is week 1 of 2025.
TEST(StringBufDate, Patterns) {
  EXPECT_EQ(dates(localMs(2025, 1, 29, 14, 5, 9, 7), {"yyyy-MM-dd HH:mm:ss.SSS", "yy", "y-M-d H", "D", "h K k W",
                                                      "'at' HH 'o''clock'", "''", "G", "xx-qq", "E EEEE MMM F", "ww"}),
            (std::vector<std::string>{"2025-01-29 14:05:09.007", "25", "25-1-29 14", "29", "2 2 14 4", "at 14 o'clock",
                                      "'", "AD", "xx-qq", "3 Wednesday Jan 3", "05"}));
  const std::vector<std::string> midnight = dates(localMs(2024, 12, 31, 0, 0, 0, 0), {"h k H K", "D", "w", "Z"});
  EXPECT_EQ(std::vector(midnight.begin(), midnight.begin() + 3), (std::vector<std::string>{"12 24 0 0", "366", "01"}));
  ASSERT_EQ(midnight[3].size(), 5u);
  EXPECT_TRUE(midnight[3][0] == '+' || midnight[3][0] == '-');
}

// A file appended as it stands, and read as text with or without a byte-order mark: without one the file data set
// applies; it defaults to the internal one, so the bytes come through unchanged.
TEST(StringBufFile, AppendAndReadText) {
  auto dir = testFreshDir("stringbuf");
  std::string bytes(70000, 'b');
  bytes[5] = 0;
  Sb sb("head:");
  EXPECT_EQ(sbAppendFile(&sb, writeFile(dir, "data.bin", bytes).c_str()), 0);
  EXPECT_EQ(sbText(&sb), "head:" + bytes);
  EXPECT_EQ((std::tuple{sbAppendFile(&sb, (dir / "missing").string().c_str()), sbGetLength(&sb)}),
            std::tuple(-1, 5u + 70000u));
  const struct {
    std::string bytes, text;
  } cases[] = {{"\xEF\xBB\xBFgr\xC3\xBC\xC3\x9F", "gr\xC3\xBC\xC3\x9F"},
               {std::string("\xFF\xFEh\0\xFC\0", 6), "h\xC3\xBC"},
               {std::string("\xFE\xFF\0h\0i", 6), "hi"},
               {"plain h\xC3\xA9", "plain h\xC3\xA9"}};
  for (const auto& c : cases) {
    Sb text;
    EXPECT_EQ((std::tuple{sbReadTextFile(&text, writeFile(dir, "t.txt", c.bytes).c_str()), sbText(&text)}),
              std::tuple(0, c.text));
  }
  Sb none;
  EXPECT_EQ(sbReadTextFile(&none, (dir / "missing.txt").string().c_str()), -1);
  std::filesystem::remove_all(dir);
}
