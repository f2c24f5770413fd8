// The undo log of an auto-update on disk (see undolog.h): writer, reader and
// recovery.
#include "undolog.h"

#include <cctype>
#include <cinttypes>
#include <cstring>
#include <initializer_list>

#include "crc32.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "osfile.h"
#include "stringbuf.h"

namespace {

constexpr char ulMagic[4] = {'S', 'F', 'X', 'J'};
constexpr uint32_t ulMaxPath = 65536;  // longer paths are no record of ours

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

uint32_t getLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

bool knownType(uint8_t t) {
  return t == ulDirCreated || t == ulTempFile || t == ulMovedAside || t == ulPlaced || t == ulDone || t == ulVoid ||
         t == ulIdentity;
}

// Deletes a file or link `leaf` in dir (at `path`) if one is there (a
// directory is left), through the directory handle.
int removeFile(const OsDirHandle* dir, const char* leaf, const char* path, uint32_t* removed) {
  if (!ulFileOrLinkIn(dir, leaf)) return 0;
  if (osDirHandleDelete(dir, leaf) != 0) {
    logWarn(logCatZip, "Could not remove %s\n", path);
    return -1;
  }
  logDebug(logCatZip, "Removed %s\n", path);
  (*removed)++;
  return 0;
}

// True when what stands at `leaf` in dir is the file of identity id (the
// text ulIdText writes; null: not known, as in journals of version 1).
bool isTheFile(const OsDirHandle* dir, const char* leaf, const char* path, const char* id) {
  if (!id) return true;
  OsFileId got = {};
  if (osDirHandleIdOf(dir, leaf, &got) == 0 && ulIdMatches(id, &got)) return true;
  logError(logCatZip, "Not undoing %s: it is not the file the update put there; the journal stays\n", path);
  return false;
}

// Undoes one record of an unfinished log in dir, the open directory of its
// path; repeating it is harmless. `aside` is where the previous version of
// a placed path was kept; with `kept`, something the log names was left as
// it was, and a directory the update made goes only when empty.
int undoRecord(const UndoRecord* r, const OsDirHandle* dir, const char* aside, const char* id, bool kept,
               uint32_t* restored, uint32_t* removed) {
  const char* leaf = ulLeafOf(r->path);
  bool taken = false;
  switch (r->type) {
    case ulTempFile:
      return removeFile(dir, leaf, r->path, removed);
    case ulPlaced:
      // A new version over a kept-aside one goes only while the previous
      // version still waits aside: once that is back, the path is the old.
      if (aside && *aside && !ulFileOrLinkIn(dir, ulLeafOf(aside))) return 0;
      // Another file there (its directory replaced, say) is left alone, and
      // the journal stays: the installation is not known to be whole.
      if (!ulFileOrLinkIn(dir, leaf)) return 0;
      return isTheFile(dir, leaf, r->path, id) ? removeFile(dir, leaf, r->path, removed) : -1;
    case ulMovedAside:
      // The previous version was kept beside its path, in the same directory.
      // Something else at the kept-aside name (the move never happened, its
      // name was taken; or the directory was replaced) is left alone, and
      // so is the path. The update's own file at the path went with its
      // placing record: whatever stands there now is someone else's.
      if (!ulFileOrLinkIn(dir, ulLeafOf(r->other))) return 0;
      if (!isTheFile(dir, ulLeafOf(r->other), r->other, id)) return -1;
      if (osDirHandleKindOf(dir, leaf) >= 0 || osDirHandleMove(dir, ulLeafOf(r->other), leaf, &taken) != 0) {
        if (taken || osDirHandleKindOf(dir, leaf) >= 0)
          logError(logCatZip,
                   "Not restoring the previous version of %s: another file is at its name; the journal stays\n",
                   r->path);
        else
          logWarn(logCatZip, "Could not restore previous version of %s\n", r->path);
        return -1;
      }
      logDebug(logCatZip, "Restored previous version of %s\n", r->path);
      (*restored)++;
      return 0;
    case ulDirCreated:
      if (osDirHandleKindOf(dir, leaf) != osDirEntryDirectory) return 0;
      // Another directory there (this one renamed away and another put at
      // its path) is left alone with everything in it.
      if (!isTheFile(dir, leaf, r->path, id)) return -1;
      // Which directory the update made is not known (it ended right after
      // announcing it): what it made then held nothing yet, so only an
      // empty one goes.
      // Nor does one that may hold what was left as it was: a file at the
      // name of the update's that is not the update's.
      if (!id || kept) {
        if (osDirHandleRemoveEmpty(dir, leaf) == 0) {
          (*removed)++;
          return 0;
        }
        if (kept)
          logError(logCatZip, "Not removing %s: it may hold what was not undone; the journal stays\n", r->path);
        else
          logError(logCatZip,
                   "Not undoing %s: it is not known to be the directory the update made; the journal stays\n", r->path);
        return -1;
      }
      // Emptied through its own handle, never through a link. What cannot
      // be removed (a hidden file the script left, say) stays with its
      // directory: nothing of the previous installation is in it, and a
      // journal kept for that would block every later update.
      if (osDirHandleRemoveTree(dir, leaf) != 0) {
        logWarn(logCatZip, "Could not undo creation of directory %s\n", r->path);
        return 0;
      }
      (*removed)++;
      return 0;
    default:
      return 0;
  }
}

// True when the `left` bytes at r hold a whole record of fields a and b
// long, its CRC-32 right.
bool wholeRecord(const uint8_t* r, uint32_t left, uint32_t a, uint32_t b) {
  const uint64_t body = 9 + (uint64_t)a + b;
  if (left < body + 4) return false;
  uint32_t crc = 0;
  crc32Update(&crc, r, (uint32_t)body);
  return crc == getLe32(r + body);
}

// True when the `left` bytes at r begin with a record as this program
// writes them: a known type, fields within bounds, whole, its CRC-32 right;
// *size = its length.
bool soundRecord(const uint8_t* r, uint32_t left, uint32_t* size) {
  const uint32_t a = getLe32(r + 1), b = getLe32(r + 5);
  if (left < ulRecordOverhead || !knownType(r[0]) || a > ulMaxPath || b > ulMaxPath) return false;
  *size = ulRecordOverhead + a + b;
  return wholeRecord(r, left, a, b);
}

// True when a sound record begins anywhere in p[from, len).
bool soundRecordFrom(const uint8_t* p, uint32_t from, uint32_t len) {
  uint32_t size = 0;
  for (uint32_t q = from; q < len && len - q >= ulRecordOverhead; q++)
    if (soundRecord(p + q, len - q, &size)) return true;
  return false;
}

// Marks each record whose step never happened, and the record that says
// so, void: neither is undone or finished. False when a void names a kind
// of step that is never voided (only moves aside and placings are) or a
// step the journal does not hold: this program did not write such a log.
bool voidUnmadeSteps(UndoRecord* recs, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    if (recs[i].type != ulVoid) continue;
    const uint8_t kind = (uint8_t)recs[i].other[0];
    if ((kind != ulPlaced && kind != ulMovedAside && kind != ulDirCreated) || recs[i].other[1]) return false;
    uint32_t j = i;
    while (j > 0 && !(recs[j - 1].type == kind && strcmp(recs[j - 1].path, recs[i].path) == 0)) j--;
    if (j == 0) return false;
    recs[j - 1].type = ulVoid;
  }
  return true;
}

