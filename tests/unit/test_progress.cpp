// Progress line: its text, the redraw limit under a test clock, and its place among log records on a console.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>

#include "iostream.h"
#include "logging.h"
#include "logoutput.h"
#include "memory.h"
#include "progress.h"
#include "test_ios_helpers.h"
#include "test_zip_helpers.h"
#include "zip.h"

using namespace ziptest;

namespace {

constexpr uint64_t mb = 1024 * 1024;

TEST(ProgressFormat, CountsPercentRateAndWidth) {
  struct Case {
    ProgressCounts counts;
    uint32_t width;
    const char* want;
  } const cases[] = {
      {{3, 10, mb / 2, 2 * mb, 3 * mb / 2}, 80, "Extracting 3/10 entries, 0.5/2.0 MB, 25%, 1.5 MB/s"},
      {{4, 8, 0, 0, 0}, 80, "Extracting 4/8 entries, 0.0/0.0 MB, 50%, 0.0 MB/s"},  // no bytes: by entries
      {{9, 9, 5 * mb, 4 * mb, 0}, 80, "Extracting 9/9 entries, 5.0/4.0 MB, 100%, 0.0 MB/s"},
      {{3, 10, mb / 2, 2 * mb, 0}, 21, "Extracting 3/10 entr"},  // one column short of the width
      {{0, 0, 0, 0, 0}, 1, ""}};
  for (const Case& c : cases) {
    char buf[160];
    const uint32_t n = progressFormat(buf, sizeof buf, &c.counts, c.width);
    EXPECT_EQ((std::tuple{std::string(buf, n), strlen(buf)}), (std::tuple{c.want, n}));
  }
}

uint64_t fakeNow = 0;

// The log goes to "stderr", which is a console of the test's width.
class ProgressConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    savedStream = std::exchange(logOut.stream, stream = iosNewLevel(&console, &iostest::mockOutOps));
    savedFile = std::exchange(logOut.currentFile, memStrDup("stderr"));
    progressClock = [] { return fakeNow; };
    progressConsoleWidth = []() -> uint32_t { return 100; };
    fakeNow = 1000000;
    logParseLevels("info");
  }
  void TearDown() override {
    progressEnd();
    memFree(std::exchange(logOut.currentFile, savedFile));
    logOut.stream = savedStream;
    iosClose(stream);
    logParseLevels(nullptr);
  }
  // Advances the clock by `ms` in steps of `step`, adding `bytes` each step.
  void run(uint64_t ms, uint64_t step, uint64_t bytes) {
    for (uint64_t t = 0; t < ms; t += step) {
      fakeNow += step;
      progressAdvance(bytes);
    }
  }
  size_t draws() const {
    size_t n = 0;
    for (size_t at = text.find("\rExtracting"); at != std::string::npos; at = text.find("\rExtracting", at + 1)) n++;
    return n;
  }
  iostest::Mock console;
  std::string& text = console.out;  // what the console shows
  IoStream* stream = nullptr;
  IoStream* savedStream = nullptr;
  char* savedFile = nullptr;
};

TEST_F(ProgressConsole, RedrawsAtMostFiveTimesASecondWithTheCurrentRate) {
  progressBegin(4, 8 * mb);
  run(1000, 10, mb / 100);  // 1 MB/s for a second: 100 advances
  EXPECT_EQ(draws(), 5u) << text;
  run(1000, 10, mb / 50);  // then 2 MB/s
  EXPECT_EQ(draws(), 10u);
  EXPECT_EQ(text.substr(text.rfind('\r')), "\rExtracting 0/4 entries, 3.0/8.0 MB, 37%, 2.0 MB/s");
}

TEST_F(ProgressConsole, RecordsEraseTheLineFirstAndRedrawItAfter) {
  progressBegin(4, 8 * mb);
  run(200, 200, mb);
  progressEntriesDone(1);
  ASSERT_EQ(draws(), 1u);
  const std::string line = "Extracting 0/4 entries, 1.0/8.0 MB, 12%, 5.0 MB/s";
  EXPECT_EQ(text, "\r" + line);
  text.clear();
  logInfo(logCatSfx, "two\nlines\n");
  const std::string erase = "\r" + std::string(line.size(), ' ') + "\r";
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, std::regex("(\r +\r)(INFO [^\r]* - two\nINFO [^\r]* - lines\n)(\r.*)")))
      << text;
  EXPECT_EQ((std::tuple{m[1].str(), m[3].str()}), (std::tuple{erase, "\r" + line}));
  text.clear();
  progressEnd();  // erased for good
  EXPECT_EQ(text, erase);
  text.clear();
  logInfo(logCatSfx, "after\n");
  run(400, 200, mb);
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
}

TEST_F(ProgressConsole, WalkTotalsCountTheSelectedEntriesAndTheirZip64Sizes) {
  Archive a(std::vector<Entry>{{.name = "d/"},
                               {.name = "d/a.txt", .data = std::string(mb, 'a')},
                               {.name = "register.properties", .data = "x=1"},
                               {.name = "d/big.bin",
                                .data = "abc",
                                .extra = extraBlock(1, fields("8", {5ull << 30})),
                                .sizeDelta = 0xFFFFFFFFll - 3}});
  ASSERT_NE(a.zip, nullptr);
  // Pattern (null: all) and the totals it gives.
  const char* const cases[][2] = {{nullptr, "0/4 entries, 0.0/5121.0 MB"},
                                  {"!register.properties", "0/3 entries, 0.0/5121.0 MB"},
                                  {"*.txt", "0/1 entries, 0.0/1.0 MB"}};
  for (const auto& c : cases) {
    text.clear();
    zipProgressBegin(a.zip, c[0]);
    fakeNow += 200;
    progressAdvance(0);
    progressEnd();
    EXPECT_NE(text.find(c[1]), std::string::npos) << (c[0] ? c[0] : "<all>") << ": " << text;
  }
}

}  // namespace
