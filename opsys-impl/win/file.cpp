// Windows backend only: files as "WindowsFile" IoStreams and the file-level
// operations, through UTF-16 paths with the long-path rule.
#include <aclapi.h>
#include <sddl.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

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
#include "stringbuf.h"
#include "winsupport.h"

// ---- The system-call table ----

namespace {

#define SFX_FAULT_OR(call, failValue)        \
  if (uint32_t e = osTestCheckFault(call)) { \
    SetLastError(e);                         \
    return failValue;                        \
  }

HANDLE WINAPI sysCreateFile(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f, HANDLE t) {
  SFX_FAULT_OR("createFile", INVALID_HANDLE_VALUE);
  return CreateFileW(p, a, s, sa, c, f, t);
}
BOOL WINAPI sysReadFile(HANDLE h, LPVOID b, DWORD n, LPDWORD got, LPOVERLAPPED o) {
  SFX_FAULT_OR("readFile", FALSE);
  return ReadFile(h, b, n, got, o);
}
BOOL WINAPI sysWriteFile(HANDLE h, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED o) {
  SFX_FAULT_OR("writeFile", FALSE);
  return WriteFile(h, b, n, done, o);
}
// A failed injected close still closes the handle, so nothing leaks.
BOOL WINAPI sysCloseHandle(HANDLE h) {
  const uint32_t e = osTestCheckFault("closeHandle");
  const BOOL ok = CloseHandle(h);
  if (e) {
    SetLastError(e);
    return FALSE;
  }
  return ok;
}
BOOL WINAPI sysSetFilePointerEx(HANDLE h, LARGE_INTEGER d, PLARGE_INTEGER n, DWORD m) {
  SFX_FAULT_OR("setFilePointerEx", FALSE);
  return SetFilePointerEx(h, d, n, m);
}
BOOL WINAPI sysFlushFileBuffers(HANDLE h) {
  SFX_FAULT_OR("flushFileBuffers", FALSE);
  return FlushFileBuffers(h);
}
BOOL WINAPI sysSetEndOfFile(HANDLE h) {
  SFX_FAULT_OR("setEndOfFile", FALSE);
  return SetEndOfFile(h);
}
BOOL WINAPI sysDeleteFile(LPCWSTR p) {
  SFX_FAULT_OR("deleteFile", FALSE);
  return DeleteFileW(p);
}
BOOL WINAPI sysMoveFileEx(LPCWSTR a, LPCWSTR b, DWORD f) {
  SFX_FAULT_OR("moveFileEx", FALSE);
  return MoveFileExW(a, b, f);
}
BOOL WINAPI sysSetFileAttributes(LPCWSTR p, DWORD a) {
  SFX_FAULT_OR("setFileAttributes", FALSE);
  return SetFileAttributesW(p, a);
}
BOOL WINAPI sysGetFileAttributesEx(LPCWSTR p, GET_FILEEX_INFO_LEVELS l, LPVOID d) {
  SFX_FAULT_OR("getFileAttributesEx", FALSE);
  return GetFileAttributesExW(p, l, d);
}
BOOL WINAPI sysSetFileTime(HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* m) {
  SFX_FAULT_OR("setFileTime", FALSE);
  return SetFileTime(h, c, a, m);
}
BOOL WINAPI sysSetFileInformationByHandle(HANDLE h, FILE_INFO_BY_HANDLE_CLASS c, LPVOID info, DWORD size) {
  SFX_FAULT_OR("setFileInformationByHandle", FALSE);
  return SetFileInformationByHandle(h, c, info, size);
}
BOOL WINAPI sysCreateDirectory(LPCWSTR p, LPSECURITY_ATTRIBUTES sa) {
  SFX_FAULT_OR("createDirectory", FALSE);
  return CreateDirectoryW(p, sa);
}
BOOL WINAPI sysRemoveDirectory(LPCWSTR p) {
  SFX_FAULT_OR("removeDirectory", FALSE);
  return RemoveDirectoryW(p);
}
HANDLE WINAPI sysFindFirstFile(LPCWSTR p, LPWIN32_FIND_DATAW d) {
  SFX_FAULT_OR("findFirstFile", INVALID_HANDLE_VALUE);
  return FindFirstFileW(p, d);
}

#undef SFX_FAULT_OR

}  // namespace

const WinSyscalls winSysDefault = {
    .createFile = sysCreateFile,
    .readFile = sysReadFile,
    .writeFile = sysWriteFile,
    .closeHandle = sysCloseHandle,
    .setFilePointerEx = sysSetFilePointerEx,
    .flushFileBuffers = sysFlushFileBuffers,
    .setEndOfFile = sysSetEndOfFile,
    .deleteFile = sysDeleteFile,
    .moveFileEx = sysMoveFileEx,
    .setFileAttributes = sysSetFileAttributes,
    .getFileAttributesEx = sysGetFileAttributesEx,
    .setFileTime = sysSetFileTime,
    .createDirectory = sysCreateDirectory,
    .removeDirectory = sysRemoveDirectory,
    .findFirstFile = sysFindFirstFile,
    .setFileInformationByHandle = sysSetFileInformationByHandle,
};
static_assert(sizeof(WinSyscalls) == 16 * sizeof(void*), "one slot per call");

WinSyscalls winSys = winSysDefault;

// ---- The file stream ----

