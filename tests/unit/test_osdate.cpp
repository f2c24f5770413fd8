// Clock and date formats in UTC and in zones with whole and half-hour offsets,
// DOS dates, file times and the numeric UTC form.
#include <gtest/gtest.h>

#include <string>

#include "osdate.h"
#include "ostest.h"

namespace {

// 2025-01-29 14:03:05.123 UTC.
const uint64_t sample = 1738159385123ull;

// Format `format` of `ms` in UTC or in local time; "<null>" when there is none.
std::string formatted(uint64_t ms, uint32_t format, bool local = false) {
  char buf[70];
  const char* r = (local ? osDateFormatLocal : osDateFormatUtc)(ms, buf, format);
  return r ? r : "<null>";
}
std::string local(uint64_t ms, uint32_t format) { return formatted(ms, format, true); }

// Runs the test body with local time in a fixed zone.
class OsDateZone : public ::testing::Test {
 protected:
  void TearDown() override { osTestSetTimeZone(nullptr); }
};

}  // namespace

TEST(OsDate, AllFormatsInUtc) {
  std::string all;  // formats 0 to 11, a line each
  for (uint32_t format = 0; format < 12; format++) all += formatted(sample, format) + "\n";
  EXPECT_EQ(all,
            "2025/01/29 14:03:05\n2025/01/29 14:03:05,123\n20250129140305\n20250129140305123\n20250129140305.123\n"
            "Wed, 29 Jan 2025 14:03:05Z\n2025-01-29T14:03:05Z\n2025-01-29 14:03:05 Z\n2025-01-29T14:03:05.123Z\n"
            "2025-01-29 14:03:05.123 Z\n2025-01-29 14:03:05,123 Etc/GMT\n<null>\n");
}

TEST(OsDate, CalendarOffsetsSignsAndMinutes) {
  const OsCalendar cal = {2025, 1, 3, 29, 14, 3, 5, 123};
  char buf[70];
  EXPECT_STREQ(osDateFormatCalendar(&cal, -30 * 60000, buf, osDateFmtIsoMillis), "2025-01-29T14:03:05.123-00:30");
  EXPECT_STREQ(osDateFormatCalendar(&cal, -30 * 60000, buf, osDateFmtLog), "2025-01-29 14:03:05,123 Etc/GMT+0:30");
  EXPECT_STREQ(osDateFormatCalendar(&cal, 14 * 3600000, buf, osDateFmtLog), "2025-01-29 14:03:05,123 Etc/GMT-14");
  EXPECT_STREQ(osDateFormatCalendar(&cal, 3600000, buf, osDateFmtRfc1123), "Wed, 29 Jan 2025 14:03:05+01:00");
  // A bad format gives null (a year too long for the 59-character main part cannot happen with 16-bit fields).
  EXPECT_EQ(osDateFormatCalendar(&cal, 0, buf, 12), nullptr);
}

TEST_F(OsDateZone, HalfHourZonesBothWays) {
  osTestSetTimeZone("IST-5:30");
  EXPECT_EQ(local(sample, 10), "2025-01-29 19:33:05,123 Etc/GMT-5:30");
  EXPECT_EQ(local(sample, 6), "2025-01-29T19:33:05+05:30");
  osTestSetTimeZone("NST+3:30");
  EXPECT_EQ(local(sample, 10), "2025-01-29 10:33:05,123 Etc/GMT+3:30");
  EXPECT_EQ(local(sample, 9), "2025-01-29 10:33:05.123 -03:30");
  osTestSetTimeZone("UTC0");
  EXPECT_EQ(local(sample, 7), "2025-01-29 14:03:05 Z");
  char buf[70];
  EXPECT_EQ(std::string(osDateFormatLocalSeconds(sample / 1000, buf, osDateFmtCompact)), "20250129140305");
}

TEST(OsDate, FileTimesAndDosDates) {
  // 1970-01-01 is 11644473600 seconds after 1601-01-01.
  EXPECT_EQ(osDateToFileTime(0), 116444736000000000ull);
  EXPECT_EQ(osDateFromFileTime(osDateToFileTime(sample)), sample);
  // 2025-01-29 14:03:04 as a DOS pair, taken as UTC (two-second steps).
  const uint16_t dosDate = (uint16_t)(((2025 - 1980) << 9) | (1 << 5) | 29);
  const uint16_t dosTime = (uint16_t)((14 << 11) | (3 << 5) | (4 / 2));
  EXPECT_EQ(osDateFromDos(dosDate, dosTime), 1738159384000ull);
  EXPECT_EQ(osDateFromDos((uint16_t)(((2025 - 1980) << 9) | (13 << 5) | 1), 0), 0u);  // month 13
  EXPECT_EQ(osDateFromDos(0, 0), 0u);                                                 // day 0
}

TEST(OsDate, NumericUtcParsing) {
  uint64_t ms = 0;
  EXPECT_EQ((std::tuple{osDateParseNumericUTC("20250129140305.123", &ms), ms}), (std::tuple{0, sample}));
  EXPECT_EQ((std::tuple{osDateParseNumericUTC("202501291403", &ms), ms}), (std::tuple{0, 1738159380000ull}));
  EXPECT_EQ(osDateParseNumericUTC("2025012914", &ms), -1);
  EXPECT_EQ(osDateParseNumericUTC("20251329140305", &ms), -1);
}

TEST(OsDate, ClockMovesAndAgreesWithSeconds) {
  const uint64_t now = osDateNow();
  EXPECT_GT(now, sample);
  const uint64_t s = osDateNowSeconds();
  EXPECT_LE(s * 1000, osDateNow());
  EXPECT_GE(s + 1, now / 1000);
  char buf[70];
  EXPECT_NE(std::string(osDateFormatNow(buf)).find(" Etc/GMT"), std::string::npos);
}
