// POSIX backend only: directories.
//
// How the Windows model maps onto POSIX:
// - Separator "/"; a path is absolute when it starts with a separator; "/" is
//   the root (the parent of "/x"). Backslashes still separate components in
//   lexical resolution, as archive names may use them.
// - Directory classes become modes: 0 -> 0733 (others may add, enter and
//   delete), 1 -> 01733 (others may add and enter; the sticky bit keeps them
//   from deleting others' files), 2..8 -> 0711 (others may enter), 9, 10,
//   12 -> 0700 (owner only; the owner record is not applied), 11 and 13 ->
//   0777 less the umask (inherited: what the process would give anyway).
// - The drive list is the single root "/".
// - Hidden entries are those whose name starts with "."; device nodes are
//   skipped like Windows device entries. A symbolic link is a Symlink entry
//   whatever it points to, so recursive removal unlinks it.
// - Error 13 of the enumeration flag is EACCES.
// - Case sensitivity: POSIX file systems are taken as case-sensitive.
#include <errno.h>

#include <climits>
#include <cstring>

#include "dirprim.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "oserror.h"
#include "osfile.h"
#include "ospath.h"
#include "posixsys.h"
#include "stringbuf.h"

const char osPathSeparator = '/';
const char osPathSeparatorString[2] = "/";
const OsPathStyle osPathStyleNative = osPathStylePosix;

namespace {

char* currentDirectory() {
  for (size_t size = 256; size <= 65536; size *= 2) {
    char* buf = static_cast<char*>(memAlloc(size));
    if (getcwd(buf, size)) return buf;
    memFree(buf);
    if (errno != ERANGE) break;
  }
  return nullptr;
}

}  // namespace

char* osDirCurrent() {
  char* cwd = currentDirectory();
  if (!cwd) logFatal(logCatDir, "Current directory cannot be determined\n");
  return cwd;
}

char* osDirGetCwd() {
  char* cwd = currentDirectory();
  if (!cwd) logFatal(logCatDir, "Unable to determine current directory\n");
  return cwd;
}

int osDirSetWorking(const char* path) {
  if (!path || chdir(path) != 0) {
    logError(logCatDir, "Failed to set working directory to %s\n", path ? path : "<null>");
    return -1;
  }
  logDebug(logCatDir, "Working directory set to %s\n", path);
  return 0;
}

uint32_t osPathMaxLength() { return PATH_MAX - 1; }

bool osIsDirPresent(const char* path) {
  struct stat st;
  if (!path || posixSys.stat(path, &st) != 0) {
    logDebug(logCatDir, "osIsDirPresent(%s): No\n", path ? path : "<null>");
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    logDebug(logCatDir, "osIsDirPresent(%s): No (is File)\n", path);
    return false;
  }
  logDebug(logCatDir, "osIsDirPresent(%s): Yes\n", path);
  return true;
}

bool osDirIsLink(const char* path) {
  struct stat st;
  return posixSys.lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool posixIsMountRoot(int dirfd, const char* name, const struct stat* parent) {
  struct stat here;
  if (parent && posixSys.fstatat(dirfd, name, &here, AT_SYMLINK_NOFOLLOW) == 0 && here.st_dev != parent->st_dev)
    return true;
#ifdef STATX_ATTR_MOUNT_ROOT
  // A bind mount within one file system keeps the device number.
  struct statx sx;
  if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT))
    return true;
#endif
  return false;
}

bool osDirIsMountPoint(const char* path) {
  StringBuffer up;
  sbInitHere(&up);
  struct stat parent;
  const bool known = sbPrintf(&up, "%s/..", path) == 0 && posixSys.stat(sbGet(&up), &parent) == 0;
  sbClean(&up);
  return posixIsMountRoot(AT_FDCWD, path, known ? &parent : nullptr);
}

