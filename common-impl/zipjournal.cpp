// Extraction journal: records every change an extracting walk makes to the
// file system so that it can be undone (rollback) or accepted (commit).
//
// Two maps live in the ZipInfo: the created journal (paths of created
// directories, files and links) and the replaced journal (a path and the
// name under which its previous version was moved aside). Both are keyed by
// one shared sequence ("%09u"), so the order of all events is known: a
// rollback undoes them newest first, whichever journal holds them. This
// matters when one path is written more than once by the same walk (an
// archive with duplicate names, or names that differ only in case on a
// case-insensitive file system): each replacement is then undone in turn and
// the oldest previous version ends up back in place.
//
// Created-journal values are a one-letter kind ('P' plain path, 'L' symbolic
// link) followed by the path; replaced-journal values are
// "pathName\0oldName\0".
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crc32.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "osfile.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "undolog.h"
#include "zipint.h"

namespace {

// Unix mode 0700 and no DOS attributes: clears read-only, hidden, system.
constexpr uint32_t zipResetAttributes = 0x01C00000;

// Puts value under the next shared sequence key of map.
int putSequenced(ZipInfo* info, SortMap* map, char* value) {
  char key[16];
  snprintf(key, sizeof key, "%09u", info->journalSequence);
  if (smPut(map, key, value) != 0) {
    memFree(value);
    return -1;
  }
  info->journalSequence++;
  return 0;
}

// False (logged) when the directory dir, found at the first n bytes of
// path (its separator after them dropped), is not the one the walk made or
// wrote into there: someone put another in its place since.
bool isRememberedDirectory(const ZipInfo* info, const char* path, size_t n, const OsDirHandle* dir) {
  if (!info->journalDirs) return true;
  while (n > 1 && (path[n - 1] == '/' || path[n - 1] == '\\')) n--;
  char* key = memStrDupN(path, n);
  const OsFileId* id = static_cast<const OsFileId*>(smGet(info->journalDirs, key));
  const bool same = !id || osDirHandleHasId(dir, id) == 1;
  if (!same)
    logError(logCatZip, "Not undoing or removing anything in %s: it is no longer the directory of this run\n", key);
  memFree(key);
  return same;
}

// The directory holding `path` below the journal's base, opened from base
// one component at a time without following a link, as the walk opened it;
// *leaf is path's last component. Null (logged) when path no longer lies
// inside: a directory on the way was swapped for a link since; null with
// *missing set (not logged) when the directory is gone, and with it what
// the record undoes.
OsDirHandle* openRecordDir(const ZipInfo* info, const OsDirHandle* base, const char* path, const char** leaf,
                           bool* missing) {
  bool gone = false;
  OsDirHandle* dir =
      base ? ulOpenParent(base, path, info->journalBase, info->journalLexBase, false, leaf, &gone) : nullptr;
  if (!dir && !gone) logError(logCatZip, "Not undoing %s: it no longer lies inside %s\n", path, info->journalBase);
  *missing = gone;
  if (dir && !isRememberedDirectory(info, path, (size_t)(*leaf - path), dir)) {
    osDirHandleClose(dir);
    dir = nullptr;
  }
  return dir;
}

// Makes the created directory `leaf` in dir (at path) writable before it is
// emptied, through a handle of its own when dir is open.
void resetDirectory(const OsDirHandle* dir, const char* leaf, const char* path) {
  OsDirHandle* self = nullptr;
  if (!dir) {
    osFileSetAttributes(path, zipResetAttributes);
  } else if (osDirHandleOpenBelow(dir, leaf, &self) == 0) {
    IoStream* s = osDirHandleStream(self);
    if (s) {
      osFileStreamSetAttributes(s, zipResetAttributes);
      iosClose(s);
    }
    osDirHandleClose(self);
  }
}

// False (logged) when the directory `leaf` in dir is not the one the walk
// created at path.
bool isCreatedDirectory(const ZipInfo* info, const OsDirHandle* dir, const char* leaf, const char* path) {
  OsDirHandle* self = nullptr;
  if (osDirHandleOpenBelow(dir, leaf, &self) != 0) return false;
  const bool same = isRememberedDirectory(info, path, strlen(path), self);
  osDirHandleClose(self);
  return same;
}

// Removes one created path: a link itself, a directory with everything in
// it (never entering a link), or a file, the last through dir (its open
// directory; null for the records of the base's own creation, which hold
// no files). Returns 0 when removed or absent; counts what it removed.
int undoCreation(const ZipInfo* info, const char* value, const OsDirHandle* dir, const char* leaf, int verbosity,
                 int* files, int* dirs) {
  const char* path = value + 1;
  // A created directory someone swapped for a link since is undone like a
  // link the walk made, so its target is never emptied.
  const int kind = dir ? osDirHandleKindOf(dir, leaf) : -1;
  const bool link = value[0] == 'L' || (dir ? kind == osDirEntrySymlink : osDirIsLink(path));
  if (link && dir && kind >= 0 && osDirHandleDelete(dir, leaf) == 0) {
    (*files)++;
    if (verbosity == 2) logInfo(logCatZip, "Undid creation of file %s\n", path);
    return 0;
  }
  if (link) {
    // Never descend through a link: remove the link itself (a directory
    // link on Windows goes with the directory removal call).
    int rc = -1;
    if (osIsFileDirectory(path)) rc = osDirRemove(path, nullptr);
    if (rc != 0 || osIsFileDirectory(path)) rc = osFileDeleteEx(path, nullptr, 0);
    if (rc != 0) {
      logWarn(logCatZip, "Could not undo creation of file %s\n", path);
      return -1;
    }
    (*files)++;
    if (verbosity == 2) logInfo(logCatZip, "Undid creation of file %s\n", path);
    return 0;
  }
  if (dir ? kind == osDirEntryDirectory : osIsFileDirectory(path)) {
    if (dir && !isCreatedDirectory(info, dir, leaf, path)) return -1;
    resetDirectory(dir, leaf, path);
    // Emptied through its own handle: a directory inside swapped for a link
    // meanwhile loses the link, never what it leads to.
    const int rc = dir ? osDirHandleRemoveTree(dir, leaf)
                   : osDirRemoveContents(path, false) == 0 && osDirRemove(path, nullptr) == 0 ? 0
                                                                                              : -1;
    if (rc != 0 || (!dir && osIsDirPresent(path))) {
      logWarn(logCatZip, "Could not undo creation of directory %s\n", path);
      return -1;
    }
    (*dirs)++;
    if (verbosity == 2) logInfo(logCatZip, "Undid creation of directory %s\n", path);
    return 0;
  }
  if (dir && ulFileOrLinkIn(dir, leaf)) {
    // Through the directory handle: a file that is read-only on Windows is
    // made writable by the deletion itself.
    if (osDirHandleDelete(dir, leaf) != 0) {
      logWarn(logCatZip, "Could not undo creation of file %s\n", path);
      return -1;
    }
    (*files)++;
    if (verbosity == 2) logInfo(logCatZip, "Undid creation of file %s\n", path);
  }
  return 0;
}

// False (logged) when the file at the kept-aside name oldLeaf in dir is not
// the one this run moved aside there (someone put another in its place);
// the identity is the third part of the replacement record `value`.
bool isKeptAside(const char* value, const OsDirHandle* dir, const char* oldLeaf) {
  const char* oldName = value + strlen(value) + 1;
  const char* id = oldName + strlen(oldName) + 1;
  if (!*id) return true;
  OsFileId got = {};
  if (osDirHandleIdOf(dir, oldLeaf, &got) == 0 && ulIdMatches(id, &got)) return true;
  logError(logCatZip, "Leaving %s as it is: it is not the previous version this run kept aside\n", oldName);
  return false;
}

// Moves the previous version of a path back, inside its open directory.
// Only when the previous version is really at its old name is the current
// file removed first, so a replacement recorded just before a failed
// move-aside costs nothing.
int restoreOld(const char* value, const OsDirHandle* dir, int verbosity, int* restored) {
  const char* pathName = value;
  const char* oldName = value + strlen(value) + 1;
  const char* leaf = pathName + strlen(pathName);
  while (leaf > pathName && leaf[-1] != '/' && leaf[-1] != '\\') leaf--;
  const char* oldLeaf = oldName + strlen(oldName);
  while (oldLeaf > oldName && oldLeaf[-1] != '/' && oldLeaf[-1] != '\\') oldLeaf--;
  if (!ulFileOrLinkIn(dir, oldLeaf)) return 0;
  if (!isKeptAside(value, dir, oldLeaf)) return -1;
  int result = 0;
  if (ulFileOrLinkIn(dir, leaf) && osDirHandleDelete(dir, leaf) != 0) result = -1;
  if (osDirHandleMove(dir, oldLeaf, leaf, nullptr) != 0) {
    logWarn(logCatZip, "Could not restore previous version of %s\n", pathName);
    return -1;
  }
  (*restored)++;
  if (verbosity == 2) logInfo(logCatZip, "Restored previous version of %s\n", pathName);
  return result;
}

// True when the journal record under key may be undone: it was made before
// the walk's base was known (the base's own creation), or its path still
// lies inside that base. Someone may have swapped a directory of the walk
// for a link since; what lies behind it is never touched.
bool stillInside(const ZipInfo* info, const char* key, const char* path) {
  if (!info->journalBase || (uint32_t)strtoul(key, nullptr, 10) < info->journalBaseFrom) return true;
  if (ulPathConfined(path, info->journalBase, info->journalLexBase)) return true;
  logError(logCatZip, "Not undoing %s: it no longer lies inside %s\n", path, info->journalBase);
  return false;
}

// The journal's base, open (null when there is none or it cannot be
// opened; then nothing below it is undone). Someone may have put another
// directory, or a link to one, where the base was: nothing in that one is
// ever deleted, restored or removed.
OsDirHandle* openJournalBase(const ZipInfo* info) {
  OsDirHandle* base = nullptr;
  if (!info->journalBase || osDirHandleOpen(info->journalBase, &base) != 0) return nullptr;
  const int same = osDirHandleHasId(base, &info->journalBaseId);
  if (same == 0)
    logError(logCatZip,
             "Not undoing or removing anything in %s: it is no longer the directory that was extracted into\n",
             info->journalBase);
  if (same != 1) {
    osDirHandleClose(base);
    base = nullptr;
  }
  return base;
}

// Undoes one creation record (value) under key. A path below the base is
// undone in its directory opened from *base; the records of the base's own
// creation come last (newest first), and *base is closed before them, since
// on some systems an open directory cannot be removed.
int undoCreationRecord(const ZipInfo* info, OsDirHandle** base, const char* key, const char* value, int* files,
                       int* dirs) {
  const char* path = value + 1;
  if (!info->journalBase || (uint32_t)strtoul(key, nullptr, 10) < info->journalBaseFrom) {
    osDirHandleClose(*base);
    *base = nullptr;
    return undoCreation(info, value, nullptr, nullptr, info->verbosity, files, dirs);
  }
  const char* leaf = nullptr;
  bool missing = false;
  OsDirHandle* dir = stillInside(info, key, path) ? openRecordDir(info, *base, path, &leaf, &missing) : nullptr;
  const int rc = dir ? undoCreation(info, value, dir, leaf, info->verbosity, files, dirs) : missing ? 0 : -1;
  osDirHandleClose(dir);
  return rc;
}

// Undoes both journals newest first. Returns 0 when every creation was
// undone and every previous version restored; *undoFailed and
// *restoreFailed tell which kind of step failed.
void undoAll(ZipInfo* info, bool* undoFailed, bool* restoreFailed) {
  int files = 0, dirs = 0, restored = 0;
  OsDirHandle* base = openJournalBase(info);
  const char* ckey = nullptr;
  const char* rkey = nullptr;
  const char* cval = info->created ? static_cast<const char*>(smLast(info->created, &ckey)) : nullptr;
  const char* rval = info->replaced ? static_cast<const char*>(smLast(info->replaced, &rkey)) : nullptr;
  while (cval || rval) {
    if (cval && (!rval || strcmp(ckey, rkey) > 0)) {
      if (undoCreationRecord(info, &base, ckey, cval, &files, &dirs) != 0) *undoFailed = true;
      cval = static_cast<const char*>(smPrevious(info->created, &ckey));
    } else {
      const char* oldName = rval + strlen(rval) + 1;
      const char* leaf = nullptr;
      bool missing = false;
      OsDirHandle* dir = stillInside(info, rkey, rval) && stillInside(info, rkey, oldName)
                             ? openRecordDir(info, base, rval, &leaf, &missing)
                             : nullptr;
      // A previous version whose directory is gone cannot be put back.
      if (!dir && missing)
        logError(logCatZip, "Cannot restore the previous version of %s: its directory is gone\n", rval);
      if (!dir || restoreOld(rval, dir, info->verbosity, &restored) != 0) *restoreFailed = true;
      osDirHandleClose(dir);
      rval = static_cast<const char*>(smPrevious(info->replaced, &rkey));
    }
  }
  if (info->verbosity >= 1 && (files || dirs))
    logInfo(logCatZip, "Undid creation of %d files and %d directories\n", files, dirs);
  if (info->verbosity >= 1 && restored) logInfo(logCatZip, "Restored %d old versions of files\n", restored);
  osDirHandleClose(base);
}

// Deletes every previous version kept aside (commit).
int removeOldFiles(const ZipInfo* info, SortMap* replaced, int verbosity) {
  int result = 0, removed = 0;
  OsDirHandle* base = openJournalBase(info);
  const char* key = nullptr;
  for (const char* v = static_cast<const char*>(smFirst(replaced, &key)); v;
       v = static_cast<const char*>(smNext(replaced, &key))) {
    const char* oldName = v + strlen(v) + 1;
    const char* leaf = nullptr;
    bool missing = false;
    OsDirHandle* dir = stillInside(info, key, oldName) ? openRecordDir(info, base, oldName, &leaf, &missing) : nullptr;
    if (!dir) {
      if (!missing) result = -1;
      continue;
    }
    // Asked in its directory, not by its path: a link put on the way may
    // lead where it is not. Another file put at the name meanwhile stays.
    if (!ulFileOrLinkIn(dir, leaf) || !isKeptAside(v, dir, leaf)) {
      osDirHandleClose(dir);
      continue;
    }
    if (osDirHandleDelete(dir, leaf) == 0) {
      removed++;
    } else {
      logWarn(logCatZip, "Could not remove old file %s\n", oldName);
      result = -1;
    }
    osDirHandleClose(dir);
  }
  osDirHandleClose(base);
  if (verbosity >= 1 && removed)
    logInfo(logCatZip, "%d files already existed and have been overwritten with new content\n", removed);
  if (result != 0) logWarn(logCatZip, "Not all old files could be removed. Some .old files may be present\n");
  return result;
}

// Writes a record to the journal's copy on disk, before the step; with
// `flush` it reaches the disk first.
int logStep(ZipInfo* info, uint8_t type, const char* path, const char* other, bool flush) {
  if (!info || !info->undoLog) return 0;
  if (ulAppend(info->undoLog, type, path, other) != 0) return -1;
  return flush ? ulFlush(info->undoLog) : 0;
}

// Ends the copy on disk: removed when the journals ended cleanly, else kept
// so that the next run finishes the work.
void endLogOnDisk(ZipInfo* info, bool clean) {
  if (!info->undoLog) return;
  if (!clean) logWarn(logCatZip, "Keeping update journal %s for the next run\n", info->undoLog->path);
  ulClose(info->undoLog, clean);
  memFree(info->undoLog);
  info->undoLog = nullptr;
}

// Records a created path with its kind letter.
int addCreated(ZipInfo* info, const char* path, char kind) {
  if (!info || !info->created) return 0;
  if (logStep(info, ulPlaced, path, "", false) != 0) return -1;
  logTrace(logCatZip, "zipAddRollback('%s')\n", path);
  const size_t n = strlen(path);
  char* value = static_cast<char*>(memAlloc(n + 2));
  value[0] = kind;
  memcpy(value + 1, path, n + 1);
  return putSequenced(info, info->created, value);
}

}  // namespace

