// String utilities: argument lists, text building, number formatting,
// percent-encoding, shell-like expansion and the built-in variables.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osfile.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"

int strRemoveArgs(int* count, char** args, int first, int n) {
  if (first < 0 || n < 0 || first + n > *count) {
    logError(logCatStrUtil, "Cannot remove arguments %d..%d from list of %d arguments.\n", first, first + n, *count);
    return -1;
  }
  for (int i = first; i + n < *count; i++) args[i] = args[i + n];
  *count -= n;
  return 0;
}

void strFreeList(char** list, uint32_t count) {
  if (!list) return;
  for (uint32_t i = 0; count ? i < count : list[i] != nullptr; i++) memFree(list[i]);
  memFree(list);
}

int strPrintfAlloc(char** text, uint32_t* length, const char* fmt, ...) {
  StringBuffer sb;
  sbInitHere(&sb);
  va_list ap;
  va_start(ap, fmt);
  int r = sbVPrintf(&sb, fmt, ap);
  va_end(ap);
  uint32_t n = sbGetLength(&sb);
  *text = r == 0 ? sbTakeString(&sb) : nullptr;
  sbClean(&sb);
  if (r == 0 && !*text) r = -1;
  if (length) *length = r == 0 ? n : 0;
  return r;
}

char* strTrimRightChars(char* text, const char* set) {
  if (!text || !set) return text;
  size_t n = strlen(text);
  while (n > 1 && strchr(set, text[n - 1])) n--;
  text[n] = 0;
  return text;
}

char* strRemoveSuffix(char* text, const char* suffix) {
  if (strEndsWith(text, suffix)) text[strlen(text) - strlen(suffix)] = 0;
  return text;
}

// Negative values are written digit by digit from their negative
// remainders, so that the most negative value needs no special case.
char* strFromInt64(char* buffer, int base, int64_t value) {
  static const char digits[] = "zyxwvutsrqponmlkjihgfedcba9876543210123456789abcdefghijklmnopqrstuvwxyz";
  static_assert(sizeof digits == 2 * 35 + 2, "digit table mirrored around 0");
  if (base < 2 || base > 36) {
    buffer[0] = 0;
    return buffer;
  }
  char tmp[66];
  int n = 0;
  int64_t v = value;
  do {
    tmp[n++] = digits[35 + v % base];
    v /= base;
  } while (v != 0);
  char* out = buffer;
  if (value < 0) *out++ = '-';
  while (n > 0) *out++ = tmp[--n];
  *out = 0;
  return buffer;
}

int sbAppendUriComponent(StringBuffer* sb, const char* text) {
  if (!text) return 0;
  static const char hex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
    int r;
    if ((*p < 0x80 && isalnum(*p)) || *p == '-' || *p == '_' || *p == '.' || *p == '~') {
      r = sbAppendChar(sb, (char)*p);
    } else {
      char esc[3] = {'%', hex[*p >> 4], hex[*p & 15]};
      r = sbAppendData(sb, esc, 3);
    }
    if (r != 0) return -1;
  }
  return 0;
}

namespace {

// Appends the whole content of the file at path; -1 when it cannot be read.
int strAppendFile(StringBuffer* out, const char* path) {
  IoStream* ios = osFileOpenStream(path, osFileModeRead, 0, nullptr);
  if (!ios) return -1;
  char chunk[4096];
  int result = 0;
  for (;;) {
    uint32_t got = 0;
    if (iosRead(ios, chunk, sizeof chunk, &got) != 0) result = -1;
    if (result != 0 || got == 0) break;
    if (sbAppendData(out, chunk, got) != 0) result = -1;
  }
  iosClose(ios);
  return result;
}

// Values stored by the secure storage start with this tag; this build has
// no secure storage, so they are used as they stand.
constexpr const char* strSecureTag = "{CorvaneSecureStorage}:";

// Finds the "}" that closes the reference opening at ref ("${"), counting
// the "${" nested inside it; null when it is not closed.
const char* strFindClose(const char* ref) {
  int depth = 0;
  for (const char* p = ref + 2; *p; p++) {
    if (p[0] == '$' && p[1] == '{') {
      depth++;
      p++;
    } else if (*p == '}') {
      if (depth == 0) return p;
      depth--;
    }
  }
  return nullptr;
}

}  // namespace

