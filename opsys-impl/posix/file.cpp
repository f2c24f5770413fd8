// POSIX backend only: files as IoStreams and the file-level operations.
//
// How the Windows model maps onto POSIX:
// - Stream type: "PosixFile" over a file descriptor.
// - Open modes: 0 O_RDWR|O_CREAT, 1 O_RDWR, 2 O_RDONLY, 3 O_WRONLY|O_CREAT|
//   O_TRUNC, 4 O_WRONLY|O_APPEND|O_CREAT, 6 O_WRONLY|O_CREAT|O_EXCL (which
//   never follows a link at the name). POSIX has no share modes: the share
//   column and the share flag have no effect. Quiet opens read-only.
// - File types: 0, 9, 13 and 15 create files with 0666 (less the umask),
//   i.e. the rights the directory's owner would give; the types with an
//   explicit access list create 0600 files (owner only). Type 6 and types
//   above 19 are refused as on Windows.
// - Dot-name rule: a name starting with "." is hidden by itself; moves need
//   no attribute changes.
// - Attributes: a non-zero Unix mode in the high 16 bits is applied with
//   chmod (permission bits only: set-id and sticky bits from an archive are
//   dropped). Without one, the DOS read-only bit removes all write bits and
//   its absence gives the owner write access.
// - Times: modification and access via utimensat; there is no creation time.
// - Deletion: unlink. EBUSY and ETXTBSY take the place of the sharing
//   violation (retried with growing waits); EACCES/EPERM at the first attempt
//   makes the file owner-writable and retries at once, later it fails.
//   ENOENT and ENOTDIR mean already deleted. There is no delete at reboot.
// - Moves: rename; across file systems (EXDEV) the file is copied to a
//   temporary name beside the target, flushed, the source removed and the
//   copy renamed into place, so a failure on the way leaves both files.
// - Flush: fsync; EINVAL, EROFS and ENOTSUP (pipes, terminals) count as done.
//   A batch flush (osSyncBatchFlush) is one syncfs per file system; where
//   that call is missing, an fsync of each file and then of each directory.
// - Preallocation: posix_fallocate; ENOSPC is the full disk.
// - Standard streams: duplicates of descriptors 0, 1 and 2.
#include <errno.h>
#include <pwd.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif
#include <sys/time.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fileprim.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "osdate.h"
#include "osdir.h"
#include "oserror.h"
#include "osfile.h"
#include "osinit.h"
#include "ospath.h"
#include "ostest.h"
#include "posixsys.h"
#include "stringbuf.h"

// ---- The system-call table ----