int zipAddRollback(ZipInfo* info, const char* path) { return addCreated(info, path, 'P'); }

// Records a symbolic link the walk created; a rollback removes the link
// itself and never what it points at.
int zipAddRollbackLink(ZipInfo* info, const char* path) { return addCreated(info, path, 'L'); }

int zipAddReplacement(ZipInfo* info, const char* pathName, const char* oldName, const OsFileId* id) {
  if (!info || !info->replaced) return 0;
  // Each move aside begins a batch of moves: the journal reaches the disk
  // before a previous version leaves its place.
  if (logStep(info, ulMovedAside, pathName, oldName, true) != 0) return -1;
  // pathName, oldName and the identity of the file moved aside (empty when
  // not known), each ended by a NUL.
  char text[ulIdTextSize] = "";
  if (id) ulIdText(id, text);
  const size_t a = strlen(pathName), b = strlen(oldName), c = strlen(text);
  char* value = static_cast<char*>(memAlloc(a + b + c + 3));
  memcpy(value, pathName, a + 1);
  memcpy(value + a + 1, oldName, b + 1);
  memcpy(value + a + b + 2, text, c + 1);
  return putSequenced(info, info->replaced, value);
}

void zipRememberDirectory(ZipInfo* info, const char* path, const OsDirHandle* dir) {
  if (!info || !info->created) return;
  if (!info->journalDirs) info->journalDirs = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  if (smGet(info->journalDirs, path)) return;
  OsFileId* id = memNew(OsFileId);
  if (osDirHandleId(dir, id) != 0 || smPut(info->journalDirs, path, id) != 0) memFree(id);
}