// Expands ${name}, ${name:+word}, ${name:-word} and ${include:file};
// when something was replaced and the result still holds "${", the result
// is expanded again one level deeper.
int strEvaluateKshExpr(const char* text, StrLookupFn lookup, void* context, SortMap* includes, int depth,
                       char** result) {
  *result = nullptr;
  if (depth > 20) {
    logWarn(logCatStrUtil, "Script contains recursive include or variable.\n");
    return -1;
  }
  if (!text) return -1;
  StringBuffer out;
  sbInitHere(&out);
  int failed = 0;
  bool substituted = false;
  const char* p = text;
  for (const char* ref; !failed && (ref = strstr(p, "${")) != nullptr;) {
    failed |= sbAppendData(&out, p, (uint32_t)(ref - p));
    const char* close = strFindClose(ref);
    if (!close) {
      p = ref;
      break;
    }
    const char* inner = ref + 2;
    const char* colon = static_cast<const char*>(memchr(inner, ':', (size_t)(close - inner)));
    char* name = memStrDupN(inner, (colon ? colon : close) - inner);
    char* word = colon ? memStrDupN(colon + 1, close - colon - 1) : nullptr;
    logTrace(logCatStrUtil, "strEvaluateKshExpr try %s,word=%s\n", name, word ? word : "");
    if (word && strcmp(name, "include") == 0) {
      if (strAppendFile(&out, word) == 0) {
        if (includes) smPutCopy(includes, word, word);
        substituted = true;
      } else {
        failed |= sbAppendData(&out, ref, (uint32_t)(close + 1 - ref));
      }
    } else {
      const char* value = *name && lookup ? lookup(name, context) : nullptr;
      if (value && strncmp(value, strSecureTag, strlen(strSecureTag)) == 0)
        logDebug(logCatStrUtil, "Secure storage value of %s used as stored\n", name);
      const char* use = value;
      bool keep = false;
      if (word && word[0] == '+')
        use = value && *value ? word + 1 : "";
      else if (word && word[0] == '-')
        use = value && *value ? value : word + 1;
      else if (!value)
        keep = true;
      if (keep) {
        failed |= sbAppendData(&out, ref, (uint32_t)(close + 1 - ref));
      } else {
        failed |= sbAppendString(&out, use);
        substituted = true;
      }
    }
    memFree(name);
    memFree(word);
    p = close + 1;
  }
  failed |= sbAppendString(&out, p);
  if (failed) {
    sbClean(&out);
    return -1;
  }
  char* expanded = sbTakeString(&out);
  sbClean(&out);
  if (!expanded) return -1;
  logTrace(logCatStrUtil, "strEvaluateKshExpr %s\n", expanded);
  if (substituted && strstr(expanded, "${")) {
    int r = strEvaluateKshExpr(expanded, lookup, context, includes, depth + 1, result);
    memFree(expanded);
    return r;
  }
  *result = expanded;
  return 0;
}

namespace {

// A random (version 4) GUID in its 36-character text form.
char* strNewGuid() {
  std::random_device rd;
  uint8_t b[16];
  for (int i = 0; i < 16; i += 4) {
    uint32_t r = rd();
    memcpy(b + i, &r, 4);
  }
  b[6] = (uint8_t)((b[6] & 0x0F) | 0x40);
  b[8] = (uint8_t)((b[8] & 0x3F) | 0x80);
  char* text = nullptr;
  strPrintfAlloc(&text, nullptr, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                 b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

// The built-in names; host, boot time and address queries belong to
// programs with a network layer and are not known in this one.
const char* const strBuiltinNames[] = {"RemoteHostName", "HostName", "GUIDv4", "OSBootTime", "LocalIPAddresses"};

}  // namespace

int strResolveVariable(const char* name, char** value) {
  *value = nullptr;
  if (!name) return -1;
  if (strcmp(name, "GUIDv4") == 0) {
    *value = strNewGuid();
  } else if (strcmp(name, "LISTALL") == 0) {
    StringBuffer sb;
    sbInitHere(&sb);
    for (const char* n : strBuiltinNames) sbPrintf(&sb, "%s%s", sbGetLength(&sb) ? "," : "", n);
    *value = sbTakeString(&sb);
    sbClean(&sb);
  }
  logDebug(logCatStrUtil, "resolve %s = %s\n", name, *value ? *value : "<not found>");
  return *value ? 0 : -1;
}
