// ZIP archive locator and central directory: finds the end-of-central-
// directory record (and the ZIP64 record) in the tail of a file, works out
// how many bytes precede the archive, and loads the central directory into a
// SortMap keyed by entry index. Records are decoded byte by byte from
// little-endian fields; nothing is overlaid on raw bytes.
#include "zipint.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crc32.h"
#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osfile.h"
#include "sortmap.h"
#include "stringbuf.h"

namespace {

// Offsets of the fields of the end-of-central-directory record.
enum : uint32_t {
  eocdDisk = 4,
  eocdCdDisk = 6,
  eocdCountHere = 8,
  eocdCountTotal = 10,
  eocdCdSize = 12,
  eocdCdOffset = 16,
  eocdCommentLength = 20,
};

// Offsets of the fields of the ZIP64 end-of-central-directory record.
enum : uint32_t {
  z64RecordSize = 4,
  z64Disk = 16,
  z64CdDisk = 20,
  z64CountHere = 24,
  z64CountTotal = 32,
  z64CdSize = 40,
  z64CdOffset = 48,
};
static_assert(z64CdOffset + 8 == zipZip64EndRecordSize, "ZIP64 record fields end at 56 bytes");
static_assert(eocdCommentLength + 2 == zipEndRecordSize, "end record fields end at 22 bytes");

// Extra-field block types this module interprets.
enum : uint16_t {
  extraZip64 = 0x0001,
  extraUnix = 0x000D,
  extraTimestamp = 0x5455,
};

// Info-ZIP Unicode Path extra field: version, CRC-32 of the header name, name.
constexpr uint16_t extraUnicodePath = 0x7075;
// General-purpose flag: the name and comment are UTF-8.
constexpr uint16_t flagUtf8 = 0x0800;

// Code points of the bytes 0x80..0xFF in code page 437, the code page the ZIP
// format gives names without the UTF-8 flag.
const uint16_t cp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
static_assert(sizeof cp437High / sizeof cp437High[0] == 128, "one code point per high byte");

// Length of the well-formed UTF-8 sequence at s (shortest form, no
// surrogates, at most U+10FFFF), or 0.
uint32_t utf8SequenceLength(const uint8_t* s, size_t n) {
  const uint8_t b = s[0];
  if (b < 0x80) return 1;
  const uint32_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
  if (len == 0 || len > n) return 0;
  for (uint32_t i = 1; i < len; i++)
    if ((s[i] & 0xC0) != 0x80) return 0;
  if (b == 0xE0 && s[1] < 0xA0) return 0;   // overlong
  if (b == 0xED && s[1] >= 0xA0) return 0;  // surrogate
  if (b == 0xF0 && s[1] < 0x90) return 0;   // overlong
  if (b == 0xF4 && s[1] >= 0x90) return 0;  // above U+10FFFF
  return len;
}

// True when the n bytes are well-formed UTF-8 without NUL.
bool isUtf8Name(const uint8_t* s, size_t n) {
  for (size_t i = 0; i < n;) {
    const uint32_t len = s[i] ? utf8SequenceLength(s + i, n - i) : 0;
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// The name of a Unicode Path block of the extra field whose CRC matches the
// header name, when it is version 1 and well-formed UTF-8.
bool unicodePathName(const uint8_t* extra, uint32_t extraLength, const uint8_t* name, uint32_t nameLength,
                     const uint8_t** out, uint32_t* outLength) {
  for (uint32_t pos = 0; extraLength - pos >= 4;) {
    const uint16_t type = zipLe16(extra + pos);
    const uint32_t len = zipLe16(extra + pos + 2);
    if (len > extraLength - pos - 4) return false;
    const uint8_t* d = extra + pos + 4;
    if (type == extraUnicodePath && len > 5 && d[0] == 1) {
      uint32_t crc = 0;
      crc32Update(&crc, name, nameLength);
      if (crc == zipLe32(d + 1) && isUtf8Name(d + 5, len - 5)) {
        *out = d + 5;
        *outLength = len - 5;
        return true;
      }
      logDebug(logCatZip, "Unicode path field that does not match its entry name (skipped)\n");
    }
    pos += 4 + len;
  }
  return false;
}

// Writes the entry name as UTF-8 into out: the Unicode Path field when its
// CRC matches; else the name as it is when it is UTF-8 or flagged as such;
// else the name read as code page 437. A NUL byte, which would end the name
// early, becomes 0xC0, which no UTF-8 text holds, so that the entry fails.
void decodeEntryName(const ZipEntry* e, const uint8_t* name, const uint8_t* extra, StringBuffer* out) {
  const uint8_t* unicode = nullptr;
  uint32_t unicodeLength = 0;
  if (unicodePathName(extra, e->extraFieldLength, name, e->fileNameLength, &unicode, &unicodeLength)) {
    sbAppendData(out, unicode, unicodeLength);
    return;
  }
  const bool asIs = (e->bitFlag & flagUtf8) || isUtf8Name(name, e->fileNameLength);
  for (uint32_t i = 0; i < e->fileNameLength; i++) {
    const uint32_t cp = asIs || name[i] < 0x80 ? name[i] : cp437High[name[i] - 0x80];
    if (cp == 0) {
      sbAppendChar(out, (char)0xC0);
    } else if (asIs || cp < 0x80) {
      sbAppendChar(out, (char)cp);
    } else if (cp < 0x800) {
      sbAppendChar(out, (char)(0xC0 | cp >> 6));
      sbAppendChar(out, (char)(0x80 | (cp & 0x3F)));
    } else {
      sbAppendChar(out, (char)(0xE0 | cp >> 12));
      sbAppendChar(out, (char)(0x80 | ((cp >> 6) & 0x3F)));
      sbAppendChar(out, (char)(0x80 | (cp & 0x3F)));
    }
  }
}

// Logs a set time at debug level with its formatted value.
void logTime(const char* fmt, uint64_t ms) {
  if (!logGate(logCatZip, logLevelDebug)) return;
  char buf[80];
  const char* text = osDateFormatLocal(ms, buf, 0);
  logDebugFunc(logCatZip, fmt, text ? text : "?");
}

// True when the UTF-8 text at s (n bytes left) starts with a C1 control
// character (U+0080 to U+009F): a terminal may act on it as on ESC.
bool startsWithC1(const char* s, size_t n) {
  return n >= 2 && (uint8_t)s[0] == 0xC2 && (uint8_t)s[1] >= 0x80 && (uint8_t)s[1] <= 0x9F;
}

// True when the UTF-8 text at s (n bytes left) starts with a line or
// paragraph separator (U+2028, U+2029) or a bidirectional embedding,
// override or isolate (U+202A to U+202E, U+2066 to U+2069): a log viewer
// may break the line there, or show the rest of the name reversed.
bool startsWithDisguise(const char* s, size_t n) {
  if (n < 3 || (uint8_t)s[0] != 0xE2) return false;
  const uint8_t b = (uint8_t)s[1], c = (uint8_t)s[2];
  return (b == 0x80 && c >= 0xA8 && c <= 0xAE) || (b == 0x81 && c >= 0xA6 && c <= 0xA9);
}

}  // namespace

int zipDecodeCentralHeader(const uint8_t* p, ZipEntry* e) {
  memset(e, 0, sizeof *e);
  e->signature = zipLe32(p);
  e->versionMadeBy = zipLe16(p + 4);
  e->versionExtract = zipLe16(p + 6);
  e->bitFlag = zipLe16(p + 8);
  e->compressionMethod = zipLe16(p + 10);
  e->fileTime = zipLe16(p + 12);
  e->fileDate = zipLe16(p + 14);
  e->crc = zipLe32(p + 16);
  e->compressedSize = zipLe32(p + 20);
  e->uncompressedSize = zipLe32(p + 24);
  e->fileNameLength = zipLe16(p + 28);
  e->extraFieldLength = zipLe16(p + 30);
  e->commentLength = zipLe16(p + 32);
  e->diskStart = zipLe16(p + 34);
  e->internalAttributes = zipLe16(p + 36);
  e->externalAttributes = zipLe32(p + 38);
  e->offset = zipLe32(p + 42);
  if (e->uncompressedSize == 0xFFFFFFFFu) e->zip64Fields |= 1;
  if (e->compressedSize == 0xFFFFFFFFu) e->zip64Fields |= 2;
  if (e->offset == 0xFFFFFFFFu) e->zip64Fields |= 4;
  return e->signature == zipSigCentralHeader ? 0 : -1;
}

void zipDumpEntry(const ZipEntry* e) {
  if (!logGate(logCatZip, logLevelDebug)) return;
  logDebugFunc(logCatZip, "   versionMadeBy = %hu\n", e->versionMadeBy);
  logDebugFunc(logCatZip, "   versionExtract = %hu\n", e->versionExtract);
  logDebugFunc(logCatZip, "   bitFlag = %hu\n", e->bitFlag);
  logDebugFunc(logCatZip, "   compressionMethod = %hu\n", e->compressionMethod);
  logDebugFunc(logCatZip, "   fileTime = %hu\n", e->fileTime);
  logDebugFunc(logCatZip, "   fileDate = %hu\n", e->fileDate);
  logDebugFunc(logCatZip, "   crc = %x\n", e->crc);
  logDebugFunc(logCatZip, "   compressedSize = %" PRIu64 "\n", e->compressedSize);
  logDebugFunc(logCatZip, "   uncompressedSize = %" PRIu64 "\n", e->uncompressedSize);
  logDebugFunc(logCatZip, "   fileNameLength = %hu\n", e->fileNameLength);
  logDebugFunc(logCatZip, "   extraFieldLength = %hu\n", e->extraFieldLength);
  logDebugFunc(logCatZip, "   commentLength = %hu\n", e->commentLength);
  logDebugFunc(logCatZip, "   diskStart = %u\n", e->diskStart);
  logDebugFunc(logCatZip, "   internalAttributes = %hx\n", e->internalAttributes);
  logDebugFunc(logCatZip, "   externalAttributes = %x\n", e->externalAttributes);
  const uint16_t mode = zipEntryUnixMode(e);
  logDebugFunc(logCatZip, "   unixMode = %hx\n", mode);
  const char* type;
  switch (mode & 0xF000) {
    case 0x1000:
      type = "     FIFO\n";
      break;
    case 0x2000:
      type = "     Char device\n";
      break;
    case 0x4000:
      type = "     Directory\n";
      break;
    case 0x6000:
      type = "     Block device\n";
      break;
    case 0x8000:
      type = "     Regular\n";
      break;
    case 0xA000:
      type = "     Symlink\n";
      break;
    case 0xC000:
      type = "     Socket\n";
      break;
    default:
      type = "     Unknown type on this platform\n";
      break;
  }
  logDebugFunc(logCatZip, "%s", type);
  logDebugFunc(logCatZip, "   offset = %" PRIx64 "\n", e->offset);
}

// Walks the extra-field blocks. A block whose length runs past the end stops
// the walk uninterpreted; unknown types are skipped.
void zipParseExtraHeaders(ZipEntry* e, const uint8_t* data, uint32_t length) {
  uint32_t pos = 0;
  bool zip64Seen = false;
  while (pos < length) {
    const uint32_t left = length - pos;
    if (left < 4 || (uint32_t)zipLe16(data + pos + 2) > left - 4) {
      logWarn(logCatZip, "ExtraHeader inconsistent in size\n");
      return;
    }
    const uint16_t type = zipLe16(data + pos);
    const uint32_t len = zipLe16(data + pos + 2);
    const uint8_t* d = data + pos + 4;
    logTrace(logCatZip, "ExtraHeader type %x\n", type);
    switch (type) {
      case extraZip64: {
        logTrace(logCatZip, "zip64 extended len=%u\n", len);
        // Only the first one counts, as for the other readers: a second one
        // would let this reader find another file than they show.
        if (zip64Seen) {
          logDebug(logCatZip, "Further zip64 extended field (skipped)\n");
          break;
        }
        zip64Seen = true;
        e->zip64Given = 0;
        // Values appear for the saturated fields only, in this order. A
        // record without saturated fields takes none: its own values are
        // the ones every other reader uses, and an archive that let this
        // one read other offsets or sizes would install other files than
        // those readers show.
        const uint8_t mask = e->zip64Fields;
        uint32_t at = 0;
        if ((mask & 1) && len - at >= 8) {
          e->uncompressedSize = zipLe64(d + at);
          e->zip64Given |= 1;
          at += 8;
          logTrace(logCatZip, "zip64 uncompressed len=%" PRIu64 "\n", e->uncompressedSize);
        }
        if ((mask & 2) && len - at >= 8) {
          e->compressedSize = zipLe64(d + at);
          e->zip64Given |= 2;
          at += 8;
          logTrace(logCatZip, "zip64 compressed len=%" PRIu64 "\n", e->compressedSize);
        }
        if ((mask & 4) && len - at >= 8) {
          e->offset = zipLe64(d + at);
          e->zip64Given |= 4;
          at += 8;
          logTrace(logCatZip, "zip64 offset=%" PRIu64 "\n", e->offset);
        }
        break;
      }
      case extraTimestamp:
        if (len >= 5) {
          const uint8_t flags = d[0];
          uint32_t at = 1;
          if ((flags & 1) && len - at >= 4) {
            const uint64_t t = (uint64_t)zipLe32(d + at) * 1000;
            at += 4;
            e->modificationTime = e->accessTime = e->changeTime = t;
            logTime("modificationTime=%s\n", t);
          }
          if ((flags & 2) && len - at >= 4) {
            e->accessTime = (uint64_t)zipLe32(d + at) * 1000;
            at += 4;
            logTime("accessTime=%s\n", e->accessTime);
          }
          if ((flags & 4) && len - at >= 4) {
            e->changeTime = (uint64_t)zipLe32(d + at) * 1000;
            at += 4;
            logTime("changeTime=%s\n", e->changeTime);
          }
        }
        break;
      case extraUnix:
        if (len >= 4) {
          e->accessTime = (uint64_t)zipLe32(d) * 1000;
          logTime("accessTime=%s\n", e->accessTime);
        }
        if (len >= 8) {
          e->modificationTime = (uint64_t)zipLe32(d + 4) * 1000;
          logTime("modificationTime=%s\n", e->modificationTime);
        }
        if (len >= 10) logDebug(logCatZip, "uid=%u (ignored)\n", zipLe16(d + 8));
        if (len >= 12) logDebug(logCatZip, "gid=%u (ignored)\n", zipLe16(d + 10));
        break;
      default:
        logTrace(logCatZip, "ExtraHeader type %x (skipped)\n", type);
        break;
    }
    pos += 4 + len;
  }
}

// Scans the window backwards for the end record, follows the ZIP64 locator,
// checks the disk fields and computes the prefix. Failure messages are
// collected and logged once (debug when probing).
int zipLocateEndOfCentralDirectory(const uint8_t* window, uint64_t windowStart, uint64_t windowLength, ZipInfo* info,
                                   bool probe) {
  StringBuffer msg;
  sbInitHere(&msg);
  int result = -1;
  const uint8_t* rec = nullptr;
  const uint8_t* z64 = nullptr;
  const uint8_t* end = window + windowLength;

  // A probe takes only an end record that is the file's last 22 bytes: the
  // scan tries that one position, so the result never depends on how much
  // of the file lies in front of the window.
  if (windowLength >= zipEndRecordSize) {
    const uint8_t* last = probe ? end - zipEndRecordSize : window;
    for (const uint8_t* p = end - zipEndRecordSize;; p--) {
      if (logGate(logCatZip, logLevelTrace)) {
        logTraceFunc(logCatZip, "Locating EndOfCentralDirectory header @ %" PRIx64 "\n",
                     windowStart + (uint64_t)(p - window));
        logTraceStrFunc(logCatZip, "-signature", p, 4);
      }
      if (zipLe32(p) == zipSigEndOfCentralDir) {
        rec = p;
        logTrace(logCatZip, "Located EndOfCentralDirectory header @ %" PRIx64 "\n",
                 windowStart + (uint64_t)(p - window));
        break;
      }
      if (p == last) break;
    }
  }

  do {
    // A record at the very end that announces a comment has lost it.
    if (!rec || (probe && zipLe16(rec + eocdCommentLength) != 0)) {
      sbAppendString(&msg, "ZIP file does not contain EndOfCentralDirectory record");
      break;
    }
    const uint32_t commentLength = zipLe16(rec + eocdCommentLength);
    if (commentLength) {
      const uint64_t avail = (uint64_t)(end - (rec + zipEndRecordSize));
      const uint32_t n = commentLength < avail ? commentLength : (uint32_t)avail;
      memFree(info->comment);
      info->comment = static_cast<char*>(memCalloc(commentLength + 1, 1));
      memcpy(info->comment, rec + zipEndRecordSize, n);
    }

    // ZIP64: the locator sits directly before the end record.
    if ((uint64_t)(rec - window) >= zipZip64EndRecordSize + zipZip64LocatorSize &&
        zipLe32(rec - zipZip64LocatorSize) == zipSigZip64Locator) {
      const uint8_t* loc = rec - zipZip64LocatorSize;
      const uint64_t locPos = windowStart + (uint64_t)(loc - window);
      logTrace(logCatZip, "Located ZIP64 EndOfCentralDirectory locator @ %" PRIx64 "\n", locPos);
      for (const uint8_t* p = loc - 22;; p--) {
        if (zipLe32(p) == zipSigZip64EndOfCentralDir) {
          const uint64_t pos = windowStart + (uint64_t)(p - window);
          logTrace(logCatZip, "Located possible ZIP64 EndOfCentralDirectory header @ %" PRIx64 "\n", pos);
          if (pos + 12 + zipLe64(p + z64RecordSize) == locPos) {
            logTrace(logCatZip, "Valid ZIP64 EndOfCentralDirectory header\n");
            z64 = p;
            break;
          }
        }
        if (p == window) break;
      }
      if (!z64) {
        sbAppendString(&msg, "Cannot find ZIP64 EndOfCentralDirectory record");
        break;
      }
    }

    const uint8_t* found;
    if (z64) {
      info->centralDirOffset = zipLe64(z64 + z64CdOffset);
      info->centralDirSize = zipLe64(z64 + z64CdSize);
      info->entryCount = zipLe64(z64 + z64CountHere);
      const uint32_t disk = zipLe32(z64 + z64Disk);
      if (disk != 0 || zipLe32(z64 + z64CdDisk) != 0) {
        sbPrintf(&msg, "ZIP file is spread over %u disks which is not supported", disk + 1);
        break;
      }
      if (info->entryCount != zipLe64(z64 + z64CountTotal)) {
        sbAppendString(&msg, "ZIP directory is spread over multiple disks which is not supported");
        break;
      }
      found = z64;
    } else {
      info->centralDirOffset = zipLe32(rec + eocdCdOffset);
      info->centralDirSize = zipLe32(rec + eocdCdSize);
      info->entryCount = zipLe16(rec + eocdCountHere);
      const uint32_t disk = zipLe16(rec + eocdDisk);
      if (info->entryCount == 0 || info->centralDirSize == 0) {
        sbAppendString(&msg, "ZIP file does not contain EndOfCentralDirectory record");
        break;
      }
      if (disk != 0 || zipLe16(rec + eocdCdDisk) != 0) {
        sbPrintf(&msg, "ZIP file is spread over %u disks which is not supported", disk + 1);
        break;
      }
      if (info->entryCount != zipLe16(rec + eocdCountTotal)) {
        sbAppendString(&msg, "ZIP directory is spread over multiple disks which is not supported");
        break;
      }
      found = rec;
    }

    // The central directory ends where the record found begins; any
    // difference is data in front of the archive.
    const uint64_t foundPos = windowStart + (uint64_t)(found - window);
    const uint64_t computed = info->centralDirOffset + info->centralDirSize;
    logTrace(logCatZip, "CentralDirectory offset=%" PRIx64 " size=%" PRIx64 "\n", info->centralDirOffset,
             info->centralDirSize);
    logTrace(logCatZip, "End Of CentralDirectory computed=%" PRIx64 "\n", computed);
    logTrace(logCatZip, "windowStart = %" PRIx64 " p=%p window=%p len=%" PRIx64 "\n", windowStart, (const void*)found,
             (const void*)window, windowLength);
    logTrace(logCatZip, "Found ZIP EndOfCentral directory at offset = %" PRIx64 "\n", foundPos);
    // Data in front of the archive moves it back, never forward: a directory
    // that would end past the record is corrupt (and its sum may overflow).
    if (info->centralDirOffset > foundPos || info->centralDirSize > foundPos - info->centralDirOffset) {
      sbPrintf(&msg,
               "ZIP central directory of %" PRIu64 " bytes at offset %" PRIu64
               " ends past the EndOfCentralDirectory record at %" PRIu64,
               info->centralDirSize, info->centralDirOffset, foundPos);
      break;
    }
    info->prefix = 0;
    if (foundPos != computed) {
      info->prefix = foundPos - computed;
      logDebug(logCatZip, "The ZIP file starts %" PRIu64 " bytes into the file\n", info->prefix);
    }
    result = 0;
  } while (false);

  if (result != 0) {
    if (probe)
      logDebug(logCatZip, "%s\n", sbGet(&msg));
    else
      logError(logCatZip, "%s\n", sbGet(&msg));
  }
  sbClean(&msg);
  return result;
}

// Appends the name, decoded to UTF-8, the extra field and the comment to the
// block that starts with the entry record, whose name length it corrects.
static void appendEntryTail(StringBuffer* block, ZipEntry* entry, const uint8_t* bytes) {
  StringBuffer name;
  sbInitHere(&name);
  decodeEntryName(entry, bytes, bytes + entry->fileNameLength, &name);
  const uint32_t length = sbGetLength(&name);
  if (length <= 0xFFFF && (length != entry->fileNameLength || memcmp(sbGet(&name), bytes, length) != 0)) {
    if (logGate(logCatZip, logLevelDebug)) {
      StringBuffer shown;
      sbInitHere(&shown);
      zipShowEntryName(sbGet(&name), &shown);
      logDebugFunc(logCatZip, "Entry name read as %s\n", sbGet(&shown));
      sbClean(&shown);
    }
    const uint16_t rawLength = entry->fileNameLength;
    entry->fileNameLength = (uint16_t)length;
    memcpy(sbGet(block), entry, sizeof *entry);
    sbAppendStringBuffer(block, &name);
    sbAppendData(block, bytes + rawLength, (uint32_t)entry->extraFieldLength + entry->commentLength);
  } else {
    sbAppendData(block, bytes, (uint32_t)entry->fileNameLength + entry->extraFieldLength + entry->commentLength);
  }
  sbClean(&name);
}

const char* zipEntryNameFault(const char* name) {
  const size_t n = strlen(name);
  if (!isUtf8Name(reinterpret_cast<const uint8_t*>(name), n)) return "is not valid UTF-8";
  for (size_t i = 0; i < n; i++) {
    if ((uint8_t)name[i] < 0x20 || name[i] == 0x7F)
      return "holds a control character, which Windows does not allow in names";
    // Windows takes these, but no installer needs them, and every log line
    // and listing that names the file would carry them.
    if (startsWithC1(name + i, n - i)) return "holds a control character";
    if (startsWithDisguise(name + i, n - i)) return "holds a line separator or a bidirectional text control";
  }
  return nullptr;
}

void zipShowEntryName(const char* name, StringBuffer* shown) { zipShowBytes(name, strlen(name), shown); }

void zipShowBytes(const char* name, size_t n, StringBuffer* shown) {
  sbEmpty(shown);
  for (size_t i = 0; i < n;) {
    const uint8_t c = (uint8_t)name[i];
    const uint32_t len = utf8SequenceLength(reinterpret_cast<const uint8_t*>(name) + i, n - i);
    if (len && c >= 0x20 && c != 0x7F && !startsWithC1(name + i, n - i) && !startsWithDisguise(name + i, n - i)) {
      sbAppendData(shown, name + i, len);
      i += len;
    } else {
      sbPrintf(shown, "\\x%02X", (unsigned)c);
      i++;
    }
  }
}

void zipReportNameFault(const char* name, const char* fault) {
  StringBuffer shown;
  sbInitHere(&shown);
  zipShowEntryName(name, &shown);
  logError(logCatZip, "Entry name %s %s\n", sbGet(&shown), fault);
  sbClean(&shown);
}

void zipReportOverlap(const ZipEntry* e, uint64_t offset) {
  StringBuffer shown;
  sbInitHere(&shown);
  zipShowBytes(zipEntryName(e), e->fileNameLength, &shown);
  logError(logCatZip, "Error in ZIP file: entry %s at offset %" PRIu64 " overlaps %s\n", sbGet(&shown), offset,
           e->roomToDirectory ? "the central directory" : "the next entry");
  sbClean(&shown);
}

namespace {

// Where an entry lies in the archive: its local header's offset and the
// least it takes from there (header and data, names and extra fields not
// counted, as the local ones may be shorter).
struct ZipSpan {
  uint64_t offset;
  uint64_t least;
  ZipEntry* entry;
};

// Puts span number `count` into *spans, which grows by doubling.
int addSpan(ZipSpan** spans, uint64_t count, ZipSpan span) {
  if ((count & (count - 1)) == 0 && count >= 64) {
    if (count > 0x7FFFFFFF / (2 * sizeof span)) {
      logError(logCatZip, "Error in ZIP file: %s\n", "too many entries");
      return -1;
    }
    *spans = static_cast<ZipSpan*>(memRealloc(*spans, 2 * count * sizeof span));
  } else if (count == 0) {
    *spans = static_cast<ZipSpan*>(memRealloc(*spans, 64 * sizeof span));
  }
  (*spans)[count] = span;
  return 0;
}

int compareSpans(const void* a, const void* b) {
  const uint64_t x = static_cast<const ZipSpan*>(a)->offset, y = static_cast<const ZipSpan*>(b)->offset;
  return x < y ? -1 : x > y ? 1 : 0;
}

// The span of a loaded entry, with the sizes and offset the walk takes: its
// extra field is read as the walk reads it (a ZIP64 field replaces the
// saturated values), quietly: the walk reports what it finds there. A
// saturated value that no ZIP64 field gives refuses the archive: the entry
// has no size or offset at all.
int spanOf(const ZipEntry* loaded, const uint8_t* name, ZipSpan* span) {
  ZipEntry e = *loaded;
  logSuppress();
  zipParseExtraHeaders(&e, name + e.fileNameLength, e.extraFieldLength);
  logUnsuppress();
  if (const uint8_t missing = e.zip64Fields & (uint8_t)~e.zip64Given) {
    StringBuffer shown;
    sbInitHere(&shown);
    zipShowBytes(reinterpret_cast<const char*>(name), e.fileNameLength, &shown);
    logError(logCatZip, "Error in ZIP file: entry %s: its %s is 0xFFFFFFFF and no ZIP64 extra field gives it\n",
             sbGet(&shown),
             (missing & 1)   ? "uncompressed size"
             : (missing & 2) ? "compressed size"
                             : "offset");
    sbClean(&shown);
    return -1;
  }
  const uint64_t data = e.compressedSize;
  *span = {e.offset, data > UINT64_MAX - zipLocalHeaderSize ? UINT64_MAX : zipLocalHeaderSize + data, nullptr};
  return 0;
}

// Refuses an archive whose entries overlap one another or the central
// directory: two records sharing a local header, or a header inside
// another entry's data, make a few bytes extract as many files (a ZIP bomb)
// or let tools that read the local headers in order see other files than
// this one. Gives each entry its room, which the walk checks against the
// local header's real length (its name and extra field). Sorts the spans.
int checkSpans(ZipInfo* info, ZipSpan* spans, uint64_t count) {
  qsort(spans, (size_t)count, sizeof *spans, compareSpans);
  for (uint64_t i = 0; i < count; i++) {
    ZipEntry* e = spans[i].entry;
    const uint64_t next = i + 1 < count ? spans[i + 1].offset : info->centralDirOffset;
    e->roomToDirectory = i + 1 == count;
    e->room = spans[i].offset <= next ? next - spans[i].offset : 0;
    if (spans[i].offset <= next && e->room >= spans[i].least) continue;
    zipReportOverlap(e, spans[i].offset);
    return -1;
  }
  return 0;
}

// After the records the end record counts, another record is an entry
// that would be left out without a word.
int checkNoFurtherRecord(ZipInfo* info) {
  uint8_t sig[4];
  if (iosReadFully(info->stream, sig, sizeof sig) != 0 || zipLe32(sig) != zipSigCentralHeader) return 0;
  logError(logCatZip, "Error in ZIP file: %s\n", "the central directory holds more entries than its end record counts");
  return -1;
}

}  // namespace

// Reads the central directory records one after the other from the stream
// into the directory map; each value is one block: record, name, extra
// field, comment. The records are read through a buffered level, which
// stays for the walk: its entries then mostly lie in bytes already read.
int zipLoadDirectory(ZipInfo* info) {
  if (iosWrapBufferedInputStream(info->stream, 0) != 0) return -1;
  if (iosSeek(info->stream, info->centralDirOffset + info->prefix) != 0) return -1;
  StringBuffer block;
  sbInitHere(&block);
  int result = 0;
  ZipSpan* spans = nullptr;
  for (uint64_t i = 0; i < info->entryCount; i++) {
    uint8_t raw[zipCentralHeaderSize];
    if (iosReadFully(info->stream, raw, sizeof raw) != 0) {
      logError(logCatZip, "Error in ZIP file: %s\n", "file header not found");
      result = -1;
      break;
    }
    ZipEntry entry;
    if (zipDecodeCentralHeader(raw, &entry) != 0) {
      logError(logCatZip, "Error in ZIP file: %s\n", "central directory signature not found");
      result = -1;
      break;
    }
    logDebug(logCatZip, "CentralDirectoryEntry %" PRIu64 "= ...\n", i);
    zipDumpEntry(&entry);
    logDebug(logCatZip, "Got header fileLen=%u extraLen=%u\n", entry.fileNameLength, entry.extraFieldLength);
    const uint32_t tail = (uint32_t)entry.fileNameLength + entry.extraFieldLength + entry.commentLength;
    sbEmpty(&block);
    if (sbEnsureCapacity(&block, (uint32_t)sizeof entry + tail) != 0 ||
        sbAppendData(&block, &entry, sizeof entry) != 0) {
      result = -1;
      break;
    }
    // The name (as UTF-8), extra field and comment go straight behind the
    // record.
    uint8_t* bytes = static_cast<uint8_t*>(memAlloc(tail ? tail : 1));
    const int rc = tail ? iosReadFully(info->stream, bytes, tail) : 0;
    if (rc != 0) logError(logCatZip, "Error in ZIP file: %s\n", "premature end of file");
    ZipSpan span = {};
    if (rc == 0 && spanOf(&entry, bytes, &span) != 0) result = -1;
    if (rc == 0 && result == 0 && tail) appendEntryTail(&block, &entry, bytes);
    memFree(bytes);
    if (rc != 0 || result != 0) {
      result = -1;
      break;
    }
    char key[24];
    snprintf(key, sizeof key, "%09" PRId64, (int64_t)i);
    char* data = sbTakeString(&block);
    if (!data || smPut(info->directory, key, data) != 0) {
      memFree(data);
      result = -1;
      break;
    }
    span.entry = reinterpret_cast<ZipEntry*>(data);
    if (addSpan(&spans, i, span) != 0) {
      result = -1;
      break;
    }
  }
  sbClean(&block);
  if (result == 0 && (checkNoFurtherRecord(info) != 0 || checkSpans(info, spans, info->entryCount) != 0)) result = -1;
  memFree(spans);
  if (result == 0) logDebug(logCatZip, "Loaded zip directory with %u entries\n", smCount(info->directory));
  return result;
}

// Opens the archive. The window is the file's tail: without probe, the
// last 65558 bytes or more, from a multiple of 256; with probe, exactly the
// last 65558 bytes (or the whole file), of which the locator tries only the
// end record at the very end, but which holds the ZIP64 locator and record
// in front of it whatever the file's size.
int zipOpen(ZipInfo** handle, const char* fileName, bool probe) {
  const uint64_t windowSize = zipSearchWindow;
  ZipInfo* info = memNew(ZipInfo);
  *handle = info;
  uint8_t* window = nullptr;
  int result = -1;
  do {
    info->directory = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
    // Nobody may change the archive while it is open (Windows): the digest
    // check and the extraction read the same bytes.
    info->stream = osFileOpenStream(fileName, osFileModeReadNoWriters, osFileTypeArchive, nullptr);
    if (!info->stream) break;
    uint64_t size = 0;
    if (osFileGetSize(fileName, &size) != 0) break;
    logTrace(logCatZip, "Locating zip in file of %" PRIu64 " bytes\n", size);
    uint64_t start = 0, length = size;
    if (size > windowSize) {
      start = probe ? size - windowSize : (size - windowSize) & ~(uint64_t)0xFF;
      length = size - start;
      logTrace(logCatZip, "seeking to %" PRIu64 "\n", start);
      if (iosSeek(info->stream, start) != 0) break;
    }
    logTrace(logCatZip, "window @ %" PRIu64 " size %u\n", start, (uint32_t)length);
    window = static_cast<uint8_t*>(memAlloc(length ? length : 1));
    if (iosReadFully(info->stream, window, (uint32_t)length) != 0) {
      if (!probe) logError(logCatZip, "Cannot read last %u bytes of file\n", (uint32_t)length);
      break;
    }
    if (zipLocateEndOfCentralDirectory(window, start, length, info, probe) != 0) break;
    if (zipLoadDirectory(info) != 0) break;
    result = 0;
  } while (false);
  if (result != 0) {
    logDebug(logCatZip, "File %s does not contain ZIP central directory\n", fileName);
    zipExit(handle);
  }
  memFree(window);
  logDebug(logCatZip, "zip in file: %s\n", result == 0 ? "true" : "false");
  return result;
}

uint32_t zipCount(ZipInfo* info) { return info && info->directory ? smCount(info->directory) : 0; }

void zipExit(ZipInfo** handle) {
  logTrace(logCatZip, "zipExit %p\n", (void*)handle);
  if (!handle || !*handle) return;
  ZipInfo* info = *handle;
  logTrace(logCatZip, "zipExit zipInfo %p\n", (void*)info);
  smDestroy(info->directory);
  info->directory = nullptr;
  zipEndJournal(info, zipJournalCommit);
  zipCloseJournalOnDisk(info);
  zipFlushWritten(info);
  logTrace(logCatZip, "zipExit InputStream %p\n", (void*)info->stream);
  if (info->stream) {
    iosLogStack(logLevelTrace, logCatZip, info->stream);
    iosClose(info->stream);
  }
  memFree(info->comment);
  memFree(info->scriptPath);
  memFree(info);
  *handle = nullptr;
}
