// Archive walk: lists the entries of an open archive, or extracts them below
// a base directory through the disk writer (zipdisk.h). The walk reads: it
// decides which entries are taken and streams their data; the writer owns
// the disk. Each file is written under a temporary name beside its target,
// checked against its size and CRC-32, and only then moved into place; in
// journalling mode every change is recorded so that a failed walk (or a
// failed installation afterwards) can be undone.
#include <cstdio>
#include <cstring>

#include "crc32.h"
#include "inflate.h"
#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "osinit.h"
#include "progress.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"
#include "undolog.h"
#include "zipdisk.h"
#include "zipint.h"

namespace {

constexpr uint32_t zipChunkSize = 262144;    // bytes moved per read and write
constexpr uint32_t zipMaxLinkTarget = 4096;  // longest symbolic link target accepted

// General-purpose flag bits the walk refuses.
enum : uint16_t {
  zipFlagEncrypted = 0x0001,
  zipFlagPatchData = 0x0020,
  zipFlagStrongEncryption = 0x0040,
  zipFlagMaskedDirectory = 0x2000,
};
static_assert((zipFlagEncrypted | zipFlagStrongEncryption | zipFlagMaskedDirectory) == 0x2041);

const char* const installerSuffixes[] = {"installer.sh", "installer.cmd", "installer.exe"};

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// The entry name as the extraction resolves it: "/" and "\\" separate,
// empty and "." components go, ".." removes the component before it, and the
// rest is joined with "/" (a trailing "/" kept for a directory). Selections
// and the exclusion of files compare this form, so that "./a", ".//a" and
// "x/../a" are all "a".
int resolvedName(const char* name, StringBuffer* out) {
  sbEmpty(out);
  const char* p = name;
  while (*p) {
    const char* s = p;
    while (*p && !isSeparator(*p)) p++;
    const uint32_t n = (uint32_t)(p - s);
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      // Drop the last component (and its separator) again.
      uint32_t len = sbGetLength(out);
      const char* text = sbGet(out);
      while (len > 0 && text[len - 1] != '/') len--;
      if (sbGetLength(out)) sbSetLength(out, len > 0 ? len - 1 : 0, nullptr);
    } else if (n != 0 && !(n == 1 && s[0] == '.')) {
      if (sbGetLength(out) && sbAppendData(out, "/", 1) != 0) return -1;
      if (sbAppendData(out, s, n) != 0) return -1;
    }
    if (*p) p++;
  }
  const size_t len = strlen(name);
  if (len && isSeparator(name[len - 1]) && sbGetLength(out) && sbAppendData(out, "/", 1) != 0) return -1;
  return 0;
}

// Once the declared size has been read, lets an inflate level that is still
// on the stream consume the end of the deflate data. Data beyond the
// declared size, or a stream that does not end, fails the entry: the file
// would otherwise be accepted short.
int checkInflateEnd(ZipInfo* info) {
  if (!info->stream || info->stream->ops != &inflateInputStreamOps) return 0;
  uint8_t tail[10];
  uint32_t got = 0;
  if (iosRead(info->stream, tail, sizeof tail, &got) != 0) {
    logError(logCatZip, "ZIP end-of-file error\n");
    return -1;
  }
  if (got != 0) {
    logError(logCatZip, "ZIP status error\n");
    return -1;
  }
  return 0;
}

// Where the archive's stream is in the file: the position of its buffered
// level. -1 when not known.
int archivePosition(ZipInfo* info, uint64_t* pos) {
  for (const IoStream* level = info->stream; level; level = level->next)
    if (level->ops == &iosBufferedInputStreamOps) return iosBufferedPosition(level, pos);
  return -1;
}

