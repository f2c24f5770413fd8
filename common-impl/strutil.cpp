// String utilities: comparisons with Unicode case folding, wildcard
// matching and ${name} expansion. Number, boolean and range parsing live in
// strutilparse.cpp, argument lists and text building in strutiltext.cpp.
#include "strutil.h"

#include <cctype>
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "sortmap.h"
#include "stringbuf.h"

const uint16_t strCaseFoldTable[4096] = {
#include "casefold.inc"
};
static_assert(SFX_ARRAY_SIZE(strCaseFoldTable) == 4096, "one entry per code point below U+1000");

namespace {

// Decodes one UTF-8 sequence (1 to 6 bytes; 0xC0 and 0xC1 never start
// one). Returns its length, or 0 for an invalid sequence. A NUL never
// continues a sequence, so the walk stops at the end of the text.
uint32_t strUtf8Decode(const char* text, uint32_t* codePoint) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  unsigned char c = s[0];
  uint32_t length, cp;
  if (c < 0x80) {
    *codePoint = c;
    return 1;
  }
  if (c >= 0xC2 && c < 0xE0) {
    length = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c < 0xF0) {
    length = 3, cp = c & 0x0F;
  } else if (c >= 0xF0 && c < 0xF8) {
    length = 4, cp = c & 0x07;
  } else if (c >= 0xF8 && c < 0xFC) {
    length = 5, cp = c & 0x03;
  } else if (c >= 0xFC && c < 0xFE) {
    length = 6, cp = c & 0x01;
  } else {
    return 0;
  }
  for (uint32_t i = 1; i < length; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  *codePoint = cp;
  return length;
}

uint32_t strFold(uint32_t cp) { return cp < 4096 ? strCaseFoldTable[cp] : cp; }

// The folding comparison over at most maxChars characters of both texts.
// An invalid sequence on either side gives -1; when one text ends the
// result is the difference of the current bytes (unsigned, so that a
// shorter text orders first).
int strFoldCompare(const char* a, const char* b, size_t maxChars) {
  for (size_t n = 0; n < maxChars; n++) {
    if (!*a || !*b) return (int)(unsigned char)*a - (int)(unsigned char)*b;
    uint32_t ca = 0, cb = 0;
    uint32_t la = strUtf8Decode(a, &ca);
    uint32_t lb = strUtf8Decode(b, &cb);
    if (la == 0 || lb == 0) return -1;
    if (ca != cb) {
      ca = strFold(ca);
      cb = strFold(cb);
      if (ca != cb) return (int)ca - (int)cb;
    }
    a += la;
    b += lb;
  }
  return 0;
}

// One unit of the total order used for sorting: a folded code point, or an
// undecodable byte (ordered after every code point).
uint32_t strOrderUnit(const char** text) {
  uint32_t cp;
  uint32_t n = strUtf8Decode(*text, &cp);
  if (n == 0) return 0x80000000u | (unsigned char)*(*text)++;
  *text += n;
  return strFold(cp);
}

}  // namespace

int utf8CaseCmp(const char* a, const char* b) { return strFoldCompare(a, b, (size_t)-1); }

int utf8CaseCmpN(const char* a, const char* b, size_t count) { return strFoldCompare(a, b, count); }

int utf8CaseOrder(const char* a, const char* b) {
  for (;;) {
    if (!*a || !*b) return *a ? 1 : (*b ? -1 : 0);
    uint32_t ua = strOrderUnit(&a);
    uint32_t ub = strOrderUnit(&b);
    if (ua != ub) return ua < ub ? -1 : 1;
  }
}

bool strEquals(const char* a, const char* b) { return a && b && strcmp(a, b) == 0; }

bool strEqualsIgnoreCase(const char* a, const char* b) { return a && b && utf8CaseCmp(a, b) == 0; }

bool strnEquals(const char* a, const char* b, size_t count) { return a && b && strncmp(a, b, count) == 0; }

bool strStartsWith(const char* text, const char* prefix) {
  return text && prefix && strncmp(text, prefix, strlen(prefix)) == 0;
}

// Compares over the characters of the prefix: every character of the prefix
// must meet an equal character (after folding) of the text.
bool strStartsWithIgnoreCase(const char* text, const char* prefix) {
  if (!text || !prefix) return false;
  while (*prefix) {
    uint32_t cp, ct;
    uint32_t lp = strUtf8Decode(prefix, &cp);
    if (!*text || lp == 0) return false;
    uint32_t lt = strUtf8Decode(text, &ct);
    if (lt == 0 || strFold(cp) != strFold(ct)) return false;
    prefix += lp;
    text += lt;
  }
  return true;
}

bool strEndsWith(const char* text, const char* suffix) {
  if (!text || !suffix) return false;
  size_t lt = strlen(text), ls = strlen(suffix);
  return lt >= ls && memcmp(text + lt - ls, suffix, ls) == 0;
}

