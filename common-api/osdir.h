// Directory operations of the OS layer: current and working directory,
// presence, path joining, splitting and lexical resolution, creation with
// the access rights of a directory class, removal (single and recursive),
// enumeration with a callback, a glob search over a tree and a
// case-sensitivity probe.
//
// Paths are UTF-8. Returned strings are blocks of the tracked allocator that
// the caller frees with memFree. Results are 0 or -1; failures are logged
// under "opsys.dir".
#pragma once

#include <cwchar>

#include "compiler.h"

struct StringBuffer;

// The platform's path separator ('\\' on Windows, '/' elsewhere) and the
// same as a one-character string. Portable code builds paths with these and
// never asks which OS it runs on.
extern const char osPathSeparator;
extern const char osPathSeparatorString[2];

// Entry types of the enumeration (their trace names in osDirEntryTypeNames).
enum : int {
  osDirEntryAny = 0,
  osDirEntryFile = 1,
  osDirEntryDirectory = 2,
  osDirEntrySymlink = 3,
  osDirEntryOther = 4,
  osDirEntryTypeCount = 5,
};
extern const char* const osDirEntryTypeNames[osDirEntryTypeCount];

// Enumeration flags.
enum : uint32_t {
  osDirFlagDeniedIsEmpty = 1,  // a directory that cannot be opened (error 13) counts as empty
  osDirFlagStopOnFailure = 2,  // stop at the first callback failure
  osDirFlagHidden = 4,         // hidden entries too (dot names; the hidden attribute on Windows)
};

// Directory classes of osDirCreate (by the access rights the directory gets).
enum : uint32_t {
  osDirTypeShared = 0,    // user and Administrators full, Everyone may add files and delete children
  osDirTypeDropBox = 1,   // as 0, Everyone may add files only
  osDirTypeTraverse = 2,  // 2..8: user and Administrators full, Everyone traverse
  osDirTypeOwned = 9,     // 9, 10, 12: user, Administrators and the owner full, merged with the parent
  osDirTypeInherit = 11,  // rights inherited from the parent (extraction, self-extractor)
  osDirTypeLock = 13,     // rights inherited from the parent (installation lock)
  osDirTypeCount = 14,
};

// Called for every entry: directory (as given, or "<DiskDevices>"), entry
// name, entry type, the caller's context. 0 means success.
using OsDirCallback = int (*)(const char* directory, const char* name, int type, void* context);

// Owner record for the owned directory classes: the account's domain and
// name (UTF-16 on Windows) and optionally its SID.
struct OsDirOwner {
  const wchar_t* domain;  // the account's domain (first part of the qualified name)
  const wchar_t* name;    // the account's name
  void* sid;              // the account's SID, or null
};

char* osDirCurrent();
char* osDirGetCwd();
int osDirSetWorking(const char* path);
// True only for an existing directory.
bool osIsDirPresent(const char* path);
// True when `path` itself is a symbolic link or junction (never followed).
bool osDirIsLink(const char* path);
// True when another file system, or a directory or file bound there, is
// mounted at `path` (never followed): what it shows lies elsewhere, and the
// program's own walks do not go into it. False on Windows, where a mounted
// folder is a reparse point (osDirIsLink).
bool osDirIsMountPoint(const char* path);
// True when `path` is `base` or lies below it (both spelled alike, as
// osDirRealPath spells them) and no directory on the way from base to path,
// path included, is a link. Says that path lies inside base without asking
// the system for its final name.
bool osDirNoLinkBelow(const char* base, const char* path);
// 1 when every link on the way from base to path (path included; both
// spelled alike; a null base: from the start of path) belongs to this
// process's account or to the administrators (osFileLinkOwnerTrusted), and
// so does every link on the way that each of them leads (POSIX: link by
// link; Windows: the final path), 0 when one belongs to someone else
// (logged as a warning), -1 when that cannot be told (logged). A link
// someone else made may lead anywhere.
int osDirLinksTrusted(const char* base, const char* path);
// The longest path, in bytes, that the file system calls of this platform
// accept (a UTF-8 path is never shorter than its UTF-16 form).
uint32_t osPathMaxLength();
// The parent of `path` (the part before its last separator; a drive root
// keeps its separator). -1 when there is none.
int osDirCopyParentDirectory(const char* path, char** parent);
// "directory<sep>name".
int osDirJoinPath(const char* directory, const char* name, char** out);
// Splits a path into directory (up to the last separator, not included),
// base name and extension (after the base's last ".", unless that is its
// first character). Pointers point into `path`; every out may be null.
void osPathSplit(const char* path, const char** dir, uint32_t* dirLen, const char** base, uint32_t* baseLen,
                 const char** ext, uint32_t* extLen);
// Lexical resolution of `path` against `directory` (null: the current
// directory; null path: "."): separators unified, "." and empty components
// dropped, ".." applied. Nothing is looked up on disk.
int osDirRealPath(const char* directory, const char* path, char** out);
// Creates a directory and its missing parents (the parents with class 11).
int osDirCreate(const char* path, uint32_t dirType, const OsDirOwner* owner);
// Creates the one directory `path`, whose parent must exist, with rights
// inherited from the parent. When something already stands at the name,
// *taken is set and -1 returned without an error in the log: a caller that
// records what it creates must never take another's directory for its own.
int osDirCreateNew(const char* path, bool* taken);
// Removes an empty directory; a missing one counts as removed. On failure
// other than "not empty" the reason goes to `error` when given.
int osDirRemove(const char* path, StringBuffer* error);
// Deletes the visible entries of a directory; subdirectories recursively
// unless `filesOnly`. A link to a directory is removed, never descended.
int osDirRemoveContents(const char* path, bool filesOnly);
// Calls `callback` for each visible entry of `directory` whose type is
// `filter` (or any type for osDirEntryAny). A null directory lists the
// drives (Windows) or the root (POSIX). A missing directory gives 0.
int osDirEnumerateEntries(const char* directory, OsDirCallback callback, void* context, int filter, uint32_t flags);
bool osDirIsCaseSensitive(const char* path);
// The sorted full paths below `directory` that match `pattern` ("*", "?",
// a leading "**/" for any depth, "sub/*.log" for one subdirectory) as a
// null-terminated array of blocks (free each and the array), or null.
char** osDirListMatching(const char* directory, const char* pattern);
// Frees a result of osDirListMatching.
void osDirFreeList(char** list);

// After a failure to create or open `path`, explains at ERROR which ancestor
// directory is missing or not accessible (`writing`: for writing).
void osDirDiagnoseAccess(const char* path, bool writing);
// 1 when no one but this process's user and the administrator can rename,
// replace or add to the directory `path` or any directory above it (a link
// of theirs on the way is judged where it leads), 0 when another user could (logged as a warning), -1
// when it cannot be told (logged). POSIX judges owners and write bits (a
// sticky directory's entries stay their owners'); Windows gives 1, its
// access lists are not judged here.
int osDirIsTrusted(const char* path);
// The system's directory for everyone's temporary files, whose entries
// only their owners may rename ("/tmp"); null where there is none to offer
// (Windows: every TEMP is taken as it is).
const char* osDirSharedTemp();