// Deflate data that runs on past its entry's compressed size has read what
// follows: the next entry, which would so be extracted twice while no two
// entries seem to overlap, or the central directory. Such an entry fails.
int checkDataWithinSize(ZipInfo* info, const ZipEntry* e, const char* name) {
  uint64_t at = 0;
  if (info->dataAt == UINT64_MAX || archivePosition(info, &at) != 0 || at - info->dataAt <= e->compressedSize) return 0;
  logError(logCatZip, "ZIP component %s: its data runs %" PRIu64 " bytes past its compressed size\n", name,
           at - info->dataAt - e->compressedSize);
  return -1;
}

}  // namespace

int zipCheckEntryEnd(ZipInfo* info, const ZipEntry* e, const char* name) {
  return checkInflateEnd(info) == 0 && checkDataWithinSize(info, e, name) == 0 ? 0 : -1;
}

void zipCloseEntryData(ZipInfo* info) {
  if (!info->stream || info->stream->ops != &inflateInputStreamOps) return;
  iosLogStack(logLevelTrace, logCatZip, info->stream);
  if (info->stream->ops == &inflateInputStreamOps) iosCloseThisLevel(info->stream);
}

int zipOpenEntryData(ZipInfo* info, ZipEntry* e, const char* name, int* endFlag) {
  if (e->compressionMethod == 0 && e->compressedSize != e->uncompressedSize) {
    // Stored data is its own size: sizes that disagree describe no file.
    logError(logCatZip, "ZIP component %s size mismatch\n", name);
    return -1;
  }
  if (iosSeek(info->stream, e->offset + info->prefix) != 0) return -1;
  if (zipReadLocalHeader(e, info, name) != 0) return -1;
  if (archivePosition(info, &info->dataAt) != 0) info->dataAt = UINT64_MAX;
  if (e->compressionMethod == 8) {
    if (inflateWrapInputStream(info->stream, INFLATE_FORMAT_RAW, endFlag, false) != 0) return -1;
    logDebug(logCatZip, "Inflating %" PRIu64 " bytes to %" PRIu64 " bytes\n", e->compressedSize, e->uncompressedSize);
  } else {
    logDebug(logCatZip, "Copying %" PRIu64 " bytes to %" PRIu64 " bytes\n", e->compressedSize, e->uncompressedSize);
  }
  return 0;
}

