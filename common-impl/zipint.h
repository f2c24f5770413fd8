// ZIP internals shared by the archive module's files (zip, zipwalk,
// zipjournal, zipdisk) and their tests: on-disk record layout, directory
// loading, entry names and data, and the journal records.
#pragma once

#include "compiler.h"
#include "zip.h"

struct ZipDisk;

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

// Finds the end-of-central-directory record (and the ZIP64 record) in a
// window of the file's tail that starts at file offset windowStart, and fills
// the offsets, sizes, count, comment and prefix of info.
int zipLocateEndOfCentralDirectory(const uint8_t* window, uint64_t windowStart, uint64_t windowLength, ZipInfo* info,
                                   bool probe);

// Why an entry name (as the directory holds it: UTF-8 after decoding) can
// be no file name, as the end of "Entry name <name> ...": not well-formed
// UTF-8, or holding a control character (Windows refuses them; in a log
// they would forge lines or terminal escapes). Null when it can be one.
const char* zipEntryNameFault(const char* name);

// The name as messages show it: invalid bytes, control characters, line
// separators and bidirectional text controls written as \xNN.
void zipShowEntryName(const char* name, StringBuffer* shown);
// The same for n bytes of any kind (a NUL among them is shown too).
void zipShowBytes(const char* bytes, size_t n, StringBuffer* shown);

// Logs "Entry name <name> <fault>", the name shown as above.
void zipReportNameFault(const char* name, const char* fault);

// Logs that an entry's local header and data reach into the next entry or
// into the central directory (its room, set by zipOpen); offset is its
// local header's, with the ZIP64 field applied.
void zipReportOverlap(const ZipEntry* e, uint64_t offset);

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
// (entry->zip64Fields, in the order uncompressed, compressed, offset); an
// entry without any takes none, and only the first ZIP64 block counts.
void zipParseExtraHeaders(ZipEntry* entry, const uint8_t* data, uint32_t length);

// Reads the local header at the stream's position and parses its extra field
// into entry. The stream is left at the entry's data.
int zipReadLocalHeader(ZipEntry* entry, ZipInfo* info, const char* name);

// Reading an entry's data, as extraction reads it. zipOpenEntryData
// positions the archive at it (seek, local header, the inflate level for a
// deflated entry; a stored entry whose sizes differ fails); *endFlag is set
// when the deflate data ends. Once the declared size has been read,
// zipCheckEntryEnd fails data that goes on beyond it or beyond the
// compressed size. zipCloseEntryData removes an inflate level left on the
// stream, on every path.
int zipOpenEntryData(ZipInfo* info, ZipEntry* e, const char* name, int* endFlag);
int zipCheckEntryEnd(ZipInfo* info, const ZipEntry* e, const char* name);
void zipCloseEntryData(ZipInfo* info);

// Extracts one regular entry through the disk writer: the data goes to the
// writer's temporary name, is checked against its size and CRC, and only
// then is put in place. Leaves no temporary file behind on failure.
int zipExtractFile(ZipDisk* disk, ZipEntry* entry, const char* name);

// Appends the uncompressed data of an entry to out (symbolic link targets).
int zipExtractToBuffer(ZipInfo* info, ZipEntry* entry, const char* name, StringBuffer* out);

// ---- Journal -------------------------------------------------------------
// Both journals share one sequence of "%09u" keys, so that a rollback can
// undo every change newest first, whichever journal recorded it.

// Records a created path (file, link or directory) in the created journal.
int zipAddRollback(ZipInfo* info, const char* path);
// Records a symbolic link the walk created; a rollback removes the link
// itself, never what it points at.
int zipAddRollbackLink(ZipInfo* info, const char* path);
// Records that the previous version of pathName now lies at oldName.
int zipAddReplacement(ZipInfo* info, const char* pathName, const char* oldName, const OsFileId* id);
// Records in the journal on disk (when there is one) which file the next
// record of path is about, so that a recovery never moves or deletes
// another file found at that name.
int zipAddIdentity(ZipInfo* info, const char* path, const OsFileId* id);
// Remembers, while the journals are open, which directory `path` was when
// the walk made it or wrote into it (the first time only): the rollback
// and the commit work in no other directory found there later.
void zipRememberDirectory(ZipInfo* info, const char* path, const OsDirHandle* dir);
// Forgets the newest replacement record, whose move aside did not happen:
// a rollback must not take whatever sits at that old name for the previous
// version.
void zipDropLastReplacement(ZipInfo* info);
// Forgets the newest created path again, after the step it announced was
// refused and changed nothing: a rollback must not remove what is there.
void zipDropLastCreation(ZipInfo* info);
// How journals end.
enum ZipJournalEnd : int {
  zipJournalCommit = 0,    // accept the changes: delete the previous versions kept aside
  zipJournalRollback = 1,  // undo every change, newest first
};
// Ends the journals of a handle; a handle without journals is left alone.
// 0, or -1 when a rollback could not undo everything or a commit could not
// put the files on the disk and mark the journal done (it is kept).
int zipEndJournal(ZipInfo* info, ZipJournalEnd end);
// Records in the journal's copy on disk (when there is one) that the
// directory `path` is about to be created.
int zipLogDirectory(ZipInfo* info, const char* path);
// Records in that copy that the directory announced last was not created
// (someone else made it first), so that a recovery leaves it alone.
void zipVoidDirectory(ZipInfo* info, const char* path);
// Flushes to disk, in one batch, everything extraction wrote since the last
// flush (the file data was written without flushes of its own).
int zipFlushWritten(ZipInfo* info);
// Closes and removes the journal's copy on disk of a handle whose journals
// recorded nothing.
void zipCloseJournalOnDisk(ZipInfo* info);