namespace {

// State of one open file.
struct WindowsFile {
  HANDLE handle;        // the file; INVALID_HANDLE_VALUE for a standard stream taken at first use
  char* path;           // owned copy of the name it was opened with
  uint8_t input;        // a standard input stream
  uint8_t standard;     // one of the process's standard streams
  uint8_t bom;          // write the UTF-8 byte-order mark before the next write
  uint8_t stdError;     // the deferred standard handle is standard error
  uint8_t deferFlush;   // flushes are left to a batch (osFileDeferFlush)
  uint32_t readCount;   // successful read calls
  uint32_t writeCount;  // successful write calls
  uint64_t bytesRead;
  uint64_t bytesWritten;
};

const DWORD modeAccess[osFileModeCount] = {
    GENERIC_READ | GENERIC_WRITE,
    GENERIC_READ | GENERIC_WRITE,
    GENERIC_READ,
    GENERIC_WRITE,
    FILE_APPEND_DATA | SYNCHRONIZE,
    GENERIC_READ,
    GENERIC_WRITE | DELETE,  // a new file may be moved or deleted through its handle
    GENERIC_READ};
// CREATE_NEW fails on any existing name, a link or junction included: it is
// never followed.
const DWORD modeDisposition[osFileModeCount] = {OPEN_ALWAYS, OPEN_EXISTING, OPEN_EXISTING, CREATE_ALWAYS,
                                                OPEN_ALWAYS, OPEN_EXISTING, CREATE_NEW,    OPEN_EXISTING};
const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Read without writers: others may read, rename or delete the file (the
// open handle keeps its data), but not change it.
const DWORD modeShare[osFileModeCount] = {shareAll,        shareAll,        shareAll,
                                          FILE_SHARE_READ, FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          FILE_SHARE_READ, FILE_SHARE_READ};
static_assert(SFX_ARRAY_SIZE(modeShare) == osFileModeCount);

const unsigned char utf8Bom[3] = {0xEF, 0xBB, 0xBF};

// A standard stream opened without a console gets one at first use.
bool takeDeferredHandle(WindowsFile* f) {
  if (f->handle != INVALID_HANDLE_VALUE) return true;
  winAllocConsole();
  const DWORD which = f->input ? STD_INPUT_HANDLE : f->stdError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  HANDLE h = GetStdHandle(which), dup = INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE || !h ||
      !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot take standard handle for %s", f->path);
    return false;
  }
  f->handle = dup;
  return true;
}

int fileRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  WindowsFile* f = static_cast<WindowsFile*>(level->state);
  if (f->standard && !takeDeferredHandle(f)) return -1;
  DWORD n = 0;
  if (!winSys.readFile(f->handle, buf, len, &n, nullptr)) {
    const DWORD err = GetLastError();
    if (err == ERROR_BROKEN_PIPE) {
      *got = 0;
      return 0;
    }
    osErrorReport(logCatFile, err, "Cannot read");
    logTrace(logCatFile, "ReadFile error=%u\n", (unsigned)err);
    return -1;
  }
  f->readCount++;
  f->bytesRead += n;
  *got = n;
  return 0;
}

int writeRaw(WindowsFile* f, const void* buf, uint32_t len, uint32_t* written) {
  DWORD n = 0;
  if (!winSys.writeFile(f->handle, buf, len, &n, nullptr)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot write");
    return -1;
  }
  f->writeCount++;
  f->bytesWritten += n;
  if (written) *written = n;
  return 0;
}

int fileWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  WindowsFile* f = static_cast<WindowsFile*>(state);
  if (f->standard && !takeDeferredHandle(f)) return -1;
  if (f->bom) {
    f->bom = 0;
    uint32_t done = 0;
    if (writeRaw(f, utf8Bom, sizeof utf8Bom, &done) != 0 || done != sizeof utf8Bom) return -1;
  }
  return writeRaw(f, buf, len, written);
}

int fileClose(void* state) {
  WindowsFile* f = static_cast<WindowsFile*>(state);
  int rc = 0;
  fileCloseDelay();
  if (f->handle != INVALID_HANDLE_VALUE && !winSys.closeHandle(f->handle)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot close file handle %d to %s", (int)(intptr_t)f->handle, f->path);
    rc = -1;
  } else {
    fileLogClosed(f->path, f->bytesRead, f->readCount, f->bytesWritten, f->writeCount);
  }
  memFree(f->path);
  memFree(f);
  return rc;
}

bool moveTo(HANDLE h, uint64_t offset, uint64_t* now) {
  LARGE_INTEGER d, n;
  d.QuadPart = (LONGLONG)offset;
  if (!winSys.setFilePointerEx(h, d, &n, FILE_BEGIN)) return false;
  if (now) *now = (uint64_t)n.QuadPart;
  return true;
}

bool currentPosition(HANDLE h, uint64_t* pos) {
  LARGE_INTEGER d, n;
  d.QuadPart = 0;
  if (!winSys.setFilePointerEx(h, d, &n, FILE_CURRENT)) return false;
  *pos = (uint64_t)n.QuadPart;
  return true;
}

int fileSeek(void* state, uint64_t offset) {
  WindowsFile* f = static_cast<WindowsFile*>(state);
  return moveTo(f->handle, offset, nullptr) ? 0 : -1;
}

int fileFlush(void* state) {
  WindowsFile* f = static_cast<WindowsFile*>(state);
  if (f->handle == INVALID_HANDLE_VALUE || f->deferFlush) return 0;
  // Pipes and consoles deliver every write at once; only disk files have
  // buffers to flush (and pipes refuse the call under some systems).
  if (GetFileType(f->handle) != FILE_TYPE_DISK) return 0;
  if (winSys.flushFileBuffers(f->handle)) return 0;
  const DWORD err = GetLastError();
  if (err == 0 || err == ERROR_INVALID_HANDLE || err == ERROR_WRITE_PROTECT) return 0;
  osErrorReport(logCatFile, err, "Cannot flush file %s", f->path);
  return -1;
}

int fileGetSeek(void* state, uint64_t* pos) {
  WindowsFile* f = static_cast<WindowsFile*>(state);
  if (!currentPosition(f->handle, pos)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot retrieve current position for %s", f->path);
    return -1;
  }
  return 0;
}

// Sets the file's size ahead of writing so that a full disk shows before
// any data is written; small files are not worth it.
int filePreallocate(IoStream* level, uint64_t size) {
  WindowsFile* f = static_cast<WindowsFile*>(level->state);
  if (size < 1048576) return 0;
  uint64_t here = 0;
  if (!currentPosition(f->handle, &here)) {
    osErrorReport(logCatFile, GetLastError(), "Can determine current size of '%s'", f->path);
    logWarn(logCatFile, "Unable to determine if there is enough disk space to grow file '%s' to %" PRIu64 " bytes\n",
            f->path, size);
    return 0;
  }
  if (moveTo(f->handle, size, nullptr) && winSys.setEndOfFile(f->handle))
    return moveTo(f->handle, here, nullptr) ? 0 : -1;
  const DWORD err = GetLastError();
  if (err == ERROR_DISK_FULL) {
    moveTo(f->handle, here, nullptr);
    logError(logCatFile, "Insufficient diskspace to store %" PRIu64 " bytes for file '%s'\n", size, f->path);
    return -1;
  }
  osErrorReport(logCatFile, err, "Unexpected error when trying to set file '%s' to size %" PRIu64 " bytes", f->path,
                size);
  logWarn(logCatFile, "Unable to determine if there is enough disk space to allocate %" PRIu64 " bytes for file '%s'\n",
          size, f->path);
  return moveTo(f->handle, here, nullptr) ? 0 : -1;
}

