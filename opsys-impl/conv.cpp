// Character sets by role, code page names, buffer conversion with held-back
// incomplete characters, the converting stream levels and the UTF-8 and
// byte-order-mark helpers. The backends convert through UTF-16.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "convprim.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "stringbuf.h"
#include "strutil.h"

namespace {

constexpr size_t charsetNameSize = 30;

char charsetNames[convRoleCount][charsetNameSize] = {"UTF-8", "UTF-8", "", "UTF-16", "", "iso-8859-1"};

struct CodePagePair {
  uint32_t source;  // code page of the bytes given
  uint32_t target;  // code page of the bytes made
};
CodePagePair slots[convSlotCount];

// Role pairs convInit sets up: the slot of the first-to-second direction
// (the reverse direction is the next slot).
struct RolePair {
  uint32_t slot;
  uint32_t from;
  uint32_t to;
};
constexpr RolePair rolePairs[] = {
    {convInternalToFiledata, convRoleInternal, convRoleFiledata},
    {convNetworkToFiledata, convRoleNetwork, convRoleFiledata},
    {convInternalToFilesys, convRoleInternal, convRoleFilesys},
    {convInternalToPipedata, convRoleInternal, convRolePipedata},
    {convInternalToHttpHeader, convRoleInternal, convRoleHttpHeader},
};
static_assert(SFX_ARRAY_SIZE(rolePairs) * 2 + 2 == convSlotCount, "every slot but 0 and 1 is filled");

struct NamedCodePage {
  const char* name;
  uint32_t codePage;
};

// Fixed names, matched without regard to case.
constexpr NamedCodePage fixedNames[] = {
    {"big5", 950},
    {"csISO2022JP", 50221},
    {"euc-jp", 20932},
    {"euc-cn", 51936},
    {"euc-kr", 51949},
    {"gb2312", 936},
    {"gb18030", 54936},
    {"hz-gb-2321", 52936},
    {"iso-2022-jp", 50220},
    {"iso-2022-kr", 50225},
    {"Johab", 1361},
    {"ks_c_5601-1987", 949},
    {"koi8-r", 20866},
    {"koi8-u", 21866},
    {"macroman", 10000},
    {"Shift_JIS", 932},
    {"UTF-8", 65001},
    {"UTF-7", 65000},
    {"UTF-16", 1200},
    {"UCS2", 1200},
    {"UTF-32", 12000},
    {"UTF-32BE", 12001},
    {"UTF-16LE", 1201},
    {"us-ascii", 20127},
    {"x-mac-japanese", 10001},
    {"x-mac-chinesetrad", 10002},
    {"x-mac-korean", 10003},
    {"x-mac-arabic", 10004},
    {"x-mac-hebrew", 10005},
    {"x-mac-greek", 10006},
    {"x-mac-cyrillic", 10007},
    {"x-mac-chinesesimp", 10008},
    {"x-mac-romanian", 10010},
    {"x-mac-ukrainian", 10017},
    {"x-mac-thai", 10021},
    {"x-mac-ce", 10029},
    {"x-mac-icelandic", 10078},
    {"x-mac-turkish", 10081},
    {"x-mac-croatian", 10082},
    {"x-Chinese_CNS", 20001},
    {"x-Chinese_Eten", 20002},
    {"x-IA5", 20105},
    {"x-IA5-German", 20106},
    {"x-IA5-Swedish", 20107},
    {"x-IA5-Norwegian", 20108},
    {"x-EBCDIC-KoreanExtended", 20833},
    {"x-europa", 29001},
    {"x-iscii-de", 57002},
    {"x-iscii-be", 57003},
    {"x-iscii-ta", 57004},
    {"x-iscii-te", 57005},
    {"x-iscii-as", 57006},
    {"x-iscii-or", 57007},
    {"x-iscii-ka", 57008},
    {"x-iscii-ma", 57009},
    {"x-iscii-gu", 57010},
    {"x-iscii-pa", 57011},
};

// Number patterns, scanned with their exact case.
constexpr const char* numberPatterns[] = {"cp%u", "DOS-%u", "dos-%u", "ASMO-%u", "windows-%u", "x-cp%u", "X-CP%u"};

constexpr uint32_t ibmPlus20000[] = {273, 277, 278, 280, 284, 285, 290, 297, 423, 424, 871, 880, 905, 924};

// Reads "<prefix><number>" with the prefix's exact case; the whole name.
bool scanPattern(const char* name, const char* pattern, uint32_t* number) {
  size_t prefix = strlen(pattern) - 2;  // without "%u"
  if (strncmp(name, pattern, prefix) != 0) return false;
  const char* p = name + prefix;
  if (*p < '0' || *p > '9') return false;
  uint32_t n = 0;
  for (; *p >= '0' && *p <= '9'; p++) n = n * 10 + (uint32_t)(*p - '0');
  if (*p) return false;
  *number = n;
  return true;
}

// Names of code pages outside the fixed list, by family.
const char* familyPattern(uint32_t cp) {
  if ((cp >= 28591 && cp <= 28605) || cp == 38598) return cp == 38598 ? "iso-8859-8-i" : nullptr;
  if (cp == 37 || cp == 500 || cp == 870 || cp == 875 || cp == 1026 || (cp >= 1140 && cp <= 1149) ||
      (cp >= 20273 && cp <= 20924) || cp == 20838)
    return "IBM-%d";
  if (cp == 437 || (cp >= 850 && cp <= 869) || cp == 720 || cp == 737 || cp == 775) return "DOS-%d";
  if (cp == 708) return "ASMO-%d";
  if (cp == 874 || cp == 1025) return "cp%d";
  if (cp >= 50000 && cp < 60000) return "x-cp%d";
  return nullptr;
}

}  // namespace

