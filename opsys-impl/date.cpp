// Date formatting from a calendar record: the part of the clock module that
// is the same on every platform.
#include <cstdio>
#include <cstdlib>

#include "dateprim.h"
#include "logging.h"
#include "osdate.h"
#include "ostest.h"

namespace {

const char* const dayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const monthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The file time of 1970-01-01 00:00 UTC, set by osDateInit.
uint64_t epochBase = 0;

}  // namespace

int64_t osDateDaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (int64_t)doe - 719468;
}

int osDateInit() {
  if (datePrimEpochBase(&epochBase) != 0) {
    logError(logCatDate, "Cannot obtain system wall clock time\n");
    return -1;
  }
  return 0;
}

uint64_t osDateNow() {
  if (const OsTestClock* clock = osTestClock()) return clock->now;
  return datePrimNow();
}

uint64_t osDateFromFileTime(uint64_t fileTime) {
  if (!epochBase) osDateInit();
  return (fileTime - epochBase) / 10000;
}

uint64_t osDateToFileTime(uint64_t ms) {
  if (!epochBase) osDateInit();
  return ms * 10000 + epochBase;
}

// Formats `cal` in one of the eleven formats and appends the zone suffix for
// `offsetMs` (local time minus UTC). Formats above 10 give null; a main part
// that does not fit in 59 characters gives "?".
const char* osDateFormatCalendar(const OsCalendar* cal, int64_t offsetMs, char* buffer, uint32_t format) {
  if (format >= osDateFmtCount) {
    logError(logCatDate, "Invalid date format %d\n", (int)format);
    return nullptr;
  }
  const int y = cal->year, mo = cal->month, d = cal->day, h = cal->hour, mi = cal->minute, s = cal->second;
  const unsigned ms = cal->milliseconds;
  int n = 0;
  switch (format) {
    case osDateFmtSlashes:
      n = snprintf(buffer, 60, "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d", y, mo, d, h, mi, s);
      break;
    case osDateFmtSlashesMillis:
      n = snprintf(buffer, 60, "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d,%3.3u", y, mo, d, h, mi, s, ms);
      break;
    case osDateFmtCompact:
      n = snprintf(buffer, 60, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d", y, mo, d, h, mi, s);
      break;
    case osDateFmtCompactMillis:
      n = snprintf(buffer, 60, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d%3.3u", y, mo, d, h, mi, s, ms);
      break;
    case osDateFmtCompactDotMillis:
      n = snprintf(buffer, 60, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d.%3.3u", y, mo, d, h, mi, s, ms);
      break;
    case osDateFmtRfc1123:
      n = snprintf(buffer, 60, "%s, %02d %s %4.4d %2.2d:%2.2d:%2.2d", dayNames[cal->dayOfWeek % 7], d,
                   monthNames[mo <= 12 ? mo : 0], y, h, mi, s);
      break;
    case osDateFmtIso:
      n = snprintf(buffer, 60, "%4.4d-%2.2d-%2.2dT%2.2d:%2.2d:%2.2d", y, mo, d, h, mi, s);
      break;
    case osDateFmtIsoSpace:
      n = snprintf(buffer, 60, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", y, mo, d, h, mi, s);
      break;
    case osDateFmtIsoMillis:
      n = snprintf(buffer, 60, "%4.4d-%2.2d-%2.2dT%2.2d:%2.2d:%2.2d.%3.3u", y, mo, d, h, mi, s, ms);
      break;
    case osDateFmtIsoSpaceMillis:
      n = snprintf(buffer, 60, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d.%3.3u", y, mo, d, h, mi, s, ms);
      break;
    case osDateFmtLog:
      n = snprintf(buffer, 60, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d,%3.3u", y, mo, d, h, mi, s, ms);
      break;
  }
  if (n < 1 || n > 59) {
    logError(logCatDate, "Buffer too short for date format %d\n", (int)format);
    return "?";
  }
  if (format < osDateFmtRfc1123) return buffer;
  const int64_t minutesTotal = offsetMs / 60000;
  if (format == osDateFmtLog) {
    // tz-database convention: the sign is inverted (UTC+1 is Etc/GMT-1).
    const int64_t inv = -minutesTotal;
    const int64_t a = inv < 0 ? -inv : inv;
    const char sign = inv < 0 ? '-' : '+';
    if (inv == 0)
      snprintf(buffer + n, (size_t)(70 - n), " Etc/GMT");
    else if (a % 60 == 0)
      snprintf(buffer + n, (size_t)(70 - n), " Etc/GMT%c%d", sign, (int)(a / 60));
    else
      snprintf(buffer + n, (size_t)(70 - n), " Etc/GMT%c%d:%02d", sign, (int)(a / 60), (int)(a % 60));
    return buffer;
  }
  if (format == osDateFmtIsoSpace || format == osDateFmtIsoSpaceMillis) buffer[n++] = ' ', buffer[n] = 0;
  if (minutesTotal == 0) {
    snprintf(buffer + n, (size_t)(70 - n), "Z");
  } else {
    const int64_t a = minutesTotal < 0 ? -minutesTotal : minutesTotal;
    snprintf(buffer + n, (size_t)(70 - n), "%c%02d:%02d", minutesTotal < 0 ? '-' : '+', (int)(a / 60), (int)(a % 60));
  }
  return buffer;
}

const char* osDateFormatLocalSeconds(uint64_t seconds, char* buffer, uint32_t format) {
  return osDateFormatLocal(seconds * 1000, buffer, format);
}

const char* osDateFormatNow(char* buffer) { return osDateFormatLocal(osDateNow(), buffer, osDateFmtLog); }

uint64_t osDateNowSeconds() { return osDateNow() / 1000; }
