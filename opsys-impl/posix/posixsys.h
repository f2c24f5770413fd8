// Private to the POSIX backend: the file-system calls of the file and
// directory layer, reached through one replaceable table. Each default entry
// passes the fault-injection counter (ostest.h) before making the real call,
// so a test can fail the n-th call; a test may also put its own function in
// a slot and restore the saved table afterwards.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "compiler.h"

struct PosixSyscalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buf, size_t len);
  ssize_t (*write)(int fd, const void* buf, size_t len);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*fsync)(int fd);
  int (*fallocate)(int fd, off_t offset, off_t len);  // returns an error number like posix_fallocate
  int (*unlink)(const char* path);
  int (*rename)(const char* from, const char* to);
  int (*renameNoReplace)(const char* from, const char* to);  // EEXIST when `to` exists
  int (*chmod)(const char* path, mode_t mode);
  int (*stat)(const char* path, struct stat* st);
  int (*lstat)(const char* path, struct stat* st);
  int (*utimens)(const char* path, const struct timespec times[2]);
  int (*mkdir)(const char* path, mode_t mode);
  int (*rmdir)(const char* path);
  DIR* (*opendir)(const char* path);
  int (*symlink)(const char* target, const char* link);
  int (*syncfs)(int fd);  // ENOSYS where the system has no such call
  int (*fchmod)(int fd, mode_t mode);
  int (*fstat)(int fd, struct stat* st);
  int (*futimens)(int fd, const struct timespec times[2]);
  // The same calls on names inside an open directory (osdirhandle.h).
  int (*openat)(int dirfd, const char* name, int flags, mode_t mode);
  int (*fstatat)(int dirfd, const char* name, struct stat* st, int flags);
  // fstatat (fstat of dirfd itself for an empty name) that also gives the
  // file's birth time, the generation of its identity (0 where not kept).
  int (*statBirth)(int dirfd, const char* name, int flags, struct stat* st, uint64_t* birth);
  int (*renameatNoReplace)(int dirfd, const char* from, const char* to);  // EEXIST when `to` exists
  int (*unlinkat)(int dirfd, const char* name, int flags);
  int (*mkdirat)(int dirfd, const char* name, mode_t mode);
  // Opens the directory `path` below dirfd in one call, refusing a link
  // anywhere on the way (openat2 with RESOLVE_NO_SYMLINKS). ENOSYS where
  // the system cannot; its fault name is "openat".
  int (*openDirBeneath)(int dirfd, const char* path);
};

// The table the backend calls through; tests may replace entries.
extern PosixSyscalls posixSys;
// The defaults, for restoring after a test.
extern const PosixSyscalls posixSysDefault;

struct IoStream;
// A file stream over the descriptor fd, named path in messages (file.cpp).
IoStream* posixFileStream(int fd, const char* path);
// The descriptor under the file level of stream, or -1 (logged) when it has
// none.
int posixFileDescriptor(IoStream* stream);
// The group and other bits the process's umask takes away from the modes
// archives give (read once; the start-up asks before other threads exist).
mode_t posixUmaskBits();
// True when `name` below dirfd (a directory or a file, never followed) is
// where a file system, or a directory or file bound there, is mounted:
// what it shows lies elsewhere. parent, when given, is dirfd's own status
// (a device other than its parent's tells where the mount flag is not
// known) (dir.cpp).
bool posixIsMountRoot(int dirfd, const char* name, const struct stat* parent);