uint32_t cpFromName(const char* name) {
  if (!name || !*name) return 0;
  if (*name >= '0' && *name <= '9') return (uint32_t)strtoul(name, nullptr, 10);
  if (strEqualsIgnoreCase(name, "ANSI")) return 0;
  if (strEqualsIgnoreCase(name, "OEM")) return 1;
  uint32_t n = 0;
  for (const char* pattern : numberPatterns)
    if (scanPattern(name, pattern, &n)) return n;
  if (scanPattern(name, "IBM-%u", &n) || scanPattern(name, "ibm-%u", &n)) {
    for (uint32_t plus : ibmPlus20000)
      if (n == plus) return n + 20000;
    return n;
  }
  if (strEqualsIgnoreCase(name, "IBM-Thai")) return 20838;
  if (strEqualsIgnoreCase(name, "iso-8859-8-i")) return 38598;
  if (strStartsWithIgnoreCase(name, "iso-8859-")) {
    const char* p = name + 9;
    if (*p >= '0' && *p <= '9') {
      uint32_t k = 0;
      for (; *p >= '0' && *p <= '9' && k < 100; p++) k = k * 10 + (uint32_t)(*p - '0');
      if (!*p && k < 16) return 28590 + k;
    }
    return 0;
  }
  for (const NamedCodePage& f : fixedNames)
    if (strEqualsIgnoreCase(name, f.name)) return f.codePage;
  return 0;
}

const char* cpNameFormat(uint32_t codePage) {
  switch (codePage) {
    case 10079:
      return "x-mac-icelandic";
    case 20000:
      return "x-Chinese_CNS";
    case 20002:
      return "x-Chinese-Eten";
    case 21025:
      return "cp1025";
    case 51932:
      return "euc-jp";
    case 1201:
      return "UTF-16LE";
    default:
      break;
  }
  for (const NamedCodePage& f : fixedNames)
    if (f.codePage == codePage) return f.name;
  if (codePage >= 28591 && codePage <= 28605) return "iso-8859-%d";
  const char* family = familyPattern(codePage);
  return family ? family : "windows-%d";
}

const char* cpName(uint32_t codePage, char* buf, size_t size) {
  const char* format = cpNameFormat(codePage);
  if (strchr(format, '%'))
    snprintf(buf, size, format, (int)(codePage >= 28590 && codePage <= 28605 ? codePage - 28590 : codePage));
  else
    snprintf(buf, size, "%s", format);
  return buf;
}