namespace {

// ---- The walk ----

// State of one walk.
struct Walk {
  ZipInfo* info;
  StringBuffer* installerName;  // receives the installer script's name, or null
  bool wroteFile;               // the current entry was written as a file
  const char* pattern;          // the selection as given (for messages), or null
  const char* glob;             // the selection without its "!", or null
  bool negate;                  // a leading "!": take the entries that do not match
  ZipWalkMode mode;
  int verbosity;
  const char* baseDir;    // null: the current directory
  ZipDisk disk;           // the writer (extracting modes)
  StringBuffer resolved;  // the current entry's name as the extraction resolves it
  int status;             // 0, or -1 once an entry was skipped
  bool stop;              // an immediate failure ends the walk
  bool madeDirs;          // this walk created directories
  uint32_t files, dirs;
  uint64_t bytes;
};

// True (logged, walk marked failed) for an entry this program cannot
// extract: encrypted, patch data, or a method other than store and deflate.
bool entryIsRefused(Walk* w, const ZipEntry* e, const char* name) {
  if (e->bitFlag & (zipFlagEncrypted | zipFlagStrongEncryption | zipFlagMaskedDirectory)) {
    logError(logCatZip, "This unzip program does not support encryption, so skipping file %s with flags %x\n", name,
             e->bitFlag);
    w->status = -1;
    return true;
  }
  if (e->bitFlag & zipFlagPatchData) {
    logError(logCatZip, "This unzip program does not support patch files, so skipping file %s with flags %x\n", name,
             e->bitFlag);
    w->status = -1;
    return true;
  }
  if (e->compressionMethod != 0 && e->compressionMethod != 8) {
    logError(logCatZip,
             "This unzip program only supports methods 0 (store) and 8 (deflate), so skipping file %s with "
             "method %u\n",
             name, e->compressionMethod);
    w->status = -1;
    return true;
  }
  return false;
}

// Makes the resolved name the installer script's name when it is one;
// true then.
bool noteInstaller(Walk* w, const char* name) {
  logDebug(logCatZip, "Check installer script '%s'?\n", name);
  for (const char* suffix : installerSuffixes) {
    if (strEndsWith(name, suffix)) {
      logDebug(logCatZip, "Found installer script '%s'\n", name);
      sbEmpty(w->installerName);
      sbAppendStringBuffer(w->installerName, &w->resolved);
      return true;
    }
  }
  return false;
}

// Remembers which file, if any, this walk wrote as the installer script
// just named: only that very file is ever run, never one that was at its
// path before or was put there since.
void rememberScript(Walk* w, bool written, const ZipEntry* e) {
  ZipInfo* info = w->info;
  memFree(info->scriptPath);
  info->scriptPath = nullptr;
  const char* path = sbGet(&w->disk.pathName);
  if (!written || !w->disk.dir) return;
  if (osDirHandleIdOf(w->disk.dir, ulLeafOf(path), &info->scriptId) != 0) {
    logError(logCatZip, "Cannot query the installer script %s just written\n", path);
    w->status = -1;
    return;
  }
  info->scriptPath = memStrDup(path);
  info->scriptCrc = e->crc;
  info->scriptSize = e->uncompressedSize;
}

// Logs the listing header (zipSummary and more).
void listHeader(const ZipInfo* info) {
  if (info->comment) logInfo(logCatZip, "%s", info->comment);
  logInfo(logCatZip, "%12s %12s %6s %19s %8s %s\n", "Length", "Size", "Method", "Timestamp", "CRC-32", "Filename");
  const char* dash = "------------------------------------";
  logInfo(logCatZip, "%12.12s %12.12s %6.6s %19.19s %8.8s %s\n", dash, dash, dash, dash, dash, dash);
}

// Listing: one line per entry (zipSummary and more), and the counts.
void listEntry(Walk* w, const ZipEntry* e, const char* name, bool isDir) {
  if (w->verbosity >= zipSummary) {
    char when[80];
    const char* at = osDateFormatLocal(e->modificationTime, when, 0);
    if (e->commentLength) {
      // A comment is any bytes: it is shown as names are.
      StringBuffer shown;
      sbInitHere(&shown);
      zipShowBytes(zipEntryComment(e), e->commentLength, &shown);
      logInfo(logCatZip, "%12" PRIu64 " %12" PRIu64 " %6d %19.19s %08x %s (%s)\n", e->uncompressedSize,
              e->compressedSize, e->compressionMethod, at ? at : "?", e->crc, name, sbGet(&shown));
      sbClean(&shown);
    } else {
      logInfo(logCatZip, "%12" PRIu64 " %12" PRIu64 " %6d %19.19s %08x %s\n", e->uncompressedSize, e->compressedSize,
              e->compressionMethod, at ? at : "?", e->crc, name);
    }
  }
  if (isDir)
    w->dirs++;
  else
    w->files++;
}

// Whether the pattern takes the entry; it sees the resolved name.
bool isSelected(Walk* w, const char* name) {
  if (!w->glob || strMatchWildcard(w->glob, sbGet(&w->resolved), false) != w->negate) return true;
  logDebug(logCatZip, "%s does not match pattern %s\n", name, w->pattern);
  return false;
}

// Extracts one selected entry through the writer: a directory, a symbolic
// link, or a file with its attributes and times. -1 ends the walk.
int extractEntry(Walk* w, ZipEntry* e, const char* name, bool isDir) {
  const ZipDiskVerdict verdict = zipDiskCheck(&w->disk, name, isDir);
  if (verdict == zipDiskKeep) return 0;
  if (verdict == zipDiskSkip) {
    w->status = -1;
    return 0;
  }
  if (verdict != zipDiskWrite) return -1;
  const char* path = sbGet(&w->disk.pathName);
  if (isDir) {
    bool created = false;
    if (zipDiskMakeDirectory(&w->disk, &created) != 0) return -1;
    if (created) {
      e->created = 1;
      w->madeDirs = true;
      if (w->verbosity >= zipDetail) logInfo(logCatZip, "Created directory %s\n", path);
    }
    w->dirs++;
    return 0;
  }
  if ((zipEntryUnixMode(e) & 0xF000) == 0xA000) {
    StringBuffer target;
    sbInitHere(&target);
    int rc = zipExtractToBuffer(w->info, e, name, &target);
    // A target is a name like the entry's own: control characters and
    // broken UTF-8 are refused there too (they would reach the log raw).
    if (const char* fault = rc == 0 ? zipEntryNameFault(sbGet(&target)) : nullptr) {
      StringBuffer shown;
      sbInitHere(&shown);
      zipShowEntryName(sbGet(&target), &shown);
      logError(logCatZip, "Link %s: its target %s %s\n", name, sbGet(&shown), fault);
      sbClean(&shown);
      rc = -1;
    }
    if (rc == 0) rc = zipDiskLink(&w->disk, sbGet(&target));
    sbClean(&target);
    if (rc != 0) return -1;
    w->files++;
    return 0;
  }
  if (zipExtractFile(&w->disk, e, name) != 0) return -1;
  w->wroteFile = true;
  w->files++;
  if (w->verbosity >= zipDetail)
    logInfo(logCatZip,
            e->compressionMethod == 8 ? "Inflated %" PRIu64 " byte file %s\n" : "Extracted %" PRIu64 " byte file %s\n",
            e->uncompressedSize, name);
  w->bytes += e->uncompressedSize;
  return 0;
}

// One entry: names, times, refusals, the installer script, then listing or
// selection and extraction.
void walkEntry(Walk* w, ZipEntry* e, const char* name) {
  bool isDir = false;
  StringBuffer* pathName = &w->disk.pathName;
  if (resolvedName(name, &w->resolved) != 0) {
    w->stop = true;
    return;
  }
  if (w->mode != zipWalkList) {
    if (zipMakeNames(w->baseDir, name, 0, pathName, &w->disk.tempName, &w->disk.oldName, &isDir) != 0) {
      StringBuffer shown;  // control characters of a refused name are not written raw
      sbInitHere(&shown);
      zipShowEntryName(name, &shown);
      logError(logCatZip, "The OS was unable to create a valid filename, so skipping file %s\n", sbGet(&shown));
      sbClean(&shown);
      w->status = -1;
      return;
    }
    // The names that will really be used, so that the line below tells
    // where the data and the previous version go.
    if (!isDir && zipDiskFreeNames(&w->disk, name) != 0) {
      w->stop = true;
      return;
    }
  } else {
    // A listing refuses the names an extraction refuses, before any line
    // carries them.
    if (const char* fault = zipEntryNameFault(name)) {
      zipReportNameFault(name, fault);
      w->status = -1;
      return;
    }
    const size_t n = strlen(name);
    isDir = n > 0 && name[n - 1] == '/';
  }
  logDebug(logCatZip,
           "entry '%s' pathName '%s' tempName '%s' oldName '%s' versionMadeBy=%04x externalAttr=%08x "
           "bitflag=%x directory=%s\n",
           name, sbGet(pathName), sbGet(&w->disk.tempName), sbGet(&w->disk.oldName), e->versionMadeBy,
           e->externalAttributes, e->bitFlag, isDir ? "true" : "false");
  e->modificationTime = e->accessTime = e->changeTime = osDateFromDos(e->fileDate, e->fileTime);
  if (e->extraFieldLength) zipParseExtraHeaders(e, zipEntryExtra(e), e->extraFieldLength);
  if (entryIsRefused(w, e, name)) return;
  const bool installer = w->installerName && noteInstaller(w, name);
  w->wroteFile = false;
  if (w->mode == zipWalkList)
    listEntry(w, e, name, isDir);
  else if (isSelected(w, name) && extractEntry(w, e, name, isDir) != 0)
    w->stop = true;
  if (installer && w->mode != zipWalkList) rememberScript(w, w->wroteFile, e);
}

// The reverse pass: attributes and times of the directories this walk
// created, a directory after those inside it.
void fixDirectories(Walk* w) {
  logDebug(logCatZip, "Iterating 2nd time to process directory privileges and timestamps.\n");
  const char* key = nullptr;
  for (ZipEntry* e = static_cast<ZipEntry*>(smLast(w->info->directory, &key)); e;
       e = static_cast<ZipEntry*>(smPrevious(w->info->directory, &key))) {
    if (!e->created) continue;
    char* name = memStrDupN(zipEntryName(e), e->fileNameLength);
    logDebug(logCatZip, "Set attributes of %s versionMadeBy=%04x externalAttr=%08x\n", name, e->versionMadeBy,
             e->externalAttributes);
    char* real = nullptr;
    if (osDirRealPath(w->baseDir, name, &real) == 0 && real && zipDiskApplyDirectory(&w->disk, e, real) != 0)
      w->stop = true;
    memFree(real);
    memFree(name);
  }
}

// The closing summary (zipSummary and more).
void logSummary(const Walk* w, uint64_t start) {
  const double seconds = (double)(osDateNow() - start) / 1000.0;
  if (w->mode == zipWalkList)
    logInfo(logCatZip, "Listed %u files and %u directories in %1.1f seconds\n", w->files, w->dirs, seconds);
  else if (w->verbosity == zipSummary)
    logInfo(logCatZip, "Unpacked %u files and %u directories in %1.1f seconds\n", w->files, w->dirs, seconds);
  else
    logInfo(logCatZip, "Unpacked %u files, %u directories / %" PRIu64 " bytes in %1.1f seconds / %1.1f MB/s\n",
            w->files, w->dirs, w->bytes, seconds, seconds > 0 ? (double)w->bytes / (seconds * 1024 * 1024) : 0.0);
}

}  // namespace