namespace {

#define SFX_FAULT_OR(call, failValue)        \
  if (uint32_t e = osTestCheckFault(call)) { \
    errno = (int)e;                          \
    return failValue;                        \
  }

int sysOpen(const char* path, int flags, mode_t mode) {
  SFX_FAULT_OR("open", -1);
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}
// A failed injected close still closes the descriptor, so nothing leaks.
int sysClose(int fd) {
  const uint32_t e = osTestCheckFault("close");
  const int rc = ::close(fd);
  if (e) {
    errno = (int)e;
    return -1;
  }
  return rc;
}
ssize_t sysRead(int fd, void* buf, size_t len) {
  SFX_FAULT_OR("read", -1);
  ssize_t n;
  do n = ::read(fd, buf, len);
  while (n < 0 && errno == EINTR);
  return n;
}
ssize_t sysWrite(int fd, const void* buf, size_t len) {
  SFX_FAULT_OR("write", -1);
  ssize_t n;
  do n = ::write(fd, buf, len);
  while (n < 0 && errno == EINTR);
  return n;
}
off_t sysLseek(int fd, off_t offset, int whence) {
  SFX_FAULT_OR("lseek", -1);
  return ::lseek(fd, offset, whence);
}
int sysFsync(int fd) {
  SFX_FAULT_OR("fsync", -1);
  return ::fsync(fd);
}
int sysFallocate(int fd, off_t offset, off_t len) {
  SFX_FAULT_OR("fallocate", (int)e);
  return ::posix_fallocate(fd, offset, len);
}
int sysUnlink(const char* path) {
  SFX_FAULT_OR("unlink", -1);
  return ::unlink(path);
}
int sysRename(const char* from, const char* to) {
  SFX_FAULT_OR("rename", -1);
  return ::rename(from, to);
}
// An atomic rename that never replaces an existing target. Where the file
// system cannot do that in one step, a hard link (which refuses an existing
// name) and the removal of the old name do the same for files and links.
int sysRenameNoReplace(const char* from, const char* to) {
  SFX_FAULT_OR("renameNoReplace", -1);
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  if (::link(from, to) != 0) return -1;
  if (::unlink(from) != 0) {
    const int e = errno;
    ::unlink(to);
    errno = e;
    return -1;
  }
  return 0;
}
int sysChmod(const char* path, mode_t mode) {
  SFX_FAULT_OR("chmod", -1);
  return ::chmod(path, mode);
}
int sysStat(const char* path, struct stat* st) {
  SFX_FAULT_OR("stat", -1);
  return ::stat(path, st);
}
int sysLstat(const char* path, struct stat* st) {
  SFX_FAULT_OR("lstat", -1);
  return ::lstat(path, st);
}
int sysUtimens(const char* path, const struct timespec times[2]) {
  SFX_FAULT_OR("utimens", -1);
  return ::utimensat(AT_FDCWD, path, times, 0);
}
int sysMkdir(const char* path, mode_t mode) {
  SFX_FAULT_OR("mkdir", -1);
  return ::mkdir(path, mode);
}
int sysRmdir(const char* path) {
  SFX_FAULT_OR("rmdir", -1);
  return ::rmdir(path);
}
DIR* sysOpendir(const char* path) {
  SFX_FAULT_OR("opendir", nullptr);
  return ::opendir(path);
}
int sysSymlink(const char* target, const char* link) {
  SFX_FAULT_OR("symlink", -1);
  return ::symlink(target, link);
}

// Writes back everything of the file system that holds fd.
int sysSyncfs(int fd) {
  SFX_FAULT_OR("syncfs", -1);
#ifdef __linux__
  return ::syncfs(fd);
#else
  (void)fd;
  errno = ENOSYS;
  return -1;
#endif
}

int sysFchmod(int fd, mode_t mode) {
  SFX_FAULT_OR("fchmod", -1);
  return ::fchmod(fd, mode);
}
int sysFstat(int fd, struct stat* st) {
  SFX_FAULT_OR("fstat", -1);
  return ::fstat(fd, st);
}
int sysFutimens(int fd, const struct timespec times[2]) {
  SFX_FAULT_OR("futimens", -1);
  return ::futimens(fd, times);
}
int sysOpenat(int dirfd, const char* name, int flags, mode_t mode) {
  SFX_FAULT_OR("openat", -1);
  return ::openat(dirfd, name, flags | O_CLOEXEC, mode);
}
int sysFstatat(int dirfd, const char* name, struct stat* st, int flags) {
  SFX_FAULT_OR("fstatat", -1);
  return ::fstatat(dirfd, name, st, flags);
}
// Only the type, device and inode of st are filled where statx answers;
// callers ask for nothing else.
int sysStatBirth(int dirfd, const char* name, int flags, struct stat* st, uint64_t* birth) {
  SFX_FAULT_OR("statx", -1);
  *birth = 0;
#ifdef STATX_BTIME
  struct statx sx;
  const int empty = *name ? 0 : AT_EMPTY_PATH;
  if (::statx(dirfd, name, flags | empty, STATX_TYPE | STATX_MODE | STATX_INO | STATX_BTIME, &sx) == 0) {
    memset(st, 0, sizeof *st);
    st->st_mode = sx.stx_mode;
    st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st->st_ino = sx.stx_ino;
    if (sx.stx_mask & STATX_BTIME)
      *birth = (uint64_t)sx.stx_btime.tv_sec * 1000000000u + (uint64_t)sx.stx_btime.tv_nsec;
    return 0;
  }
  if (errno != ENOSYS) return -1;
#endif
  return *name ? ::fstatat(dirfd, name, st, flags) : ::fstat(dirfd, st);
}
// As sysRenameNoReplace, inside one directory.
int sysRenameatNoReplace(int dirfd, const char* from, const char* to) {
  SFX_FAULT_OR("renameatNoReplace", -1);
#ifdef RENAME_NOREPLACE
  if (::renameat2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  if (::linkat(dirfd, from, dirfd, to, 0) != 0) return -1;
  if (::unlinkat(dirfd, from, 0) != 0) {
    const int e = errno;
    ::unlinkat(dirfd, to, 0);
    errno = e;
    return -1;
  }
  return 0;
}
int sysUnlinkat(int dirfd, const char* name, int flags) {
  SFX_FAULT_OR("unlinkat", -1);
  return ::unlinkat(dirfd, name, flags);
}
int sysMkdirat(int dirfd, const char* name, mode_t mode) {
  SFX_FAULT_OR("mkdirat", -1);
  return ::mkdirat(dirfd, name, mode);
}

int sysOpenDirBeneath(int dirfd, const char* path) {
  SFX_FAULT_OR("openat", -1);
#if defined(__linux__) && defined(SYS_openat2)
  struct open_how how = {};
  how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return (int)syscall(SYS_openat2, dirfd, path, &how, sizeof how);
#else
  (void)dirfd;
  (void)path;
  errno = ENOSYS;
  return -1;
#endif
}

#undef SFX_FAULT_OR

}  // namespace

const PosixSyscalls posixSysDefault = {
    .open = sysOpen,
    .close = sysClose,
    .read = sysRead,
    .write = sysWrite,
    .lseek = sysLseek,
    .fsync = sysFsync,
    .fallocate = sysFallocate,
    .unlink = sysUnlink,
    .rename = sysRename,
    .renameNoReplace = sysRenameNoReplace,
    .chmod = sysChmod,
    .stat = sysStat,
    .lstat = sysLstat,
    .utimens = sysUtimens,
    .mkdir = sysMkdir,
    .rmdir = sysRmdir,
    .opendir = sysOpendir,
    .symlink = sysSymlink,
    .syncfs = sysSyncfs,
    .fchmod = sysFchmod,
    .fstat = sysFstat,
    .futimens = sysFutimens,
    .openat = sysOpenat,
    .fstatat = sysFstatat,
    .statBirth = sysStatBirth,
    .renameatNoReplace = sysRenameatNoReplace,
    .unlinkat = sysUnlinkat,
    .mkdirat = sysMkdirat,
    .openDirBeneath = sysOpenDirBeneath,
};
static_assert(sizeof(PosixSyscalls) == 29 * sizeof(void*), "one slot per call");

PosixSyscalls posixSys = posixSysDefault;

// ---- The file stream ----

namespace {

// State of one open file.
struct PosixFile {
  int fd;              // the descriptor
  char* path;          // owned copy of the name it was opened with
  uint8_t input;       // a standard input stream
  uint8_t standard;    // one of the process's standard streams
  uint8_t bom;         // write the UTF-8 byte-order mark before the next write
  uint8_t deferFlush;  // flushes are left to a batch (osFileDeferFlush)
  uint32_t readCount;  // successful read calls
  uint32_t writeCount;
  uint64_t bytesRead;
  uint64_t bytesWritten;
};

// POSIX has no share modes: reading without writers is plain reading.
const int modeFlags[osFileModeCount] = {O_RDWR | O_CREAT,
                                        O_RDWR,
                                        O_RDONLY,
                                        O_WRONLY | O_CREAT | O_TRUNC,
                                        O_WRONLY | O_APPEND | O_CREAT,
                                        O_RDONLY,
                                        O_WRONLY | O_CREAT | O_EXCL,
                                        O_RDONLY | O_NOFOLLOW};
static_assert(SFX_ARRAY_SIZE(modeFlags) == osFileModeCount);

const unsigned char utf8Bom[3] = {0xEF, 0xBB, 0xBF};

int fileRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  PosixFile* f = static_cast<PosixFile*>(level->state);
  const ssize_t n = posixSys.read(f->fd, buf, len);
  if (n < 0) {
    if (errno == EPIPE) {  // a closed pipe is the end of data
      *got = 0;
      return 0;
    }
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot read");
    logTrace(logCatFile, "ReadFile error=%u\n", (unsigned)errno);
    return -1;
  }
  f->readCount++;
  f->bytesRead += (uint64_t)n;
  *got = (uint32_t)n;
  return 0;
}

// Writes all of buf with one call (the stream layer repeats short writes).
int writeRaw(PosixFile* f, const void* buf, uint32_t len, uint32_t* written) {
  const ssize_t n = posixSys.write(f->fd, buf, len);
  if (n < 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot write");
    return -1;
  }
  f->writeCount++;
  f->bytesWritten += (uint64_t)n;
  if (written) *written = (uint32_t)n;
  return 0;
}

int fileWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  PosixFile* f = static_cast<PosixFile*>(state);
  if (f->bom) {
    f->bom = 0;
    uint32_t done = 0;
    if (writeRaw(f, utf8Bom, sizeof utf8Bom, &done) != 0 || done != sizeof utf8Bom) return -1;
  }
  return writeRaw(f, buf, len, written);
}