IoStream* newFileStream(HANDLE h, const char* path) {
  WindowsFile* f = memNew(WindowsFile);
  f->handle = h;
  f->path = memStrDup(path);
  return iosNewLevel(f, &osFileStreamOps);
}

}  // namespace

IoStream* winFileStream(HANDLE h, const char* path) { return newFileStream(h, path); }

HANDLE winFileHandle(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  return level ? static_cast<WindowsFile*>(level->state)->handle : INVALID_HANDLE_VALUE;
}

bool winIsDotName(const char* path) {
  const char* base = nullptr;
  osPathSplit(path, nullptr, nullptr, &base, nullptr, nullptr, nullptr);
  return base && base[0] == '.';
}

namespace {

// The access entries of a created file of type `fileType`; the count, or 0
// when the file takes its rights from its directory.
uint32_t fileTypeEntries(uint32_t fileType, const wchar_t* account, WinAceSpec* specs) {
  if (fileType == osFileTypePlain || fileType == osFileTypeLog || fileType == osFileTypeExtracted ||
      fileType == osFileTypeArchive)
    return 0;
  uint32_t n = 0;
  specs[n++] = {winTrusteeAdmins, GENERIC_ALL, 0, nullptr};
  specs[n++] = {winTrusteeCurrentUser, GENERIC_ALL, 0, nullptr};
  if (account) specs[n++] = {winTrusteeNamed, GENERIC_READ | GENERIC_WRITE, 0, account};
  if (fileType >= 16) specs[n++] = {winTrusteeEveryone, GENERIC_READ, 0, nullptr};
  return n;
}

}  // namespace

const IoStreamOps osFileStreamOps = {
    .name = "WindowsFile",
    .read = fileRead,
    .write = fileWrite,
    .close = fileClose,
    .seek = fileSeek,
    .flush = fileFlush,
    .getseek = fileGetSeek,
    .preallocate = filePreallocate,
};

IoStream* osFileOpen(const char* path, uint32_t mode, uint32_t fileType, const char* rights, bool share, bool quiet) {
  if (!path || mode >= osFileModeCount) {
    if (!quiet) logError(logCatFile, "Cannot open file '%s' for mode %u\n", path ? path : "<null>", (unsigned)mode);
    return nullptr;
  }
  const int std = fileStandardStreamOf(path, mode);
  if (std >= 0) {
    static const char* const what[3] = {"stdin", "stdout", "stderr"};
    static const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE h = GetStdHandle(which[std]), dup = INVALID_HANDLE_VALUE;
    // A valid standard handle is used even without a console window (the
    // output may be redirected to a file or pipe); otherwise it is taken at
    // first use, after allocating a console.
    if (h && h != INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      osErrorReport(logCatFile, GetLastError(), "Duplicating %s file descriptor failed", what[std]);
      return nullptr;
    }
    IoStream* s = newFileStream(dup, path);
    WindowsFile* f = static_cast<WindowsFile*>(s->state);
    f->standard = 1;
    f->input = std == 0;
    f->stdError = std == 2;
    return s;
  }
  const bool creates =
      mode == osFileModeReadWrite || mode == osFileModeWrite || mode == osFileModeAppend || mode == osFileModeCreateNew;
  WinSecurity sec;
  memset(&sec, 0, sizeof sec);
  bool haveSecurity = false;
  wchar_t* account = nullptr;
  if (creates && !quiet) {
    if (fileType >= osFileTypeCount || fileType == 6) {
      logError(logCatFile, "Internal: osFileCreate() unhandled fileType %d\n", (int)fileType);
      return nullptr;
    }
    WinAceSpec specs[4];
    account = rights ? winUtf8ToWide(rights) : nullptr;
    const uint32_t n = fileTypeEntries(fileType, account, specs);
    if (n > 0) {
      if (winSecurityBuild(&sec, specs, n, nullptr, nullptr, logCatFile) != 0) {
        memFree(account);
        return nullptr;
      }
      haveSecurity = true;
    }
  }
  wchar_t* wide = winPathToWide(path);
  HANDLE h = INVALID_HANDLE_VALUE;
  // A log is appended to as a file of its own: a link at its name is opened
  // as the link, and refused below; whose file it is can be asked.
  const bool log = mode == osFileModeAppend && fileType == osFileTypeLog && !quiet;
  DWORD access = quiet ? FILE_READ_ATTRIBUTES : modeAccess[mode] | (log ? READ_CONTROL : 0);
  DWORD shareMode = modeShare[mode];
  if (mode == osFileModeAppend && share) shareMode = shareAll;
  if (quiet) shareMode = shareAll;
  const DWORD disposition = quiet ? OPEN_EXISTING : modeDisposition[mode];
  const DWORD attributes =
      (winIsDotName(path) ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL) | (log ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  DWORD err = ERROR_NO_UNICODE_TRANSLATION;
  if (wide) {
    h = winSys.createFile(wide, access, shareMode, haveSecurity ? &sec.attributes : nullptr, disposition,
                          attributes | (quiet ? FILE_FLAG_BACKUP_SEMANTICS : 0), nullptr);
    err = GetLastError();
  }
  logTrace(logCatFile, "OpenFile('%s',%x,%x,%x,%x)=%p\n", path, (unsigned)access, (unsigned)shareMode,
           (unsigned)disposition, (unsigned)attributes, (void*)h);
  if (haveSecurity) winSecurityFree(&sec);
  memFree(account);
  if (h == INVALID_HANDLE_VALUE) {
    if (!quiet) {
      osErrorReport(logCatFile, err, "Cannot open file '%s' for %s", path, fileModeWords[mode]);
      if ((err == ERROR_PATH_NOT_FOUND || err == ERROR_ACCESS_DENIED) && wide &&
          GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES)
        osDirDiagnoseAccess(path, mode != osFileModeRead);
    }
    memFree(wide);
    SetLastError(err);
    return nullptr;
  }
  memFree(wide);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (log && (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
              info.nNumberOfLinks > 1)) {
    logError(logCatFile, "Cannot open file '%s' for %s: it is not a file of its own (a link)\n", path,
             fileModeWords[mode]);
    CloseHandle(h);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return nullptr;
  }
  IoStream* s = newFileStream(h, path);
  if (mode == osFileModeAppend && fileType == osFileTypeLog) {
    LARGE_INTEGER size;
    if (GetFileSizeEx(h, &size) && size.QuadPart == 0) static_cast<WindowsFile*>(s->state)->bom = 1;
  }
  return s;
}

// True when standard stream 0, 1 or 2 is a console.
bool filePrimIsConsole(int std) {
  static const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  DWORD consoleMode = 0;
  HANDLE h = GetStdHandle(ids[std]);
  return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &consoleMode);
}

