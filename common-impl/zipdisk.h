// The disk writer of extraction: everything an extracting walk does to the
// file system goes through it. The walk reads entries; the writer owns the
// disk.
//
// It confines paths to the base directory (no absolute names, no ".." out
// of it, no link on disk leading out of it, nothing behind a link the same
// walk created), refuses to put an entry where an object of the other kind
// stands, writes each file under a free temporary name beside its target and
// renames it into place, moves a previous version aside under a free old
// name, and makes the journal records (zipjournal.cpp) before each change
// they describe, so that a rollback after any failure finds everything.
//
// Usage, per extracting walk:
//
//   ZipDisk disk;
//   if (zipDiskOpen(&disk, info, baseDir, zipDiskJournal) != 0) ...;  // base made, journals open
//   per entry: zipMakeNames into disk.pathName/tempName/oldName, zipDiskFreeNames,
//              zipDiskCheck, then zipDiskMakeDirectory, zipDiskLink, or
//              zipExtractFile (zipDiskCreateTemp, write, zipDiskPlace, zipDiskCloseTemp;
//              after a failure zipDiskDiscardTemp)
//
// A file is written, moved into place and its previous version moved aside
// through an open handle of its directory (osdirhandle.h), opened below the
// base without following a link: a directory swapped for a link meanwhile
// does not send any of these steps elsewhere.
//   zipDiskLeave(&disk);  // after the last entry: the last directory is still in place
//   zipDiskClose(&disk);
#pragma once

#include "compiler.h"
#include "osdirhandle.h"
#include "stringbuf.h"

struct IoStream;
struct SortMap;
struct ZipEntry;
struct ZipInfo;

// Extraction policy, as flags.
enum ZipDiskOption : uint32_t {
  zipDiskJournal = 1,  // record every change in the handle's journals (opened when missing)
  zipDiskUpdate = 2,   // an update of an installation: its registration file is kept, its lock never entered
};

// What zipDiskCheck says about the current entry.
// ZipDisk::kind before what stands at the entry's path has been asked.
constexpr int zipDiskNotAsked = -2;

enum ZipDiskVerdict : int {
  zipDiskRefuse = -1,  // it would lose or escape: fail the walk now
  zipDiskWrite = 0,    // it may be written
  zipDiskSkip = 1,     // it lies behind a link of this archive: skip it, the walk fails at its end
  zipDiskKeep = 2,     // it is the installation's registration file: leave it out, as if not selected
};

// The disk side of one extracting walk.
struct ZipDisk {
  ZipInfo* info;          // the archive handle; its journals record the changes (when open)
  const char* baseDir;    // the base directory as given (borrowed); null: the current directory
  char* realBase;         // the base directory with its links resolved (owned)
  char* lexBase;          // the base directory as osDirRealPath spells it (owned), or null
  SortMap* links;         // symbolic links this walk created (keys owned)
  StringBuffer pathName;  // the current entry's full path
  StringBuffer tempName;  // where its data is written first (files)
  StringBuffer oldName;   // where a previous version is moved aside (files, links)
  bool tempMade;          // the temporary name is journalled and may hold our file
  bool update;            // zipDiskUpdate was given
  bool caseSensitive;     // the base's file system tells names apart by case

  int kind;             // what stood at pathName when it was checked (osDirEntry*), -1 nothing, -2 not asked yet
  size_t existing;      // length of the deepest part of the entry's directory that existed when it was checked
  const char* entry;    // the current entry's name (borrowed), for messages
  char* resolved;       // where pathName really is (owned), or null
  char* confirmedDir;   // the last directory found to exist, plain, inside the base (owned), or null
  char* confirmedReal;  // where confirmedDir really is (owned), or null until asked