int zipReadLocalHeader(ZipEntry* e, ZipInfo* info, const char* name) {
  uint8_t hdr[zipLocalHeaderSize];
  int result = -1;
  uint8_t* bytes = nullptr;
  do {
    if (iosReadFully(info->stream, hdr, sizeof hdr) != 0 || zipLe32(hdr) != zipSigLocalHeader) break;
    const uint32_t nameLen = zipLe16(hdr + 26);
    const uint32_t extraLen = zipLe16(hdr + 28);
    bytes = static_cast<uint8_t*>(memAlloc(nameLen + extraLen + 1));
    if (nameLen && iosReadFully(info->stream, bytes, nameLen) != 0) break;
    if (logGate(logCatZip, logLevelDebug)) {
      StringBuffer shown;  // the local name is any bytes
      sbInitHere(&shown);
      zipShowBytes(reinterpret_cast<const char*>(bytes), nameLen, &shown);
      logDebugFunc(logCatZip, "Skipped local header component: filename='%s'\n", sbGet(&shown));
      sbClean(&shown);
    }
    logDebug(logCatZip, "Processing local extraField len = %u\n", extraLen);
    if (extraLen && iosReadFully(info->stream, bytes, extraLen) != 0) break;
    // The opening counted only the fixed part of the header: its name and
    // extra field must leave room for the data as well, or they hold the
    // next entry.
    const uint64_t headerLength = zipLocalHeaderSize + nameLen + extraLen;
    if (e->room < headerLength || e->room - headerLength < e->compressedSize) {
      zipReportOverlap(e, e->offset);
      memFree(bytes);
      return -1;
    }
    // The central directory's sizes and offset stay authoritative: a
    // streamed archive carries zeros in its local ZIP64 field.
    const uint64_t csize = e->compressedSize, usize = e->uncompressedSize, offset = e->offset;
    zipParseExtraHeaders(e, bytes, extraLen);
    e->compressedSize = csize;
    e->uncompressedSize = usize;
    e->offset = offset;
    result = 0;
  } while (false);
  memFree(bytes);
  if (result != 0) logError(logCatZip, "Error in ZIP component %s: local header incomplete\n", name);
  return result;
}

