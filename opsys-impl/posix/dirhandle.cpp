// POSIX backend only: open directories (osdirhandle.h) as descriptors, and
// the names inside them through the *at calls, so that no step looks the
// directory up by its path again.
#include <errno.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "oserror.h"
#include "osfile.h"
#include "posixsys.h"
#include "stringbuf.h"

struct OsDirHandle {
  int fd;      // the directory, opened O_DIRECTORY
  char* path;  // the path it had when opened (owned), for messages
  dev_t dev;   // its device and inode, to recognise it by a path
  ino_t ino;
  uint64_t birth;  // with them its identity (generationOf; 0: not known)
};

namespace {

// True for the file systems that set a file's birth time once, when it is
// made: there it tells a file from an earlier one that had its number. An
// overlay, for one, keeps the number of a file it copies up from a lower
// layer (on the first write to it, or for a directory the first file made
// in it) and gives it a new birth time.
bool birthIsFixed(int fd) {
#ifdef __linux__
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch ((unsigned long)fs.f_type) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
  }
#endif
  (void)fd;
  return false;
}

// The generation of the identity of `name` in dirfd (dirfd itself when
// empty), on device dev, born at birth (0: not known): the birth time where
// the file system keeps it fixed, else 0. What each device is, is asked
// once; the work asks from one thread. A device not told stays unknown.
uint64_t generationOf(int dirfd, const char* name, dev_t dev, uint64_t birth) {
  static struct {
    dev_t dev;
    bool fixed;
  } known[8];
  static uint32_t count = 0;
  if (!birth) return 0;
  for (uint32_t i = 0; i < count; i++)
    if (known[i].dev == dev) return known[i].fixed ? birth : 0;
  // A query only: outside the calls a test may fail.
  const int fd = *name ? ::openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC) : dirfd;
  if (fd < 0) return 0;
  const bool fixed = birthIsFixed(fd);
  if (*name) ::close(fd);
  if (count < sizeof known / sizeof known[0]) known[count++] = {dev, fixed};
  return fixed ? birth : 0;
}

// A handle over fd (taken over) named path; null (fd closed) when the
// directory cannot be queried.
OsDirHandle* newHandle(int fd, const char* path, size_t pathLen) {
  struct stat st;
  uint64_t birth = 0;
  if (posixSys.statBirth(fd, "", 0, &st, &birth) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot query directory %.*s", (int)pathLen, path);
    posixSys.close(fd);
    return nullptr;
  }
  OsDirHandle* h = memNew(OsDirHandle);
  h->fd = fd;
  h->path = memStrDupN(path, pathLen);
  h->dev = st.st_dev;
  h->ino = st.st_ino;
  h->birth = generationOf(fd, "", st.st_dev, birth);
  return h;
}

// Opens the component `name` (n bytes) below the descriptor dirfd as a
// directory, never through a link; -1 with errno on failure.
int openComponent(int dirfd, const char* name, size_t n) {
  char* part = memStrDupN(name, n);
  const int fd = posixSys.openat(dirfd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  const int err = errno;
  memFree(part);
  errno = err;
  return fd;
}

// *stat of the file behind stream and of `name` in dir, a link itself; -1
// when either query fails (errno says why; ENOENT for a missing name).
int statBoth(IoStream* stream, const OsDirHandle* dir, const char* name, struct stat* open, struct stat* named) {
  const int fd = posixFileDescriptor(stream);
  if (fd < 0 || posixSys.fstat(fd, open) != 0) return -1;
  return posixSys.fstatat(dir->fd, name, named, AT_SYMLINK_NOFOLLOW);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int osDirHandleOpen(const char* path, OsDirHandle** out) {
  *out = nullptr;
  const int fd = posixSys.open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot open directory %s", path);
    return -1;
  }
  *out = newHandle(fd, path, strlen(path));
  return *out ? 0 : -1;
}

namespace {

// The next name of the '/'-separated way at *p (its length in *n), moving
// *p past it; null at the way's end. Empty names and "." are passed over.
const char* nextName(const char** p, size_t* n) {
  while (**p) {
    const char* s = *p;
    while (**p && **p != '/') ++*p;
    *n = (size_t)(*p - s);
    if (**p) ++*p;
    if (*n > 0 && !(*n == 1 && s[0] == '.')) return s;
  }
  return nullptr;
}

// Opens the directory `relative` below dirfd, never through a link and
// never by a way back up: in one call where the system has one, else one
// component at a time (which also says which error a refusal has where the
// one call cannot tell). -1 with errno on failure.
int openDirBelow(int dirfd, const char* relative) {
  while (*relative == '/') relative++;
  size_t n = 0;
  bool named = false;
  for (const char *p = relative, *s; (s = nextName(&p, &n)) != nullptr; named = true) {
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      errno = EINVAL;
      return -1;
    }
  }
  if (named) {
    // A rename on the way makes the one call give up (EAGAIN); a system
    // or sandbox without it answers ENOSYS, EPERM or EINVAL; a way longer
    // than a path may be is still walked one name at a time.
    const int fd = posixSys.openDirBeneath(dirfd, relative);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != EAGAIN && errno != E2BIG &&
                    errno != ENAMETOOLONG))
      return fd;
  }
  int fd = posixSys.openat(dirfd, ".", O_RDONLY | O_DIRECTORY, 0);
  const char* p = relative;
  for (const char* s; fd >= 0 && (s = nextName(&p, &n)) != nullptr;) {
    const int next = openComponent(fd, s, n);
    const int err = errno;
    posixSys.close(fd);
    errno = err;
    fd = next;
  }
  return fd;
}

}  // namespace

