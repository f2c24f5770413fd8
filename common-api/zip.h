// ZIP archives: locating an archive appended to other data, loading its
// central directory, walking and extracting its entries, and the journal that
// lets an extraction be rolled back or committed.
//
// Usage (the self-extractor's road):
//
//   ZipInfo* zip = nullptr;
//   if (zipOpen(&zip, exePath, true) != 0) ...;  // *zip is null on failure
//   zipWalk(&zip, &installer, nullptr, zipWalkList, zipQuiet, nullptr);           // find the installer
//   zipWalk(&zip, nullptr, "installer*.*", zipWalkJournal, zipSummary, nullptr);  // extract, journalled
//   ... on a failed installation: zipRollback(&zip);
//   zipExit(&zip);  // commits what is left
//
// Results are 0 for success and -1 for failure; every failure is logged under
// "common.zip" where it is detected.
#pragma once

#include "compiler.h"
#include "osdirhandle.h"
#include "osfile.h"

struct IoStream;
struct SortMap;
struct StringBuffer;

// One central-directory record, decoded. It heads a heap block that holds,
// directly after it, the raw file name (fileNameLength bytes, no NUL), the raw
// extra field and the raw entry comment (see zipEntryName and friends).
struct ZipEntry {
  uint32_t signature;           // central-directory signature as read
  uint16_t versionMadeBy;       // creator's version; high byte is the host system
  uint16_t versionExtract;      // version needed to extract
  uint16_t bitFlag;             // general-purpose flags (encryption, patch data, ...)
  uint16_t compressionMethod;   // 0 store, 8 deflate; the walk refuses others
  uint16_t fileTime;            // DOS time
  uint16_t fileDate;            // DOS date
  uint32_t crc;                 // CRC-32 of the uncompressed data
  uint64_t compressedSize;      // widened; the ZIP64 extra field may replace it
  uint64_t uncompressedSize;    // widened; the ZIP64 extra field may replace it
  uint16_t fileNameLength;      // bytes of name after the record
  uint16_t extraFieldLength;    // bytes of extra field after the name
  uint16_t commentLength;       // bytes of comment after the extra field
  uint16_t internalAttributes;  // not used
  uint32_t diskStart;           // widened; not used
  uint32_t externalAttributes;  // host attributes; high 16 bits are the Unix mode
  uint64_t offset;              // local header offset from the archive start
  uint64_t modificationTime;    // ms since 1970 UTC
  uint64_t accessTime;          // ms since 1970 UTC
  uint64_t changeTime;          // ms since 1970 UTC
  uint8_t created;              // the walk created the directory this entry names
  uint8_t zip64Fields;          // 32-bit fields that were 0xFFFFFFFF: 1 uncompressed, 2 compressed, 4 offset
  uint8_t zip64Given;           // of those, the ones the (first) ZIP64 extra field gave
  uint8_t roomToDirectory;      // room ends at the central directory, not at another entry
  uint8_t pad[4];               // keeps the record a multiple of 8 bytes
  uint64_t room;                // bytes from the local header to the next entry or the central directory (zipOpen)
};
static_assert(sizeof(ZipEntry) == 104, "the name follows the fixed record at a known place");

// Raw bytes after the fixed record (not NUL-terminated).
inline const char* zipEntryName(const ZipEntry* e) { return reinterpret_cast<const char*>(e + 1); }
inline const uint8_t* zipEntryExtra(const ZipEntry* e) {
  return reinterpret_cast<const uint8_t*>(e + 1) + e->fileNameLength;
}
inline const char* zipEntryComment(const ZipEntry* e) {
  return reinterpret_cast<const char*>(e + 1) + e->fileNameLength + e->extraFieldLength;
}
inline uint16_t zipEntryUnixMode(const ZipEntry* e) { return (uint16_t)(e->externalAttributes >> 16); }

// The archive handle. Allocated zeroed by zipOpen; callers hold a pointer
// variable and pass its address, so that zipExit can reset it to null.
struct UndoLog;

