// StringBuffer and files: appending a whole file, and reading a text file in
// the encoding its byte order mark names (else the local code page) as UTF-8.
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "osfile.h"
#include "stringbuf.h"

namespace {

// Encoding names and byte order mark lengths by encoding index.
const char* const encodingNames[] = {"local", "utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"};
const uint32_t bomLengths[] = {0, 3, 2, 2, 2, 4, 4, 4};
static_assert(SFX_ARRAY_SIZE(encodingNames) == 8 && SFX_ARRAY_SIZE(bomLengths) == 8, "eight encodings");

}  // namespace

int sbAppendFile(StringBuffer* sb, const char* path) {
  if (!sbIsGrowable(sb)) return -1;
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return -1;
  int r = sbAppendInputStream(sb, in, 0, nullptr);
  iosClose(in);
  return r;
}

int sbReadTextFile(StringBuffer* sb, const char* path) {
  if (!sbIsGrowable(sb)) return -1;
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return -1;
  StringBuffer raw;
  sbInit(&raw, sb->file, sb->line);
  int result = -1;
  char* text = nullptr;
  if (sbAppendInputStream(&raw, in, 0, nullptr) == 0 && sbAppendData(&raw, "\0\0\0\0", 4) == 0) {
    int encoding = 0;
    uint32_t skip = 0;
    if (bomDetect(raw.data, raw.length, &encoding) == 0 && encoding >= 0 && encoding < 8) {
      skip = bomLengths[encoding];
      logTrace(logCatStringBuf, "Reading '%s': BOM indicates encoding %s\n", path, encodingNames[encoding]);
    } else {
      encoding = 0;
      const char* local = convCharsetName(convRoleFiledata);
      logTrace(logCatStringBuf, "Reading '%s': No BOM; assume local encoding %s\n", path, local ? local : "?");
    }
    uint32_t inputLength = raw.length - skip;
    if (anyToUtf8(encoding, raw.data + skip, inputLength, &text) == 0 && text) {
      uint32_t before = sb->length;
      result = sbAppendString(sb, text);
      logDebug(logCatStringBuf, "Read '%s' length %u encoding '%s' converted to length %u UTF8\n", path, inputLength,
               encodingNames[encoding], sb->length - before);
    } else {
      logError(logCatStringBuf, "Unable to read '%s' in encoding '%s'; check BOM and content\n", path,
               encodingNames[encoding]);
    }
  }
  memFree(text);
  sbClean(&raw);
  iosClose(in);
  return result;
}