// True when the open script holds what the walk wrote (its CRC-32 and
// size): someone may have rewritten it in place before it was held.
bool holdsTheScript(const ZipInfo* info, IoStream* script) {
  const uint32_t chunk = 65536;
  char* buf = static_cast<char*>(memAlloc(chunk));
  uint32_t crc = 0, got = 0;
  uint64_t size = 0;
  int rc = 0;
  while ((rc = iosRead(script, buf, chunk, &got)) == 0 && got > 0) {
    crc32Update(&crc, buf, got);
    size += got;
  }
  memFree(buf);
  logDebug(logCatZip, "Script read: rc=%d crc=%08x size=%" PRIu64 " want crc=%08x size=%" PRIu64 "\n", rc, crc, size,
           info->scriptCrc, info->scriptSize);
  return rc == 0 && crc == info->scriptCrc && size == info->scriptSize;
}

int zipCheckWrittenScript(const ZipInfo* info, const char* pathName, IoStream** held) {
  *held = nullptr;
  if (!info || !info->scriptPath || strcmp(info->scriptPath, pathName) != 0) return 0;
  const char* leaf = ulLeafOf(pathName);
  size_t n = (size_t)(leaf - pathName);
  while (n > 1 && (pathName[n - 1] == '/' || pathName[n - 1] == '\\')) n--;
  char* dir = memStrDupN(pathName, n);
  const OsFileId* dirId = info->journalDirs ? static_cast<const OsFileId*>(smGet(info->journalDirs, dir)) : nullptr;
  // The script is held open first, then it and its directory are compared:
  // what is checked is what stays.
  IoStream* script = osFileOpen(pathName, osFileModeReadHeld, osFileTypeExtracted, nullptr, false, false);
  OsDirHandle* now = nullptr;
  OsFileId id = {};
  const bool same = script && osFileStreamId(script, &id) == 0 && osFileIdSame(&id, &info->scriptId) &&
                    osDirHandleOpen(dir, &now) == 0 && (!dirId || osDirHandleHasId(now, dirId) == 1) &&
                    holdsTheScript(info, script);
  if (!same) {
    logError(logCatZip,
             "%s is not the script extracted: it was changed, or another file or another directory %s was put in its "
             "place\n",
             pathName, dir);
    if (script) iosClose(script);
    script = nullptr;
  }
  osDirHandleClose(now);
  memFree(dir);
  *held = script;
  return same ? 1 : -1;
}

