// The undo log: the extraction journal of an auto-update kept on disk, so
// that a run that ends abruptly (killed, power cut) can be undone by the
// next one. Each record is written before the step it describes; undoing
// the records from the newest to the oldest puts back the installation as
// it was. A commit mark says the new files are all in place; after it only
// the kept-aside previous versions are left to delete.
//
// File: an 8-byte header ("SFXJ", version byte, three zero bytes), then
// records of: type (1 byte), length of the path and of the second path
// (u32 little-endian each), both paths without NULs, and the CRC-32 of all
// the bytes before it in the record (u32 little-endian). A record that is
// short or whose CRC does not match ends the log: it was torn by the crash
// and its step never began.
#pragma once

#include "compiler.h"

struct IoStream;
struct OsDirHandle;
struct OsFileId;

// Record types, each written before its step.
enum : uint8_t {
  ulDirCreated = 'D',  // a directory is created (path)
  ulTempFile = 'T',    // a temporary file is written (path)
  ulMovedAside = 'A',  // a previous version is moved aside (path, kept-aside name)
  ulPlaced = 'P',      // a new file or link goes into place (path, kept-aside name or "")
  ulDone = 'C',        // commit: every new file is in place
  ulIdentity = 'I',    // the file of the record next to it (of the same path) is the one of this identity
                       // ("<volume>:<file>" in hex): before a move aside the previous version, before a placing
                       // the new file, after a temporary file's record that file
  ulVoid = 'V',        // the step of the latest earlier record of this path and of the type in the second field
                       // never happened (its name was taken, say): that record is not undone
};

// The version this program writes; it also reads journals of version 1,
// which have no void or identity records. Older programs refuse a version-2 journal
// rather than misread it.
inline constexpr uint8_t ulVersion = 2;
inline constexpr uint8_t ulOldestVersion = 1;
inline constexpr uint32_t ulHeaderSize = 8;
inline constexpr uint32_t ulRecordOverhead = 13;  // type, two lengths, CRC

// An open undo log being written.
struct UndoLog {
  IoStream* stream;  // the log file
  char* path;        // its name (owned)
  bool flushed;      // no record written since the last flush
};

// One record read back.
struct UndoRecord {
  uint8_t type;
  char* path;   // owned
  char* other;  // owned; "" when the record has none
};

// Creates (or truncates) the log at `path` with its header, flushed to
// disk. 0 or -1 (logged).
int ulCreate(const char* path, UndoLog* log);
// Appends one record in one write. 0 or -1 (logged).
int ulAppend(UndoLog* log, uint8_t type, const char* path, const char* other);
// Forces what was written to the disk; nothing to do when nothing was
// written since the last flush. 0 or -1 (logged).
int ulFlush(UndoLog* log);
// Closes the log; with `remove` also deletes the file. 0 or -1.
int ulClose(UndoLog* log, bool remove);

// Reads the log at `path` and returns its intact records in a new array
// (ulFreeRecords) and their count. A torn or damaged record ends the list.
// -1 when the file cannot be read or its header is not one this program
// writes.
int ulRead(const char* path, UndoRecord** records, uint32_t* count);
void ulFreeRecords(UndoRecord* records, uint32_t count);
// Finishes the log at `path` that a run left behind: before a commit mark
// undoes every record from the newest to the oldest, after one only deletes
// the remaining kept-aside files; then deletes the log. Safe to repeat
// after a crash part-way. *restored counts previous versions put back,
// *removed the files and directories removed. Every name in the log must
// lie inside installDir, also with links resolved, or nothing is touched: a
// log that names anything else was not written by an update of installDir.
// 0, or -1 when something could not be undone or the log names a path
// outside installDir (the log is then kept for another attempt).
int ulRecover(const char* path, const char* installDir, uint32_t* restored, uint32_t* removed);
// True when `path` names something strictly inside the directory that
// resolves to realBase (the system's name for it): no "." or ".."
// component, and the deepest existing directory on the way to it, links
// resolved, at or below realBase. lexBase (may be null) is the same
// directory as osDirRealPath spells it; a path below it through plain
// directories only is inside without asking the system. Links are not
// followed at the last component (an undo removes or moves the link).
bool ulPathConfined(const char* path, const char* realBase, const char* lexBase);
// The directory holding `path`, opened below base (the directory at
// realBase, also spelled lexBase) one component at a time without following
// a link; with followInside, along where it really is when a link inside
// the base is on the way (then only what carries its identity in the
// records may be acted on). *leaf is path's last component. Null when path
// is not spelled below the base or its directory is not a plain directory
// inside it, and also (with *gone set, nothing logged) when nothing is at
// the directory's path: then nothing of it is left to undo.
OsDirHandle* ulOpenParent(const OsDirHandle* base, const char* path, const char* realBase, const char* lexBase,
                          bool followInside, const char** leaf, bool* gone);
// True when what stands at `leaf` in dir is a file or a link (never
// followed), as a record's file or previous version may be.
bool ulFileOrLinkIn(const OsDirHandle* dir, const char* leaf);
// The last component of path (after its last '/' or '\\').
const char* ulLeafOf(const char* path);
// An identity as the journal writes it: "<volume>:<file>" in hex, with
// ":<generation>" where the generation is known.
inline constexpr uint32_t ulIdTextSize = 52;
void ulIdText(const OsFileId* id, char* text);
// True when the file of identity id is the one of the recorded text; the
// generations count where both are known.
bool ulIdMatches(const char* recorded, const OsFileId* id);
