// StringBuffer date formatting: a time in local calendar terms, written by a
// letter pattern ("yyyy-MM-dd HH:mm:ss.SSS", 'quoted' text literal).
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "logging.h"
#include "osdate.h"
#include "stringbuf.h"

namespace {

// localtime's result is shared by its callers on some platforms: copy it
// out under a lock.
std::mutex localTimeLock;

bool localCalendar(uint64_t seconds, struct tm* out) {
  time_t t = (time_t)seconds;
  std::lock_guard<std::mutex> guard(localTimeLock);
  struct tm* tm = localtime(&t);
  if (!tm) return false;
  *out = *tm;
  return true;
}

// ISO 8601 weeks in a year: 53 when it starts or ends on a Thursday.
int isoWeeksInYear(int y) {
  auto p = [](int v) { return (v + v / 4 - v / 100 + v / 400) % 7; };
  return 52 + (p(y) == 4 || p(y - 1) == 3 ? 1 : 0);
}

// The text conversions. %u, %V and %z are computed here because not every
// run-time library's strftime knows them; the others come from strftime.
void textField(char* out, size_t size, const char* conv, const struct tm* tm, uint64_t seconds) {
  out[0] = 0;
  int isoWday = tm->tm_wday == 0 ? 7 : tm->tm_wday;
  if (strcmp(conv, "%u") == 0) {
    snprintf(out, size, "%d", isoWday);
  } else if (strcmp(conv, "%V") == 0) {
    int year = tm->tm_year + 1900;
    int week = (tm->tm_yday + 1 - isoWday + 10) / 7;
    if (week < 1)
      week = isoWeeksInYear(year - 1);
    else if (week > isoWeeksInYear(year))
      week = 1;
    snprintf(out, size, "%02d", week);
  } else if (strcmp(conv, "%z") == 0) {
    int64_t localSeconds =
        osDateDaysFromCivil(tm->tm_year + 1900, (unsigned)tm->tm_mon + 1, (unsigned)tm->tm_mday) * 86400 +
        tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec;
    int64_t offset = (localSeconds - (int64_t)seconds) / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    snprintf(out, size, "%c%02d%02d", sign, (int)(offset / 60), (int)(offset % 60));
  } else if (strftime(out, size, conv, tm) == 0) {
    out[0] = 0;
  }
}

// Appends a number zero-padded to `width` digits; negative values append
// nothing.
void appendNumber(StringBuffer* sb, int value, uint32_t width) {
  if (value < 0) return;
  if (width > 20) width = 20;
  sbPrintf(sb, "%0*d", (int)width, value);
}

// Appends the field that `run` repetitions of the pattern letter c stand
// for (numbers zero-padded to run digits, names from the C library); any
// other letter stands for itself.
void appendDateField(StringBuffer* sb, char c, uint32_t run, const struct tm& tm, int millis, uint64_t seconds) {
  const char* conv = nullptr;
  switch (c) {
    case 'D':
      appendNumber(sb, tm.tm_yday + 1, run);
      break;
    case 'H':
      appendNumber(sb, tm.tm_hour, run);
      break;
    case 'K':
      appendNumber(sb, tm.tm_hour % 12, run);
      break;
    case 'S':
      appendNumber(sb, millis, run);
      break;
    case 'W':
      appendNumber(sb, tm.tm_mday / 7, run);
      break;
    case 'd':
      appendNumber(sb, tm.tm_mday, run);
      break;
    case 'h':
      appendNumber(sb, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, run);
      break;
    case 'k':
      appendNumber(sb, tm.tm_hour == 0 ? 24 : tm.tm_hour, run);
      break;
    case 'm':
      appendNumber(sb, tm.tm_min, run);
      break;
    case 's':
      appendNumber(sb, tm.tm_sec, run);
      break;
    case 'y':
      appendNumber(sb, run <= 2 ? (tm.tm_year + 1900) % 100 : tm.tm_year + 1900, run);
      break;
    case 'M':
      if (run <= 2)
        appendNumber(sb, tm.tm_mon + 1, run);
      else
        conv = run == 3 ? "%b" : "%B";
      break;
    case 'E':
      conv = run <= 2 ? "%u" : run == 3 ? "%a" : "%A";
      break;
    case 'F':
      conv = "%u";
      break;
    case 'Z':
      conv = "%z";
      break;
    case 'a':
      conv = "%p";
      break;
    case 'w':
      conv = "%V";
      break;
    case 'z':
      conv = "%Z";
      break;
    case 'G':
      sbAppendString(sb, "AD");
      break;
    default:
      for (uint32_t i = 0; i < run; i++) sbAppendChar(sb, c);
      break;
  }
  if (conv) {
    char text[79];
    textField(text, sizeof text, conv, &tm, seconds);
    if (text[0]) {
      sbAppendString(sb, text);
      logDebug(logCatStringBuf, "strftime('%s',%" PRIu64 ") = '%s'\n", conv, seconds, text);
    }
  }
}

}  // namespace

int sbAppendDateFormat(StringBuffer* sb, uint64_t ms, const char* pattern) {
  uint64_t seconds = ms / 1000;
  int millis = (int)(ms % 1000);
  struct tm tm = {};
  if (!localCalendar(seconds, &tm)) tm = {};
  bool literal = false;
  const char* p = pattern ? pattern : "";
  while (*p) {
    char c = *p;
    if (c == '\'') {
      if (p[1] == '\'') {
        sbAppendChar(sb, '\'');
        p += 2;
      } else {
        literal = !literal;
        p++;
      }
      continue;
    }
    if (literal) {
      sbAppendChar(sb, c);
      p++;
      continue;
    }
    uint32_t run = 1;
    while (p[run] == c) run++;
    appendDateField(sb, c, run, tm, millis, seconds);
    p += run;
  }
  return 0;
}