int osDirHandleOpenBelow(const OsDirHandle* dir, const char* relative, OsDirHandle** out) {
  *out = nullptr;
  const int fd = openDirBelow(dir->fd, relative);
  if (fd < 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot open directory %s below %s without following a link", relative,
                  dir->path);
    return -1;
  }
  // One separator between names in the path kept for messages.
  size_t relLen = strlen(relative);
  while (relLen > 0 && relative[relLen - 1] == '/') relLen--;
  const size_t baseLen = strlen(dir->path);
  const bool separate = relLen > 0 && (baseLen == 0 || dir->path[baseLen - 1] != '/');
  StringBuffer path;
  sbInitHere(&path);
  const int rc = sbPrintf(&path, "%s%s%.*s", dir->path, separate ? "/" : "", (int)relLen, relative);
  *out = rc == 0 ? newHandle(fd, sbGet(&path), strlen(sbGet(&path))) : nullptr;
  sbClean(&path);
  if (rc != 0) posixSys.close(fd);
  return *out ? 0 : -1;
}

IoStream* osDirHandleStream(const OsDirHandle* dir) {
  const int fd = fcntl(dir->fd, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot open directory %s", dir->path);
    return nullptr;
  }
  IoStream* s = posixFileStream(fd, dir->path);
  osFileDeferFlush(s);  // nothing is written through it
  return s;
}

