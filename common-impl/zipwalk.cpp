// Archive walk: lists the entries of an open archive, or extracts them below
// a base directory. Each file is written under a temporary name beside its
// target, checked against its CRC-32, and only then moved into place; an
// existing file is first moved aside under an "old" name. In journalling
// mode every change is recorded so that a failed walk (or a failed
// installation afterwards) can be undone.
//
// Names are confined to the base directory: absolute names and names whose
// ".." components climb out of it are refused, and nothing is written
// through a symbolic link that the same walk created.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "crc32.h"
#include "inflate.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "osfile.h"
#include "osinit.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"
#include "zip.h"

namespace {

constexpr uint32_t zipChunkSize = 262144;    // bytes moved per read and write
constexpr uint32_t zipMaxLinkTarget = 4096;  // longest symbolic link target accepted
constexpr int zipMaxNameProbes = 1000;       // attempts to find unused temporary names

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

// True when the entry name stays inside the base directory: not absolute
// (leading separator, or a drive letter and colon) and no ".." climbing above
// the start. *depth receives the depth the name resolves to.
bool nameIsConfined(const char* name, int* depth) {
  if (isSeparator(name[0])) return false;
  if (isalpha((unsigned char)name[0]) && name[1] == ':') return false;
  int d = 0;
  const char* p = name;
  while (*p) {
    const char* s = p;
    while (*p && !isSeparator(*p)) p++;
    const size_t n = (size_t)(p - s);
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      if (--d < 0) return false;
    } else if (n != 0 && !(n == 1 && s[0] == '.')) {
      d++;
    }
    if (*p) p++;
  }
  *depth = d;
  return true;
}

// ASCII case-insensitive test that path is link or lies below it. Case is
// ignored so that the test also holds on case-insensitive file systems.
bool isAtOrBelow(const char* path, const char* link) {
  const size_t n = strlen(link);
  for (size_t i = 0; i < n; i++) {
    if (!path[i] || tolower((unsigned char)path[i]) != tolower((unsigned char)link[i])) return false;
  }
  return path[n] == 0 || isSeparator(path[n]);
}

// True when pathName is, or lies below, a link created by this walk.
bool throughCreatedLink(SortMap* links, const char* pathName) {
  if (!links) return false;
  for (uint32_t i = 0; i < links->count; i++)
    if (isAtOrBelow(pathName, links->entries[i].key)) return true;
  return false;
}