// The visible width of the console window (not of its scroll buffer).
uint32_t filePrimConsoleColumns(int std) {
  static const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = GetStdHandle(ids[std]);
  if (!h || h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info)) return 0;
  return (uint32_t)(info.srWindow.Right - info.srWindow.Left + 1);
}

int osFileDeleteEx(const char* path, StringBuffer* reason, uint32_t flags) {
  wchar_t* wide = winPathToWide(path);
  if (!wide) {
    if (reason) sbPrintf(reason, "Unable to convert filename to wide characters: %s", "Unknown error");
    return -1;
  }
  DWORD err = 0;
  uint32_t wait = fileRetryFirstWait;
  for (int attempt = 1; attempt <= 20; attempt++) {
    if (winSys.deleteFile(wide)) {
      logDebug(logCatFile, "Deleted file %s\n", path);
      memFree(wide);
      return 0;
    }
    err = GetLastError();
    logTrace(logCatFile, "delete file %s: %d\n", path, (int)err);
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_INVALID_DRIVE ||
        err == ERROR_WRONG_DISK) {
      logDebug(logCatFile, "Ignore delete file %s that was already deleted: %d\n", path, (int)err);
      memFree(wide);
      return 0;
    }
    if (err == ERROR_ACCESS_DENIED && attempt == 1) {
      winSys.setFileAttributes(wide, FILE_ATTRIBUTE_NORMAL);
      continue;
    }
    if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) break;
    if ((flags & osFileDeleteAtReboot) && MoveFileExW(wide, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      logWarn(logCatFile, "Unable to delete file %s now, it will be removed during the next reboot\n", path);
      memFree(wide);
      return 0;
    }
    if (attempt == 20 || (attempt > 5 && osStopRequested())) break;
    fileRetryWait(&wait);
  }
  memFree(wide);
  const char* text = osErrorText(nullptr, err);
  logDebug(logCatFile, "Unable to delete file %s: %d = %s\n", path, (int)err, text);
  if (reason) sbAppendString(reason, text);
  SetLastError(err);
  return -1;
}