int fileClose(void* state) {
  PosixFile* f = static_cast<PosixFile*>(state);
  int rc = 0;
  fileCloseDelay();
  if (posixSys.close(f->fd) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot close file handle %d to %s", f->fd, f->path);
    rc = -1;
  } else {
    fileLogClosed(f->path, f->bytesRead, f->readCount, f->bytesWritten, f->writeCount);
  }
  memFree(f->path);
  memFree(f);
  return rc;
}

int fileSeek(void* state, uint64_t offset) {
  PosixFile* f = static_cast<PosixFile*>(state);
  return posixSys.lseek(f->fd, (off_t)offset, SEEK_SET) == (off_t)-1 ? -1 : 0;
}

int fileFlush(void* state) {
  PosixFile* f = static_cast<PosixFile*>(state);
  if (f->deferFlush) return 0;
  if (posixSys.fsync(f->fd) == 0) return 0;
  if (errno == EINVAL || errno == EROFS || errno == ENOTSUP || errno == EBADF) return 0;
  osErrorReport(logCatFile, (uint32_t)errno, "Cannot flush file %s", f->path);
  return -1;
}

int fileGetSeek(void* state, uint64_t* pos) {
  PosixFile* f = static_cast<PosixFile*>(state);
  const off_t at = posixSys.lseek(f->fd, 0, SEEK_CUR);
  if (at == (off_t)-1) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot retrieve current position for %s", f->path);
    return -1;
  }
  *pos = (uint64_t)at;
  return 0;
}