// Applies the entry's attributes and times to an extracted path. A failure
// (logged by the file layer) fails the entry: a run that logged an error
// never reports success.
int applyAttributesAndTimes(const ZipEntry* e, const char* path) {
  int rc = 0;
  if (e->externalAttributes && osFileSetAttributes(path, e->externalAttributes) != 0) rc = -1;
  if (osFileSetTimes(path, (int64_t)e->modificationTime, (int64_t)e->accessTime, (int64_t)e->changeTime) != 0) rc = -1;
  return rc;
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

// Closes an inflate level that did not remove itself.
void finishInflate(ZipInfo* info) {
  if (!info->stream || info->stream->ops != &inflateInputStreamOps) return;
  iosLogStack(logLevelTrace, logCatZip, info->stream);
  if (info->stream->ops == &inflateInputStreamOps) iosCloseThisLevel(info->stream);
}

// Positions the archive at an entry's data: seek, local header, and the
// inflate level for deflated entries.
int openEntryData(ZipInfo* info, ZipEntry* e, const char* name, int* endFlag) {
  if (e->compressionMethod == 0 && e->compressedSize != e->uncompressedSize) {
    // Stored data is its own size: sizes that disagree describe no file.
    logError(logCatZip, "ZIP component %s size mismatch\n", name);
    return -1;
  }
  if (iosSeek(info->stream, e->offset + info->prefix) != 0) return -1;
  if (zipReadLocalHeader(e, info, name) != 0) return -1;
  if (e->compressionMethod == 8) {
    if (inflateWrapInputStream(info->stream, INFLATE_FORMAT_RAW, endFlag, false) != 0) return -1;
    logDebug(logCatZip, "Inflating %" PRIu64 " bytes to %" PRIu64 " bytes\n", e->compressedSize, e->uncompressedSize);
  } else {
    logDebug(logCatZip, "Copying %" PRIu64 " bytes to %" PRIu64 " bytes\n", e->compressedSize, e->uncompressedSize);
  }
  return 0;
}

// Finds temporary and old names beside pathName that are not in use, so
// that no file is ever overwritten or deleted to make room for them (many
// files of one stem in a directory share the name pattern).
int makeFreeNames(const char* baseDir, const char* name, StringBuffer* pathName, StringBuffer* tempName,
                  StringBuffer* oldName) {
  uint64_t stamp = osDateNow();
  bool isDir = false;
  for (int i = 0; i < zipMaxNameProbes; i++, stamp++) {
    if (zipMakeNames(baseDir, name, stamp, pathName, tempName, oldName, &isDir) != 0) return -1;
    const char* t = sbGet(tempName);
    const char* o = sbGet(oldName);
    // Whatever is at a name, a dangling link included, makes it taken: the
    // temporary file is created through its name.
    if (osFileKindOf(t) < 0 && osFileKindOf(o) < 0) return 0;
  }
  logError(logCatZip, "No free temporary name for %s\n", sbGet(pathName));
  return -1;
}

// True when a file exists at path. Moving the new file into place replaces
// whatever is there, so absence is confirmed by a second, independent query:
// one failing query must not cost the previous version.
bool targetExists(const char* path) {
  if (osFileIsPresent(path)) return true;
  bool isDir = false;
  return osFileGetInfo(path, nullptr, nullptr, nullptr, &isDir, nullptr, nullptr, nullptr) == 0 && !isDir;
}

// Moves an existing file at pathName aside to oldName (journalled before the
// move, so a rollback finds it) and records pathName as created. Without
// journals the caller deletes oldName once the new file is in place.
int moveAside(ZipInfo* info, const char* pathName, const char* oldName) {
  if (zipAddReplacement(info, pathName, oldName) != 0) return -1;
  // Never over an existing file: the name was probed as free, but a failed
  // probe reads as "absent", and a file there may be another entry's kept
  // previous version.
  if (osFileMoveNoReplace(pathName, oldName) != 0) {
    zipDropLastReplacement(info);
    return -1;
  }
  return 0;
}

// Deletes the previous version at once when no journal keeps it.
void dropOldWithoutJournal(ZipInfo* info, const char* oldName) {
  if (info->replaced) return;
  if (osFileDeleteEx(oldName, nullptr, osFileDeleteAtReboot) != 0)
    logWarn(logCatZip, "Failed to remove existing file now named %s\n", oldName);
}

// Creates a symbolic link entry: its data is the target.
int extractLink(ZipInfo* info, ZipEntry* e, const char* name, const char* pathName, const char* oldName) {
  StringBuffer target;
  sbInitHere(&target);
  int result = -1;
  bool replaced = false;
  do {
    if (zipExtractToBuffer(info, e, name, &target) != 0) break;
    if (zipEnsureParentDirectory(pathName, info) != 0) break;
    if (targetExists(pathName)) {
      if (moveAside(info, pathName, oldName) != 0) break;
      replaced = true;
    }
    if (zipAddRollbackLink(info, pathName) != 0) break;
    if (osFileCreateSymlink(sbGet(&target), pathName, nullptr) != 0) break;
    if (replaced) dropOldWithoutJournal(info, oldName);
    result = 0;
  } while (false);
  sbClean(&target);
  return result;
}

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

// True when `path` is `dir` or lies below it; both resolved by the system,
// so they are compared exactly.
bool liesWithin(const char* path, const char* dir) {
  const size_t n = strlen(dir);
  if (strncmp(path, dir, n) != 0) return false;
  return path[n] == 0 || isSeparator(path[n]) || (n > 0 && isSeparator(dir[n - 1]));
}

// Cuts the last component off path in place, keeping a root ("/", "C:\\").
// False when there is nothing left to cut.
bool cutLastComponent(char* path) {
  size_t len = strlen(path);
  while (len > 0 && !isSeparator(path[len - 1])) len--;
  if (len == 0 || path[len] == 0) return false;
  const bool root = len == 1 || (len == 3 && path[1] == ':');
  path[root ? len : len - 1] = 0;
  return true;
}

// Refuses to write through a link that leads out of the base directory,
// whoever made it. The deepest existing directory on the way to pathName
// (pathName itself for a directory entry, else its parent) is resolved by
// the system, links and all; what the walk creates below it is plain.
int checkConfined(const char* realBase, const char* name, const char* pathName, bool isDir) {
  char* way = memStrDup(pathName);
  bool found = isDir ? true : cutLastComponent(way);
  while (found && osFileKindOf(way) < 0) found = cutLastComponent(way);
  char* real = nullptr;
  int rc = found ? osFileResolveLinks(way, &real) : -1;
  if (rc == 0 && !liesWithin(real, realBase)) {
    logError(logCatZip, "Refusing to extract %s: %s leads out of %s through a link\n", name, way, realBase);
    rc = -1;
  }
  memFree(real);
  memFree(way);
  return rc;
}

// What may stand where an entry goes: nothing, or the same kind. A file
// entry may replace a file (or a link to a file), which is moved aside; a
// directory entry may meet a directory. Anything else stays as it is and
// fails the entry: a rollback must never remove what was there before.
int checkExisting(const char* name, const char* pathName, bool isDir) {
  const int kind = osFileKindOf(pathName);
  if (kind < 0) return 0;
  if (isDir ? osIsDirPresent(pathName) : (kind != osDirEntryOther && osFileIsPresent(pathName))) return 0;
  logError(logCatZip, "Cannot extract %s: %s exists and is not a %s\n", name, pathName, isDir ? "directory" : "file");
  return -1;
}

}  // namespace