// A file is hidden exactly when its base name starts with "."; only the
// hidden bit is changed, other attributes (read-only) stay as they are.
// Both moves: `moveFlags` decides whether an existing target is replaced.
static int moveFile(const char* from, const char* to, DWORD moveFlags) {
  wchar_t* wFrom = winPathToWide(from);
  wchar_t* wTo = winPathToWide(to);
  int rc = -1;
  if (!wFrom || !wTo) {
    osErrorReport(logCatFile, ERROR_NO_UNICODE_TRANSLATION, "Cannot move %s to %s", from, to);
  } else {
    const bool wasDot = winIsDotName(from), isDot = winIsDotName(to);
    DWORD hiddenFrom = INVALID_FILE_ATTRIBUTES;  // attributes before hiding, to undo on failure
    if (isDot && !wasDot) {
      const DWORD a = GetFileAttributesW(wFrom);
      if (a == INVALID_FILE_ATTRIBUTES ||
          !winSys.setFileAttributes(wFrom, (a & ~(DWORD)FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_HIDDEN))
        osErrorReport(logCatFile, GetLastError(), "Cannot set hidden attribute on %s", from);
      else
        hiddenFrom = a;
    }
    if (!winSys.moveFileEx(wFrom, wTo, moveFlags)) {
      osErrorReport(logCatFile, GetLastError(), "Cannot move %s to %s", from, to);
      if (hiddenFrom != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(wFrom, hiddenFrom);
    } else {
      logDebug(logCatFile, "Moved file '%s' to '%s'\n", from, to);
      if (wasDot && !isDot) {
        DWORD a = GetFileAttributesW(wTo);
        a = a == INVALID_FILE_ATTRIBUTES ? 0 : a & ~(DWORD)FILE_ATTRIBUTE_HIDDEN;
        if (!winSys.setFileAttributes(wTo, a ? a : FILE_ATTRIBUTE_NORMAL))
          osErrorReport(logCatFile, GetLastError(), "Cannot reset hidden attribute on %s", to);
      }
      rc = 0;
    }
  }
  memFree(wFrom);
  memFree(wTo);
  return rc;
}

int osFileMove(const char* from, const char* to) {
  return moveFile(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

// Without MOVEFILE_REPLACE_EXISTING the system refuses an existing target
// (ERROR_ALREADY_EXISTS) in the same step as the rename.
int osFileMoveNoReplace(const char* from, const char* to) { return moveFile(from, to, 0); }

namespace {

// The DOS attributes of a ZIP attribute word: its low bits, and read-only
// for a Unix mode without the owner's write bit.
DWORD dosAttributesOf(uint32_t attributes) {
  DWORD a = attributes & 0x27;
  const uint32_t unixMode = attributes >> 16;
  if (unixMode != 0 && !(unixMode & 0x100)) a |= FILE_ATTRIBUTE_READONLY;
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

int osFileSetAttributes(const char* path, uint32_t attributes) {
  wchar_t* wide = winPathToWide(path);
  if (!wide || !winSys.setFileAttributes(wide, dosAttributesOf(attributes))) {
    osErrorReport(logCatFile, wide ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION, "Cannot set file attribute on %s",
                  path);
    memFree(wide);
    return -1;
  }
  memFree(wide);
  return 0;
}

namespace {

FILETIME toFileTime(int64_t ms) {
  const uint64_t v = osDateToFileTime((uint64_t)ms);
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)v;
  ft.dwHighDateTime = (DWORD)(v >> 32);
  return ft;
}

uint64_t fromFileTime(const FILETIME& ft) {
  return osDateFromFileTime(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
}

}  // namespace

int osFileSetTimes(const char* path, int64_t modification, int64_t access, int64_t creation) {
  const FILETIME m = toFileTime(modification), a = toFileTime(access), c = toFileTime(creation);
  wchar_t* wide = winPathToWide(path);
  const bool converted = wide != nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  if (wide)
    h = winSys.createFile(wide, FILE_WRITE_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                          nullptr);
  memFree(wide);
  if (h == INVALID_HANDLE_VALUE || !winSys.setFileTime(h, &c, &a, &m)) {
    const DWORD err = converted ? GetLastError() : (DWORD)ERROR_NO_UNICODE_TRANSLATION;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    osErrorReport(logCatFile, err, "Cannot set filetime of file '%s'", path);
    return -1;
  }
  CloseHandle(h);
  if (logGate(logCatFile, logLevelDebug)) {
    char buf[70];
    logDebugFunc(logCatFile, "Set mtime of %s to %s\n", path,
                 osDateFormatLocal((uint64_t)modification, buf, osDateFmtIsoSpaceMillis));
    logDebugFunc(logCatFile, "Set atime of %s to %s\n", path,
                 osDateFormatLocal((uint64_t)access, buf, osDateFmtIsoSpaceMillis));
    logDebugFunc(logCatFile, "Set ctime of %s to %s\n", path,
                 osDateFormatLocal((uint64_t)creation, buf, osDateFmtIsoSpaceMillis));
  }
  return 0;
}

namespace {

// "DOMAIN\name" of a SID, or its number when it has no account.
void appendAccount(StringBuffer* sb, PSID sid) {
  wchar_t name[256], domain[256];
  DWORD nl = 256, dl = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nl, domain, &dl, &use)) {
    char* n = winWideToUtf8(name);
    char* d = winWideToUtf8(domain);
    if (d && *d) sbPrintf(sb, "%s\\", d);
    if (n) sbAppendString(sb, n);
    memFree(n);
    memFree(d);
    return;
  }
  wchar_t* text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    char* t = winWideToUtf8(text);
    if (t) sbAppendString(sb, t);
    memFree(t);
    LocalFree(text);
  } else {
    sbAppendString(sb, "?");
  }
}

// Owner name and a description of the access list: "protected" when it
// takes nothing from the parent, then each entry as "account:mask" (allow)
// or "!account:mask" (deny), separated by blanks.
void describeSecurity(const wchar_t* wide, const char* path, StringBuffer* owner, StringBuffer* permissions) {
  PSID ownerSid = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(wide, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &ownerSid,
                            nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    if (owner) sbAppendString(owner, "?");
    if (permissions) sbAppendString(permissions, "?");
    return;
  }
  if (owner) {
    if (ownerSid)
      appendAccount(owner, ownerSid);
    else
      sbAppendString(owner, "?");
  }
  if (permissions) {
    StringBuffer d;
    sbInitHere(&d);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED))
      sbAppendString(&d, "protected");
    if (!dacl) sbAppendString(&d, sbGetLength(&d) ? " <no DACL>" : "<no DACL>");
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
      void* ace = nullptr;
      if (!GetAce(dacl, i, &ace)) continue;
      const ACE_HEADER* hdr = static_cast<const ACE_HEADER*>(ace);
      if (hdr->AceType != ACCESS_ALLOWED_ACE_TYPE && hdr->AceType != ACCESS_DENIED_ACE_TYPE) continue;
      const ACCESS_ALLOWED_ACE* a = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
      if (sbGetLength(&d)) sbAppendChar(&d, ' ');
      if (hdr->AceType == ACCESS_DENIED_ACE_TYPE) sbAppendChar(&d, '!');
      appendAccount(&d, (PSID)&a->SidStart);
      sbPrintf(&d, ":%lx", (unsigned long)a->Mask);
    }
    logTrace(logCatFile, "DACL for %s is %s\n", path, sbGet(&d));
    sbAppendStringBuffer(permissions, &d);
    sbClean(&d);
  }
  LocalFree(sd);
}

void describeAttributes(StringBuffer* sb, DWORD a) {
  static const struct {
    DWORD bit;
    const char* word;
  } words[] = {
      {FILE_ATTRIBUTE_READONLY, "Readonly "},
      {FILE_ATTRIBUTE_HIDDEN, "Hidden "},
      {FILE_ATTRIBUTE_SYSTEM, "System "},
      {FILE_ATTRIBUTE_DIRECTORY, "Directory "},
      {FILE_ATTRIBUTE_ARCHIVE, "Archive "},
      {FILE_ATTRIBUTE_DEVICE, "Device "},
      {FILE_ATTRIBUTE_NORMAL, "Normal "},
      {FILE_ATTRIBUTE_TEMPORARY, "Temporary "},
      {FILE_ATTRIBUTE_SPARSE_FILE, "Sparse "},
      {FILE_ATTRIBUTE_REPARSE_POINT, "ReparsePoint "},
      {FILE_ATTRIBUTE_COMPRESSED, "Compressed "},
      {FILE_ATTRIBUTE_OFFLINE, "Offline "},
      {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, "NotContentIndexed "},
      {FILE_ATTRIBUTE_ENCRYPTED, "Encrypted "},
      {0x10000, "Virtual "},
  };
  static_assert(SFX_ARRAY_SIZE(words) == 15, "one word per attribute");
  sbAppendString(sb, " (");
  for (const auto& w : words)
    if (a & w.bit) sbAppendString(sb, w.word);
  sbAppendChar(sb, ')');
}

}  // namespace