int zipAddIdentity(ZipInfo* info, const char* path, const OsFileId* id) {
  char text[ulIdTextSize];
  ulIdText(id, text);
  return logStep(info, ulIdentity, path, text, false);
}

void zipDropLastReplacement(ZipInfo* info) {
  if (!info || !info->replaced) return;
  const char* last = nullptr;
  const char* value = static_cast<const char*>(smLast(info->replaced, &last));
  if (!value || !last) return;
  // The copy on disk keeps the record; it learns, before anything else
  // happens, that its step never did, or a recovery would restore a
  // kept-aside file that is not ours.
  if (logStep(info, ulVoid, value, "A", true) != 0)
    logWarn(logCatZip, "Cannot record in the update journal that %s was not moved aside\n", value);
  char key[16];
  snprintf(key, sizeof key, "%s", last);
  smRemove(info->replaced, key);
}

void zipDropLastCreation(ZipInfo* info) {
  if (!info || !info->created) return;
  const char* last = nullptr;
  const char* value = static_cast<const char*>(smLast(info->created, &last));
  if (!value || !last) return;
  // As above: a recovery must not delete what stands at a name this run
  // found taken.
  if (logStep(info, ulVoid, value + 1, "P", true) != 0)
    logWarn(logCatZip, "Cannot record in the update journal that %s was not made\n", value + 1);
  char key[16];
  snprintf(key, sizeof key, "%s", last);
  smRemove(info->created, key);
}

