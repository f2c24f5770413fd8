// Clock and date formatting: milliseconds since 1970-01-01 00:00 UTC and the
// eleven fixed text formats (10 is the log timestamp).
#pragma once

#include "compiler.h"

// Calendar record, as the platform's system time.
struct OsCalendar {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

int osDateInit();
uint64_t osDateNow();
uint64_t osDateNowSeconds();
uint64_t osDateFromFileTime(uint64_t fileTime);
uint64_t osDateToFileTime(uint64_t ms);
uint64_t osDateFromDos(uint16_t dosDate, uint16_t dosTime);
// Buffers are at least 70 bytes. Results are the buffer, "?" or null.
const char* osDateFormatLocal(uint64_t ms, char* buffer, uint32_t format);
const char* osDateFormatLocalSeconds(uint64_t seconds, char* buffer, uint32_t format);
const char* osDateFormatUtc(uint64_t ms, char* buffer, uint32_t format);
const char* osDateFormatNow(char* buffer);
int osDateParseNumericUTC(const char* text, uint64_t* ms);

// Formats a calendar record with a zone offset in milliseconds (shared by
// both backends).
const char* osDateFormatCalendar(const OsCalendar* cal, int64_t offsetMs, char* buffer, uint32_t format);
