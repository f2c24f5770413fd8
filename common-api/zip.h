// ZIP archives: locating an archive appended to other data, loading its
// central directory, walking and extracting its entries, and the journal that
// lets an extraction be rolled back or committed.
//
// Usage (the self-extractor's road):
//
//   ZipInfo* zip = nullptr;
//   if (zipOpen(&zip, exePath, true) != 0) ...;            // *zip is null on failure
//   zipWalk(&zip, &installer, nullptr, 0, 0, nullptr);      // listing: find the installer
//   zipWalk(&zip, nullptr, "installer*.*", 2, 1, nullptr);  // extracting, journalled
//   ... on a failed installation: zipRollback(&zip);
//   zipExit(&zip);                                          // commits what is left
//
// Results are 0 for success and -1 for failure; every failure is logged under
// "common.zip" where it is detected.
#pragma once

#include "compiler.h"

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
  uint8_t pad[6];               // keeps the record a multiple of 8 bytes
};
static_assert(sizeof(ZipEntry) == 96, "the name follows the fixed record at a known place");

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
};

// Signatures of the records this module reads.
enum : uint32_t {
  zipSigLocalHeader = 0x04034B50,
  zipSigCentralHeader = 0x02014B50,
  zipSigEndOfCentralDir = 0x06054B50,
  zipSigZip64EndOfCentralDir = 0x06064B50,
  zipSigZip64Locator = 0x07064B50,
};

// Fixed record sizes on disk.
enum : uint32_t {
  zipEndRecordSize = 22,
  zipZip64EndRecordSize = 56,
  zipZip64LocatorSize = 20,
  zipCentralHeaderSize = 46,
  zipLocalHeaderSize = 30,
  zipSearchWindow = 65536 + 22,
};

// Little-endian readers for on-disk records.
inline uint16_t zipLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t zipLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t zipLe64(const uint8_t* p) { return (uint64_t)zipLe32(p) | ((uint64_t)zipLe32(p + 4) << 32); }

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

// Finds the end-of-central-directory record (and the ZIP64 record) in a
// window of the file's tail that starts at file offset windowStart, and fills
// the offsets, sizes, count, comment and prefix of info.
int zipLocateEndOfCentralDirectory(const uint8_t* window, uint64_t windowStart, uint64_t windowLength, ZipInfo* info,
                                   bool probe);

// 0 when an entry name (as the directory holds it: UTF-8 after decoding) is
// well-formed UTF-8; else -1 with an error naming it, its invalid bytes
// written as \xNN.
int zipCheckEntryName(const char* name);

// Reads the central directory from info->stream into info->directory. Names
// are kept as UTF-8: a name that is UTF-8 or flagged as such stays as it
// is, others are read as code page 437, and an Info-ZIP Unicode Path field
// whose CRC matches the name takes precedence.
int zipLoadDirectory(ZipInfo* info);

// Decodes a 46-byte central-directory header into a zeroed entry record.
// Returns -1 when the signature is wrong.
int zipDecodeCentralHeader(const uint8_t* bytes, ZipEntry* entry);

// Debug dump of an entry record, one line per field.
void zipDumpEntry(const ZipEntry* entry);

// Interprets the extra-field blocks ZIP64 (0x0001), extended timestamp
// (0x5455) and Unix (0x000D), updating sizes, offset and times of entry.
// The ZIP64 block holds only the values whose 32-bit fields are saturated
// (entry->zip64Fields, in the order uncompressed, compressed, offset); for
// an entry without that mark it is read by position.
void zipParseExtraHeaders(ZipEntry* entry, const uint8_t* data, uint32_t length);

// Starts the console's progress line (progress.h) for an extracting walk:
// totals of the entries that pattern (as for zipWalk) selects.
void zipProgressBegin(const ZipInfo* info, const char* pattern);

// Walks the entries in archive order. mode 0 lists (verbosity >= 1 logs the
// listing), mode 2 extracts with journals, any other mode extracts without.
// installerName (may be null) receives the last entry whose name ends in
// installer.sh, installer.cmd or installer.exe. pattern (may be null; a
// leading "!" negates it) selects entries in the extracting modes. baseDir
// null means the current directory. A failed extracting walk is rolled back.
int zipWalk(ZipInfo** handle, StringBuffer* installerName, const char* pattern, int mode, int verbosity,
            const char* baseDir);

// Builds the full path of an entry below baseDir and, for files, its
// temporary and old names beside it (stamp: milliseconds since 1970).
// Names that are empty, absolute, or whose ".." components leave baseDir are
// refused with -1.
int zipMakeNames(const char* baseDir, const char* name, uint64_t stamp, StringBuffer* pathName, StringBuffer* tempName,
                 StringBuffer* oldName, bool* isDirectory);

// Reads the local header at the stream's position and parses its extra field
// into entry. The stream is left at the entry's data.
int zipReadLocalHeader(ZipEntry* entry, ZipInfo* info, const char* name);

// Extracts one regular entry to tempName, checks its CRC, then moves it to
// pathName, moving an existing file aside to oldName (journalled when
// journals are open). Leaves no temporary file behind on failure.
int extractFile(ZipInfo* info, ZipEntry* entry, const char* name, const char* pathName, const char* tempName,
                const char* oldName);

// Appends the uncompressed data of an entry to out (symbolic link targets).
int zipExtractToBuffer(ZipInfo* info, ZipEntry* entry, const char* name, StringBuffer* out);

// Creates the parent directory of path when missing (journalled with info's
// journals when info is given).
int zipEnsureParentDirectory(const char* path, ZipInfo* info);

// ---- Journal -------------------------------------------------------------
// Both journals share one sequence of "%09u" keys, so that a rollback can
// undo every change newest first, whichever journal recorded it.

// Records a created path (file, link or directory) in the created journal.
int zipAddRollback(ZipInfo* info, const char* path);
// Records a symbolic link the walk created; a rollback removes the link
// itself, never what it points at.
int zipAddRollbackLink(ZipInfo* info, const char* path);
// Records that the previous version of pathName now lies at oldName.
int zipAddReplacement(ZipInfo* info, const char* pathName, const char* oldName);
// Forgets the newest replacement record, whose move aside did not happen:
// a rollback must not take whatever sits at that old name for the previous
// version.
void zipDropLastReplacement(ZipInfo* info);
// Creates path and its missing parents (dirType 11), recording each created
// directory when info has journals (info may be null).
int zipMakeDirectories(ZipInfo* info, const char* path);
// Ends the journals: rollback 0 commits (deletes previous versions), any other
// value undoes every change. A handle without journals is left alone.
void zipEndJournal(ZipInfo* info, int rollback);
// Rolls back the journals of an open handle.
void zipRollback(ZipInfo** handle);