int zipMakeNames(const char* baseDir, const char* name, uint64_t stamp, StringBuffer* pathName, StringBuffer* tempName,
                 StringBuffer* oldName, bool* isDirectory) {
  if (!name || !*name) return -1;
  int depth = 0;
  if (!nameIsConfined(name, &depth)) {
    logError(logCatZip, "Entry name %s leaves the target directory\n", name);
    return -1;
  }
  const size_t len = strlen(name);
  *isDirectory = name[len - 1] == '/';
  if (depth == 0 && !*isDirectory) return -1;
  char* real = nullptr;
  if (osDirRealPath(baseDir, name, &real) != 0 || !real) return -1;
  const size_t realLen = strlen(real);
  if (realLen > osPathMaxLength()) {
    logError(logCatZip, "Entry %.200s... is too long: its path has %u bytes, this system takes %u\n", name,
             (unsigned)realLen, osPathMaxLength());
    memFree(real);
    return -1;
  }
  sbEmpty(pathName);
  const int rc = sbAppendString(pathName, real);
  memFree(real);
  if (rc != 0) return -1;
  sbEmpty(tempName);
  sbEmpty(oldName);
  if (*isDirectory) return 0;

  // D: up to and including the last separator; B: the last component; S:
  // B up to the first "." after its leading dots.
  const char* path = sbGet(pathName);
  const char* base = path;
  for (const char* p = path; *p; p++)
    if (isSeparator(*p)) base = p + 1;
  const int dirLen = (int)(base - path);
  const char* s = base;
  while (*s == '.') s++;
  while (*s && *s != '.') s++;
  const int stemLen = (int)(s - base);
  if (sbPrintf(tempName, "%.*s.%.*s-zip-%" PRIu64 ".tmp", dirLen, path, stemLen, base, stamp) != 0) return -1;
  if (sbPrintf(oldName, "%.*s.%.*s-old-%" PRIu64 ".tmp", dirLen, path, stemLen, base, stamp) != 0) return -1;
  return 0;
}

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
      bytes[nameLen] = 0;
      logDebugFunc(logCatZip, "Skipped local header component: filename='%s'\n", (const char*)bytes);
    }
    logDebug(logCatZip, "Processing local extraField len = %u\n", extraLen);
    if (extraLen && iosReadFully(info->stream, bytes, extraLen) != 0) break;
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

int zipEnsureParentDirectory(const char* path, ZipInfo* info) {
  const char* dir = nullptr;
  uint32_t dirLen = 0;
  osPathSplit(path, &dir, &dirLen, nullptr, nullptr, nullptr, nullptr);
  if (!dir || dirLen == 0) {
    logDebug(logCatZip, "%s has no parent directory\n", path);
    return 0;
  }
  char* parent = memStrDupN(dir, dirLen);
  int rc = 0;
  if (osIsDirPresent(parent))
    logDebug(logCatZip, "Directory %s already exists\n", parent);
  else
    rc = zipMakeDirectories(info, parent);
  memFree(parent);
  return rc;
}