int osFileGetInfo(const char* path, uint64_t* size, uint64_t* modification, uint64_t* access, bool* isDirectory,
                  StringBuffer* owner, StringBuffer* permissions, StringBuffer* reason) {
  wchar_t* wide = path ? winPathToWide(path) : nullptr;
  if (!wide) {
    if (reason) sbAppendString(reason, osErrorText(nullptr, ERROR_INVALID_NAME));
    return -1;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  DWORD attrs = 0;
  uint64_t sz = 0;
  FILETIME mt, at;
  if (winSys.getFileAttributesEx(wide, GetFileExInfoStandard, &data)) {
    attrs = data.dwFileAttributes;
    sz = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    mt = data.ftLastWriteTime;
    at = data.ftLastAccessTime;
  } else {
    HANDLE h = winSys.createFile(wide, FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
      const DWORD err = GetLastError();
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      if (reason) sbAppendString(reason, osErrorText(nullptr, err));
      memFree(wide);
      SetLastError(err);
      return -1;
    }
    CloseHandle(h);
    attrs = info.dwFileAttributes;
    sz = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    mt = info.ftLastWriteTime;
    at = info.ftLastAccessTime;
  }
  if (size) *size = sz;
  if (modification) *modification = fromFileTime(mt);
  if (access) *access = fromFileTime(at);
  if (isDirectory) *isDirectory = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (owner || permissions) describeSecurity(wide, path, owner, permissions);
  if (permissions) describeAttributes(permissions, attrs);
  memFree(wide);
  return 0;
}

int osFileGetSize(const char* path, uint64_t* size) {
  IoStream* s = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, true);
  LARGE_INTEGER li;
  if (!s || !GetFileSizeEx(static_cast<WindowsFile*>(s->state)->handle, &li)) {
    logTrace(logCatFile, "filesize of non-present file %s is unknown\n", path);
    iosClose(s);
    return -1;
  }
  *size = (uint64_t)li.QuadPart;
  iosClose(s);
  return 0;
}

DWORD winAttributesOf(const char* path) {
  wchar_t* wide = path ? winPathToWide(path) : nullptr;
  WIN32_FILE_ATTRIBUTE_DATA data;
  DWORD a = INVALID_FILE_ATTRIBUTES;
  if (wide && winSys.getFileAttributesEx(wide, GetFileExInfoStandard, &data)) a = data.dwFileAttributes;
  memFree(wide);
  return a;
}

bool osFileIsPresent(const char* path) {
  const DWORD a = winAttributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    logTrace(logCatFile, "file %s is not present\n", path ? path : "<null>");
    return false;
  }
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    logTrace(logCatFile, "file %s is a directory, not a file\n", path);
    return false;
  }
  return true;
}

bool osIsFileDirectory(const char* path) {
  const DWORD a = winAttributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    logTrace(logCatFile, "directory %s is not present\n", path ? path : "<null>");
    return false;
  }
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    logTrace(logCatFile, "file %s is not a directory\n", path);
    return false;
  }
  return true;
}

char* osFileFullPath(const char* path) {
  wchar_t* wide = path ? winUtf8ToWide(path) : nullptr;
  wchar_t buf[512];
  const DWORD n = wide ? GetFullPathNameW(wide, 512, buf, nullptr) : 0;
  memFree(wide);
  if (n == 0) {
    osErrorReport(logCatFile, GetLastError(), "Unable to get pathname of %s", path ? path : "<null>");
    return nullptr;
  }
  if (n >= 513 || n >= 512) {
    logError(logCatFile, "Path to config file too long, required=%d, available=%d\n", (int)n, 512);
    return nullptr;
  }
  char* out = winWideToUtf8(buf);
  if (out) logDebug(logCatFile, "Path is now '%s'\n", out);
  return out;
}

namespace {

using CreateSymlinkFn = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
constexpr DWORD linkDirectory = 1;     // SYMBOLIC_LINK_FLAG_DIRECTORY
constexpr DWORD linkUnprivileged = 2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE

// Turns on the right to create links in the process token; administrators
// hold it, disabled, in an elevated token. True when it is now on.
bool enableSymlinkPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES tp = {};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueW(nullptr, SE_CREATE_SYMBOLIC_LINK_NAME, &tp.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

// Creates the link, retrying where another way can work: error 87 means a
// system that does not know the unprivileged flag (before Windows 10 1703),
// error 1314 one without developer mode, where an administrator's token can
// enable the privilege. 0 or the last system error.
DWORD createLink(CreateSymlinkFn fn, const wchar_t* link, const wchar_t* target, DWORD kind) {
  if (fn(link, target, kind | linkUnprivileged)) return 0;
  DWORD err = GetLastError();
  if (err == ERROR_INVALID_PARAMETER) {
    if (fn(link, target, kind)) return 0;
    err = GetLastError();
  }
  if (err == ERROR_PRIVILEGE_NOT_HELD && enableSymlinkPrivilege()) {
    if (fn(link, target, kind)) return 0;
    err = GetLastError();
  }
  return err;
}

// Whether the link's target is a directory: a relative target is read from
// the link's own folder, as the system will read it.
bool linkTargetIsDirectory(const char* target, const char* link) {
  if (osPathIsAbsolute(osPathStyleWindows, target)) return osIsFileDirectory(target);
  char* folder = nullptr;
  char* full = nullptr;
  bool dir = false;
  if (osPathParent(osPathStyleWindows, link, &folder) == 0 &&
      osPathResolve(osPathStyleWindows, folder, target, &full) == 0)
    dir = osIsFileDirectory(full);
  memFree(folder);
  memFree(full);
  return dir;
}

// Reports a link failure into `reason` or, without one, to the log.
void linkFailure(StringBuffer* reason, const char* link, const char* target, const char* text) {
  if (reason)
    sbAppendString(reason, text);
  else
    logError(logCatFile, "Cannot create symlink %s -> %s: %s", link, target, text);
}

}  // namespace

int osFileCreateSymlink(const char* target, const char* link, StringBuffer* reason) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  CreateSymlinkFn fn =
      kernel ? reinterpret_cast<CreateSymlinkFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "CreateSymbolicLinkW")))
             : nullptr;
  if (!fn) {
    linkFailure(reason, link, target, "This version of Microsoft Windows does not support symbolic links\n");
    return -1;
  }
  // The system reads a link's target with backslashes only.
  char* native = memStrDup(target);
  for (char* p = native; *p; p++)
    if (*p == '/') *p = '\\';
  const DWORD kind = linkTargetIsDirectory(native, link) ? linkDirectory : 0;
  wchar_t* wTarget = winUtf8ToWide(native);
  wchar_t* wLink = winPathToWide(link);
  DWORD err = wTarget && wLink ? createLink(fn, wLink, wTarget, kind) : (DWORD)ERROR_NO_UNICODE_TRANSLATION;
  // A reported success is checked: some systems (wine) report one and
  // create nothing, and a missing link must fail the extraction.
  const DWORD attributes = err == 0 ? GetFileAttributesW(wLink) : INVALID_FILE_ATTRIBUTES;
  const bool missing =
      err == 0 && (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT));
  memFree(wTarget);
  memFree(wLink);
  memFree(native);
  if (missing) {
    linkFailure(reason, link, target, "the system reported the link as created but it is not there\n");
    return -1;
  }
  if (err != 0) {
    if (reason)
      sbAppendString(reason, osErrorText(nullptr, err));
    else
      osErrorReport(logCatFile, err, "Cannot create symlink %s -> %s", link, target);
    return -1;
  }
  logDebug(logCatFile, "new symlink %s -> %s\n", link, target);
  return 0;
}