int zipExtractFile(ZipDisk* disk, ZipEntry* e, const char* name) {
  ZipInfo* info = disk->info;
  uint8_t* buf = static_cast<uint8_t*>(memAlloc(zipChunkSize));
  IoStream* out = nullptr;
  int result = -1;
  int endFlag = 0;
  do {
    if (zipOpenEntryData(info, e, name, &endFlag) != 0) break;
    if (zipDiskCreateTemp(disk, name, &out) != 0) break;
    uint64_t remaining = e->uncompressedSize;
    uint32_t crc = 0;
    bool failed = false;
    while (!endFlag) {
      const uint32_t n = remaining < zipChunkSize ? (uint32_t)remaining : zipChunkSize;
      uint32_t got = 0;
      if (n == 0) {
        logDebug(logCatZip, "No EOF but zero bytes read\n");
        break;
      }
      if (iosRead(info->stream, buf, n, &got) != 0) {
        logError(logCatZip, "Error in ZIP component %s: %s\n", name, "premature end of file");
        failed = true;
        break;
      }
      if (got == 0) {
        logDebug(logCatZip, "No EOF but zero bytes read\n");
        break;
      }
      crc32Update(&crc, buf, got);
      uint32_t written = 0;
      if (iosWrite(out, buf, got, &written) != 0 || written != got) {
        failed = true;
        break;
      }
      remaining -= got;
      progressAdvance(got);
      if (osStopRequested()) {
        logError(logCatZip, "Aborting ZIP extraction of %s\n", name);
        failed = true;
        break;
      }
    }
    if (failed || zipCheckEntryEnd(info, e, name) != 0) break;
    logDebug(logCatZip, "Read ZIP component %s crc=%08x hdr.crc=%08x\n", name, crc, e->crc);
    if (remaining != 0) {
      // Fewer bytes than the directory promises: never accept such a file,
      // even when its CRC happens to match.
      logError(logCatZip, "ZIP component %s size mismatch\n", name);
      break;
    }
    if (crc != e->crc) {
      logError(logCatZip, "ZIP component %s CRC mismatch\n", name);
      break;
    }
    // Attributes and times go on through the handle, before the file is
    // moved into place: a name could by then lead to another file.
    if (zipDiskApplyAttributesOpen(e, out) != 0) break;
    if (zipDiskPlace(disk) != 0) break;
    if (zipDiskCloseTemp(disk, &out) != 0) break;
    result = 0;
  } while (false);

  logTrace(logCatZip, "extractFile final ret=%d\n", result);
  zipCloseEntryData(info);
  if (result != 0) zipDiskDiscardTemp(disk);
  memFree(buf);
  return result;
}

