// File operations of the OS layer: files as IoStreams (the bottom level of a
// stream stack) and the file-level operations extraction, rollback, logging
// and the self-extractor need: delete with retries, move, attributes, times,
// size and presence, symbolic links, path joining.
//
// Paths are UTF-8. On Windows every call converts them to UTF-16 with the
// long-path prefix when long paths are on (QZR_LONG_PATH); on POSIX they are
// passed as they are. Results are 0 for success and -1 for failure; failures
// are logged under "opsys.file" where they are detected.
#pragma once

#include "compiler.h"

struct IoStream;
struct IoStreamOps;
struct StringBuffer;

// Open modes of osFileOpen.
enum : uint32_t {
  osFileModeReadWrite = 0,      // read and write; opened, else created
  osFileModeUpdate = 1,         // read and write; must exist
  osFileModeRead = 2,           // read; must exist
  osFileModeWrite = 3,          // write; truncated or created; others may only read
  osFileModeAppend = 4,         // append; opened, else created
  osFileModeReadNoWriters = 5,  // read; must exist; nobody may write it while it is open (Windows)
  osFileModeCreateNew = 6,      // write; created, never opened: fails when anything, a link included, has the name
  osFileModeReadHeld = 7,  // read; must exist, not a link; nobody may change, rename or delete it while open (Windows)
  osFileModeCount = 8,
};

// File types: select the access list a created file gets. The ones this
// program uses take their rights from the directory.
enum : uint32_t {
  osFileTypePlain = 0,
  osFileTypeLog = 9,         // a log file; an empty one gets a UTF-8 byte-order mark
  osFileTypeExtracted = 13,  // a file written by archive extraction
  osFileTypeArchive = 15,    // the archive read by the self-extractor
  osFileTypeCount = 20,
};

// Flag bit of osFileDeleteEx: a file that cannot be deleted now may be
// scheduled for deletion at the next reboot (Windows only).
enum : uint32_t { osFileDeleteAtReboot = 1 };

// The stream type of an open file: "WindowsFile" on Windows, "PosixFile"
// elsewhere. Its identity is the type test for a file level.
extern const IoStreamOps osFileStreamOps;

// Opens or creates a file as a new one-level stream; null on failure (no
// handle is left behind). `rights` is an optional account name for the
// explicit access lists of the file types this program does not use. With
// `share` an append-mode file may also be written and deleted by others.
// `quiet` opens for attribute access only and logs nothing on failure. The
// names "stdin"/"conin$", "stdout"/"conout$", "stderr"/"conerr$" (any case)
// and "-" give the standard streams.
IoStream* osFileOpen(const char* path, uint32_t mode, uint32_t fileType, const char* rights, bool share, bool quiet);
// osFileOpen with share and quiet off; a console standard stream is wrapped
// for the console's character set.
IoStream* osFileOpenStream(const char* path, uint32_t mode, uint32_t fileType, const char* rights);

// Deletes a file, retrying while it is in use (up to 20 attempts, 100 ms
// growing to 500 ms between them). A file that does not exist counts as
// deleted. A read-only file is made writable and deleted at once. On failure
// the system's reason is appended to `reason` (may be null). `flags`:
// osFileDeleteAtReboot.
int osFileDeleteEx(const char* path, StringBuffer* reason, uint32_t flags);
// osFileDeleteEx without reason or flags; logs ERROR on failure.
int osFileDelete(const char* path);
// Moves (renames) a file, replacing an existing target, across directories
// and volumes. Keeps the dot-name rule: a file is hidden exactly when its
// base name starts with ".".
int osFileMove(const char* from, const char* to);
// Moves a file to a new name in the same volume, failing (and replacing
// nothing) when a file of that name exists: for names that must not cost
// another file, such as where a previous version is kept aside.
int osFileMoveNoReplace(const char* from, const char* to);