int convSetPair(const char* targetName, const char* sourceName, uint32_t slot) {
  uint32_t source = cpFromName(sourceName);
  uint32_t target = cpFromName(targetName);
  // "ANSI" names code page 0 on purpose: the system's own.
  if (source == 0 && !strEqualsIgnoreCase(sourceName, "ANSI")) {
    logError(logCatConv, "Illegal codepage %s\n", sourceName);
    return -1;
  }
  if (target == 0 && !strEqualsIgnoreCase(targetName, "ANSI")) {
    logError(logCatConv, "Illegal codepage %s\n", targetName);
    return -1;
  }
  if (slot >= convSlotCount) return -1;
  if (source == 0) source = convPrimAnsiCodePage();
  if (target == 0) target = convPrimAnsiCodePage();
  slots[slot] = CodePagePair{source, target};
  return 0;
}

void convGetPair(uint32_t slot, uint32_t* source, uint32_t* target) {
  CodePagePair p = slot < convSlotCount ? slots[slot] : CodePagePair{0, 0};
  *source = p.source;
  *target = p.target;
}

int convInit(int* argc, char*** argv) {
  char ansi[charsetNameSize];
  cpName(convPrimAnsiCodePage(), ansi, sizeof ansi);
  snprintf(charsetNames[convRoleFiledata], charsetNameSize, "%s", ansi);
  snprintf(charsetNames[convRolePipedata], charsetNameSize, "%s", ansi);
  char** args = *argv;
  for (int i = 1; i < *argc;) {
    uint32_t role = strcmp(args[i], "--filedata") == 0   ? convRoleFiledata
                    : strcmp(args[i], "--pipedata") == 0 ? convRolePipedata
                                                         : convRoleCount;
    if (role == convRoleCount || i + 1 >= *argc) {
      i++;
      continue;
    }
    snprintf(charsetNames[role], charsetNameSize, "%s", args[i + 1]);
    strRemoveArgs(argc, args, i, 2);
  }
  memset(slots, 0, sizeof slots);
  int result = 0;
  for (const RolePair& r : rolePairs) {
    const char* a = charsetNames[r.from];
    const char* b = charsetNames[r.to];
    if (strcmp(a, b) == 0) continue;
    if (convSetPair(b, a, r.slot) != 0 || convSetPair(a, b, r.slot + 1) != 0) {
      fprintf(stderr, "%s: Could not setup conversions for %s <-> %s\n", *argc > 0 ? args[0] : "", a, b);
      slots[r.slot] = slots[r.slot + 1] = CodePagePair{0, 0};
      result = -1;
    }
  }
  return result;
}

void convRelease() {}

const char* convCharsetName(uint32_t role) { return role < convRoleCount ? charsetNames[role] : nullptr; }

void convLogCharsets() {
  uint32_t level = processType == 1 ? logLevelInfo : logLevelDebug;
  if (!logGate(logCatConv, level)) return;
  logAt(level, logCatConv, "Network  character set is %s\n", charsetNames[0]);
  logAt(level, logCatConv, "Internal character set is %s\n", charsetNames[1]);
  logAt(level, logCatConv, "Filedata character set is %s\n", charsetNames[2]);
  logAt(level, logCatConv, "Filesys  character set is %s\n", charsetNames[3]);
  logAt(level, logCatConv, "Pipedata character set is %s\n", charsetNames[4]);
  logAt(level, logCatConv, "HTTP hdr character set is %s\n", charsetNames[5]);
}

// How many bytes at the end of a UTF-8 buffer form an incomplete character
// to hold back; -1 for a broken buffer.
static int utf8HeldBack(const unsigned char* s, uint32_t length) {
  if (length == 0 || s[length - 1] < 0x80) return 0;
  uint32_t i = length - 1;
  while ((s[i] & 0xC0) == 0x80) {
    if (i == 0) {
      logError(logCatConv, "Cannot convert UTF8 that starts halfway through character\n");
      return -1;
    }
    i--;
  }
  unsigned char lead = s[i];
  if (lead < 0x80) {
    logErrorStr(logCatConv, "Illegal UTF8 sequence", s + i, length - i);
    return -1;
  }
  uint32_t need = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
  uint32_t have = length - i;
  return have < need ? (int)have : 0;
}