int zipExtractToBuffer(ZipInfo* info, ZipEntry* e, const char* name, StringBuffer* out) {
  int result = -1;
  int endFlag = 0;
  do {
    if (e->uncompressedSize > zipMaxLinkTarget) {
      logError(logCatZip, "ZIP component %s is too large (%" PRIu64 " bytes) for a link target\n", name,
               e->uncompressedSize);
      break;
    }
    if (zipOpenEntryData(info, e, name, &endFlag) != 0) break;
    uint8_t buf[zipMaxLinkTarget];
    uint32_t want = (uint32_t)e->uncompressedSize, have = 0;
    while (have < want && !endFlag) {
      uint32_t got = 0;
      if (iosRead(info->stream, buf + have, want - have, &got) != 0 || got == 0) break;
      have += got;
    }
    if (have < want) {
      logError(logCatZip, "At end of bytes for file but there are %" PRIu64 " bytes remaining\n",
               (uint64_t)(want - have));
      break;
    }
    if (zipCheckEntryEnd(info, e, name) != 0) break;
    uint32_t crc = 0;
    crc32Update(&crc, buf, have);
    if (crc != e->crc) {
      logError(logCatZip, "ZIP component %s CRC mismatch\n", name);
      break;
    }
    // A link's target is text: a NUL would cut it short unseen.
    if (memchr(buf, 0, have)) {
      logError(logCatZip, "ZIP component %s holds a NUL byte, which no link target can\n", name);
      break;
    }
    if (sbAppendData(out, buf, have) != 0) break;
    result = 0;
  } while (false);
  logTrace(logCatZip, "extractFile final ret=%d\n", result);
  zipCloseEntryData(info);
  return result;
}

