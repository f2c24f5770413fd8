// POSIX backend only: code-page conversion with the C library's iconv,
// code page numbers mapped to iconv names.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>

#include <cstdio>
#include <cstring>

#include "convprim.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "oserror.h"

namespace {

struct IconvName {
  uint32_t codePage;
  const char* name;
};

constexpr IconvName iconvNames[] = {
    {65001, "UTF-8"},       {65000, "UTF-7"},  {1200, "UTF-16LE"},    {1201, "UTF-16BE"}, {12000, "UTF-32LE"},
    {12001, "UTF-32BE"},    {20127, "ASCII"},  {20866, "KOI8-R"},     {21866, "KOI8-U"},  {10000, "MACINTOSH"},
    {54936, "GB18030"},     {51949, "EUC-KR"}, {20932, "EUC-JP"},     {51936, "EUC-CN"},  {50220, "ISO-2022-JP"},
    {50225, "ISO-2022-KR"}, {52936, "HZ"},     {950, "BIG5"},         {932, "CP932"},     {936, "CP936"},
    {949, "CP949"},         {1361, "JOHAB"},   {38598, "ISO-8859-8"},
};

// The iconv name of a code page: the table, ISO-8859-n, else CPnnn.
const char* iconvName(uint32_t codePage, char* buf, size_t size) {
  for (const IconvName& n : iconvNames)
    if (n.codePage == codePage) return n.name;
  if (codePage >= 28591 && codePage <= 28605) {
    snprintf(buf, size, "ISO-8859-%u", codePage - 28590);
    return buf;
  }
  snprintf(buf, size, "CP%u", codePage);
  return buf;
}

// Runs iconv over the whole input into a growing block. replace: on a
// character the target cannot hold, write "?" and skip one input unit.
int runIconv(const char* to, const char* from, const char* in, size_t inLength, size_t unit, bool replace, char** out,
             size_t* outLength, const char* what) {
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) {
    osErrorReport(logCatConv, (uint32_t)errno, "%s", what);
    return -1;
  }
  size_t capacity = inLength * 2 + 16;
  char* block = static_cast<char*>(memAlloc(capacity));
  size_t used = 0;
  char* src = const_cast<char*>(in);
  size_t left = inLength;
  int result = 0;
  while (left > 0) {
    char* dst = block + used;
    size_t room = capacity - used - 4;
    size_t rc = iconv(cd, &src, &left, &dst, &room);
    used = (size_t)(dst - block);
    if (rc != (size_t)-1) break;
    if (errno == E2BIG) {
      capacity = capacity * 2 + 16;
      block = static_cast<char*>(memRealloc(block, capacity));
    } else if ((errno == EILSEQ || errno == EINVAL) && replace) {
      size_t skip = unit < left ? unit : left;
      // A surrogate pair is one character.
      if (unit == 2 && left >= 4) {
        uint16_t w = (uint16_t)((unsigned char)src[0] | (unsigned char)src[1] << 8);
        if (w >= 0xD800 && w <= 0xDBFF) skip = 4;
      }
      src += skip;
      left -= skip;
      if (capacity - used < 8) {
        capacity = capacity * 2 + 16;
        block = static_cast<char*>(memRealloc(block, capacity));
      }
      block[used++] = '?';
    } else {
      osErrorReport(logCatConv, (uint32_t)errno, "%s", what);
      result = -1;
      break;
    }
  }
  iconv_close(cd);
  if (result != 0) {
    memFree(block);
    return -1;
  }
  block[used] = 0;
  block[used + 1] = 0;
  *out = block;
  *outLength = used;
  return 0;
}

}  // namespace

uint32_t convPrimAnsiCodePage() {
  const char* codeset = nl_langinfo(CODESET);
  uint32_t cp = codeset ? cpFromName(codeset) : 0;
  // The C locale's "ANSI_X3.4-1968" and unknown sets: treat text as UTF-8.
  return cp && cp != 20127 ? cp : cpUtf8;
}

int convPrimToWide(uint32_t codePage, const char* source, uint32_t length, uint16_t** wide, uint32_t* wideCount) {
  char name[32];
  char* out = nullptr;
  size_t outLength = 0;
  if (runIconv("UTF-16LE", iconvName(codePage, name, sizeof name), source, length, 1, true, &out, &outLength,
               "MultiByteToWideChar") != 0)
    return -1;
  *wide = reinterpret_cast<uint16_t*>(out);
  *wideCount = (uint32_t)(outLength / 2);
  return 0;
}

int convPrimFromWide(uint32_t codePage, const uint16_t* wide, uint32_t wideCount, char** out, uint32_t* length) {
  char name[32];
  size_t outLength = 0;
  if (runIconv(iconvName(codePage, name, sizeof name), "UTF-16LE", reinterpret_cast<const char*>(wide),
               (size_t)wideCount * 2, 2, codePage != cpUtf8, out, &outLength, "WideCharToMultiByte") != 0)
    return -1;
  *length = (uint32_t)outLength;
  return 0;
}

bool convPrimIsLeadByte(uint32_t codePage, unsigned char b) {
  switch (codePage) {
    case 932:
      return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950:
    case 1361:
      return b >= 0x81 && b <= 0xFE;
    default:
      return false;
  }
}