int convertBuffer(const void* source, uint32_t* sourceLength, char** out, uint32_t* outLength, uint32_t sourceCodePage,
                  uint32_t targetCodePage) {
  *out = nullptr;
  if (outLength) *outLength = 0;
  if (sourceCodePage == 0 || targetCodePage == 0) {
    logError(logCatConv, "Cannot convert invalid codepage\n");
    return -1;
  }
  const unsigned char* s = static_cast<const unsigned char*>(source);
  uint16_t* wide = nullptr;
  uint32_t wideCount = 0;
  if (sourceCodePage == cpUtf16Le) {
    *sourceLength &= ~1u;
    wideCount = *sourceLength / 2;
    if (wideCount == 0) return 0;
    // A lone high surrogate at the end waits for its partner.
    uint16_t last = (uint16_t)(s[*sourceLength - 2] | s[*sourceLength - 1] << 8);
    if (last >= 0xD800 && last <= 0xDBFF) {
      *sourceLength -= 2;
      wideCount--;
      if (wideCount == 0) return 0;
    }
    wide = static_cast<uint16_t*>(memAlloc(wideCount * 2 + 2));
    memcpy(wide, s, wideCount * 2);
    wide[wideCount] = 0;
  } else {
    uint32_t length = *sourceLength;
    if (sourceCodePage == cpUtf8) {
      int held = utf8HeldBack(s, length);
      if (held < 0) return -1;
      length -= (uint32_t)held;
    } else if (length > 0 && convPrimIsLeadByte(sourceCodePage, s[length - 1])) {
      // Only a lead byte that is not itself the trail of a pair is held.
      uint32_t i = 0;
      bool lastIsLead = false;
      while (i < length) {
        lastIsLead = convPrimIsLeadByte(sourceCodePage, s[i]) && i == length - 1;
        i += convPrimIsLeadByte(sourceCodePage, s[i]) ? 2 : 1;
      }
      if (lastIsLead) length--;
    }
    *sourceLength = length;
    if (length == 0) return 0;
    if (convPrimToWide(sourceCodePage, reinterpret_cast<const char*>(s), length, &wide, &wideCount) != 0) return -1;
  }
  if (targetCodePage == cpUtf16Le) {
    *out = reinterpret_cast<char*>(wide);
    if (outLength) *outLength = wideCount * 2;
    return 0;
  }
  char* block = nullptr;
  uint32_t blockLength = 0;
  int rc = convPrimFromWide(targetCodePage, wide, wideCount, &block, &blockLength);
  memFree(wide);
  if (rc != 0) return -1;
  *out = block;
  if (outLength) *outLength = blockLength;
  return 0;
}

int convertRole(const void* source, int32_t sourceLength, char** out, uint32_t* outLength, uint32_t slot) {
  CodePagePair p = slot < convSlotCount ? slots[slot] : CodePagePair{0, 0};
  uint32_t length = 0;
  if (sourceLength >= 0) {
    length = (uint32_t)sourceLength;
  } else if (p.source == cpUtf16Le) {
    const uint16_t* w = static_cast<const uint16_t*>(source);
    while (w[length]) length++;
    length *= 2;
  } else {
    length = (uint32_t)strlen(static_cast<const char*>(source));
  }
  return convertBuffer(source, &length, out, outLength, p.source, p.target);
}

uint16_t* convWideDup(const uint16_t* text) {
  uint32_t n = 0;
  while (text[n]) n++;
  uint16_t* copy = static_cast<uint16_t*>(memAlloc((n + 1) * 2));
  memcpy(copy, text, (n + 1) * 2);
  return copy;
}

int utf8Decode(const unsigned char* bytes, uint32_t avail, uint32_t* codePoint) {
  if (avail == 0) return 0;
  unsigned char b = bytes[0];
  if (b < 0x80) {
    *codePoint = b;
    return 1;
  }
  int length = (b & 0xE0) == 0xC0 && b > 0xC1 ? 2
               : (b & 0xF0) == 0xE0           ? 3
               : (b & 0xF8) == 0xF0           ? 4
               : (b & 0xFC) == 0xF8           ? 5
               : (b & 0xFE) == 0xFC           ? 6
                                              : 0;
  if (length == 0) {
    logError(logCatUtf, "Invalid first byte %02X in UTF8 sequence\n", b);
    return 0;
  }
  uint32_t cp = b & (0x7F >> length);
  for (int i = 1; i < length; i++) {
    if ((uint32_t)i >= avail || (bytes[i] & 0xC0) != 0x80) {
      if ((uint32_t)i < avail) {
        char fmt[80];
        snprintf(fmt, sizeof fmt, "Invalid byte %02X at %d bytes into UTF8 sequence:\n", bytes[i], i);
        logErrorStr(logCatUtf, "-%s", bytes, (uint32_t)(i + 1), fmt);
      }
      return 0;
    }
    cp = cp << 6 | (bytes[i] & 0x3F);
  }
  *codePoint = cp;
  return length;
}

