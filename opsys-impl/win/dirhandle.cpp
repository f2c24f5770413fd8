// Windows backend only: open directories (osdirhandle.h). Each directory
// from the one opened below down to the target is held open without delete
// sharing, which keeps any of them from being renamed, deleted or replaced
// by a junction while the handle lives; names inside are then used by path.
// The file written is moved into place and deleted through its own handle,
// so the step applies to that very file, whatever is at its name.
#include <windows.h>

#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "oserror.h"
#include "osfile.h"
#include "stringbuf.h"
#include "winsupport.h"

struct OsDirHandle {
  char* path;      // the path it had when opened (owned)
  HANDLE* held;    // the directory last, those it was opened through before it (owned)
  uint32_t count;  // handles in held
};

namespace {

// What a held directory allows others: reading and writing inside, never
// renaming or deleting it.
constexpr DWORD heldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD heldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// Opens the directory at path and holds it. Without followLinks, a link or
// junction at path is opened as itself and refused.
HANDLE holdDirectory(const char* path, bool followLinks) {
  wchar_t* wide = winPathToWide(path);
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD err = ERROR_NO_UNICODE_TRANSLATION;
  if (wide) {
    h = winSys.createFile(wide, heldAccess, heldShare, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    err = GetLastError();
  }
  memFree(wide);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (h != INVALID_HANDLE_VALUE &&
      (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
       (!followLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))) {
    CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
    err = ERROR_CANT_ACCESS_FILE;
  }
  if (h == INVALID_HANDLE_VALUE) {
    osErrorReport(logCatFile, err, "Cannot open directory %s%s", path, followLinks ? "" : " without following a link");
    SetLastError(err);
  }
  return h;
}

OsDirHandle* newHandle(const char* path) {
  OsDirHandle* dir = memNew(OsDirHandle);
  dir->path = memStrDup(path);
  return dir;
}

// *out (a new string) = dir's path, a separator and name.
int joinName(const OsDirHandle* dir, const char* name, char** out) { return osFileJoinPath(dir->path, name, out); }

}  // namespace

int osDirHandleOpen(const char* path, OsDirHandle** out) {
  *out = nullptr;
  HANDLE h = holdDirectory(path, true);
  if (h == INVALID_HANDLE_VALUE) return -1;
  OsDirHandle* dir = newHandle(path);
  dir->held = memNewArray(HANDLE, 1);
  dir->held[dir->count++] = h;
  *out = dir;
  return 0;
}

int osDirHandleOpenBelow(const OsDirHandle* dir, const char* relative, OsDirHandle** out) {
  *out = nullptr;
  const size_t len = strlen(relative);
  OsDirHandle* below = newHandle(dir->path);
  below->held = memNewArray(HANDLE, len / 2 + 2);
  int rc = 0;
  for (const char* p = relative; *p && rc == 0;) {
    const char* s = p;
    while (*p && *p != '\\' && *p != '/') p++;
    const size_t n = (size_t)(p - s);
    if (*p) p++;
    if (n == 0 || (n == 1 && s[0] == '.')) continue;
    char* part = memStrDupN(s, n);
    char* next = nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      logError(logCatFile, "Cannot open directory %s below %s: it climbs out\n", relative, dir->path);
    } else if (osFileJoinPath(below->path, part, &next) == 0) {
      h = holdDirectory(next, false);
    }
    memFree(part);
    if (h == INVALID_HANDLE_VALUE) {
      memFree(next);
      rc = -1;
      break;
    }
    memFree(below->path);
    below->path = next;
    below->held[below->count++] = h;
  }
  // Below nothing, the directory itself is held again.
  if (rc == 0 && below->count == 0) {
    HANDLE h = holdDirectory(below->path, false);
    if (h == INVALID_HANDLE_VALUE)
      rc = -1;
    else
      below->held[below->count++] = h;
  }
  if (rc != 0) {
    osDirHandleClose(below);
    return -1;
  }
  *out = below;
  return 0;
}

void osDirHandleClose(OsDirHandle* dir) {
  if (!dir) return;
  for (uint32_t i = 0; i < dir->count; i++) CloseHandle(dir->held[i]);
  memFree(dir->held);
  memFree(dir->path);
  memFree(dir);
}

const char* osDirHandlePath(const OsDirHandle* dir) { return dir->path; }

IoStream* osDirHandleStream(const OsDirHandle* dir) {
  HANDLE h = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), dir->held[dir->count - 1], GetCurrentProcess(), &h, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot open directory %s", dir->path);
    return nullptr;
  }
  IoStream* s = winFileStream(h, dir->path);
  osFileDeferFlush(s);  // nothing is written through it
  return s;
}