// Reserves room for `size` bytes so that a full disk shows before any data
// is written. Small files are not worth it.
int filePreallocate(IoStream* level, uint64_t size) {
  PosixFile* f = static_cast<PosixFile*>(level->state);
  if (size < 1048576) return 0;
  const int err = posixSys.fallocate(f->fd, 0, (off_t)size);
  if (err == 0) return 0;
  if (err == ENOSPC) {
    logError(logCatFile, "Insufficient diskspace to store %" PRIu64 " bytes for file '%s'\n", size, f->path);
    return -1;
  }
  osErrorReport(logCatFile, (uint32_t)err, "Unexpected error when trying to set file '%s' to size %" PRIu64 " bytes",
                f->path, size);
  logWarn(logCatFile, "Unable to determine if there is enough disk space to allocate %" PRIu64 " bytes for file '%s'\n",
          size, f->path);
  return 0;
}

IoStream* newFileStream(int fd, const char* path) {
  PosixFile* f = memNew(PosixFile);
  f->fd = fd;
  f->path = memStrDup(path);
  return iosNewLevel(f, &osFileStreamOps);
}

}  // namespace

const IoStreamOps osFileStreamOps = {
    .name = "PosixFile",
    .read = fileRead,
    .write = fileWrite,
    .close = fileClose,
    .seek = fileSeek,
    .flush = fileFlush,
    .getseek = fileGetSeek,
    .preallocate = filePreallocate,
};

IoStream* posixFileStream(int fd, const char* path) { return newFileStream(fd, path); }

int posixFileDescriptor(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  return level ? static_cast<PosixFile*>(level->state)->fd : -1;
}

IoStream* osFileOpen(const char* path, uint32_t mode, uint32_t fileType, const char* rights, bool share, bool quiet) {
  (void)rights;
  (void)share;
  if (!path || mode >= osFileModeCount) {
    if (!quiet) logError(logCatFile, "Cannot open file '%s' for mode %u\n", path ? path : "<null>", (unsigned)mode);
    return nullptr;
  }
  const int std = fileStandardStreamOf(path, mode);
  if (std >= 0) {
    static const char* const what[3] = {"stdin", "stdout", "stderr"};
    const int fd = fcntl(std, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
      osErrorReport(logCatFile, (uint32_t)errno, "Duplicating %s file descriptor failed", what[std]);
      return nullptr;
    }
    IoStream* s = newFileStream(fd, path);
    PosixFile* f = static_cast<PosixFile*>(s->state);
    f->standard = 1;
    f->input = std == 0;
    return s;
  }
  const bool creates =
      mode == osFileModeReadWrite || mode == osFileModeWrite || mode == osFileModeAppend || mode == osFileModeCreateNew;
  mode_t perm = 0666;
  if (creates && !quiet) {
    if (fileType >= osFileTypeCount || fileType == 6) {
      logError(logCatFile, "Internal: osFileCreate() unhandled fileType %d\n", (int)fileType);
      return nullptr;
    }
    if (fileType != osFileTypePlain && fileType != osFileTypeLog && fileType != osFileTypeExtracted &&
        fileType != osFileTypeArchive)
      perm = 0600;
  }
  // A log is appended to as a file of its own, never through a link; a
  // pipe with no reader fails the open instead of holding the run up.
  // Reading never waits for a pipe's writer either: pipes are refused.
  const bool log = mode == osFileModeAppend && fileType == osFileTypeLog;
  const bool reads = quiet || mode == osFileModeRead;
  const int flags =
      quiet ? O_RDONLY | O_NONBLOCK : modeFlags[mode] | (log ? O_NOFOLLOW | O_NONBLOCK : 0) | (reads ? O_NONBLOCK : 0);
  const int fd = posixSys.open(path, flags, perm);
  logTrace(logCatFile, "OpenFile('%s',%x,%x,%x,%x)=%d\n", path, (unsigned)flags, (unsigned)perm, (unsigned)mode,
           (unsigned)fileType, fd);
  if (fd < 0) {
    const int err = errno;
    if (!quiet) {
      osErrorReport(logCatFile, (uint32_t)err, "Cannot open file '%s' for %s", path, fileModeWords[mode]);
      struct stat st;
      if ((err == ENOENT || err == EACCES || err == ENOTDIR) && posixSys.stat(path, &st) != 0)
        osDirDiagnoseAccess(path, mode != osFileModeRead);
    }
    errno = err;
    return nullptr;
  }
  struct stat st = {};
  const bool known = (log || reads) && posixSys.fstat(fd, &st) == 0;
  if (known && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
    // A pipe put at a file's name would hand what is written to whoever
    // reads it, or hold the reader up until someone writes.
    if (!quiet)
      logError(logCatFile, "Cannot open file '%s' for %s: it is a pipe, not a file\n", path, fileModeWords[mode]);
    posixSys.close(fd);
    errno = EINVAL;
    return nullptr;
  }
  if (log && !quiet && (!known || st.st_nlink > 1)) {
    logError(logCatFile, "Cannot open file '%s' for %s: it is not a file of its own (a hard link)\n", path,
             fileModeWords[mode]);
    posixSys.close(fd);
    errno = EMLINK;
    return nullptr;
  }
  const int fl = log || reads ? fcntl(fd, F_GETFL) : 0;
  if (fl < 0 || ((log || reads) && fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0))
    logWarn(logCatFile, "Writes to '%s' may not wait for a slow reader: %s\n", path,
            osErrorText(nullptr, (uint32_t)errno));
  IoStream* s = newFileStream(fd, path);
  if (log && st.st_size == 0) static_cast<PosixFile*>(s->state)->bom = 1;
  return s;
}

