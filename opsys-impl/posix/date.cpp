// POSIX backend only: the clock and calendar conversions.
// A "file time" here is the same unit as on Windows (100 ns since
// 1601-01-01 UTC), so that stored times mean the same on both platforms.
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "dateprim.h"
#include "logging.h"
#include "osdate.h"
#include "ostest.h"

namespace {

void calendarFromTm(const struct tm* tm, unsigned ms, OsCalendar* cal) {
  cal->year = (uint16_t)(tm->tm_year + 1900);
  cal->month = (uint16_t)(tm->tm_mon + 1);
  cal->dayOfWeek = (uint16_t)tm->tm_wday;
  cal->day = (uint16_t)tm->tm_mday;
  cal->hour = (uint16_t)tm->tm_hour;
  cal->minute = (uint16_t)tm->tm_min;
  cal->second = (uint16_t)tm->tm_sec;
  cal->milliseconds = (uint16_t)ms;
}

}  // namespace

int datePrimEpochBase(uint64_t* base) {
  *base = (uint64_t)-osDateDaysFromCivil(1601, 1, 1) * 86400ull * 10000000ull;
  return 0;
}

uint64_t datePrimNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
}

// DOS date and time as stored in archive entries, taken as UTC (two-second
// resolution); an impossible date or time gives 0.
uint64_t osDateFromDos(uint16_t dosDate, uint16_t dosTime) {
  const int year = ((dosDate >> 9) & 0x7F) + 1980, month = (dosDate >> 5) & 0x0F, day = dosDate & 0x1F;
  const int hour = (dosTime >> 11) & 0x1F, minute = (dosTime >> 5) & 0x3F, second = (dosTime & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return 0;
  const int64_t days = osDateDaysFromCivil(year, (unsigned)month, (unsigned)day);
  return (uint64_t)(((days * 24 + hour) * 60 + minute) * 60 + second) * 1000;
}

void osTestSetTimeZone(const char* zone) {
  if (zone)
    setenv("TZ", zone, 1);
  else
    unsetenv("TZ");
  tzset();
}

const char* osDateFormatLocal(uint64_t ms, char* buffer, uint32_t format) {
  time_t t = (time_t)(ms / 1000);
  struct tm tm;
  if (!localtime_r(&t, &tm)) {
    snprintf(buffer, 69, "epoch+%" PRIu64, ms);
    return buffer;
  }
  OsCalendar cal;
  calendarFromTm(&tm, (unsigned)(ms % 1000), &cal);
  return osDateFormatCalendar(&cal, (int64_t)tm.tm_gmtoff * 1000, buffer, format);
}

const char* osDateFormatUtc(uint64_t ms, char* buffer, uint32_t format) {
  time_t t = (time_t)(ms / 1000);
  struct tm tm;
  if (!gmtime_r(&t, &tm)) {
    snprintf(buffer, 69, "epoch+%" PRIu64, ms);
    return buffer;
  }
  OsCalendar cal;
  calendarFromTm(&tm, (unsigned)(ms % 1000), &cal);
  return osDateFormatCalendar(&cal, 0, buffer, format);
}

int osDateParseNumericUTC(const char* text, uint64_t* ms) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, milli = 0;
  int n = sscanf(text, "%04d%02d%02d%02d%02d%02d.%03d", &y, &mo, &d, &h, &mi, &s, &milli);
  if (n < 5) return -1;
  logTrace(logCatDate, "osDateParseNumericUTC y=%d m=%d d=%d h=%d m=%d s=%d milli=%d\n", y, mo, d, h, mi, s, milli);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || milli > 999 || milli < 0) return -1;
  int64_t days = osDateDaysFromCivil(y, (unsigned)mo, (unsigned)d);
  int64_t v = ((days * 24 + h) * 60 + mi) * 60 + s;
  if (v < 0) return -1;
  *ms = (uint64_t)v * 1000 + (uint64_t)milli;
  return 0;
}
