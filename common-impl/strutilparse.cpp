// String utilities: parsing of booleans, integers (plain, hexadecimal and
// with unit suffixes) and ranges, each with a range check.
#include <cctype>
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "strutil.h"

namespace {

bool strIsSpace(char c) { return isspace((unsigned char)c) != 0; }

const char* strSkipSpace(const char* p) {
  while (strIsSpace(*p)) p++;
  return p;
}

int strDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Reads unsigned digits of the base (10 or 16) at *p into *value. Returns
// the number of digits read, or -1 when the number does not fit 64 bits.
int strScanUnsigned(const char** p, int base, uint64_t* value) {
  uint64_t v = 0;
  int n = 0;
  for (int d; (d = strDigitValue(**p)) < base; (*p)++, n++) {
    if (v > (UINT64_MAX - (uint64_t)d) / (uint64_t)base) return -1;
    v = v * (uint64_t)base + (uint64_t)d;
  }
  *value = v;
  return n;
}

// Reads an optionally signed decimal number at *p. Returns the number of
// digits, or -1 on overflow.
int strScanSigned(const char** p, int64_t* value) {
  bool negative = **p == '-';
  if (**p == '-' || **p == '+') (*p)++;
  uint64_t magnitude;
  int n = strScanUnsigned(p, 10, &magnitude);
  if (n < 0) return -1;
  if (magnitude > (negative ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX)) return -1;
  *value = negative ? (int64_t)(0 - magnitude) : (int64_t)magnitude;
  return n;
}

// Shared body of strParseHex64 and strParseUInt64: blanks, an optional
// '+', (hex: an optional "0x"), digits, then the end, a CR or a LF.
int strParseUnsigned(const char* text, uint64_t* value, uint64_t minimum, uint64_t maximum, int base) {
  *value = 0;
  if (!text || !*text) return -1;
  const char* kind = base == 16 ? "hex" : "numeric";
  const char* p = strSkipSpace(text);
  if (*p == '+') p++;
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && strDigitValue(p[2]) < 16) p += 2;
  uint64_t v;
  int n = strScanUnsigned(&p, base, &v);
  if (n < 0) {
    logError(logCatStrUtil, "Number in string '%s' is too large\n", text);
    return -1;
  }
  if (n == 0 || (*p && *p != '\n' && *p != '\r')) {
    logError(logCatStrUtil, "Found unknown character '%c' in string '%s' whilst scanning for %s value\n", *p ? *p : ' ',
             text, kind);
    return -1;
  }
  if (v < minimum || v > maximum) {
    if (base == 16)
      logDebug(logCatStrUtil, "Value %" PRIx64 " outside range %" PRIx64 " to %" PRIx64 "\n", v, minimum, maximum);
    else
      logDebug(logCatStrUtil, "Value %" PRIu64 " outside range %" PRIu64 " to %" PRIu64 "\n", v, minimum, maximum);
    return -1;
  }
  *value = v;
  return 0;
}

}  // namespace

// "true", "false", "Y" or "N" in any case, with blanks around.
int strParseBoolean(const char* text, uint8_t* flag) {
  if (!text) return -1;
  const char* p = strSkipSpace(text);
  uint8_t v;
  if (strStartsWithIgnoreCase(p, "true"))
    v = 1, p += 4;
  else if (strStartsWithIgnoreCase(p, "false"))
    v = 0, p += 5;
  else if (*p == 'y' || *p == 'Y')
    v = 1, p++;
  else if (*p == 'n' || *p == 'N')
    v = 0, p++;
  else
    return -1;
  if (*strSkipSpace(p)) return -1;
  *flag = v;
  return 0;
}

int strParseBooleanLogged(const char* text, uint8_t* flag) {
  if (strParseBoolean(text, flag) == 0) return 0;
  *flag = 0;
  logError(logCatStrUtil, "String '%s' does not contain a boolean value\n", text ? text : "(null)");
  return -1;
}

int strParseHex64(const char* text, uint64_t* value, uint64_t minimum, uint64_t maximum) {
  return strParseUnsigned(text, value, minimum, maximum, 16);
}

int strParseUInt64(const char* text, uint64_t* value, uint64_t minimum, uint64_t maximum) {
  return strParseUnsigned(text, value, minimum, maximum, 10);
}

int strParseUInt32(const char* text, uint32_t* value, uint32_t minimum, uint32_t maximum) {
  uint64_t v;
  *value = 0;
  if (strParseUnsigned(text, &v, minimum, maximum, 10) != 0) return -1;
  *value = (uint32_t)v;
  return 0;
}

int strParseUInt16(const char* text, uint16_t* value, uint16_t minimum, uint16_t maximum) {
  uint64_t v;
  *value = 0;
  if (strParseUnsigned(text, &v, minimum, maximum, 10) != 0) return -1;
  *value = (uint16_t)v;
  return 0;
}

int strParseInt64(const char* text, int64_t* value, int64_t minimum, int64_t maximum) {
  if (!text) return -1;
  const char* p = strSkipSpace(text);
  int64_t v = 0;
  int n = strScanSigned(&p, &v);
  if (n <= 0 || *strSkipSpace(p)) {
    logError(logCatStrUtil, "String '%s' does not contain (only) an integer value\n", text);
    return -1;
  }
  if (v < minimum || v > maximum) {
    logDebug(logCatStrUtil, "Value %s outside range %" PRId64 " to %" PRId64 "\n", text, minimum, maximum);
    return -1;
  }
  *value = v;
  return 0;
}

int strParseInt32(const char* text, int32_t* value, int32_t minimum, int32_t maximum) {
  int64_t v;
  if (strParseInt64(text, &v, minimum, maximum) != 0) return -1;
  *value = (int32_t)v;
  return 0;
}