int osDirCreate(const char* path, uint32_t dirType, const OsDirOwner* owner) {
  (void)owner;
  logDebug(logCatDir, "Creating %s\n", path ? path : "NULL");
  if (!path || !*path) {
    logError(logCatDir, "Empty directory name passed to osDirCreate\n");
    return -1;
  }
  mode_t mode;
  bool exact = true;
  switch (dirType) {
    case 0:
      mode = 0733;
      break;
    case 1:
      mode = 01733;
      break;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
      mode = 0711;
      break;
    case 9:
    case 10:
    case 12:
      mode = 0700;
      break;
    case 11:
    case 13:
      mode = 0777;
      exact = false;
      break;
    default:
      logError(logCatDir, "Internal: osDirCreate() unhandled dirType %d\n", (int)dirType);
      return -1;
  }
  // The parent ends at the last separator that has a name after it.
  size_t parentLen = 0;
  for (size_t i = 0; path[i]; i++)
    if (osPathIsSep(path[i]) && path[i + 1] && !osPathIsSep(path[i + 1])) parentLen = i;
  if (parentLen > 0) {
    char* parent = memStrDupN(path, parentLen);
    logDebug(logCatDir, "check parent directory %s\n", parent);
    const int rc = osIsDirPresent(parent) ? 0 : osDirCreate(parent, osDirTypeInherit, nullptr);
    memFree(parent);
    if (rc != 0) return -1;
  }
  if (posixSys.mkdir(path, mode) != 0) {
    const int err = errno;
    if (err == EEXIST && dirType == osDirTypeInherit && osIsDirPresent(path)) {
      logDebug(logCatDir, "Creating parent directory %s not necessary, it already exists\n", path);
      return 0;
    }
    osErrorReport(logCatDir, (uint32_t)err, "Unable to create directory %s", path);
    osDirDiagnoseAccess(path, true);
    errno = err;
    return -1;
  }
  if (exact && posixSys.chmod(path, mode) != 0) {
    osErrorReport(logCatDir, (uint32_t)errno, "Unable to create directory %s", path);
    return -1;
  }
  if (!exact) logDebug(logCatDir, "Directory %s inherits ACL from parent\n", path);
  return 0;
}

int osDirCreateNew(const char* path, bool* taken) {
  *taken = false;
  // Never writable by others, whatever the umask: what extraction makes
  // is as safe as the modes it applies.
  if (posixSys.mkdir(path, 0775) == 0) {
    logDebug(logCatDir, "Created %s\n", path);
    return 0;
  }
  const int err = errno;
  if (err == EEXIST) {
    logDebug(logCatDir, "Not creating %s: something is already there\n", path);
    *taken = true;
    return -1;
  }
  osErrorReport(logCatDir, (uint32_t)err, "Unable to create directory %s", path);
  osDirDiagnoseAccess(path, true);
  errno = err;
  return -1;
}

int osDirRemove(const char* path, StringBuffer* error) {
  const int rc = posixSys.rmdir(path);
  const int err = rc == 0 ? 0 : errno;
  logDebug(logCatDir, "RemoveDirectory(%s) = %s error=%d\n", path, rc == 0 ? "true" : "false", err);
  if (rc == 0) return 0;
  if (err == ENOTEMPTY || err == EEXIST || err == EBUSY) {
    logDebug(logCatDir, "Directory %s not empty (error %d)\n", path, err);
    return -1;
  }
  if (err == ENOENT) {
    logDebug(logCatDir, "Directory %s already deleted\n", path);
    return 0;
  }
  if (error)
    sbAppendString(error, osErrorText(nullptr, (uint32_t)err));
  else
    logDebug(logCatDir, "Directory %s not deleted: %d\n", path, err);
  return -1;
}

namespace {

// Type of an entry from lstat: links are never followed.
int classify(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return osDirEntryDirectory;
  if (S_ISLNK(st.st_mode)) return osDirEntrySymlink;
  if (S_ISREG(st.st_mode)) return osDirEntryFile;
  return osDirEntryOther;
}

}  // namespace

int dirPrimEnumerateRoots(OsDirCallback callback, void* context, int filter, uint32_t flags, int* count) {
  (void)flags;
  logTrace(logCatDir, "Enumeration found %d drives.\n", 1);
  if (filter != osDirEntryAny && filter != osDirEntryDirectory) return 0;
  *count = 1;
  return callback("<DiskDevices>", "/", osDirEntryDirectory, context) != 0 ? -1 : 0;
}