  uint64_t stamp;            // the stamp of the side names (milliseconds; moved on when a name is taken)
  OsDirHandle* base;         // the base directory, open
  OsDirHandle* dir;          // the directory of the current file, open below base, or null
  char* dirPath;             // the confirmedDir that dir was opened for (owned), or null
  char* dirReal;             // where dir really is when a link inside the base led there (owned), else null
  StringBuffer journalName;  // the name the journal gives a file in dir
  IoStream* temp;            // the temporary file being written (owned from zipDiskCreateTemp), or null
  OsFileId tempId;           // its identity, known with a journal on disk
  OsFileId logId;            // the log file this process writes, which nothing may replace
  bool hasLogId;             // logId is known (the log is a file)
};

// Starts the writer: opens the journals when asked, creates the base
// directory with its missing parents (journalled), and resolves it. On
// failure the writer is still to be closed.
int zipDiskOpen(ZipDisk* disk, ZipInfo* info, const char* baseDir, uint32_t options);
// Releases the writer's memory; the journals stay with the handle.
// Leaves the directory the last files went into; -1 (logged) when it is no
// longer where it was opened. The walk's last step before it succeeds.
int zipDiskLeave(ZipDisk* disk);
void zipDiskClose(ZipDisk* disk);

// Why an entry name can be no file below the target directory on every
// system, as the end of "Entry name <name> ...": what zipEntryNameFault
// finds, absolute or leaving the top through "..", or naming another file
// or a device on Windows. Null when it can be one.
const char* zipEntryPathFault(const char* name);

// ASCII case-insensitive test that path is top or lies below it.
bool zipPathIsAtOrBelow(const char* path, const char* top);

// Builds the full path of an entry below baseDir and, for files, its
// temporary and old names beside it (stamp: milliseconds since 1970).
// Names that are empty, absolute, too long for the platform, or whose ".."
// components leave baseDir are refused with -1.
int zipMakeNames(const char* baseDir, const char* name, uint64_t stamp, StringBuffer* pathName, StringBuffer* tempName,
                 StringBuffer* oldName, bool* isDirectory);
// Makes the writer's names for a file entry. Whether the temporary and old
// names are free is found by the calls that create and move files there,
// which never replace anything (a dangling link counts): a taken name is
// replaced by another, so no file is ever overwritten or deleted to make
// room for them.
int zipDiskFreeNames(ZipDisk* disk, const char* name);
// Whether the current entry (the writer's pathName) may be written.
ZipDiskVerdict zipDiskCheck(ZipDisk* disk, const char* name, bool isDirectory);

// Creates the current directory entry with its missing parents, unless it
// exists; *created tells which.
int zipDiskMakeDirectory(ZipDisk* disk, bool* created);
// Creates the current entry's parent when missing, opens it, journals the
// temporary name, and creates the file there, open for writing in *out
// (the writer keeps it: zipDiskCloseTemp or zipDiskDiscardTemp closes it).
int zipDiskCreateTemp(ZipDisk* disk, const char* name, IoStream** out);
// Moves the temporary file, still open, into place: an existing file is
// moved aside to the old name first (deleted at once without journals).
// What lands in place is checked to be the very file written: one swapped
// at the temporary name fails the entry, and a rollback removes it.
int zipDiskPlace(ZipDisk* disk);
// Closes the placed temporary file written through *out (set to null).
int zipDiskCloseTemp(ZipDisk* disk, IoStream** out);
// After a failure: removes the temporary file if its name still holds the
// file written (anything else put there is left alone), and closes it.
void zipDiskDiscardTemp(ZipDisk* disk);
// Creates the current entry as a symbolic link to target, moving an
// existing file aside first.
int zipDiskLink(ZipDisk* disk, const char* target);
// Applies a directory entry's attributes and times to the directory at
// path (inside the base), through a handle opened as the writer opens the
// directories of files; a failure (logged) is the entry's failure.
int zipDiskApplyDirectory(ZipDisk* disk, const ZipEntry* entry, const char* path);
// The same through the open temporary file of a file entry.
int zipDiskApplyAttributesOpen(const ZipEntry* entry, IoStream* file);

// Creates path and its missing parents (directory class inherit), recording
// each created directory when info has journals (info may be null). For the
// base directory, which the caller names: what lies below it is made
// through open directories.
int zipMakeDirectories(ZipInfo* info, const char* path);