int zipEndJournal(ZipInfo* info, ZipJournalEnd end) {
  if (!info || (!info->created && !info->replaced)) return 0;
  bool clean = true, marked = true;
  if (end == zipJournalRollback) {
    logWarn(logCatZip, "Rolling back all changes to filesystem ...\n");
    bool undoFailed = false, restoreFailed = false;
    undoAll(info, &undoFailed, &restoreFailed);
    if (undoFailed) logFatal(logCatZip, "Could not undo all file operations\n");
    if (restoreFailed) logFatal(logCatZip, "Could not reset all old files back to previous content\n");
    clean = !undoFailed && !restoreFailed;
  } else {
    // Everything written is on the disk before the commit mark, and the
    // mark before any previous version goes: a crash until then is undone.
    if (zipFlushWritten(info) != 0 || logStep(info, ulDone, "", "", true) != 0) clean = marked = false;
    if (clean && info->replaced && removeOldFiles(info, info->replaced, info->verbosity) != 0) {
      logFatal(logCatZip, "Could not remove all previous files that are replaced with new content\n");
      clean = false;
    }
  }
  endLogOnDisk(info, clean);
  osSyncBatchClear(&info->unsynced);
  smDestroy(info->created);
  info->created = nullptr;
  smDestroy(info->replaced);
  info->replaced = nullptr;
  smDestroy(info->journalDirs);
  info->journalDirs = nullptr;
  info->journalSequence = 0;
  memFree(info->journalBase);
  memFree(info->journalLexBase);
  info->journalBase = info->journalLexBase = nullptr;
  info->journalBaseFrom = 0;
  // Previous versions left behind after the commit mark do not undo it.
  return (end == zipJournalRollback ? clean : marked) ? 0 : -1;
}