int dirPrimEnumerate(const char* directory, OsDirCallback callback, void* context, int filter, uint32_t flags,
                     int* count) {
  int result = 0;
  DIR* dir = posixSys.opendir(directory);
  if (!dir) {
    const int err = errno;
    *count = -1;
    if (err == ENOENT) {
      logTrace(logCatDir, "directory %s not present)\n", directory);
      return 0;
    }
    if (err == EACCES && (flags & osDirFlagDeniedIsEmpty)) return 0;
    osErrorReport(logCatDir, (uint32_t)err, "Cannot read directory %s: ", directory);
    return -1;
  }
  const size_t dirLen = strlen(directory);
  StringBuffer full;
  sbInitHere(&full);
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dir);
    if (!e) break;
    const char* name = e->d_name;
    // ".", ".." and hidden entries
    if (name[0] == '.' && (!(flags & osDirFlagHidden) || !name[1] || (name[1] == '.' && !name[2]))) continue;
    sbEmpty(&full);
    sbAppendData(&full, directory, (uint32_t)dirLen);
    sbAppendChar(&full, '/');
    sbAppendString(&full, name);
    struct stat st;
    if (posixSys.lstat(sbGet(&full), &st) != 0) continue;  // vanished meanwhile
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) continue;
    const int type = classify(st);
    if (filter != osDirEntryAny && filter != type) continue;
    (*count)++;
    if (callback(directory, name, type, context) != 0) {
      result = -1;
      if (flags & osDirFlagStopOnFailure) break;
    }
  }
  sbClean(&full);
  closedir(dir);
  return result;
}

bool osDirIsCaseSensitive(const char* path) {
  struct stat st;
  if (!path || posixSys.stat(path, &st) != 0) {
    logTrace(logCatDir, "Cannot open '%s'; assume it is case-insensitive\n", path ? path : "<null>");
    return false;
  }
  logTrace(logCatDir, "osDirIsCaseSensitive(\"%s\") = %d (status %d/%x)\n", path, 1, 0, 0u);
  return true;
}

namespace {

int dirTrusted(const char* path, int depth);

// Judges the way the trusted link at `link` leads, as written: the
// directories its target names on the way (one before a "..", say) are
// looked up through too when the names after the link are.
int linkWayTrusted(const char* link, int depth) {
  char* to = nullptr;
  int rc = depth < 40 ? osFileLinkLeadsTo(link, &to) : -1;
  if (depth >= 40) logError(logCatDir, "Cannot judge who may change %s: too many links\n", link);
  if (rc == 0) rc = dirTrusted(to, depth + 1);
  memFree(to);
  return rc < 0 ? -1 : rc;
}

int dirTrusted(const char* path, int depth) {
  const uid_t self = geteuid();
  StringBuffer prefix;
  sbInitHere(&prefix);
  int rc = 1;
  // "/" first, then each directory down to path itself.
  for (size_t end = 1;;) {
    sbEmpty(&prefix);
    sbAppendData(&prefix, path, (uint32_t)end);
    struct stat st;
    if (posixSys.lstat(sbGet(&prefix), &st) != 0) {
      osErrorReport(logCatDir, (uint32_t)errno, "Cannot judge who may change %s", sbGet(&prefix));
      rc = -1;
    } else if (S_ISLNK(st.st_mode) && (st.st_uid == 0 || st.st_uid == self)) {
      // A link of this user or root: the directories below are judged
      // where it leads (the next names are looked up through it), and so
      // are those its target names on the way.
      rc = linkWayTrusted(sbGet(&prefix), depth);
    } else if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != self) ||
               ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))) {
      logWarn(logCatDir, "%s can be changed by another user (owner %u, mode %03o)\n", sbGet(&prefix),
              (unsigned)st.st_uid, (unsigned)(st.st_mode & 07777));
      rc = 0;
    }
    if (rc != 1) break;
    while (path[end] == '/') end++;
    if (!path[end]) break;
    while (path[end] && path[end] != '/') end++;
  }
  sbClean(&prefix);
  return rc;
}

}  // namespace

int osDirIsTrusted(const char* path) {
  if (!path || path[0] != '/') {
    logError(logCatDir, "Cannot judge who may change %s: not an absolute path\n", path ? path : "<null>");
    return -1;
  }
  return dirTrusted(path, 0);
}

const char* osDirSharedTemp() { return "/tmp"; }