int osFileRedirectStdHandles(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  HANDLE h = static_cast<const WindowsFile*>(level->state)->handle;
  SetStdHandle(STD_OUTPUT_HANDLE, h);
  SetStdHandle(STD_ERROR_HANDLE, h);
  return 0;
}

int osFileKindOf(const char* path) {
  const DWORD a = winAttributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) return -1;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return osDirEntrySymlink;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return osDirEntryDirectory;
  return (a & FILE_ATTRIBUTE_DEVICE) ? osDirEntryOther : osDirEntryFile;
}

namespace {

constexpr DWORD finalNameFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;

// The final name of an open file, links resolved, as the system gives it
// (with the long-path prefix). The buffer is grown to the size the system
// asks for, also when the name grew between two calls. Null and *err set
// when the system cannot tell.
wchar_t* finalName(HANDLE h, DWORD* err) {
  wchar_t* buf = nullptr;
  DWORD size = 0;
  for (int tries = 0; tries < 4; tries++) {
    const DWORD n = GetFinalPathNameByHandleW(h, buf, size, finalNameFlags);
    if (n == 0) break;
    if (n < size) return buf;
    memFree(buf);
    size = n + 1;
    buf = memNewArray(wchar_t, size);
  }
  *err = GetLastError();
  memFree(buf);
  return nullptr;
}

// Some systems' GetFinalPathNameByHandleW takes only names shorter than
// MAX_PATH (wine answers ERROR_MORE_DATA past it). Then the object manager's
// name of the file is taken: "\??\C:\x" without its prefix, "\??\UNC\h\s"
// as "\\h\s", or "\Device\V\x" with the drive that maps to \Device\V in
// front of x.
wchar_t* objectDosName(HANDLE h) {
  using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  struct NameInfo {
    USHORT length, maximumLength;
    wchar_t* buffer;
  };
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto query = ntdll
                   ? reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")))
                   : nullptr;
  const ULONG size = sizeof(NameInfo) + 65536;
  NameInfo* info = static_cast<NameInfo*>(memAlloc(size));
  ULONG got = 0;
  wchar_t* out = nullptr;
  if (query && query(h, 1 /* ObjectNameInformation */, info, size, &got) >= 0 && info->buffer) {
    const wchar_t* s = info->buffer;
    const size_t n = info->length / sizeof(wchar_t);
    wchar_t drive[3] = {0, L':', 0}, device[1024];
    size_t skip = 0;
    if (n > 8 && wcsncmp(s, L"\\??\\UNC\\", 8) == 0) {
      drive[0] = drive[1] = L'\\';  // a share: \\host\share\x
      skip = 8;
    } else if (n > 4 && wcsncmp(s, L"\\??\\", 4) == 0) {
      skip = 4;
    } else {
      for (wchar_t c = L'A'; c <= L'Z' && !skip; c++) {
        drive[0] = c;
        const size_t len = QueryDosDeviceW(drive, device, 1024) ? wcslen(device) : 0;
        if (len && n > len && wcsncmp(s, device, len) == 0 && s[len] == L'\\') skip = len;
      }
    }
    const size_t head = drive[0] ? 2 : 0;
    if (skip) {
      out = memNewArray(wchar_t, head + n - skip + 1);
      memcpy(out, drive, head * sizeof(wchar_t));
      memcpy(out + head, s + skip, (n - skip) * sizeof(wchar_t));
      out[head + n - skip] = 0;
    }
  }
  memFree(info);
  return out;
}

}  // namespace

int osFileResolveLinks(const char* path, char** out) {
  *out = nullptr;
  wchar_t* wide = path ? winPathToWide(path) : nullptr;
  HANDLE h = wide ? winSys.createFile(wide, FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                  : INVALID_HANDLE_VALUE;
  DWORD err = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  memFree(wide);
  wchar_t* buf = nullptr;
  if (h != INVALID_HANDLE_VALUE) {
    buf = finalName(h, &err);
    if (!buf && err == ERROR_MORE_DATA && (buf = objectDosName(h)) != nullptr) {
      logDebug(logCatFile, "The final name of %s is its object name\n", path);
      err = 0;
    }
    winSys.closeHandle(h);
  }
  if (!err && buf) {
    // The system answers with the long-path prefix: \\?\C:\x or \\?\UNC\host\x.
    const wchar_t* p = buf;
    if (wcsncmp(p, L"\\\\?\\UNC\\", 8) == 0) {
      p += 6;
      buf[6] = L'\\';
    } else if (wcsncmp(p, L"\\\\?\\", 4) == 0) {
      p += 4;
    }
    *out = winWideToUtf8(p);
  }
  memFree(buf);
  if (!*out) {
    osErrorReport(logCatFile, err ? err : ERROR_INVALID_NAME, "Cannot resolve the links in %s", path ? path : "<null>");
    return -1;
  }
  return 0;
}

int osFileStreamSetAttributes(IoStream* stream, uint32_t attributes) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  const WindowsFile* f = static_cast<WindowsFile*>(level->state);
  FILE_BASIC_INFO info = {};  // zero times stay as they are
  info.FileAttributes = dosAttributesOf(attributes);
  if (!winSys.setFileInformationByHandle(f->handle, FileBasicInfo, &info, sizeof info)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot set file attribute on %s", f->path);
    return -1;
  }
  return 0;
}