// *id of the open file or directory h; -1 (logged) when it cannot be queried.
int idOf(HANDLE h, const char* path, OsFileId* id) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(h, &info)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot query directory %s", path);
    return -1;
  }
  // The NTFS file number carries its own sequence: no generation beside it.
  *id = {info.dwVolumeSerialNumber, ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow, 0};
  return 0;
}

int osDirHandleId(const OsDirHandle* dir, OsFileId* id) { return idOf(dir->held[dir->count - 1], dir->path, id); }

int osDirHandleHasId(const OsDirHandle* dir, const OsFileId* id) {
  OsFileId own = {};
  if (osDirHandleId(dir, &own) != 0) return -1;
  return osFileIdSame(&own, id) ? 1 : 0;
}

int osDirHandleIdOf(const OsDirHandle* dir, const char* name, OsFileId* id) {
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  wchar_t* wide = winPathToWide(path);
  // The name itself, a link too: never what it leads to.
  HANDLE h = wide ? winSys.createFile(wide, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                  : INVALID_HANDLE_VALUE;
  memFree(wide);
  const int rc = h != INVALID_HANDLE_VALUE ? idOf(h, path, id) : -1;
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  memFree(path);
  return rc;
}

int osFileStreamId(IoStream* stream, OsFileId* id) {
  HANDLE h = winFileHandle(stream);
  if (h == INVALID_HANDLE_VALUE) return -1;
  return idOf(h, "an open file", id);
}

int osDirHandleIsAt(const OsDirHandle* dir, const char* path) {
  wchar_t* wide = winPathToWide(path);
  HANDLE h = wide
                 ? winSys.createFile(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                 : INVALID_HANDLE_VALUE;
  const DWORD err = GetLastError();
  memFree(wide);
  if (h == INVALID_HANDLE_VALUE) return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 0 : -1;
  OsFileId named = {};
  const int got = idOf(h, path, &named);
  CloseHandle(h);
  return got == 0 ? osDirHandleHasId(dir, &named) : -1;
}

int osDirHandleKindOf(const OsDirHandle* dir, const char* name) {
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  const int kind = osFileKindOf(path);
  memFree(path);
  return kind;
}

IoStream* osDirHandleCreateFile(const OsDirHandle* dir, const char* name, uint32_t fileType, bool* taken) {
  *taken = false;
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return nullptr;
  // A taken name is told apart without an error in the log; the creation
  // itself still refuses anything there (it never opens an existing name).
  IoStream* s = nullptr;
  if (osFileKindOf(path) >= 0)
    *taken = true;
  else
    s = osFileOpenStream(path, osFileModeCreateNew, fileType, nullptr);
  memFree(path);
  return s;
}

int osDirHandleMakeDir(const OsDirHandle* dir, const char* name, bool* taken) {
  *taken = false;
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  // Inside a held directory the name leads where it says.
  const int rc = osDirCreateNew(path, taken);
  memFree(path);
  return rc;
}

int osDirHandleMove(const OsDirHandle* dir, const char* from, const char* to, bool* taken) {
  if (taken) *taken = false;
  char* source = nullptr;
  char* target = nullptr;
  int rc = -1;
  if (joinName(dir, from, &source) == 0 && joinName(dir, to, &target) == 0) {
    if (taken && osFileKindOf(target) >= 0)
      *taken = true;
    else
      rc = osFileMoveNoReplace(source, target);
  }
  memFree(source);
  memFree(target);
  return rc;
}

int osDirHandleDelete(const OsDirHandle* dir, const char* name) {
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  // A file of the old version still in use (a running program) goes at the
  // next restart.
  const int rc = osFileDeleteEx(path, nullptr, osFileDeleteAtReboot);
  memFree(path);
  return rc;
}

int osDirHandleIsEmpty(const OsDirHandle* dir) {
  char* pattern = nullptr;
  if (joinName(dir, "*", &pattern) != 0) return -1;
  wchar_t* wide = winPathToWide(pattern);
  memFree(pattern);
  WIN32_FIND_DATAW data;
  HANDLE find = wide ? winSys.findFirstFile(wide, &data) : INVALID_HANDLE_VALUE;
  const DWORD err = find == INVALID_HANDLE_VALUE ? (wide ? GetLastError() : (DWORD)ERROR_INVALID_NAME) : 0;
  memFree(wide);
  if (find == INVALID_HANDLE_VALUE) {
    if (err == ERROR_FILE_NOT_FOUND) return 1;
    osErrorReport(logCatFile, err, "Cannot list directory %s", dir->path);
    return -1;
  }
  int empty = 1;
  do {
    const wchar_t* n = data.cFileName;
    if (!(n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0)))) empty = 0;
  } while (empty && FindNextFileW(find, &data));
  FindClose(find);
  return empty;
}