int extractFile(ZipInfo* info, ZipEntry* e, const char* name, const char* pathName, const char* tempName,
                const char* oldName) {
  uint8_t* buf = static_cast<uint8_t*>(memAlloc(zipChunkSize));
  IoStream* out = nullptr;
  bool tempMade = false;
  int result = -1;
  int endFlag = 0;
  do {
    if (openEntryData(info, e, name, &endFlag) != 0) break;
    if (zipEnsureParentDirectory(pathName, info) != 0) break;
    // The temporary file is journalled before it exists, so that a rollback
    // removes it even when the clean-up below cannot.
    if (zipAddRollback(info, tempName) != 0) break;
    tempMade = true;
    out = osFileOpenStream(tempName, osFileModeWrite, osFileTypeExtracted, nullptr);
    if (!out) {
      logError(logCatZip, "Unable to write ZIP component %s to %s\n", name, tempName);
      break;
    }
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
      if (osStopRequested()) {
        logError(logCatZip, "Aborting ZIP extraction of %s\n", name);
        failed = true;
        break;
      }
    }
    if (failed || checkInflateEnd(info) != 0) break;
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
    const int closed = iosClose(out);
    out = nullptr;
    if (closed != 0) break;

    // Put the file in place. Each journal record is made before the step it
    // describes, so a rollback after any failure finds everything.
    if (targetExists(pathName)) {
      if (moveAside(info, pathName, oldName) != 0) break;
      if (zipAddRollback(info, pathName) != 0) break;
      if (osFileMove(tempName, pathName) != 0) break;
      dropOldWithoutJournal(info, oldName);
    } else {
      if (zipAddRollback(info, pathName) != 0) break;
      if (osFileMove(tempName, pathName) != 0) break;
    }
    tempMade = false;
    result = 0;
  } while (false);

  logTrace(logCatZip, "extractFile final ret=%d\n", result);
  if (out) iosClose(out);
  finishInflate(info);
  if (tempMade && osFileIsPresent(tempName)) osFileDelete(tempName);
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
    if (openEntryData(info, e, name, &endFlag) != 0) break;
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
    if (checkInflateEnd(info) != 0) break;
    uint32_t crc = 0;
    crc32Update(&crc, buf, have);
    if (crc != e->crc) {
      logError(logCatZip, "ZIP component %s CRC mismatch\n", name);
      break;
    }
    if (sbAppendData(out, buf, have) != 0) break;
    result = 0;
  } while (false);
  logTrace(logCatZip, "extractFile final ret=%d\n", result);
  finishInflate(info);
  return result;
}

