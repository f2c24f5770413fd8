// Date formatting from a calendar record: the part of the clock module that
// is the same on every platform.
#include <cstdio>
#include <cstdlib>

#include "logging.h"
#include "osdate.h"

namespace {

const char* const dayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const monthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

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
