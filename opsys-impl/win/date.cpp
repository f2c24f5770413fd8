// Windows backend only: the clock as a system file time and its calendar
// conversions.
#include <cstdio>
#include <cstring>

#include "dateprim.h"
#include "logging.h"
#include "osdate.h"
#include "ostest.h"
#include "winsupport.h"

namespace {

uint64_t fromFt(const FILETIME& ft) { return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime; }
FILETIME toFt(uint64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)v;
  ft.dwHighDateTime = (DWORD)(v >> 32);
  return ft;
}
void calFromSt(const SYSTEMTIME& st, OsCalendar* cal) {
  cal->year = st.wYear;
  cal->month = st.wMonth;
  cal->dayOfWeek = st.wDayOfWeek;
  cal->day = st.wDay;
  cal->hour = st.wHour;
  cal->minute = st.wMinute;
  cal->second = st.wSecond;
  cal->milliseconds = st.wMilliseconds;
}

}  // namespace

int datePrimEpochBase(uint64_t* base) {
  SYSTEMTIME st = {};
  st.wYear = 1970;
  st.wMonth = 1;
  st.wDay = 1;
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return -1;
  *base = fromFt(ft);
  return 0;
}

uint64_t datePrimNow() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return osDateFromFileTime(fromFt(ft));
}

// DOS date and time as stored in archive entries, taken as UTC; an
// impossible date or time gives 0.
uint64_t osDateFromDos(uint16_t dosDate, uint16_t dosTime) {
  FILETIME ft;
  if (!DosDateTimeToFileTime(dosDate, dosTime, &ft)) return 0;
  return osDateFromFileTime(fromFt(ft));
}

namespace {

// A zone set by a test (standard time only), or null for the system's.
TIME_ZONE_INFORMATION testZone;
const TIME_ZONE_INFORMATION* zoneOverride = nullptr;

}  // namespace

// Reads a POSIX-style zone "NAME[+|-]h[:mm]" (hours west of Greenwich,
// as TZ writes them) into a fixed zone without daylight saving.
void osTestSetTimeZone(const char* zone) {
  zoneOverride = nullptr;
  if (!zone) return;
  const char* p = zone;
  while (*p && !(*p == '+' || *p == '-' || (*p >= '0' && *p <= '9'))) p++;
  int sign = 1, hours = 0, minutes = 0;
  if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
  while (*p >= '0' && *p <= '9') hours = hours * 10 + (*p++ - '0');
  if (*p == ':') {
    p++;
    while (*p >= '0' && *p <= '9') minutes = minutes * 10 + (*p++ - '0');
  }
  memset(&testZone, 0, sizeof testZone);
  testZone.Bias = sign * (hours * 60 + minutes);
  zoneOverride = &testZone;
}

const char* osDateFormatLocal(uint64_t ms, char* buffer, uint32_t format) {
  FILETIME ft = toFt(osDateToFileTime(ms)), back;
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(zoneOverride, &utc, &local) ||
      !SystemTimeToFileTime(&local, &back)) {
    snprintf(buffer, 69, "epoch+%" PRIu64, ms);
    return buffer;
  }
  int64_t offset = ((int64_t)fromFt(back) - (int64_t)fromFt(ft)) / 10000;
  OsCalendar cal;
  calFromSt(local, &cal);
  return osDateFormatCalendar(&cal, offset, buffer, format);
}

const char* osDateFormatUtc(uint64_t ms, char* buffer, uint32_t format) {
  FILETIME ft = toFt(osDateToFileTime(ms));
  SYSTEMTIME utc;
  if (!FileTimeToSystemTime(&ft, &utc)) {
    snprintf(buffer, 69, "epoch+%" PRIu64, ms);
    return buffer;
  }
  OsCalendar cal;
  calFromSt(utc, &cal);
  return osDateFormatCalendar(&cal, 0, buffer, format);
}

int osDateParseNumericUTC(const char* text, uint64_t* ms) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, milli = 0;
  int n = sscanf(text, "%04d%02d%02d%02d%02d%02d.%03d", &y, &mo, &d, &h, &mi, &s, &milli);
  if (n < 5) return -1;
  logTrace(logCatDate, "osDateParseNumericUTC y=%d m=%d d=%d h=%d m=%d s=%d milli=%d\n", y, mo, d, h, mi, s, milli);
  SYSTEMTIME st = {};
  st.wYear = (WORD)y;
  st.wMonth = (WORD)mo;
  st.wDay = (WORD)d;
  st.wHour = (WORD)h;
  st.wMinute = (WORD)mi;
  st.wSecond = (WORD)s;
  st.wMilliseconds = (WORD)milli;
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return -1;
  *ms = osDateFromFileTime(fromFt(ft));
  return 0;
}