// A decimal or hexadecimal number, then an optional unit: K, M, G, T for
// powers of 1000, followed by 'i' for powers of 1024. Only the first
// character after the unit is examined (it must be a blank or the end).
int strParseScaledInt64(const char* text, int64_t* value, int64_t minimum, int64_t maximum) {
  if (!text) return -1;
  const char* p = text;
  int64_t number = 0;
  int n;
  if (*p == 'x' || *p == 'X' || (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))) {
    p += *p == '0' ? 2 : 1;
    uint64_t u = 0;
    n = strScanUnsigned(&p, 16, &u);
    number = (int64_t)u;
  } else {
    p = strSkipSpace(p);
    n = strScanSigned(&p, &number);
  }
  if (n <= 0) {
    logError(logCatStrUtil, "Illegal number: %s\n", text);
    return -1;
  }
  int64_t multiplier = 1;
  if (*p && strchr("KMGTkmgt", *p)) {
    static const int64_t decimal[] = {1000LL, 1000000LL, 1000000000LL, 1000000000000LL};
    static const int64_t binary[] = {1LL << 10, 1LL << 20, 1LL << 30, 1LL << 40};
    int unit = (int)(strchr("KMGT", toupper((unsigned char)*p)) - "KMGT");
    p++;
    if (*p == 'i') {
      multiplier = binary[unit];
      p++;
    } else {
      multiplier = decimal[unit];
    }
  }
  if (*p && !strIsSpace(*p)) {
    logError(logCatStrUtil, "Found unknown ending '%s' in string '%s' whilst scanning for value\n", p, text);
    return -1;
  }
  if (number < minimum / multiplier || number > maximum / multiplier) {
    logDebug(logCatStrUtil, "Value %s outside range %" PRId64 " to %" PRId64 "\n", text, minimum, maximum);
    return -1;
  }
  *value = number * multiplier;
  return 0;
}

namespace {

// Reads a decimal number without sign at *p (after blanks); false when
// there is no digit or it overflows.
bool strScanRangeEnd(const char** p, int64_t* value) {
  *p = strSkipSpace(*p);
  if (!isdigit((unsigned char)**p)) return false;
  uint64_t v;
  if (strScanUnsigned(p, 10, &v) <= 0 || v > (uint64_t)INT64_MAX) return false;
  *value = (int64_t)v;
  *p = strSkipSpace(*p);
  return true;
}

}  // namespace

int strParseRange(const char* text, StrRange* range, int64_t defaultLow, int64_t defaultHigh) {
  if (!text || !*text) {
    range->low = defaultLow;
    range->high = defaultHigh;
    return 0;
  }
  StrRange r = {.low = defaultLow, .high = defaultHigh};
  const char* p = strSkipSpace(text);
  bool ok = true;
  if (*p != '-') {
    ok = strScanRangeEnd(&p, &r.low);
    if (ok && !*p) r.high = r.low;
  }
  if (ok && *p) {
    if (*p != '-') {
      ok = false;
    } else {
      p = strSkipSpace(p + 1);
      if (*p) ok = strScanRangeEnd(&p, &r.high) && !*p;
    }
  }
  if (!ok) {
    logError(logCatStrUtil, "Unable to parse '%s' as a range of values between %" PRId64 " and %" PRId64 "\n", text,
             defaultLow, defaultHigh);
    return -1;
  }
  *range = r;
  return 0;
}

// A comma-separated list of ranges, each inside [minimum, maximum] with its
// ends in order; an empty text allows the whole span, "none" nothing.
int strParseRangeList(const char* text, StrRangeList* list, uint32_t minimum, uint32_t maximum) {
  list->count = 0;
  list->ranges = nullptr;
  logTrace(logCatStrUtil, "strParseRangeList: parsing '%s'\n", text ? text : "");
  const char* p = text ? strSkipSpace(text) : "";
  if (!*p) {
    logTrace(logCatStrUtil, "strParseRangeList: empty '%s'\n", text ? text : "");
    list->ranges = memNew(StrRangeU32);
    list->ranges[0] = {.low = minimum, .high = maximum};
    list->count = 1;
    return 0;
  }
  if (strEqualsIgnoreCase(p, "none")) {
    logTrace(logCatStrUtil, "strParseRangeList: disallow\n");
    return 0;
  }
  uint32_t slots = 1;
  for (const char* c = p; *c; c++)
    if (*c == ',') slots++;
  list->ranges = memNewArray(StrRangeU32, slots);
  while (*p) {
    const char* comma = strchr(p, ',');
    char* item = comma ? memStrDupN(p, comma - p) : memStrDup(p);
    StrRange r;
    bool ok = strParseRange(item, &r, minimum, maximum) == 0 && r.low >= minimum && r.high <= maximum &&
              r.low <= r.high && *strSkipSpace(item);
    if (ok) {
      list->ranges[list->count++] = {.low = (uint32_t)r.low, .high = (uint32_t)r.high};
      logTrace(logCatStrUtil, "strParseRangeList: end '%s' low=%u high=%u\n", item, (uint32_t)r.low, (uint32_t)r.high);
    }
    memFree(item);
    if (!ok) {
      logError(logCatStrUtil, "Unable to parse '%s' as a range of values between %u and %u\n", text, minimum, maximum);
      strFreeRangeList(list);
      return -1;
    }
    p = comma ? comma + 1 : p + strlen(p);
  }
  return 0;
}

void strFreeRangeList(StrRangeList* list) {
  if (!list) return;
  memFree(list->ranges);
  list->ranges = nullptr;
  list->count = 0;
}

bool strRangeListContains(const StrRangeList* list, uint32_t value) {
  for (uint32_t i = 0; list && i < list->count; i++)
    if (list->ranges[i].low <= value && value <= list->ranges[i].high) return true;
  return false;
}