int osDirHandleIsAt(const OsDirHandle* dir, const char* path) {
  struct stat st;
  if (posixSys.stat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  return st.st_dev == dir->dev && st.st_ino == dir->ino ? 1 : 0;
}

int osDirHandleId(const OsDirHandle* dir, OsFileId* id) {
  *id = {(uint64_t)dir->dev, (uint64_t)dir->ino, dir->birth};
  return 0;
}

int osDirHandleHasId(const OsDirHandle* dir, const OsFileId* id) {
  const OsFileId own = {(uint64_t)dir->dev, (uint64_t)dir->ino, dir->birth};
  return osFileIdSame(&own, id) ? 1 : 0;
}

int osDirHandleIdOf(const OsDirHandle* dir, const char* name, OsFileId* id) {
  struct stat st;
  uint64_t birth = 0;
  if (!*name || posixSys.statBirth(dir->fd, name, AT_SYMLINK_NOFOLLOW, &st, &birth) != 0) return -1;
  *id = {(uint64_t)st.st_dev, (uint64_t)st.st_ino, generationOf(dir->fd, name, st.st_dev, birth)};
  return 0;
}

int osFileStreamId(IoStream* stream, OsFileId* id) {
  struct stat st;
  uint64_t birth = 0;
  const int fd = posixFileDescriptor(stream);
  if (fd < 0 || posixSys.statBirth(fd, "", 0, &st, &birth) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot query an open file");
    return -1;
  }
  *id = {(uint64_t)st.st_dev, (uint64_t)st.st_ino, generationOf(fd, "", st.st_dev, birth)};
  return 0;
}

void osDirHandleClose(OsDirHandle* dir) {
  if (!dir) return;
  posixSys.close(dir->fd);
  memFree(dir->path);
  memFree(dir);
}

const char* osDirHandlePath(const OsDirHandle* dir) { return dir->path; }

int osDirHandleKindOf(const OsDirHandle* dir, const char* name) {
  struct stat st;
  if (posixSys.fstatat(dir->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (S_ISREG(st.st_mode)) return osDirEntryFile;
  if (S_ISDIR(st.st_mode)) return osDirEntryDirectory;
  if (S_ISLNK(st.st_mode)) return osDirEntrySymlink;
  return osDirEntryOther;
}

IoStream* osDirHandleCreateFile(const OsDirHandle* dir, const char* name, uint32_t fileType, bool* taken) {
  *taken = false;
  // The rights osFileOpen gives a created file of this type.
  const mode_t perm = fileType == osFileTypePlain || fileType == osFileTypeLog || fileType == osFileTypeExtracted ||
                              fileType == osFileTypeArchive
                          ? 0666
                          : 0600;
  const int fd = posixSys.openat(dir->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, perm);
  if (fd < 0) {
    if (errno == EEXIST) {
      *taken = true;
      return nullptr;
    }
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot open file '%s/%s' for writing", dir->path, name);
    return nullptr;
  }
  StringBuffer path;
  sbInitHere(&path);
  IoStream* s = sbPrintf(&path, "%s/%s", dir->path, name) == 0 ? posixFileStream(fd, sbGet(&path)) : nullptr;
  sbClean(&path);
  if (!s) posixSys.close(fd);
  return s;
}

int osDirHandleMakeDir(const OsDirHandle* dir, const char* name, bool* taken) {
  *taken = false;
  if (posixSys.mkdirat(dir->fd, name, 0775) == 0) {
    logDebug(logCatFile, "Created %s/%s\n", dir->path, name);
    return 0;
  }
  if (errno == EEXIST) {
    *taken = true;
    return -1;
  }
  const int err = errno;
  osErrorReport(logCatFile, (uint32_t)err, "Unable to create directory %s/%s", dir->path, name);
  // Why, for the administrator: who owns the directory and its rights.
  StringBuffer path;
  sbInitHere(&path);
  if (sbPrintf(&path, "%s/%s", dir->path, name) == 0) osDirDiagnoseAccess(sbGet(&path), true);
  sbClean(&path);
  errno = err;
  return -1;
}

int osDirHandleMove(const OsDirHandle* dir, const char* from, const char* to, bool* taken) {
  if (taken) *taken = false;
  if (posixSys.renameatNoReplace(dir->fd, from, to) == 0) {
    logDebug(logCatFile, "Moved file '%s/%s' to '%s'\n", dir->path, from, to);
    return 0;
  }
  if (errno == EEXIST && taken) {
    *taken = true;
    return -1;
  }
  osErrorReport(logCatFile, (uint32_t)errno, "Cannot move %s/%s to %s", dir->path, from, to);
  return -1;
}

int osDirHandleDelete(const OsDirHandle* dir, const char* name) {
  if (posixSys.unlinkat(dir->fd, name, 0) == 0 || errno == ENOENT) {
    logDebug(logCatFile, "Deleted file %s/%s\n", dir->path, name);
    return 0;
  }
  osErrorReport(logCatFile, (uint32_t)errno, "Cannot delete file %s/%s", dir->path, name);
  return -1;
}

int osDirHandleIsEmpty(const OsDirHandle* dir) {
  const int listFd = fcntl(dir->fd, F_DUPFD_CLOEXEC, 3);
  DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (!d) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot list directory %s", dir->path);
    if (listFd >= 0) posixSys.close(listFd);
    return -1;
  }
  int empty = 1;
  for (struct dirent* e = readdir(d); e && empty; e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = 0;
  closedir(d);
  return empty;
}

int osDirHandleRemoveEmpty(const OsDirHandle* dir, const char* name) {
  if (posixSys.unlinkat(dir->fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) {
    logDebug(logCatFile, "Removed directory %s/%s\n", dir->path, name);
    return 0;
  }
  if (errno == ENOTEMPTY || errno == EEXIST) {
    logDebug(logCatFile, "Directory %s/%s is not empty\n", dir->path, name);
    return -1;
  }
  osErrorReport(logCatFile, (uint32_t)errno, "Cannot remove directory %s/%s", dir->path, name);
  return -1;
}

OsPlaceResult osFileStreamPlaceIn(IoStream* stream, const OsDirHandle* dir, const char* from, const char* to) {
  struct stat open = {}, named = {};
  const int fd = posixFileDescriptor(stream);
  if (fd < 0 || posixSys.fstat(fd, &open) != 0) {
    osErrorReport(logCatFile, fd < 0 ? (uint32_t)EBADF : (uint32_t)errno, "Cannot check %s/%s", dir->path, from);
    return osPlaceFailed;
  }
  bool taken = false;
  if (osDirHandleMove(dir, from, to, &taken) != 0) return taken ? osPlaceTaken : osPlaceFailed;
  // A rename moves a name, not a file: what it moved is known only
  // afterwards, whether something was put at `from` long before or at the
  // last moment, so no check before it would make this one unneeded. Asked
  // inside dir, as the move was made: a name on the way to dir may be
  // exchanged meanwhile and lead elsewhere.
  if (posixSys.fstatat(dir->fd, to, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot check what was moved to %s/%s", dir->path, to);
    return osPlaceSwapped;
  }
  if (sameFile(open, named)) return osPlaceDone;
  // Something else stood at `from`: it goes back there, as if never moved.
  if (posixSys.renameatNoReplace(dir->fd, to, from) == 0) return osPlaceRefused;
  osErrorReport(logCatFile, (uint32_t)errno, "Cannot move %s/%s back to %s", dir->path, to, from);
  return osPlaceSwapped;
}

namespace {

// Empties and removes the directory `name` below the descriptor parent
// (at `where`, for messages), level by level through descriptors, never
// through a link nor into a mounted directory; hidden entries stay (with
// the directories that hold them).
int removeTreeAt(int parent, const char* name, const char* where) {
  struct stat above;
  if (posixIsMountRoot(parent, name, posixSys.fstat(parent, &above) == 0 ? &above : nullptr)) {
    logWarn(logCatFile, "Not removing %s in %s: another directory is mounted there\n", name, where);
    errno = EBUSY;
    return -1;
  }
  const int fd = posixSys.openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  StringBuffer here;
  sbInitHere(&here);
  const size_t n = strlen(where);
  const char* sep = n > 0 && where[n - 1] == '/' ? "" : "/";
  const char* shown = sbPrintf(&here, "%s%s%s", where, sep, name) == 0 ? sbGet(&here) : where;
  const int listFd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr;
  int rc = d ? 0 : -1;
  if (!d && listFd >= 0) posixSys.close(listFd);
  for (struct dirent* e = d ? readdir(d) : nullptr; e; e = readdir(d)) {
    // Hidden entries (dot names) stay, as a listing without them leaves them.
    if (e->d_name[0] == '.') continue;
    struct stat st;
    if (posixSys.fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) ? removeTreeAt(fd, e->d_name, shown) != 0 : posixSys.unlinkat(fd, e->d_name, 0) != 0)
      rc = -1;
  }
  if (d) closedir(d);
  posixSys.close(fd);
  sbClean(&here);
  if (posixSys.unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) rc = -1;
  return rc;
}

}  // namespace

int osDirHandleRemoveTree(const OsDirHandle* dir, const char* name) {
  if (removeTreeAt(dir->fd, name, dir->path) == 0) {
    logDebug(logCatFile, "Removed directory %s/%s\n", dir->path, name);
    return 0;
  }
  logWarn(logCatFile, "Cannot remove directory %s/%s with everything in it: %s\n", dir->path, name,
          osErrorText(nullptr, (uint32_t)errno));
  return -1;
}

int osFileStreamDiscardIn(IoStream* stream, const OsDirHandle* dir, const char* name) {
  struct stat open = {}, named = {};
  if (statBoth(stream, dir, name, &open, &named) != 0) {
    if (errno == ENOENT) return 0;
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot check %s/%s", dir->path, name);
    return -1;
  }
  if (!sameFile(open, named)) return 0;
  return osDirHandleDelete(dir, name) == 0 ? 1 : -1;
}
