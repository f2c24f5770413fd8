// Clock and date formatting: milliseconds since 1970-01-01 00:00 UTC and the
// eleven fixed text formats (10 is the log timestamp).
#pragma once

#include "compiler.h"

// Calendar record, as the platform's system time.
struct OsCalendar {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

// The eleven text formats, shown for 2025-01-29 14:03:05.123 one hour east
// of UTC. Formats from osDateFmtRfc1123 on carry the zone of the time.
enum OsDateFormat : uint32_t {
  osDateFmtSlashes = 0,           // "2025/01/29 14:03:05"
  osDateFmtSlashesMillis = 1,     // "2025/01/29 14:03:05,123"
  osDateFmtCompact = 2,           // "20250129140305" (log file names)
  osDateFmtCompactMillis = 3,     // "20250129140305123"
  osDateFmtCompactDotMillis = 4,  // "20250129140305.123"
  osDateFmtRfc1123 = 5,           // "Wed, 29 Jan 2025 14:03:05+01:00"
  osDateFmtIso = 6,               // "2025-01-29T14:03:05+01:00"
  osDateFmtIsoSpace = 7,          // "2025-01-29 14:03:05 +01:00"
  osDateFmtIsoMillis = 8,         // "2025-01-29T14:03:05.123+01:00"
  osDateFmtIsoSpaceMillis = 9,    // "2025-01-29 14:03:05.123 +01:00"
  osDateFmtLog = 10,              // "2025-01-29 14:03:05,123 Etc/GMT-1" (log records)
  osDateFmtCount = 11,
};

// Computes the file time of 1970 from the calendar. 0 or -1 (logged).
int osDateInit();
// The wall clock (a test clock when one is set, see ostest.h).
uint64_t osDateNow();
uint64_t osDateNowSeconds();
// File times (100 ns units since 1601 UTC) to and from the wall clock.
uint64_t osDateFromFileTime(uint64_t fileTime);
uint64_t osDateToFileTime(uint64_t ms);
uint64_t osDateFromDos(uint16_t dosDate, uint16_t dosTime);
// Buffers are at least 70 bytes. Results are the buffer, "?" or null.
const char* osDateFormatLocal(uint64_t ms, char* buffer, uint32_t format);
const char* osDateFormatLocalSeconds(uint64_t seconds, char* buffer, uint32_t format);
const char* osDateFormatUtc(uint64_t ms, char* buffer, uint32_t format);
const char* osDateFormatNow(char* buffer);
int osDateParseNumericUTC(const char* text, uint64_t* ms);
// Days from 1970-01-01 to a date of the proleptic Gregorian calendar
// (negative before).
int64_t osDateDaysFromCivil(int64_t y, unsigned m, unsigned d);

// Formats a calendar record with a zone offset in milliseconds (shared by
// both backends).
const char* osDateFormatCalendar(const OsCalendar* cal, int64_t offsetMs, char* buffer, uint32_t format);