bool strEndsWithIgnoreCase(const char* text, const char* suffix) {
  if (!text || !suffix) return false;
  size_t lt = strlen(text), ls = strlen(suffix);
  return lt >= ls && utf8CaseCmp(text + lt - ls, suffix) == 0;
}

namespace {

bool strCharEquals(unsigned char p, unsigned char t, bool caseSensitive) {
  return p == t || (!caseSensitive && tolower(p) == tolower(t));
}

bool strInRange(unsigned char lo, unsigned char hi, unsigned char c, bool caseSensitive) {
  if (lo <= c && c <= hi) return true;
  if (caseSensitive) return false;
  unsigned char l = (unsigned char)tolower(c), u = (unsigned char)toupper(c);
  return (lo <= l && l <= hi) || (lo <= u && u <= hi);
}

enum StrMatchResult { strNoMatch = 0, strMatch = 1, strBadPattern = -1 };

// Matches the pattern element at p (not '*') against the character c and
// stores the position after the element in *next.
StrMatchResult strMatchElement(const char* p, unsigned char c, bool caseSensitive, const char** next) {
  if (*p == '?') {
    *next = p + 1;
    return strMatch;
  }
  if (*p == '\\' && p[1]) {
    *next = p + 2;
    return strCharEquals((unsigned char)p[1], c, caseSensitive) ? strMatch : strNoMatch;
  }
  if (*p != '[') {
    *next = p + 1;
    return *p && strCharEquals((unsigned char)*p, c, caseSensitive) ? strMatch : strNoMatch;
  }
  const char* q = p + 1;
  bool negate = *q == '!';
  if (negate) q++;
  bool found = false;
  while (*q && *q != ']') {
    if (*q == '\\' && q[1]) q++;
    unsigned char lo = (unsigned char)*q++;
    if (*q == '-' && q[1] != ']') {
      if (!q[1]) return strBadPattern;  // range without its upper end
      q++;
      if (*q == '\\' && q[1]) q++;
      unsigned char hi = (unsigned char)*q++;
      if (strInRange(lo, hi, c, caseSensitive)) found = true;
    } else if (strCharEquals(lo, c, caseSensitive)) {
      found = true;
    }
  }
  if (!*q) return strNoMatch;  // set without its closing bracket
  *next = q + 1;
  return found != negate ? strMatch : strNoMatch;
}

}  // namespace

// Left to right with one backtracking point: the last run of stars
// remembers where it started in the text; a mismatch retries from there
// one character further.
bool strMatchWildcard(const char* pattern, const char* text, bool caseSensitive) {
  if (!pattern || !text) return false;
  const char* p = pattern;
  const char* t = text;
  const char* starP = nullptr;
  const char* starT = nullptr;
  while (*t) {
    if (*p == '*') {
      while (*p == '*') p++;
      if (!*p) return true;
      starP = p;
      starT = t;
      continue;
    }
    const char* next = p;
    StrMatchResult r = *p ? strMatchElement(p, (unsigned char)*t, caseSensitive, &next) : strNoMatch;
    if (r == strBadPattern) return false;
    if (r == strMatch) {
      p = next;
      t++;
      continue;
    }
    if (!starP) return false;
    t = ++starT;
    p = starP;
  }
  while (*p == '*') p++;
  return *p == 0;
}

int strEvaluateAntExpr(const char* text, StrLookupFn lookup, void* context, char** result) {
  *result = nullptr;
  if (!text) return -1;
  StringBuffer out;
  sbInitHere(&out);
  int failed = 0;
  const char* p = text;
  for (;;) {
    const char* ref = strstr(p, "${");
    if (!ref) break;
    failed |= sbAppendData(&out, p, (uint32_t)(ref - p));
    const char* close = strchr(ref + 2, '}');
    if (!close) {
      p = ref;
      break;
    }
    const char* value = nullptr;
    if (close > ref + 2) {
      char* name = memStrDupN(ref + 2, close - (ref + 2));
      value = lookup ? lookup(name, context) : nullptr;
      if (value) logTrace(logCatStrUtil, "strEvaluateAntExpr replace '%s' with '%s'\n", name, value);
      memFree(name);
    }
    if (value)
      failed |= sbAppendString(&out, value);
    else
      failed |= sbAppendData(&out, ref, (uint32_t)(close + 1 - ref));
    p = close + 1;
  }
  failed |= sbAppendString(&out, p);
  if (failed) {
    sbClean(&out);
    return -1;
  }
  *result = sbTakeString(&out);
  sbClean(&out);
  if (!*result) return -1;
  logTrace(logCatStrUtil, "strEvaluateAntExpr result '%s'\n", *result);
  return 0;
}