int zipWalk(ZipInfo** handle, StringBuffer* installerName, const char* pattern, ZipWalkMode mode, int verbosity,
            const char* baseDir) {
  ZipInfo* info = handle ? *handle : nullptr;
  logTrace(logCatZip, "zipWalk(is=%p,installerName=%p,pattern='%s',mode=%d,verbosity=%d,baseDir=%s)\n",
           (void*)(info ? info->stream : nullptr), (void*)installerName, pattern ? pattern : "<null>", (int)mode,
           verbosity, baseDir ? baseDir : "<null>");
  if (!info || !info->directory) {
    logError(logCatZip, "zipWalk on a closed archive\n");
    return -1;
  }
  const uint64_t start = osDateNow();
  info->verbosity = verbosity;
  Walk w{};
  w.info = info;
  w.installerName = installerName;
  w.pattern = pattern;
  w.negate = pattern && pattern[0] == '!';
  w.glob = w.negate ? pattern + 1 : pattern;
  w.mode = mode;
  w.verbosity = verbosity;
  w.baseDir = baseDir;
  sbInitHere(&w.resolved);
  if (mode == zipWalkList) {
    sbInitHere(&w.disk.pathName);
    sbInitHere(&w.disk.tempName);
    sbInitHere(&w.disk.oldName);
    if (verbosity >= zipSummary) listHeader(info);
    if (baseDir && !osIsDirPresent(baseDir) && zipMakeDirectories(info, baseDir) != 0) w.stop = true;
  } else if (zipDiskOpen(&w.disk, info, baseDir,
                         mode == zipWalkUpdate    ? (uint32_t)(zipDiskJournal | zipDiskUpdate)
                         : mode == zipWalkJournal ? (uint32_t)zipDiskJournal
                                                  : 0u) != 0) {
    w.stop = true;
  }

  if (mode != zipWalkList && !w.stop) zipProgressBegin(info, pattern);
  const char* key = nullptr;
  for (ZipEntry* e = w.stop ? nullptr : static_cast<ZipEntry*>(smFirst(info->directory, &key)); e && !w.stop;
       e = static_cast<ZipEntry*>(smNext(info->directory, &key))) {
    char* name = memStrDupN(zipEntryName(e), e->fileNameLength);
    walkEntry(&w, e, name);
    memFree(name);
    progressEntriesDone(w.files + w.dirs);
  }
  progressEnd();
  if (w.stop && key) {
    // Leave the directory's iterator idle for the next walk.
    while (smNext(info->directory, &key)) {
    }
  }
  if (mode != zipWalkList && !w.stop && zipDiskLeave(&w.disk) != 0) w.stop = true;
  if (w.madeDirs && !w.stop) fixDirectories(&w);
  // Success means every file is on the disk. With a journal on disk the
  // batch waits for the commit: until then a crash is undone from it.
  if (!w.stop && w.status == 0 && !info->undoLog && zipFlushWritten(info) != 0) w.stop = true;
  if (verbosity >= zipSummary) logSummary(&w, start);

  const int result = w.stop ? -1 : w.status;
  // The writer's open directories are closed first: on Windows they cannot
  // be removed while it holds them.
  zipDiskClose(&w.disk);
  if (result != 0) {
    zipEndJournal(info, zipJournalRollback);
    osSyncBatchClear(&info->unsynced);
  }
  sbClean(&w.resolved);
  logDebug(logCatZip, "zipWalk result = %d\n", result);
  return result;
}