// The kept-aside name of the path placed by record i: its own, else the
// one of the latest earlier move aside of the same path (the journal of an
// extraction records a move aside and then the placing separately).
const char* keptAside(const UndoRecord* recs, uint32_t i) {
  if (*recs[i].other) return recs[i].other;
  for (uint32_t j = i; j-- > 0;)
    if (recs[j].type == ulMovedAside && strcmp(recs[j].path, recs[i].path) == 0) return recs[j].other;
  return nullptr;
}

// After the commit mark: the kept-aside versions and any temporary file go
// (both beside the record's path, in dir).
// The identity recorded for record i's file, or null: just before it (a
// move aside or a placing, whose file is known beforehand), else just after
// it (a temporary file, known once made).
const char* identityOf(const UndoRecord* recs, uint32_t n, uint32_t i) {
  for (const uint32_t j : {i - 1, i + 1})
    if (j < n && recs[j].type == ulIdentity && strcmp(recs[j].path, recs[i].path) == 0) return recs[j].other;
  return nullptr;
}

int finishRecord(const UndoRecord* r, const OsDirHandle* dir, const char* id, uint32_t* removed) {
  if (r->type == ulMovedAside) {
    const char* old = ulLeafOf(r->other);
    if (!ulFileOrLinkIn(dir, old)) return 0;
    return isTheFile(dir, old, r->other, id) ? removeFile(dir, old, r->other, removed) : -1;
  }
  if (r->type == ulTempFile) return removeFile(dir, ulLeafOf(r->path), r->path, removed);
  return 0;
}