struct ZipInfo {
  SortMap* directory;         // "%09" index -> ZipEntry block (owned)
  SortMap* created;           // journal of created paths, or null
  SortMap* replaced;          // journal of files moved aside, or null
  IoStream* stream;           // the open archive file
  char* comment;              // archive comment, or null when empty
  uint64_t prefix;            // bytes before the archive start in the file
  uint64_t centralDirOffset;  // as recorded in the archive
  uint64_t centralDirSize;    // as recorded in the archive
  uint64_t entryCount;        // central-directory records on this disk
  int verbosity;              // stored by zipWalk, read by the journal
  uint32_t journalSequence;   // next sequence number shared by both journals
  UndoLog* undoLog;           // the journal's copy on disk (auto-update), or null
  OsSyncBatch unsynced;       // what extraction wrote and has not yet flushed to disk
  char* journalBase;          // the journalling walk's base as the system names it (owned), or null
  char* journalLexBase;       // the same as osDirRealPath spells it (owned), or null
  uint32_t journalBaseFrom;   // the first journal sequence made below that base
  SortMap* journalDirs;       // each directory the journalled walks made or wrote into -> its identity (OsFileId*)
  OsFileId journalBaseId;     // that base's identity, to tell it from a directory put at its path since
  char* scriptPath;           // the installer script the last extracting walk wrote, as it named it (owned), or null
  OsFileId scriptId;          // that file's identity
  uint32_t scriptCrc;         // and the CRC-32 of what it holds
  uint64_t scriptSize;        // and its size
  uint64_t dataAt;            // where the current entry's data starts in the file, or UINT64_MAX when not known
};

// Opens fileName, finds the archive in it and loads the central directory.
// probe narrows the search to an end record without comment at the very end
// of the file (with the ZIP64 locator and record when the locator directly
// precedes it), whatever the file's size, and lowers the failure messages to
// debug. On failure *handle is
// null, the file closed and nothing allocated.
int zipOpen(ZipInfo** handle, const char* fileName, bool probe);

// Commits any open journal, releases the directory, the stream and the
// handle, and sets *handle to null. Accepts null and released handles.
void zipExit(ZipInfo** handle);

// Number of entries in the directory.
uint32_t zipCount(ZipInfo* info);

// Walk modes (the value appears in the walk's trace line).
enum ZipWalkMode : int {
  zipWalkList = 0,     // list the entries; nothing is written
  zipWalkExtract = 1,  // extract; a replaced file's previous version goes at once
  zipWalkJournal = 2,  // extract and journal every change, for a later rollback or commit
  zipWalkUpdate = 3,   // as zipWalkJournal, updating the installation in baseDir: its
                       // "register.properties" is kept and its lock is never entered
};

// Starts the console's progress line (progress.h) for an extracting walk:
// totals of the entries that pattern (as for zipWalk) selects.
void zipProgressBegin(const ZipInfo* info, const char* pattern);

// Verbosity levels of a walk (any int; these are the thresholds).
enum : int {
  zipQuiet = 0,    // nothing beyond DEBUG
  zipSummary = 1,  // the listing lines and the closing summary
  zipDetail = 2,   // also each directory and file, the detailed summary and the journal's items
};

// Walks the entries in archive order (see ZipWalkMode; zipSummary and more
// logs the listing). installerName (may be null) receives the last entry
// whose name ends in installer.sh, installer.cmd or installer.exe, resolved
// as the extraction resolves it ("./a/../b" is "b"). pattern (may be null; a
// leading "!" negates it) selects entries in the extracting modes by that
// resolved name. baseDir null means the current directory. A failed
// extracting walk is rolled back.
int zipWalk(ZipInfo** handle, StringBuffer* installerName, const char* pattern, ZipWalkMode mode, int verbosity,
            const char* baseDir);

// Says whether pathName (spelled as the walk spells it) is the installer
// script the last extracting walk wrote: 1 when it is, and the file there
// is still the very file written, in the directory it was written into; 0
// when the walk did not write a script there (the pattern left it out, say:
// a file at that path is somebody else's); -1 (logged) when it did, but
// another file or directory has been put in its place since. A caller
// about to run an extracted script asks this first. Its identity and its
// contents (CRC-32 and size) are compared. With 1, *held (owned) is the
// script open for reading: while it is, nobody can change, rename or delete
// it on Windows, so the script run by its name is the one checked.
int zipCheckWrittenScript(const ZipInfo* info, const char* pathName, IoStream** held);

// Rolls back the journals of an open handle.
void zipRollback(ZipInfo** handle);
// Commits the journals of an open handle now rather than at zipExit. 0, or
// -1 when the extracted files could not be put on the disk before the commit
// mark (the journal on disk stays, and the next run undoes the extraction).
int zipCommit(ZipInfo** handle);
// Keeps a copy of the journals of the next extracting walk in the file at
// `path` (see undolog.h): every change is recorded there before it is
// made, so that a run that ends abruptly can be undone by the next one.
// The file is removed when the journals end. 0 or -1 (logged).
int zipKeepJournalOnDisk(ZipInfo* info, const char* path);
