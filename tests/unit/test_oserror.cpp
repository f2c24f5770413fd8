// OS error texts and reports: trimming, the per-thread text, the fallback
// without a thread record, and the gates of the report.

#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>

#include "logging.h"
#include "osdir.h"
#include "oserror.h"
#include "osthread.h"
#include "test_os_helpers.h"

namespace {

bool onWindows() { return osPathSeparator == '\\'; }
uint32_t notFound() { return onWindows() ? 2u : (uint32_t)ENOENT; }
uint32_t denied() { return onWindows() ? 5u : (uint32_t)EACCES; }

// Every test runs on a thread the layer knows.
class OsError : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(osThreadInit(), 0); }
};

}  // namespace

TEST_F(OsError, TextIsTrimmedAndPerThread) {
  const char* text = osErrorText(nullptr, notFound());
  ASSERT_NE(text, nullptr);
  const std::string first = text;
  ASSERT_FALSE(first.empty());
  EXPECT_FALSE(isspace((unsigned char)first.back()) || isspace((unsigned char)first.front())) << first;
  EXPECT_NE(first, "OS error occurred, unable to specify details");
  // The next text of the same thread replaces it in the same buffer.
  const char* second = osErrorText(nullptr, denied());
  EXPECT_EQ(second, text);
  EXPECT_NE(std::string(second), first);
}

TEST_F(OsError, UnknownCodesAndWin32Results) {
  const std::string unknown = osErrorText(nullptr, 0x2FFFFFFFu);
  EXPECT_FALSE(unknown.empty());
  EXPECT_NE(unknown.back(), '\n');
  if (onWindows()) {
    EXPECT_EQ(unknown, "Windows NT error 805306367 (2fffffff)");
    // A Win32-facility result value describes its low 16 bits.
    const std::string plain = osErrorText(nullptr, 5);
    EXPECT_EQ(std::string(osErrorText(nullptr, 0x80070005u)), plain);
  }
}

TEST_F(OsError, WithoutThreadRecordTheTextIsFixed) {
  std::string seen;
  std::thread foreign([&] { seen = osErrorText(nullptr, notFound()); });
  foreign.join();
  EXPECT_EQ(seen, "OS error occurred, unable to specify details");
}

TEST_F(OsError, ReportJoinsMessageCodeAndText) {
  const std::string description = osErrorText(nullptr, denied());
  TestStderr cap;
  osErrorReport(logCatFile, denied(), "Cannot move %s to %s", "a", "b");
  const std::string out = cap.take();
  const std::string want = "Cannot move a to b: " + std::to_string(denied()) + ": " + description + "\n";
  EXPECT_NE(out.find(want), std::string::npos) << out;
  EXPECT_NE(out.find("opsys.file"), std::string::npos) << out;
}

TEST_F(OsError, ReportGatesAndEmptyFormats) {
  const uint32_t old = logSetCategoryLevel(logCatError, logLevelFatal);
  const uint32_t oldFile = logSetCategoryLevel(logCatFile, logLevelTrace);
  TestStderr cap;
  osErrorReport(logCatFile, denied(), "gated %d", 1);
  logSetCategoryLevel(logCatError, old);
  const char* empty = "";
  osErrorReport(logCatFile, denied(), empty);
  osErrorReport(logCatFile, denied(), nullptr);
  logSetCategoryLevel(logCatFile, logLevelFatal);
  osErrorReport(logCatFile, denied(), "category gated");
  logSetCategoryLevel(logCatFile, oldFile);
  EXPECT_EQ(cap.take(), "");
}

TEST_F(OsError, LogAtLevelWithoutCode) {
  const std::string description = osErrorText(nullptr, notFound());
  const uint32_t old = logSetCategoryLevel(logCatError, logLevelNone);
  TestStderr cap;
  osErrorLog(logLevelWarn, logCatDir, notFound(), "Lookup of %s", "x");
  logSetCategoryLevel(logCatError, old);
  const std::string out = cap.take();
  EXPECT_NE(out.find("WARN"), std::string::npos) << out;
  EXPECT_NE(out.find("Lookup of x: " + description + "\n"), std::string::npos) << out;
}

TEST_F(OsError, ReportsKeepTheCallersLastError) {
  errno = 0;
  TestStderr cap;
  osErrorReport(logCatFile, 7, "keep");
  const uint32_t before = osErrorLast();
  osErrorText(nullptr, 3);
  EXPECT_EQ(osErrorLast(), before);
}