int osDirHandleRemoveEmpty(const OsDirHandle* dir, const char* name) {
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  // Inside a held directory the name leads where it says; a directory that
  // is not empty is left (and said so at debug level).
  const int rc = osDirRemove(path, nullptr);
  memFree(path);
  return rc;
}

int osDirHandleRemoveTree(const OsDirHandle* dir, const char* name) {
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  // Inside a held directory, the names below it lead where they say.
  const int rc = osDirRemoveContents(path, false) == 0 && osDirRemove(path, nullptr) == 0 ? 0 : -1;
  memFree(path);
  return rc;
}

namespace {

// Renames the file open as h to `to` inside dir, never replacing. The
// system takes the new name as a full path (a name relative to a root
// directory handle is not passed through by the Win32 call).
bool renameByHandle(HANDLE h, const OsDirHandle* dir, const char* to) {
  char* path = nullptr;
  wchar_t* wide = joinName(dir, to, &path) == 0 ? winPathToWide(path) : nullptr;
  memFree(path);
  if (!wide) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  const size_t bytes = wcslen(wide) * sizeof(wchar_t);
  const size_t size = sizeof(FILE_RENAME_INFO) + bytes;
  FILE_RENAME_INFO* info = static_cast<FILE_RENAME_INFO*>(memAlloc(size));
  memset(info, 0, size);
  info->ReplaceIfExists = FALSE;
  info->FileNameLength = (DWORD)bytes;
  memcpy(info->FileName, wide, bytes);
  const bool ok = winSys.setFileInformationByHandle(h, FileRenameInfo, info, (DWORD)size);
  const DWORD err = GetLastError();
  memFree(info);
  memFree(wide);
  SetLastError(err);
  return ok;
}

// Clears the hidden bit a temporary dot name gave the file, unless its new
// name is a dot name too.
void showUnlessDotName(HANDLE h, const char* to) {
  BY_HANDLE_FILE_INFORMATION now = {};
  if (winIsDotName(to) || !GetFileInformationByHandle(h, &now) || !(now.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN))
    return;
  FILE_BASIC_INFO basic = {};  // zero times stay as they are
  basic.FileAttributes = now.dwFileAttributes & ~(DWORD)FILE_ATTRIBUTE_HIDDEN;
  if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic))
    osErrorReport(logCatFile, GetLastError(), "Cannot reset hidden attribute on %s", to);
}

}  // namespace

OsPlaceResult osFileStreamPlaceIn(IoStream* stream, const OsDirHandle* dir, const char* from, const char* to) {
  char* source = nullptr;
  if (joinName(dir, from, &source) != 0) return osPlaceFailed;
  const int ours = osFileStreamIsAt(stream, source);
  const DWORD checkErr = GetLastError();
  memFree(source);
  if (ours < 0) {
    osErrorReport(logCatFile, checkErr, "Cannot check %s\\%s", dir->path, from);
    return osPlaceFailed;
  }
  if (ours == 0) return osPlaceRefused;
  HANDLE h = winFileHandle(stream);
  if (h == INVALID_HANDLE_VALUE) return osPlaceFailed;
  // Through the handle: the file written is what moves, whatever has been
  // put at its name since.
  if (!renameByHandle(h, dir, to)) {
    const DWORD err = GetLastError();
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) return osPlaceTaken;
    osErrorReport(logCatFile, err, "Cannot move %s\\%s to %s", dir->path, from, to);
    return osPlaceFailed;
  }
  logDebug(logCatFile, "Moved file '%s\\%s' to '%s'\n", dir->path, from, to);
  showUnlessDotName(h, to);
  return osPlaceDone;
}

int osFileStreamDiscardIn(IoStream* stream, const OsDirHandle* dir, const char* name) {
  char* path = nullptr;
  if (joinName(dir, name, &path) != 0) return -1;
  const int ours = osFileStreamIsAt(stream, path);
  const DWORD err = GetLastError();
  memFree(path);
  if (ours < 0) osErrorReport(logCatFile, err, "Cannot check %s\\%s", dir->path, name);
  if (ours <= 0) return ours;
  // Deleted through the handle: the file written goes when it is closed.
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = TRUE;
  if (!winSys.setFileInformationByHandle(winFileHandle(stream), FileDispositionInfo, &info, sizeof info)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot delete file %s\\%s", dir->path, name);
    return -1;
  }
  logDebug(logCatFile, "Deleted file %s\\%s\n", dir->path, name);
  return 1;
}