int bomDetect(const void* bytes, uint32_t length, int* encoding) {
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  if (length >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
    *encoding = bomUtf8;
  else if (length >= 2 && b[0] == 0xFE && b[1] == 0xFF)
    *encoding = bomUtf16Be;
  else if (length >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0)
    *encoding = bomUtf32Le;
  else if (length >= 2 && b[0] == 0xFF && b[1] == 0xFE)
    *encoding = bomUtf16Le;
  else if (length >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF)
    *encoding = bomUtf32Be;
  else
    return -1;
  return 0;
}

// Appends one code point as UTF-8.
static void appendUtf8(StringBuffer* sb, uint32_t cp) {
  char u[4];
  uint32_t n;
  if (cp < 0x80) {
    u[0] = (char)cp;
    n = 1;
  } else if (cp < 0x800) {
    u[0] = (char)(0xC0 | cp >> 6);
    u[1] = (char)(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    u[0] = (char)(0xE0 | cp >> 12);
    u[1] = (char)(0x80 | (cp >> 6 & 0x3F));
    u[2] = (char)(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    u[0] = (char)(0xF0 | cp >> 18);
    u[1] = (char)(0x80 | (cp >> 12 & 0x3F));
    u[2] = (char)(0x80 | (cp >> 6 & 0x3F));
    u[3] = (char)(0x80 | (cp & 0x3F));
    n = 4;
  }
  sbAppendData(sb, u, n);
}

int anyToUtf8(int encoding, const void* bytes, uint32_t length, char** out) {
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  *out = nullptr;
  if (encoding == bomLocal) {
    uint32_t n = length;
    char* text = nullptr;
    // An equal pair is stored as the empty pair {0, 0}: the data is already
    // in the internal character set.
    const CodePagePair pair = slots[convFiledataToInternal];
    if (pair.source == pair.target) {
      *out = memStrDupN(reinterpret_cast<const char*>(b), n);
      return 0;
    }
    if (convertRole(b, (int32_t)n, &text, nullptr, convFiledataToInternal) != 0) return -1;
    *out = text ? text : memStrDup("");
    return 0;
  }
  if (encoding == bomUtf8) {
    *out = memStrDupN(reinterpret_cast<const char*>(b), length);
    return 0;
  }
  StringBuffer sb;
  sbInitHere(&sb);
  bool bigEndian = encoding == bomUtf16Be || encoding == bomUtf32Be;
  bool wide32 = encoding >= bomUtf32;
  uint32_t unit = wide32 ? 4 : 2;
  for (uint32_t i = 0; i + unit <= length; i += unit) {
    uint32_t v = 0;
    for (uint32_t k = 0; k < unit; k++) v |= (uint32_t)b[i + (bigEndian ? unit - 1 - k : k)] << (8 * k);
    if (!wide32 && v >= 0xD800 && v <= 0xDBFF && i + 2 * unit <= length) {
      uint32_t lo = bigEndian ? (uint32_t)(b[i + 2] << 8 | b[i + 3]) : (uint32_t)(b[i + 3] << 8 | b[i + 2]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
        i += unit;
      }
    }
    if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) v = 0xFFFD;
    appendUtf8(&sb, v);
  }
  *out = sbTakeString(&sb);
  if (!*out) *out = memStrDup("");
  sbClean(&sb);
  return 0;
}

// ---- Conversion stream levels ----

namespace {

struct Converter {
  uint32_t sourceCodePage;  // code page of bytes taken in
  uint32_t targetCodePage;  // code page of bytes handed on
  StringBuffer pending;     // source bytes not yet converted
  char* converted;          // converted bytes not yet handed on, or null
  uint32_t convertedPos;    // next byte of converted to hand on
  uint32_t convertedEnd;    // bytes in converted
};

struct ConversionState {
  IoStream* inner;   // the level below
  Converter input;   // reading direction
  Converter output;  // writing direction
};

void converterFree(Converter* c) {
  sbClean(&c->pending);
  memFree(c->converted);
  c->converted = nullptr;
}

// Converts what pending holds and drops the consumed bytes from it.
int converterRun(Converter* c, char** block, uint32_t* length) {
  uint32_t consumed = sbGetLength(&c->pending);
  if (convertBuffer(sbGet(&c->pending), &consumed, block, length, c->sourceCodePage, c->targetCodePage) != 0) return -1;
  sbRemove(&c->pending, 0, consumed);
  return 0;
}

int conversionRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  ConversionState* s = static_cast<ConversionState*>(level->state);
  Converter* c = &s->input;
  char* dst = static_cast<char*>(buf);
  uint32_t done = 0;
  if (c->converted) {
    uint32_t n = c->convertedEnd - c->convertedPos;
    if (n > len) n = len;
    memcpy(dst, c->converted + c->convertedPos, n);
    c->convertedPos += n;
    done += n;
    if (c->convertedPos == c->convertedEnd) {
      memFree(c->converted);
      c->converted = nullptr;
    }
  }
  int result = 0;
  bool end = false;
  while (done < len && !end && result == 0) {
    uint32_t want = (len - done) * 2;
    uint32_t read = 0;
    result = sbAppendIosRead(&c->pending, s->inner, want, &read);
    if (result != 0) break;
    if (read < want) end = true;
    if (sbGetLength(&c->pending) == 0) break;
    char* block = nullptr;
    uint32_t length = 0;
    result = converterRun(c, &block, &length);
    if (result != 0 || !block) {
      if (!block && read == 0) break;  // only an incomplete character is left
      continue;
    }
    uint32_t n = length < len - done ? length : len - done;
    memcpy(dst + done, block, n);
    done += n;
    if (n < length) {
      c->converted = block;
      c->convertedPos = n;
      c->convertedEnd = length;
    } else {
      memFree(block);
    }
  }
  *got = done;
  return done > 0 ? 0 : result;
}

int conversionWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  ConversionState* s = static_cast<ConversionState*>(state);
  Converter* c = &s->output;
  if (sbAppendData(&c->pending, buf, len) != 0) return -1;
  if (written) *written = len;
  char* block = nullptr;
  uint32_t length = 0;
  if (converterRun(c, &block, &length) != 0) return -1;
  int rc = block ? iosWrite(s->inner, block, length, nullptr) : 0;
  memFree(block);
  return rc;
}

int conversionFlush(void* state) { return iosFlush(static_cast<ConversionState*>(state)->inner); }

int conversionCanRead(void* state, uint64_t timeoutMs) {
  ConversionState* s = static_cast<ConversionState*>(state);
  if (s->input.converted) return 0;
  return iosCanRead(s->inner, timeoutMs);
}

int conversionClose(void* state) {
  ConversionState* s = static_cast<ConversionState*>(state);
  converterFree(&s->input);
  converterFree(&s->output);
  int rc = iosClose(s->inner);
  memFree(s);
  return rc;
}

const IoStreamOps conversionInputOps = {
    .name = "ConversionInputStream",
    .read = conversionRead,
    .close = conversionClose,
    .canRead = conversionCanRead,
};
const IoStreamOps conversionOutputOps = {
    .name = "ConversionOutputStream",
    .write = conversionWrite,
    .close = conversionClose,
    .flush = conversionFlush,
};

int wrapConversion(IoStream* stream, uint32_t slot, bool input) {
  CodePagePair p = slot < convSlotCount ? slots[slot] : CodePagePair{0, 0};
  if (p.source == p.target) return 0;
  if (!stream) return -1;
  ConversionState* s = memNew(ConversionState);
  Converter* c = input ? &s->input : &s->output;
  c->sourceCodePage = p.source;
  c->targetCodePage = p.target;
  sbInitHere(&s->input.pending);
  sbInitHere(&s->output.pending);
  iosWrap(stream, s, input ? &conversionInputOps : &conversionOutputOps);
  s->inner = stream->next;
  return 0;
}

}  // namespace

int iosWrapConversionInputStream(IoStream* stream, uint32_t slot) { return wrapConversion(stream, slot, true); }
int iosWrapConversionOutputStream(IoStream* stream, uint32_t slot) { return wrapConversion(stream, slot, false); }