int zipWalk(ZipInfo** handle, StringBuffer* installerName, const char* pattern, int mode, int verbosity,
            const char* baseDir) {
  ZipInfo* info = handle ? *handle : nullptr;
  logTrace(logCatZip, "zipWalk(is=%p,installerName=%p,pattern='%s',mode=%d,verbosity=%d,baseDir=%s)\n",
           (void*)(info ? info->stream : nullptr), (void*)installerName, pattern ? pattern : "<null>", mode, verbosity,
           baseDir ? baseDir : "<null>");
  if (!info || !info->directory) {
    logError(logCatZip, "zipWalk on a closed archive\n");
    return -1;
  }
  const uint64_t start = osDateNow();
  info->verbosity = verbosity;
  const bool negate = pattern && pattern[0] == '!';
  const char* pat = negate ? pattern + 1 : pattern;
  const bool extracting = mode != 0;

  if (mode == 2) {
    // A second journalling walk adds to the journals still open, so one
    // rollback or commit covers both.
    if (!info->created) info->created = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
    if (!info->replaced) info->replaced = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  } else if (mode == 0 && verbosity >= 1) {
    if (info->comment) logInfo(logCatZip, "%s", info->comment);
    logInfo(logCatZip, "%12s %12s %6s %19s %8s %s\n", "Length", "Size", "Method", "Timestamp", "CRC-32", "Filename");
    const char* dash = "------------------------------------";
    logInfo(logCatZip, "%12.12s %12.12s %6.6s %19.19s %8.8s %s\n", dash, dash, dash, dash, dash, dash);
  }

  int status = 0;
  bool stop = false;
  bool madeDirs = false;
  uint32_t files = 0, dirs = 0;
  uint64_t bytes = 0;
  SortMap* links = extracting ? smCreateHere(SORTMAP_COPIED_KEYS, nullptr) : nullptr;
  StringBuffer pathName, tempName, oldName, resolved;
  sbInitHere(&resolved);
  sbInitHere(&pathName);
  sbInitHere(&tempName);
  sbInitHere(&oldName);

  if (baseDir && !osIsDirPresent(baseDir) && zipMakeDirectories(info, baseDir) != 0) stop = true;
  // Where the base really is, links resolved: nothing is written outside it.
  char* realBase = nullptr;
  if (!stop && extracting && osFileResolveLinks(baseDir ? baseDir : ".", &realBase) != 0) stop = true;

  const char* key = nullptr;
  for (ZipEntry* e = stop ? nullptr : static_cast<ZipEntry*>(smFirst(info->directory, &key)); e && !stop;
       e = static_cast<ZipEntry*>(smNext(info->directory, &key))) {
    char* name = memStrDupN(zipEntryName(e), e->fileNameLength);
    bool isDir = false;
    do {
      if (resolvedName(name, &resolved) != 0) {
        stop = true;
        break;
      }
      if (extracting) {
        if (zipMakeNames(baseDir, name, 0, &pathName, &tempName, &oldName, &isDir) != 0) {
          logError(logCatZip, "The OS was unable to create a valid filename, so skipping file %s\n", name);
          status = -1;
          break;
        }
        // The names that will really be used, so that the line below tells
        // where the data and the previous version go.
        if (!isDir && makeFreeNames(baseDir, name, &pathName, &tempName, &oldName) != 0) {
          stop = true;
          break;
        }
      } else {
        const size_t n = strlen(name);
        isDir = n > 0 && name[n - 1] == '/';
      }
      logDebug(logCatZip,
               "entry '%s' pathName '%s' tempName '%s' oldName '%s' versionMadeBy=%04x externalAttr=%08x "
               "bitflag=%x directory=%s\n",
               name, sbGet(&pathName), sbGet(&tempName), sbGet(&oldName), e->versionMadeBy, e->externalAttributes,
               e->bitFlag, isDir ? "true" : "false");
      e->modificationTime = e->accessTime = e->changeTime = osDateFromDos(e->fileDate, e->fileTime);
      if (e->extraFieldLength) zipParseExtraHeaders(e, zipEntryExtra(e), e->extraFieldLength);

      if (e->bitFlag & (zipFlagEncrypted | zipFlagStrongEncryption | zipFlagMaskedDirectory)) {
        logError(logCatZip, "This unzip program does not support encryption, so skipping file %s with flags %x\n", name,
                 e->bitFlag);
        status = -1;
        break;
      }
      if (e->bitFlag & zipFlagPatchData) {
        logError(logCatZip, "This unzip program does not support patch files, so skipping file %s with flags %x\n",
                 name, e->bitFlag);
        status = -1;
        break;
      }
      if (e->compressionMethod != 0 && e->compressionMethod != 8) {
        logError(logCatZip,
                 "This unzip program only supports methods 0 (store) and 8 (deflate), so skipping file %s with "
                 "method %u\n",
                 name, e->compressionMethod);
        status = -1;
        break;
      }
      if (installerName) {
        logDebug(logCatZip, "Check installer script '%s'?\n", name);
        for (const char* suffix : installerSuffixes) {
          if (strEndsWith(name, suffix)) {
            logDebug(logCatZip, "Found installer script '%s'\n", name);
            sbEmpty(installerName);
            sbAppendStringBuffer(installerName, &resolved);
            break;
          }
        }
      }
      if (!extracting) {
        if (verbosity >= 1) {
          char when[80];
          const char* w = osDateFormatLocal(e->modificationTime, when, 0);
          if (e->commentLength) {
            char* comment = memStrDupN(zipEntryComment(e), e->commentLength);
            logInfo(logCatZip, "%12" PRIu64 " %12" PRIu64 " %6d %19.19s %08x %s (%s)\n", e->uncompressedSize,
                    e->compressedSize, e->compressionMethod, w ? w : "?", e->crc, name, comment);
            memFree(comment);
          } else {
            logInfo(logCatZip, "%12" PRIu64 " %12" PRIu64 " %6d %19.19s %08x %s\n", e->uncompressedSize,
                    e->compressedSize, e->compressionMethod, w ? w : "?", e->crc, name);
          }
        }
        if (isDir)
          dirs++;
        else
          files++;
        break;
      }
      if (pat) {
        const bool match = strMatchWildcard(pat, sbGet(&resolved), false);
        if (match == negate) {
          logDebug(logCatZip, "%s does not match pattern %s\n", name, pattern);
          break;
        }
      }
      const char* path = sbGet(&pathName);
      if (throughCreatedLink(links, path)) {
        logError(logCatZip, "Skipping %s: it lies behind a symbolic link of this archive\n", name);
        status = -1;
        break;
      }
      if (checkConfined(realBase, name, path, isDir) != 0 || checkExisting(name, path, isDir) != 0) {
        stop = true;
        break;
      }
      if (isDir) {
        if (osIsDirPresent(path)) {
          logDebug(logCatZip, "Directory %s already exists\n", path);
        } else {
          if (zipMakeDirectories(info, path) != 0) {
            stop = true;
            break;
          }
          e->created = 1;
          madeDirs = true;
          if (verbosity >= 2) logInfo(logCatZip, "Created directory %s\n", path);
        }
        dirs++;
        break;
      }
      if ((zipEntryUnixMode(e) & 0xF000) == 0xA000) {
        if (extractLink(info, e, name, path, sbGet(&oldName)) != 0 || smPut(links, path, (void*)links) != 0) {
          stop = true;
          break;
        }
        files++;
        break;
      }
      if (extractFile(info, e, name, path, sbGet(&tempName), sbGet(&oldName)) != 0) {
        stop = true;
        break;
      }
      if (applyAttributesAndTimes(e, path) != 0) {
        stop = true;
        break;
      }
      files++;
      if (verbosity >= 2)
        logInfo(
            logCatZip,
            e->compressionMethod == 8 ? "Inflated %" PRIu64 " byte file %s\n" : "Extracted %" PRIu64 " byte file %s\n",
            e->uncompressedSize, name);
      bytes += e->uncompressedSize;
    } while (false);
    memFree(name);
  }
  if (stop && key) {
    // Leave the directory's iterator idle for the next walk.
    while (smNext(info->directory, &key)) {
    }
  }

  if (madeDirs && !stop) {
    logDebug(logCatZip, "Iterating 2nd time to process directory privileges and timestamps.\n");
    for (ZipEntry* e = static_cast<ZipEntry*>(smLast(info->directory, &key)); e;
         e = static_cast<ZipEntry*>(smPrevious(info->directory, &key))) {
      if (!e->created) continue;
      char* name = memStrDupN(zipEntryName(e), e->fileNameLength);
      logDebug(logCatZip, "Set attributes of %s versionMadeBy=%04x externalAttr=%08x\n", name, e->versionMadeBy,
               e->externalAttributes);
      char* real = nullptr;
      if (osDirRealPath(baseDir, name, &real) == 0 && real && applyAttributesAndTimes(e, real) != 0) stop = true;
      memFree(real);
      memFree(name);
    }
  }

  if (verbosity >= 1) {
    const double seconds = (double)(osDateNow() - start) / 1000.0;
    if (!extracting)
      logInfo(logCatZip, "Listed %u files and %u directories in %1.1f seconds\n", files, dirs, seconds);
    else if (verbosity == 1)
      logInfo(logCatZip, "Unpacked %u files and %u directories in %1.1f seconds\n", files, dirs, seconds);
    else
      logInfo(logCatZip, "Unpacked %u files, %u directories / %" PRIu64 " bytes in %1.1f seconds / %1.1f MB/s\n", files,
              dirs, bytes, seconds, seconds > 0 ? (double)bytes / (seconds * 1024 * 1024) : 0.0);
  }

  const int result = stop ? -1 : status;
  if (result != 0) zipEndJournal(info, 1);
  smDestroy(links);
  memFree(realBase);
  sbClean(&resolved);
  sbClean(&pathName);
  sbClean(&tempName);
  sbClean(&oldName);
  logDebug(logCatZip, "zipWalk result = %d\n", result);
  return result;
}