// Files written without a flush of their own, made durable together: one
// flush for a whole extraction instead of one per file.
struct OsSyncBatch {
  char** paths;       // files, links and directories written since the last flush (owned)
  uint32_t count;     // paths held
  uint32_t capacity;  // room in paths
};
// Turns the flush of a file stream (and so the flush when it is closed) into
// nothing: its data becomes durable with the batch it is added to.
int osFileDeferFlush(IoStream* stream);
// Adds a path, by the name it will have at the flush.
int osSyncBatchAdd(OsSyncBatch* batch, const char* path);
// Makes every path of the batch, and the directory entries naming them,
// durable; the batch is emptied either way. POSIX: one syncfs() per file
// system, else an fsync of each file and directory; Windows: each file is
// reopened and its buffers flushed.
int osSyncBatchFlush(OsSyncBatch* batch);
// Forgets the batch without flushing it and releases its memory.
void osSyncBatchClear(OsSyncBatch* batch);
// Applies a ZIP external-attribute word: low bits are DOS attributes
// (read-only, hidden, system, archive), the high 16 bits a Unix mode.
int osFileSetAttributes(const char* path, uint32_t attributes);
// Sets modification, access and creation time (ms since 1970 UTC). Works on
// directories too. POSIX has no creation time and ignores it.
int osFileSetTimes(const char* path, int64_t modification, int64_t access, int64_t creation);
// The same two through an open file stream, whatever its name now leads to:
// a file is given its attributes and times before it is moved into place.
int osFileStreamSetAttributes(IoStream* stream, uint32_t attributes);
// Whether `path` itself (a link at it not followed) is the file open in
// `stream`: 1 when it is, 0 when a link or another file was put at its name
// since it was opened, -1 when that cannot be told (a query failed). Logs
// nothing.
int osFileStreamIsAt(IoStream* stream, const char* path);
// True when the file open in `stream` belongs to this process's account or
// to the system's administrators (root; SYSTEM or Administrators on
// Windows): a file that someone else could have put there is not trusted.
// False also when the owner cannot be read. Logs nothing.
bool osFileStreamOwnerTrusted(IoStream* stream);
// 1 when the link at `path` (not followed; on Windows any reparse point)
// belongs to this process's account or to the system's administrators, 0
// when it belongs to someone else, -1 when the owner cannot be read
// (logged).
int osFileLinkOwnerTrusted(const char* path);
// Where the link at `link` leads, as a new block in *to: the target it holds
// (POSIX; a relative one joined to the link's directory as written, its
// ".." left for the system), or the final path it resolves to (Windows).
// -1 when that cannot be read (logged).
int osFileLinkLeadsTo(const char* link, char** to);
// 1 when the file at `path` (a link at it not followed) is one nobody but
// this process's user and the administrators could have put there or can
// change: a regular file they own, not writable by others (POSIX), in a
// directory osDirIsTrusted trusts. 0 when another user could (logged as a
// warning), -1 when it cannot be told (logged). Code is loaded only from
// such files.
int osFileIsTrusted(const char* path);
int osFileStreamSetTimes(IoStream* stream, int64_t modification, int64_t access, int64_t creation);
// Information about a file or directory; every out may be null. Times are
// ms since 1970 UTC. `owner` receives the owner's name and `permissions` a
// description of the access rights (both appended). On failure the system's
// reason is appended to `reason` (may be null) and nothing is logged.
int osFileGetInfo(const char* path, uint64_t* size, uint64_t* modification, uint64_t* access, bool* isDirectory,
                  StringBuffer* owner, StringBuffer* permissions, StringBuffer* reason);
// osFileGetInfo of the basic facts, logging ERROR on failure.
int osFileGetAttributes(const char* path, uint64_t* size, uint64_t* modification, uint64_t* access, bool* isDirectory);
int osFileGetSize(const char* path, uint64_t* size);
// True when `path` exists and is not a directory.
bool osFileIsPresent(const char* path);
// True when `path` exists and is a directory.
bool osIsFileDirectory(const char* path);
// What `path` itself is, links not followed: osDirEntryFile,
// osDirEntryDirectory, osDirEntrySymlink (on Windows any reparse point,
// junctions included) or osDirEntryOther; -1 when nothing is there. Logs
// nothing.
int osFileKindOf(const char* path);
// The absolute path of an existing `path` with every link in it resolved, as
// a new block (memFree it) in *out; null on failure (logged).
int osFileResolveLinks(const char* path, char** out);
// "directory<sep>name" as a new block (memFree it) in *out.
int osFileJoinPath(const char* directory, const char* name, char** out);
// The base followed by each part of the null-terminated list, each part
// preceded by the separator; a new block, or null.
char* osFileBuildPath(const char* base, const char* const* parts);
// The absolute path of `path` as a new block, or null.
char* osFileFullPath(const char* path);
// Creates a symbolic link `link` pointing at `target` (a directory link when
// the target is a directory). On failure the reason goes to `reason` when
// given, else it is logged.
int osFileCreateSymlink(const char* target, const char* link, StringBuffer* reason);
// Points standard output and error at the file under `stream`.
int osFileRedirectStdHandles(IoStream* stream);
// True for "stderr", "stdout" (any case) and "-".
bool osFileIsStdOutputName(const char* name);
// True when standard stream 0, 1 or 2 is an interactive console: a Windows
// console, or a terminal on POSIX (never a file, pipe or null device).
bool osFileStdIsConsole(int std);
// Width in columns of the console behind standard stream 0, 1 or 2; 0 when
// it is not a console or the width is unknown.
uint32_t osFileConsoleColumns(int std);