bool filePrimIsConsole(int std) { return isatty(std) == 1; }

uint32_t filePrimConsoleColumns(int std) {
  struct winsize size;
  if (ioctl(std, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int osFileDeleteEx(const char* path, StringBuffer* reason, uint32_t flags) {
  (void)flags;  // no delete at reboot on POSIX
  int err = 0;
  uint32_t wait = fileRetryFirstWait;
  for (int attempt = 1; attempt <= 20; attempt++) {
    if (posixSys.unlink(path) == 0) {
      logDebug(logCatFile, "Deleted file %s\n", path);
      return 0;
    }
    err = errno;
    logTrace(logCatFile, "delete file %s: %d\n", path, err);
    if (err == ENOENT || err == ENOTDIR) {
      logDebug(logCatFile, "Ignore delete file %s that was already deleted: %d\n", path, err);
      return 0;
    }
    if ((err == EACCES || err == EPERM) && attempt == 1) {
      struct stat st;
      if (posixSys.lstat(path, &st) == 0 && !S_ISLNK(st.st_mode)) posixSys.chmod(path, st.st_mode | S_IWUSR);
      continue;
    }
    if (err != EBUSY && err != ETXTBSY) break;
    if (attempt == 20 || (attempt > 5 && osStopRequested())) break;
    fileRetryWait(&wait);
  }
  const char* text = osErrorText(nullptr, (uint32_t)err);
  logDebug(logCatFile, "Unable to delete file %s: %d = %s\n", path, err, text);
  if (reason) sbAppendString(reason, text);
  return -1;
}

namespace {

// Copies a file to a new name that must not exist yet, keeping its
// permission bits and times, and flushes the copy. On failure the new name
// is removed again; errno tells the reason.
int copyFile(const char* from, const char* to) {
  struct stat st;
  if (posixSys.stat(from, &st) != 0) return -1;
  const int in = posixSys.open(from, O_RDONLY, 0);
  if (in < 0) return -1;
  const int out = posixSys.open(to, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0777);
  if (out < 0) {
    const int e = errno;
    posixSys.close(in);
    errno = e;
    return -1;
  }
  char* buf = static_cast<char*>(memAlloc(65536));
  int rc = 0;
  for (;;) {
    const ssize_t n = posixSys.read(in, buf, 65536);
    if (n <= 0) {
      rc = n < 0 ? -1 : 0;
      break;
    }
    ssize_t done = 0;
    while (done < n) {
      const ssize_t w = posixSys.write(out, buf + done, (size_t)(n - done));
      if (w <= 0) break;
      done += w;
    }
    if (done < n) {
      rc = -1;
      break;
    }
  }
  if (rc == 0 && posixSys.fsync(out) != 0) rc = -1;
  int e = errno;
  memFree(buf);
  posixSys.close(in);
  if (posixSys.close(out) != 0 && rc == 0) {
    rc = -1;
    e = errno;
  }
  if (rc == 0) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    posixSys.utimens(to, times);
  } else {
    ::unlink(to);
  }
  errno = e;
  return rc;
}

// A move across file systems: copy to a temporary name in the target's
// directory, remove the source, rename the copy into place. Until the source
// is gone a failure removes the copy; after it, a failed rename keeps the
// copy under its temporary name and says so.
int moveAcross(const char* from, const char* to) {
  StringBuffer temp;
  sbInitHere(&temp);
  sbPrintf(&temp, "%s.%d-move.tmp", to, (int)getpid());
  const char* copy = sbGet(&temp);
  int rc = copyFile(from, copy);
  if (rc == 0 && posixSys.unlink(from) != 0) {
    const int e = errno;
    ::unlink(copy);
    errno = e;
    rc = -1;
  } else if (rc == 0 && posixSys.rename(copy, to) != 0) {
    const int e = errno;
    logError(logCatFile, "The data of %s is kept in %s\n", from, copy);
    errno = e;
    rc = -1;
  }
  sbClean(&temp);
  return rc;
}

}  // namespace

int osFileMoveNoReplace(const char* from, const char* to) {
  if (posixSys.renameNoReplace(from, to) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot move %s to %s", from, to);
    return -1;
  }
  logDebug(logCatFile, "Moved file '%s' to '%s'\n", from, to);
  return 0;
}

int osFileMove(const char* from, const char* to) {
  int rc = posixSys.rename(from, to);
  if (rc != 0 && errno == EXDEV) rc = moveAcross(from, to);
  if (rc != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot move %s to %s", from, to);
    return -1;
  }
  logDebug(logCatFile, "Moved file '%s' to '%s'\n", from, to);
  return 0;
}

// The group and other bits the process's umask takes away, read once (the
// start-up asks before the program's other threads exist).
mode_t posixUmaskBits() {
  static const mode_t bits = [] {
    const mode_t m = umask(022);
    umask(m);
    return (mode_t)(m & 077);
  }();
  return bits;
}

namespace {

// The permission bits an attribute word gives a file whose bits are now
// `current`: the Unix mode when there is one, else the DOS read-only bit
// applied to the current bits. Either way the process's umask applies to
// the group and other bits, and others never get write access (whoever
// runs the installer, often an administrator, would own files anyone may
// change, the installer script among them).
mode_t modeFor(uint32_t attributes, mode_t current) {
  const uint32_t unixMode = attributes >> 16;
  const mode_t keep = (mode_t)(~posixUmaskBits() & ~S_IWOTH);
  if (unixMode != 0) return (mode_t)(unixMode & 0777 & keep);
  const mode_t mode = current & 0777;
  return (mode_t)(((attributes & 1) ? (mode & ~0222) : (mode | S_IWUSR)) & keep);
}

}  // namespace

int osFileSetAttributes(const char* path, uint32_t attributes) {
  struct stat st = {};
  if (((attributes >> 16) == 0 && posixSys.stat(path, &st) != 0) ||
      posixSys.chmod(path, modeFor(attributes, st.st_mode)) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot set file attribute on %s", path);
    return -1;
  }
  return 0;
}

namespace {

struct timespec toTimespec(int64_t ms) {
  int64_t sec = ms / 1000, rem = ms % 1000;
  if (rem < 0) sec--, rem += 1000;
  return {(time_t)sec, (long)(rem * 1000000)};
}

uint64_t fromTimespec(const struct timespec& ts) {
  return (uint64_t)((int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

}  // namespace

int osFileSetTimes(const char* path, int64_t modification, int64_t access, int64_t creation) {
  (void)creation;
  struct timespec times[2] = {toTimespec(access), toTimespec(modification)};
  if (posixSys.utimens(path, times) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot set filetime of file '%s'", path);
    return -1;
  }
  if (logGate(logCatFile, logLevelDebug)) {
    char buf[70];
    logDebugFunc(logCatFile, "Set mtime of %s to %s\n", path,
                 osDateFormatLocal((uint64_t)modification, buf, osDateFmtIsoSpaceMillis));
    logDebugFunc(logCatFile, "Set atime of %s to %s\n", path,
                 osDateFormatLocal((uint64_t)access, buf, osDateFmtIsoSpaceMillis));
  }
  return 0;
}

int osFileGetInfo(const char* path, uint64_t* size, uint64_t* modification, uint64_t* access, bool* isDirectory,
                  StringBuffer* owner, StringBuffer* permissions, StringBuffer* reason) {
  struct stat st;
  if (!path || posixSys.stat(path, &st) != 0) {
    if (reason) sbAppendString(reason, osErrorText(nullptr, path ? (uint32_t)errno : (uint32_t)EINVAL));
    return -1;
  }
  if (size) *size = (uint64_t)st.st_size;
  if (modification) *modification = fromTimespec(st.st_mtim);
  if (access) *access = fromTimespec(st.st_atim);
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  if (owner) {
    struct passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &found) == 0 && found)
      sbAppendString(owner, found->pw_name);
    else
      sbPrintf(owner, "%u", (unsigned)st.st_uid);
  }
  if (permissions) {
    const char* letters = "rwxrwxrwx";
    char rwx[11];
    rwx[0] = S_ISDIR(st.st_mode) ? 'd' : '-';
    for (int i = 0; i < 9; i++) rwx[i + 1] = (st.st_mode & (0400 >> i)) ? letters[i] : '-';
    rwx[10] = 0;
    const char* base = nullptr;
    osPathSplit(path, nullptr, nullptr, &base, nullptr, nullptr, nullptr);
    sbPrintf(permissions, "%s (%s%s%s%s)", rwx, (st.st_mode & S_IWUSR) ? "" : "Readonly ",
             base && base[0] == '.' ? "Hidden " : "", S_ISDIR(st.st_mode) ? "Directory " : "",
             S_ISREG(st.st_mode) ? "Normal " : "");
  }
  return 0;
}

int osFileGetSize(const char* path, uint64_t* size) {
  struct stat st;
  if (posixSys.stat(path, &st) != 0) {
    logTrace(logCatFile, "filesize of non-present file %s is unknown\n", path);
    return -1;
  }
  *size = (uint64_t)st.st_size;
  return 0;
}

bool osFileIsPresent(const char* path) {
  struct stat st;
  if (!path || posixSys.stat(path, &st) != 0) {
    logTrace(logCatFile, "file %s is not present\n", path ? path : "<null>");
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    logTrace(logCatFile, "file %s is a directory, not a file\n", path);
    return false;
  }
  return true;
}

bool osIsFileDirectory(const char* path) {
  struct stat st;
  if (!path || posixSys.stat(path, &st) != 0) {
    logTrace(logCatFile, "directory %s is not present\n", path ? path : "<null>");
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    logTrace(logCatFile, "file %s is not a directory\n", path);
    return false;
  }
  return true;
}

char* osFileFullPath(const char* path) {
  char* out = nullptr;
  char* cwd = osDirGetCwd();
  if (!path || !cwd || osPathResolve(osPathStyleNative, cwd, path, &out) != 0) {
    osErrorReport(logCatFile, (uint32_t)(errno ? errno : EINVAL), "Unable to get pathname of %s",
                  path ? path : "<null>");
    memFree(cwd);
    return nullptr;
  }
  memFree(cwd);
  logDebug(logCatFile, "Path is now '%s'\n", out);
  return out;
}

int osFileCreateSymlink(const char* target, const char* link, StringBuffer* reason) {
  if (posixSys.symlink(target, link) != 0) {
    if (reason)
      sbAppendString(reason, osErrorText(nullptr, (uint32_t)errno));
    else
      osErrorReport(logCatFile, (uint32_t)errno, "Cannot create symlink %s -> %s", link, target);
    return -1;
  }
  logDebug(logCatFile, "new symlink %s -> %s\n", link, target);
  return 0;
}

int osFileRedirectStdHandles(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  const PosixFile* f = static_cast<const PosixFile*>(level->state);
  if (dup2(f->fd, 1) < 0 || dup2(f->fd, 2) < 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot redirect standard handles");
    return -1;
  }
  return 0;
}

int osFileKindOf(const char* path) {
  struct stat st;
  if (!path || posixSys.lstat(path, &st) != 0) return -1;
  if (S_ISLNK(st.st_mode)) return osDirEntrySymlink;
  if (S_ISDIR(st.st_mode)) return osDirEntryDirectory;
  return S_ISREG(st.st_mode) ? osDirEntryFile : osDirEntryOther;
}

namespace {

// Where the object path opens really is, as the system names the open
// descriptor (one query, where /proc shows descriptors); a new string, or
// null when the system cannot say (the caller then walks the path).
char* nameOfWhatOpens(const char* path) {
#ifdef O_PATH
  const int fd = ::open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return nullptr;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char* name = static_cast<char*>(::malloc(PATH_MAX + 1));
  const ssize_t n = name ? ::readlink(link, name, PATH_MAX + 1) : -1;
  ::close(fd);
  // Not an absolute name that fits, or one the system marks as removed
  // meanwhile (" (deleted)"): left to the walk.
  static const char deleted[] = " (deleted)";
  const size_t mark = sizeof deleted - 1;
  if (n <= 0 || n > PATH_MAX || name[0] != '/' || ((size_t)n >= mark && memcmp(name + n - mark, deleted, mark) == 0)) {
    ::free(name);
    return nullptr;
  }
  name[n] = 0;
  return name;
#else
  (void)path;
  return nullptr;
#endif
}

}  // namespace

int osFileResolveLinks(const char* path, char** out) {
  *out = nullptr;
  // A read-only query, so it goes to the C library directly: the name of
  // what the path opens, else realpath, which asks about every component.
  char* real = path ? nameOfWhatOpens(path) : nullptr;
  if (!real && path) real = ::realpath(path, nullptr);
  if (!real) {
    osErrorReport(logCatFile, (uint32_t)(path ? errno : EINVAL), "Cannot resolve the links in %s",
                  path ? path : "<null>");
    return -1;
  }
  *out = memStrDup(real);
  ::free(real);
  return 0;
}

int osFileStreamSetAttributes(IoStream* stream, uint32_t attributes) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  const PosixFile* f = static_cast<PosixFile*>(level->state);
  struct stat st = {};
  if (((attributes >> 16) == 0 && posixSys.fstat(f->fd, &st) != 0) ||
      posixSys.fchmod(f->fd, modeFor(attributes, st.st_mode)) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot set file attribute on %s", f->path);
    return -1;
  }
  return 0;
}

int osFileStreamIsAt(IoStream* stream, const char* path) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  struct stat open = {}, named = {};
  if (!level || posixSys.fstat(static_cast<PosixFile*>(level->state)->fd, &open) != 0) return -1;
  if (posixSys.lstat(path, &named) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  return S_ISREG(named.st_mode) && named.st_dev == open.st_dev && named.st_ino == open.st_ino ? 1 : 0;
}

bool osFileStreamOwnerTrusted(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  struct stat st = {};
  if (!level || posixSys.fstat(static_cast<PosixFile*>(level->state)->fd, &st) != 0) return false;
  return st.st_uid == 0 || st.st_uid == geteuid();
}

int osFileLinkOwnerTrusted(const char* path) {
  struct stat st;
  if (posixSys.lstat(path, &st) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot tell who made the link %s", path);
    return -1;
  }
  return st.st_uid == 0 || st.st_uid == geteuid() ? 1 : 0;
}

int osFileLinkLeadsTo(const char* link, char** to) {
  *to = nullptr;
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, target, sizeof target);  // a read-only query, like osFileResolveLinks
  if (n <= 0 || (size_t)n >= sizeof target) {
    osErrorReport(logCatFile, (uint32_t)(n < 0 ? errno : ENAMETOOLONG), "Cannot read the link %s", link);
    return -1;
  }
  target[n] = 0;
  char* dir = nullptr;
  if (target[0] != '/' && osPathParent(osPathStylePosix, link, &dir) != 0) {
    logError(logCatFile, "Cannot read the link %s: it has no directory\n", link);
    return -1;
  }
  StringBuffer way;
  sbInitHere(&way);
  const int rc = sbPrintf(&way, "%s%s%s", dir ? dir : "", dir ? "/" : "", target);
  if (rc == 0) *to = memStrDup(sbGet(&way));
  sbClean(&way);
  memFree(dir);
  return rc;
}

int osFileIsTrusted(const char* path) {
  struct stat st;
  if (posixSys.lstat(path, &st) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot judge who may change %s", path);
    return -1;
  }
  if (!S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    logWarn(logCatFile, "%s can be changed by another user, or is no plain file (owner %u, mode %06o)\n", path,
            (unsigned)st.st_uid, (unsigned)st.st_mode);
    return 0;
  }
  const char* slash = strrchr(path, '/');
  char* dir = slash ? memStrDupN(path, slash == path ? 1 : (size_t)(slash - path)) : memStrDup(".");
  char* real = nullptr;
  const int rc = osDirRealPath(nullptr, dir, &real) == 0 ? osDirIsTrusted(real) : -1;
  memFree(real);
  memFree(dir);
  return rc;
}

int osFileStreamSetTimes(IoStream* stream, int64_t modification, int64_t access, int64_t creation) {
  (void)creation;
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  const PosixFile* f = static_cast<PosixFile*>(level->state);
  const struct timespec times[2] = {toTimespec(access), toTimespec(modification)};
  if (posixSys.futimens(f->fd, times) != 0) {
    osErrorReport(logCatFile, (uint32_t)errno, "Cannot set filetime of file '%s'", f->path);
    return -1;
  }
  return 0;
}

int osFileDeferFlush(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  static_cast<PosixFile*>(level->state)->deferFlush = 1;
  return 0;
}

namespace {

// Length of the directory part of path (up to its last "/"), or 0.
size_t parentLength(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? (size_t)(slash - path) : 0;
}

// Opens the directory that holds path (the current one for a bare name).
int openParent(const char* path) {
  const size_t n = parentLength(path);
  char* dir = n ? memStrDupN(path, n) : memStrDup(path[0] == '/' ? "/" : ".");
  const int fd = posixSys.open(dir, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) osErrorReport(logCatFile, (uint32_t)errno, "Cannot open directory %s to flush it", dir);
  memFree(dir);
  return fd;
}

// True when path has the same parent as prev (null: no previous path).
bool sameParent(const char* prev, const char* path) {
  const size_t n = parentLength(path);
  return prev && parentLength(prev) == n && strncmp(prev, path, n) == 0;
}

// fsync of fd; the errors of descriptors that cannot be flushed count as done.
int syncOne(int fd, const char* path) {
  if (posixSys.fsync(fd) == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP) return 0;
  osErrorReport(logCatFile, (uint32_t)errno, "Cannot flush file %s", path);
  return -1;
}

// Without syncfs: each file by name (links are not followed, their
// directory holds them), then each directory that names one.
int syncEach(const OsSyncBatch* batch) {
  int rc = 0;
  for (uint32_t i = 0; i < batch->count; i++) {
    const char* path = batch->paths[i];
    const int fd = posixSys.open(path, O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) {
      if (errno == ELOOP) continue;
      osErrorReport(logCatFile, (uint32_t)errno, "Cannot open file '%s' for %s", path, "reading");
      rc = -1;
      continue;
    }
    if (syncOne(fd, path) != 0) rc = -1;
    posixSys.close(fd);
  }
  for (uint32_t i = 0; i < batch->count; i++) {
    if (i > 0 && sameParent(batch->paths[i - 1], batch->paths[i])) continue;
    const int fd = openParent(batch->paths[i]);
    if (fd < 0 || syncOne(fd, batch->paths[i]) != 0) rc = -1;
    if (fd >= 0) posixSys.close(fd);
  }
  return rc;
}

}  // namespace

int osSyncBatchFlush(OsSyncBatch* batch) {
  int rc = 0;
  bool fallback = false;
  dev_t synced[8];
  uint32_t syncedCount = 0;
  // One syncfs per file system; the directories of consecutive paths are
  // mostly the same, so few are opened.
  for (uint32_t i = 0; i < batch->count && !fallback; i++) {
    if (i > 0 && sameParent(batch->paths[i - 1], batch->paths[i])) continue;
    const int fd = openParent(batch->paths[i]);
    if (fd < 0) {
      rc = -1;
      continue;
    }
    struct stat st {};
    bool seen = false;
    if (fstat(fd, &st) == 0)
      for (uint32_t k = 0; k < syncedCount; k++) seen = seen || synced[k] == st.st_dev;
    if (!seen && posixSys.syncfs(fd) != 0) {
      if (errno == ENOSYS)
        fallback = true;
      else {
        osErrorReport(logCatFile, (uint32_t)errno, "Cannot flush the file system of %s", batch->paths[i]);
        rc = -1;
      }
    } else if (!seen && syncedCount < 8) {
      synced[syncedCount++] = st.st_dev;
    }
    posixSys.close(fd);
  }
  if (fallback) rc = syncEach(batch);
  if (batch->count) logDebug(logCatFile, "Flushed %u files in one batch\n", batch->count);
  osSyncBatchClear(batch);
  return rc;
}