int zipFlushWritten(ZipInfo* info) {
  if (!info || info->unsynced.count == 0) return 0;
  if (osSyncBatchFlush(&info->unsynced) == 0) return 0;
  logError(logCatZip, "Cannot flush the extracted files to disk\n");
  return -1;
}

int zipLogDirectory(ZipInfo* info, const char* path) { return logStep(info, ulDirCreated, path, "", false); }

void zipVoidDirectory(ZipInfo* info, const char* path) {
  if (logStep(info, ulVoid, path, "D", true) != 0)
    logWarn(logCatZip, "Cannot record in the update journal that %s was not made\n", path);
}

int zipKeepJournalOnDisk(ZipInfo* info, const char* path) {
  if (!info) return -1;
  endLogOnDisk(info, true);
  UndoLog* log = (UndoLog*)memAlloc(sizeof(UndoLog));
  if (ulCreate(path, log) != 0) {
    memFree(log);
    return -1;
  }
  info->undoLog = log;
  return 0;
}

void zipCloseJournalOnDisk(ZipInfo* info) {
  if (info) endLogOnDisk(info, true);
}

int zipCommit(ZipInfo** handle) {
  if (!handle || !*handle) return 0;
  const int rc = zipEndJournal(*handle, zipJournalCommit);
  zipCloseJournalOnDisk(*handle);
  return rc;
}

void zipRollback(ZipInfo** handle) {
  if (handle && *handle) zipEndJournal(*handle, zipJournalRollback);
}