bool isSep(char c) { return c == '/' || c == '\\'; }

// True when path is dir itself or lies below it (dir as the system resolved it).
bool atOrBelow(const char* path, const char* dir) {
  size_t n = strlen(dir);
  while (n > 1 && isSep(dir[n - 1])) n--;
  return strncmp(path, dir, n) == 0 && (path[n] == 0 || isSep(path[n]));
}

// Refuses "." and ".." components, and below `from` also components that end
// in a dot or a space (Windows drops those, which would make "x\.. " an
// upward step).
bool plainComponents(const char* path, size_t from) {
  for (const char* p = path; *p;) {
    const char* s = p;
    while (*p && !isSep(*p)) p++;
    const size_t n = (size_t)(p - s);
    if ((n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.')) return false;
    if (n > 0 && (size_t)(s - path) >= from && (s[n - 1] == '.' || s[n - 1] == ' ')) return false;
    while (isSep(*p)) p++;
  }
  return true;
}

}  // namespace

bool ulPathConfined(const char* path, const char* realBase, const char* lexBase) {
  if (!*path) return false;
  const size_t lexLen = lexBase ? strlen(lexBase) : 0;
  const bool spelledBelow = lexBase && strncmp(path, lexBase, lexLen) == 0 && isSep(path[lexLen]);
  if (!plainComponents(path, spelledBelow ? lexLen : 0)) return false;
  char* dir = memStrDup(path);
  size_t len = strlen(dir);
  while (len > 0 && !isSep(dir[len - 1])) len--;
  while (len > 1 && isSep(dir[len - 1])) len--;
  dir[len] = 0;
  // Plain directories all the way from the base: inside, without asking
  // the system (which cannot name some long paths).
  bool ok = spelledBelow && len >= lexLen && osDirNoLinkBelow(lexBase, dir);
  len = strlen(path);
  memcpy(dir, path, len + 1);
  for (; !ok;) {
    const size_t was = len;
    while (len > 0 && !isSep(dir[len - 1])) len--;  // up to the parent
    while (len > 1 && isSep(dir[len - 1])) len--;
    if (len == 0 || len == was) break;  // past the root: nothing there
    dir[len] = 0;
    if (osFileKindOf(dir) < 0) continue;
    char* real = nullptr;
    ok = osFileResolveLinks(dir, &real) == 0 && real && atOrBelow(real, realBase);
    memFree(real);
    break;
  }
  memFree(dir);
  return ok;
}

namespace {

// The directory `parent` (a name relative to base, as a record spells it;
// parentPath is its full path) opened below base: along its name when no
// link is on the way, else, with followInside, along where it really
// leads, which must lie inside realBase (journals of earlier versions name
// files written behind a link by the link's name). Either way the open
// goes one component at a time without following a link: a link swapped in
// since fails it.
OsDirHandle* openBelowBase(const OsDirHandle* base, const char* parent, const char* parentPath, const char* realBase,
                           bool followInside) {
  OsDirHandle* dir = nullptr;
  if (!followInside) return osDirHandleOpenBelow(base, parent, &dir) == 0 ? dir : nullptr;
  logSuppress();  // a link on the way is not a failure yet
  const int plain = osDirHandleOpenBelow(base, parent, &dir);
  logUnsuppress();
  if (plain == 0) return dir;
  char* real = nullptr;
  if (osFileResolveLinks(parentPath, &real) == 0 && real && atOrBelow(real, realBase)) {
    const char* tail = real + strlen(realBase);
    while (isSep(*tail)) tail++;
    if (osDirHandleOpenBelow(base, tail, &dir) != 0) dir = nullptr;
  }
  memFree(real);
  return dir;
}

}  // namespace

OsDirHandle* ulOpenParent(const OsDirHandle* base, const char* path, const char* realBase, const char* lexBase,
                          bool followInside, const char** leaf, bool* gone) {
  *gone = false;
  const char* bases[] = {lexBase, realBase};
  const char *rest = nullptr, *spelledBase = nullptr;
  for (const char* b : bases) {
    const size_t n = b ? strlen(b) : 0;
    if (!rest && n > 0 && strncmp(path, b, n) == 0 && isSep(path[n])) {
      rest = path + n + 1;
      spelledBase = b;
    }
  }
  *leaf = rest ? ulLeafOf(rest) : nullptr;
  if (!rest || !**leaf) return nullptr;
  char* parentPath = memStrDupN(path, (size_t)(*leaf - path));
  // Gone only when nothing is there: a link put on the way that leads
  // nowhere does not make it so.
  *gone = osFileKindOf(parentPath) < 0 && osDirNoLinkBelow(spelledBase, parentPath);
  char* parent = *gone ? nullptr : memStrDupN(rest, (size_t)(*leaf - rest));
  OsDirHandle* dir = parent ? openBelowBase(base, parent, parentPath, realBase, followInside) : nullptr;
  memFree(parent);
  memFree(parentPath);
  return dir;
}

bool ulFileOrLinkIn(const OsDirHandle* dir, const char* leaf) {
  const int kind = osDirHandleKindOf(dir, leaf);
  return kind == osDirEntryFile || kind == osDirEntrySymlink;
}

namespace {

// True when rel (a name relative to the installation) is its registration
// file, its lock or lies in the lock, in any letter case.
bool ownName(const char* rel) {
  static const char* const own[] = {"register.properties", ".lock"};
  for (const char* o : own) {
    const size_t n = strlen(o);
    bool same = true;
    for (size_t i = 0; same && i < n; i++) same = rel[i] && tolower((unsigned char)rel[i]) == o[i];
    if (same && (rel[n] == 0 || (o[1] == 'l' && isSep(rel[n])))) return true;
  }
  return false;
}

// ownName judged on where `path` really is: its parent resolved, and the
// path itself when it exists (a short 8.3 name resolves to the long one).
bool namesOwnFile(const char* path, const char* realBase, const char* lexBase) {
  const size_t lexLen = lexBase ? strlen(lexBase) : 0;
  if (lexBase && strncmp(path, lexBase, lexLen) == 0 && isSep(path[lexLen]) && ownName(path + lexLen + 1)) return true;
  const size_t baseLen = strlen(realBase);
  bool own = false;
  char* real = nullptr;
  if (osFileKindOf(path) >= 0 && osFileResolveLinks(path, &real) == 0 && real)
    own = strlen(real) > baseLen && atOrBelow(real, realBase) && ownName(real + baseLen + 1);
  memFree(real);
  real = nullptr;
  const char* slash = nullptr;
  for (const char* p = path; *p; p++)
    if (isSep(*p)) slash = p;
  if (!own && slash) {
    char* dir = memStrDupN(path, (size_t)(slash - path));
    if (osFileKindOf(dir) >= 0 && osFileResolveLinks(dir, &real) == 0 && real && atOrBelow(real, realBase)) {
      // In the installation's top directory: the name itself; below it,
      // the first component (the lock).
      own = strlen(real) > baseLen ? ownName(real + baseLen + 1) : ownName(slash + 1);
    }
    memFree(dir);
  }
  memFree(real);
  return own;
}

// Says what a journal that every later run would refuse the same way takes.
void needsAPerson(const char* log) {
  logError(logCatZip,
           "Update journal %s cannot be undone by this program; updates of this installation fail until a person has "
           "checked the installation and removed the journal\n",
           log);
}

// Checks every name of every record before anything is undone.
int checkRecords(const char* log, const UndoRecord* recs, uint32_t n, const char* installDir) {
  char* realBase = nullptr;
  if (osFileResolveLinks(installDir, &realBase) != 0 || !realBase) {
    logError(logCatZip, "Cannot resolve the installation directory %s\n", installDir);
    return -1;
  }
  char* lexBase = nullptr;
  if (osDirRealPath(installDir, nullptr, &lexBase) != 0) lexBase = nullptr;
  int rc = 0;
  for (uint32_t i = 0; i < n && rc == 0; i++) {
    for (const char* name : {recs[i].path, recs[i].other}) {
      if (recs[i].type == ulDone ||
          (name == recs[i].other && (!*name || recs[i].type == ulVoid || recs[i].type == ulIdentity)))
        continue;
      if (!ulPathConfined(name, realBase, lexBase)) {
        logError(logCatZip, "Update journal %s names %s, which is not inside the installation %s; nothing is undone\n",
                 log, name, installDir);
      } else if (namesOwnFile(name, realBase, lexBase)) {
        logError(logCatZip,
                 "Update journal %s names %s, the installation's registration or lock, which no update changes; "
                 "nothing is undone\n",
                 log, name);
      } else {
        continue;
      }
      rc = -1;
      break;
    }
  }
  memFree(lexBase);
  memFree(realBase);
  return rc;
}

// Removes a journal, but only from a directory that is still a directory:
// one swapped for a link (the lock renamed away and a link put in its place)
// would make this delete a file of the same name wherever the link leads.
int removeJournal(const char* path) {
  char* dir = nullptr;
  if (osDirCopyParentDirectory(path, &dir) != 0 || !dir) return -1;
  const bool plain = osFileKindOf(dir) == osDirEntryDirectory;
  if (!plain) logError(logCatZip, "Not removing the update journal %s: %s is no longer a directory\n", path, dir);
  memFree(dir);
  return plain ? osFileDelete(path) : -1;
}

}  // namespace

int ulCreate(const char* path, UndoLog* log) {
  memset(log, 0, sizeof *log);
  // Created new: never through a link planted at the name, never over a
  // journal that may still be needed.
  log->stream = osFileOpen(path, osFileModeCreateNew, osFileTypePlain, nullptr, false, false);
  if (!log->stream) {
    logError(logCatZip, "Cannot create the update journal %s\n", path);
    return -1;
  }
  log->path = memStrDup(path);
  uint8_t header[ulHeaderSize] = {0};
  memcpy(header, ulMagic, sizeof ulMagic);
  header[4] = ulVersion;
  uint32_t written = 0;
  if (iosWrite(log->stream, header, sizeof header, &written) != 0 || written != sizeof header || ulFlush(log) != 0) {
    logError(logCatZip, "Cannot write the update journal %s\n", path);
    ulClose(log, true);
    return -1;
  }
  return 0;
}

int ulAppend(UndoLog* log, uint8_t type, const char* path, const char* other) {
  if (!other) other = "";
  const uint32_t a = (uint32_t)strlen(path), b = (uint32_t)strlen(other);
  if (a > ulMaxPath || b > ulMaxPath) {
    logError(logCatZip, "Path too long for the update journal: %s\n", path);
    return -1;
  }
  const uint32_t size = ulRecordOverhead + a + b;
  uint8_t* rec = (uint8_t*)memAlloc(size);
  rec[0] = type;
  putLe32(rec + 1, a);
  putLe32(rec + 5, b);
  memcpy(rec + 9, path, a);
  memcpy(rec + 9 + a, other, b);
  uint32_t crc = 0;
  crc32Update(&crc, rec, size - 4);
  putLe32(rec + size - 4, crc);
  uint32_t written = 0;
  const int rc = iosWrite(log->stream, rec, size, &written) == 0 && written == size ? 0 : -1;
  memFree(rec);
  if (rc != 0) {
    logError(logCatZip, "Cannot write to the update journal %s\n", log->path);
    return -1;
  }
  log->flushed = false;
  return 0;
}

int ulFlush(UndoLog* log) {
  if (log->flushed) return 0;
  if (iosFlush(log->stream) != 0) {
    logError(logCatZip, "Cannot flush the update journal %s\n", log->path);
    return -1;
  }
  log->flushed = true;
  return 0;
}

int ulClose(UndoLog* log, bool remove) {
  int rc = 0;
  if (log->stream && iosClose(log->stream) != 0) rc = -1;
  log->stream = nullptr;
  if (remove && log->path && removeJournal(log->path) != 0) rc = -1;
  memFree(log->path);
  log->path = nullptr;
  return rc;
}

int ulRead(const char* path, UndoRecord** records, uint32_t* count) {
  *records = nullptr;
  *count = 0;
  StringBuffer data;
  sbInitHere(&data);
  char* p8 = nullptr;
  uint32_t len = 0;
  uint8_t header[ulHeaderSize] = {0};
  memcpy(header, ulMagic, sizeof ulMagic);
  header[4] = ulVersion;
  // Only a journal this program's account (or an administrator) wrote is
  // acted on: someone who may merely create files in the lock could
  // otherwise have any file of the installation deleted or moved.
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  const bool trusted = in && osFileStreamOwnerTrusted(in);
  const bool read = in && sbAppendInputStream(&data, in, 0, nullptr) == 0;
  if (in) iosClose(in);
  if (read && !trusted) {
    logError(logCatZip, "%s was not written by this program's account or an administrator\n", path);
    needsAPerson(path);
    sbClean(&data);
    return -1;
  }
  sbGetDataLength(&data, &p8, &len);
  // A header cut short by a crash is a log with no records yet.
  if (read && len < ulHeaderSize && (len == 0 || memcmp(p8, header, len) == 0)) {
    sbClean(&data);
    *records = (UndoRecord*)memAlloc(sizeof(UndoRecord));
    return 0;
  }
  if (!read) {
    logError(logCatZip, "Cannot read the update journal %s\n", path);
    sbClean(&data);
    return -1;
  }
  if (len < ulHeaderSize || memcmp(p8, header, 4) != 0 || (uint8_t)p8[4] < ulOldestVersion ||
      (uint8_t)p8[4] > ulVersion) {
    logError(logCatZip, "%s is not an update journal of this program\n", path);
    needsAPerson(path);
    sbClean(&data);
    return -1;
  }
  const uint8_t* p = (const uint8_t*)p8;
  uint32_t cap = 16, n = 0;
  UndoRecord* out = (UndoRecord*)memAlloc(cap * sizeof *out);
  const char* damage = nullptr;
  for (uint32_t pos = ulHeaderSize, size = 0; len - pos >= ulRecordOverhead; pos += size) {
    const uint8_t* r = p + pos;
    if (!soundRecord(r, len - pos, &size)) {
      // A crash tears only the end: nothing sound follows a torn record.
      const uint32_t a = getLe32(r + 1), b = getLe32(r + 5);
      if (knownType(r[0]) && (a > ulMaxPath || b > ulMaxPath) && wholeRecord(r, len - pos, a, b))
        damage = "holds a record longer than this program writes";
      else if (soundRecordFrom(p, pos + 1, len))
        damage = "is damaged before its end (a record that cannot be read has records after it)";
      break;
    }
    if (n == cap) {
      cap *= 2;
      out = (UndoRecord*)memRealloc(out, cap * sizeof *out);
    }
    const uint32_t a = getLe32(r + 1), b = getLe32(r + 5);
    out[n++] = {r[0], memStrDupN((const char*)r + 9, a), memStrDupN((const char*)r + 9 + a, b)};
  }
  if (damage) {
    // What comes after the damage would be lost with it.
    logError(logCatZip, "%s %s\n", path, damage);
    needsAPerson(path);
    ulFreeRecords(out, n);
    sbClean(&data);
    return -1;
  }
  sbClean(&data);
  *records = out;
  *count = n;
  return 0;
}

void ulFreeRecords(UndoRecord* records, uint32_t count) {
  for (uint32_t i = 0; records && i < count; i++) {
    memFree(records[i].path);
    memFree(records[i].other);
  }
  memFree(records);
}

int ulRecover(const char* path, const char* installDir, uint32_t* restored, uint32_t* removed) {
  *restored = 0;
  *removed = 0;
  UndoRecord* recs = nullptr;
  uint32_t n = 0;
  int rc = ulRead(path, &recs, &n);
  if (rc == 0 && checkRecords(path, recs, n, installDir) != 0) {
    needsAPerson(path);
    ulFreeRecords(recs, n);
    return -1;
  }
  if (rc == 0 && !voidUnmadeSteps(recs, n)) {
    logError(logCatZip, "Update journal %s voids a step it does not record; nothing is undone\n", path);
    needsAPerson(path);
    ulFreeRecords(recs, n);
    return -1;
  }
  bool done = false;
  for (uint32_t i = 0; rc == 0 && i < n; i++) done = done || recs[i].type == ulDone;
  // Each file is undone in its directory opened below the installation, so
  // that no step follows a link swapped in since the records were checked.
  char* realBase = nullptr;
  char* lexBase = nullptr;
  OsDirHandle* base = nullptr;
  if (rc == 0 && (osFileResolveLinks(installDir, &realBase) != 0 || osDirHandleOpen(realBase, &base) != 0)) rc = -1;
  if (rc == 0 && osDirRealPath(installDir, nullptr, &lexBase) != 0) lexBase = nullptr;
  // Every record is tried, also after one failed: the next run retries.
  for (uint32_t i = n; base && i-- > 0;) {
    if (recs[i].type == ulDone || recs[i].type == ulVoid || recs[i].type == ulIdentity) continue;
    const char* leaf = nullptr;
    bool gone = false;
    OsDirHandle* dir = ulOpenParent(base, recs[i].path, realBase, lexBase, true, &leaf, &gone);
    // What was made in a directory that is gone went with it; a previous
    // version kept aside there cannot be put back.
    const bool lost = gone && !done && recs[i].type == ulMovedAside;
    if (lost) logError(logCatZip, "Cannot restore the previous version of %s: its directory is gone\n", recs[i].path);
    int one = gone && !lost ? 0 : -1;
    if (dir)
      one = done ? finishRecord(&recs[i], dir, identityOf(recs, n, i), removed)
                 : undoRecord(&recs[i], dir, keptAside(recs, i), identityOf(recs, n, i), rc != 0, restored, removed);
    else if (!gone)
      logError(logCatZip, "Not undoing %s: it no longer lies inside %s\n", recs[i].path, installDir);
    osDirHandleClose(dir);
    if (one != 0) rc = -1;
  }
  osDirHandleClose(base);
  memFree(lexBase);
  memFree(realBase);
  // A journal that could not be read, or not wholly undone, stays.
  if (rc == 0 && removeJournal(path) != 0) rc = -1;
  ulFreeRecords(recs, n);
  return rc;
}

const char* ulLeafOf(const char* path) {
  const char* leaf = path;
  for (const char* p = path; *p; p++)
    if (*p == '/' || *p == '\\') leaf = p + 1;
  return leaf;
}

void ulIdText(const OsFileId* id, char* text) {
  if (id->generation)
    snprintf(text, ulIdTextSize, "%" PRIx64 ":%" PRIx64 ":%" PRIx64, id->volume, id->file, id->generation);
  else
    snprintf(text, ulIdTextSize, "%" PRIx64 ":%" PRIx64, id->volume, id->file);
}

// Journals of earlier versions name files by volume and number only: such an
// identity still means what it meant, and is compared on those two, as is
// one whose generation the system did not tell now.
bool ulIdMatches(const char* recorded, const OsFileId* id) {
  const OsFileId number = {id->volume, id->file, 0};
  char text[ulIdTextSize];
  ulIdText(&number, text);
  const size_t n = strlen(text);
  if (strncmp(recorded, text, n) != 0 || (recorded[n] && recorded[n] != ':')) return false;
  if (!recorded[n] || !id->generation) return true;
  ulIdText(id, text);
  return strcmp(recorded, text) == 0;
}