int osFileStreamIsAt(IoStream* stream, const char* path) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  BY_HANDLE_FILE_INFORMATION open = {}, named = {};
  if (!GetFileInformationByHandle(static_cast<WindowsFile*>(level->state)->handle, &open)) return -1;
  wchar_t* wide = winPathToWide(path);
  HANDLE h = INVALID_HANDLE_VALUE;
  if (wide)
    h = winSys.createFile(wide, FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const DWORD err = GetLastError();
  memFree(wide);
  if (h == INVALID_HANDLE_VALUE) return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 0 : -1;
  const bool got = GetFileInformationByHandle(h, &named);
  CloseHandle(h);
  if (!got) return -1;
  const bool link = named.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  return !link && named.dwVolumeSerialNumber == open.dwVolumeSerialNumber &&
                 named.nFileIndexHigh == open.nFileIndexHigh && named.nFileIndexLow == open.nFileIndexLow
             ? 1
             : 0;
}

namespace {

// True when sid is the user or the default owner of this process's token.
bool ownSid(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool own = false;
  const TOKEN_INFORMATION_CLASS classes[] = {TokenUser, TokenOwner};
  for (TOKEN_INFORMATION_CLASS what : classes) {
    union {
      TOKEN_USER user;
      TOKEN_OWNER owner;
      BYTE raw[256];
    } info;
    DWORD size = 0;
    if (!GetTokenInformation(token, what, &info, sizeof info, &size)) continue;
    own = own || EqualSid(sid, what == TokenUser ? info.user.User.Sid : info.owner.Owner);
  }
  CloseHandle(token);
  return own;
}

// 1 when the file open as h belongs to this process's account, SYSTEM or
// the Administrators, 0 when to someone else, -1 when its owner cannot be
// read (GetLastError says why).
int ownerTrusted(HANDLE h) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD err =
      GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return -1;
  }
  const bool trusted = owner && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                 IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ownSid(owner));
  LocalFree(sd);
  return trusted ? 1 : 0;
}

}  // namespace

bool osFileStreamOwnerTrusted(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  return level && ownerTrusted(static_cast<WindowsFile*>(level->state)->handle) == 1;
}

int osFileLinkOwnerTrusted(const char* path) {
  wchar_t* wide = winPathToWide(path);
  HANDLE h = wide ? winSys.createFile(wide, READ_CONTROL, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                  : INVALID_HANDLE_VALUE;
  memFree(wide);
  const int trusted = h != INVALID_HANDLE_VALUE ? ownerTrusted(h) : -1;
  if (trusted < 0) osErrorReport(logCatFile, GetLastError(), "Cannot tell who made the link %s", path);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return trusted;
}

int osFileLinkLeadsTo(const char* link, char** to) { return osFileResolveLinks(link, to); }

int osFileIsTrusted(const char* path) {
  // The owner through the file itself; the access lists of the file and its
  // directories are not judged here (osDirIsTrusted).
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return -1;
  const int at = osFileStreamIsAt(in, path);
  const bool owner = osFileStreamOwnerTrusted(in);
  iosClose(in);
  if (at != 1 || !owner) {
    logWarn(logCatFile, "%s may have been put there by another user, or is a link\n", path);
    return at < 0 ? -1 : 0;
  }
  return 1;
}

int osFileStreamSetTimes(IoStream* stream, int64_t modification, int64_t access, int64_t creation) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  const WindowsFile* f = static_cast<WindowsFile*>(level->state);
  const FILETIME m = toFileTime(modification), a = toFileTime(access), c = toFileTime(creation);
  if (!winSys.setFileTime(f->handle, &c, &a, &m)) {
    osErrorReport(logCatFile, GetLastError(), "Cannot set filetime of file '%s'", f->path);
    return -1;
  }
  return 0;
}

int osFileDeferFlush(IoStream* stream) {
  IoStream* level = iosFindLevel(stream, &osFileStreamOps, logCatFile);
  if (!level) return -1;
  static_cast<WindowsFile*>(level->state)->deferFlush = 1;
  return 0;
}

namespace {

// Reopens one file of a batch and flushes its buffers. The system has no
// volume flush without privileges. A read-only file is made writable for
// the moment; a directory is passed over (its entries are the file
// system's own metadata, kept by its log).
int flushByName(const char* path) {
  wchar_t* wide = winPathToWide(path);
  if (!wide) {
    osErrorReport(logCatFile, ERROR_NO_UNICODE_TRANSLATION, "Cannot flush file %s", path);
    return -1;
  }
  HANDLE h =
      winSys.createFile(wide, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD err = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  DWORD attrs = INVALID_FILE_ATTRIBUTES;
  bool madeWritable = false;
  if (h == INVALID_HANDLE_VALUE && err == ERROR_ACCESS_DENIED) {
    attrs = GetFileAttributesW(wide);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
      memFree(wide);
      return 0;
    }
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) &&
        winSys.setFileAttributes(wide, (attrs & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL)) {
      madeWritable = true;
      h = winSys.createFile(wide, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
      err = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
  }
  bool ok = false;
  if (h != INVALID_HANDLE_VALUE) {
    ok = winSys.flushFileBuffers(h);
    if (!ok) err = GetLastError();
    winSys.closeHandle(h);
  }
  if (madeWritable) winSys.setFileAttributes(wide, attrs);
  memFree(wide);
  if (ok || err == 0 || err == ERROR_INVALID_HANDLE || err == ERROR_WRITE_PROTECT) return 0;
  osErrorReport(logCatFile, err, "Cannot flush file %s", path);
  return -1;
}

}  // namespace

int osSyncBatchFlush(OsSyncBatch* batch) {
  int rc = 0;
  for (uint32_t i = 0; i < batch->count; i++)
    if (flushByName(batch->paths[i]) != 0) rc = -1;
  if (batch->count) logDebug(logCatFile, "Flushed %u files in one batch\n", batch->count);
  osSyncBatchClear(batch);
  return rc;
}
