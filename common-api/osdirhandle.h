// Open directories of the OS layer: work on the names inside a directory
// without looking the directory up by its path again.
//
// An extraction checks that a directory lies inside its base, then writes,
// moves and deletes files in it. Done by path, each of those steps walks the
// path anew, so a directory on the way swapped for a link between the check
// and the step would send the step elsewhere. Done through a handle opened
// once (and opened below the base one component at a time, never through a
// link), every step lands in the directory that was checked.
//
// POSIX: a descriptor of the directory and the *at calls (openat, fstatat,
// renameat2, unlinkat). Windows: the directory is held open without delete
// sharing, so that neither it nor a directory above it can be renamed while
// the handle is open, and the names inside it are used by path; the file
// written is moved into place through its own handle.
//
// Names given with a handle are single components. Results are 0 or -1
// unless said otherwise; failures are logged under "opsys.file".
#pragma once

#include "compiler.h"

struct IoStream;
struct OsDirHandle;

// Opens the directory at path (links on the way are followed: the path is
// where the caller has decided to work).
int osDirHandleOpen(const char* path, OsDirHandle** out);
// Opens the directory `relative` (components separated by the platform's
// separator; "." components are skipped, ".." refused) below dir, one component at a time; a component that is a
// link, or not a directory, fails the open. An empty `relative` opens dir
// again.
int osDirHandleOpenBelow(const OsDirHandle* dir, const char* relative, OsDirHandle** out);
// Closes the handle (null is ignored).
void osDirHandleClose(OsDirHandle* dir);
// The path the directory had when it was opened, for messages.
const char* osDirHandlePath(const OsDirHandle* dir);

// 1 when path (links followed) leads to the directory dir holds, 0 when it
// leads elsewhere or nowhere (it was moved or swapped), -1 when the query
// failed.
int osDirHandleIsAt(const OsDirHandle* dir, const char* path);

// What tells one file or directory from every other: its device or volume,
// its file number there, and which file of that number it is. A number freed
// by a deletion can be given to the next file made (POSIX inodes); the
// generation, the file's birth time on file systems that keep it fixed,
// tells the two apart. 0 where it is not known (Windows: NTFS file numbers
// carry their own sequence).
struct OsFileId {
  uint64_t volume;
  uint64_t file;
  uint64_t generation;
};
// True when a and b name the same file; generations count where both are
// known.
inline bool osFileIdSame(const OsFileId* a, const OsFileId* b) {
  return a->volume == b->volume && a->file == b->file &&
         (!a->generation || !b->generation || a->generation == b->generation);
}
// *id = the identity of the directory dir holds, to recognise it later at a
// path that may by then lead elsewhere (osDirHandleHasId).
int osDirHandleId(const OsDirHandle* dir, OsFileId* id);
// 1 when dir holds the directory of identity id, 0 when another, -1 when
// the query failed.
int osDirHandleHasId(const OsDirHandle* dir, const OsFileId* id);
// *id of what stands at `name` in dir (a link itself); -1 when nothing is
// there (not logged) or the query failed.
int osDirHandleIdOf(const OsDirHandle* dir, const char* name, OsFileId* id);
// *id of the file open through stream; -1 (logged) on failure.
int osFileStreamId(IoStream* stream, OsFileId* id);
// A file stream over the directory itself, to give it attributes and times
// (osFileStreamSetAttributes, osFileStreamSetTimes); null on failure.
IoStream* osDirHandleStream(const OsDirHandle* dir);

// What stands at `name` in dir, a link itself and not what it leads to:
// an osDirEntry* type, or -1 when nothing is there or the query failed.
int osDirHandleKindOf(const OsDirHandle* dir, const char* name);
// Creates the file `name` in dir, new (never over anything, never through a
// link), open for writing as a file of type fileType. When the name is
// taken, *taken is set and nothing is logged; the caller picks another.
IoStream* osDirHandleCreateFile(const OsDirHandle* dir, const char* name, uint32_t fileType, bool* taken);
// Creates the directory `name` in dir (never writable by others, whatever
// the umask). When the name is taken, *taken is set and nothing is logged.
int osDirHandleMakeDir(const OsDirHandle* dir, const char* name, bool* taken);
// Renames `from` to `to` inside dir, never replacing what is at `to`. When
// `to` is taken, *taken (optional) is set.
int osDirHandleMove(const OsDirHandle* dir, const char* from, const char* to, bool* taken);
// Deletes the file or link `name` in dir (a link itself, not what it leads
// to).
int osDirHandleDelete(const OsDirHandle* dir, const char* name);

// What osFileStreamPlaceIn did.
enum OsPlaceResult : int {
  osPlaceFailed = -1,  // nothing was moved (logged)
  osPlaceDone = 0,     // the file written is at `to`
  osPlaceRefused = 1,  // `from` holds something else (a link put there, say): nothing was moved, or it was moved back
  osPlaceSwapped = 2,  // what was moved to `to` is not, or cannot be confirmed to be, the file written
  osPlaceTaken = 3,    // something stands at `to`: nothing was moved (not logged)
};
// Removes the directory `name` in dir with everything in it but hidden
// entries, never following a link (a link inside is removed itself). What
// is hidden or cannot be removed stays, and so does the directory then: -1
// (logged).
int osDirHandleRemoveTree(const OsDirHandle* dir, const char* name);
// 1 when the directory dir holds nothing, 0 when it holds anything, -1
// (logged) when it cannot be listed.
int osDirHandleIsEmpty(const OsDirHandle* dir);
// Removes the directory `name` in dir only if it is empty: 0 when removed
// or not there, -1 when it holds anything (not logged) or cannot be
// removed (logged).
int osDirHandleRemoveEmpty(const OsDirHandle* dir, const char* name);

// Moves the file written through `stream`, named `from` in dir, to `to` in
// dir, never replacing anything. Windows moves the file through its handle,
// after asking that `from` still holds it. POSIX can move only the name:
// afterwards it confirms, inside dir, that `to` is that file; something
// else found there is moved back to `from` (osPlaceRefused), and when that
// fails too, osPlaceSwapped. Whether dir is still where it was opened is
// the caller's to ask (osDirHandleIsAt).
OsPlaceResult osFileStreamPlaceIn(IoStream* stream, const OsDirHandle* dir, const char* from, const char* to);
// Deletes `name` in dir if it is the file written through stream. 1:
// deleted; 0: something else stands there and is left alone; -1: failed.
int osFileStreamDiscardIn(IoStream* stream, const OsDirHandle* dir, const char* name);
