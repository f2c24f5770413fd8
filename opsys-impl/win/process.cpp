// Windows backend only: children started with CreateProcessW and three
// anonymous pipes. Output and error are polled (PeekNamedPipe) so neither
// blocks the other; standard input is written by a helper thread so a
// child blocked on full output pipes never blocks the parent's write.
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "oserror.h"
#include "osinit.h"
#include "osprocess.h"
#include "osthread.h"
#include "processprim.h"
#include "stringbuf.h"
#include "winsupport.h"

namespace {

constexpr DWORD pipeChunk = 4096;
constexpr uint64_t drainGraceMs = 200;
constexpr DWORD statusDllNotFound = 0xC0000135;

void closeHandle(HANDLE* h) {
  if (*h && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

int makePipe(HANDLE* readEnd, HANDLE* writeEnd, const char* commandLine) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  if (!CreatePipe(readEnd, writeEnd, &sa, 0)) {
    osErrorReport(logCatProcess, GetLastError(), "Failed to create pipe for command %s", commandLine);
    *readEnd = *writeEnd = nullptr;
    return -1;
  }
  logTrace(logCatProcess, "Created read handle %p\n", (void*)*readEnd);
  logTrace(logCatProcess, "Created write handle %p\n", (void*)*writeEnd);
  return 0;
}

// Feeds standard input on its own thread.
struct InputFeed {
  HANDLE pipe;       // write end; closed by the feeder
  const char* data;  // bytes to write
  uint32_t length;   // their count
};

DWORD WINAPI feedInput(LPVOID p) {
  InputFeed* f = static_cast<InputFeed*>(p);
  while (f->length > 0) {
    DWORD wrote = 0;
    DWORD n = f->length > 65536 ? 65536 : f->length;
    if (!WriteFile(f->pipe, f->data, n, &wrote, nullptr) || wrote == 0) break;
    logDebugStr(logCatProcess, "input", f->data, wrote);
    f->data += wrote;
    f->length -= wrote;
  }
  logDebug(logCatProcess, "EOF on input\n");
  closeHandle(&f->pipe);
  return 0;
}

// Reads what a pipe holds without blocking: 1 data read, 0 nothing now,
// -1 end of file (the handle is closed).
int pumpRead(HANDLE* pipe, StringBuffer* buffer, ProcessLogSink* sink, const char* label, const char* eofText,
             bool* failed) {
  DWORD avail = 0;
  if (!PeekNamedPipe(*pipe, nullptr, 0, nullptr, &avail, nullptr)) {
    logDebug(logCatProcess, "%s", eofText);
    closeHandle(pipe);
    return -1;
  }
  if (avail == 0) return 0;
  char chunk[pipeChunk];
  DWORD got = 0;
  if (!ReadFile(*pipe, chunk, avail < pipeChunk ? avail : pipeChunk, &got, nullptr) || got == 0) {
    logDebug(logCatProcess, "%s", eofText);
    closeHandle(pipe);
    return -1;
  }
  if (processDeliver(buffer, sink, label, chunk, got) != 0) *failed = true;
  return 1;
}

}  // namespace

int osRunCommand(const char* commandLine, StringBuffer* input, StringBuffer* output, StringBuffer* errors,
                 uint64_t* exitCode, OsProcessHandles* handles) {
  logDebug(logCatProcess, "Spawning command %s\n", commandLine);
  bool noWait = output == RUNCOMMAND_NO_WAIT;
  StringBuffer* outBuffer = noWait ? nullptr : output;
  bool toLog = !noWait && !output;
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr,
         errWrite = nullptr, nullIn = nullptr, feeder = nullptr;
  PROCESS_INFORMATION pi = {};
  wchar_t* wide = nullptr;
  bool locked = false;
  int result = -1;
  ProcessLogSink sink;
  processLogSinkInit(&sink);
  InputFeed feed = {};

  do {
    if (noWait) logTrace(logCatProcess, "osRunCommand RUNCOMMAND_NO_WAIT\n");
    if (outBuffer) logTrace(logCatProcess, "osRunCommand output to stringbuffer\n");
    if ((outBuffer || toLog) && makePipe(&outRead, &outWrite, commandLine) != 0) break;
    if (errors) {
      logTrace(logCatProcess, "osRunCommand error to stringbuffer\n");
      if (makePipe(&errRead, &errWrite, commandLine) != 0) break;
    }
    if (input) {
      logTrace(logCatProcess, "osRunCommand stdin from stringbuffer\n");
      if (makePipe(&inRead, &inWrite, commandLine) != 0) break;
    }
    logDebugStr(logCatProcess, "runCommand", commandLine, 0);
    wide = winUtf8ToWide(commandLine);
    if (!wide) break;

    osThreadLockMutex(processCreateMutex);
    locked = true;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    if (inRead) {
      si.hStdInput = inRead;
    } else {
      SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
      nullIn = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
      if (nullIn == INVALID_HANDLE_VALUE) {
        nullIn = nullptr;
        osErrorReport(logCatProcess, GetLastError(), "Cannot open null device for command %s", commandLine);
        break;
      }
      logTrace(logCatProcess, "hStdInput from null device\n");
      si.hStdInput = nullIn;
    }
    si.hStdOutput = outWrite ? outWrite : GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = errWrite ? errWrite : outWrite ? outWrite : GetStdHandle(STD_ERROR_HANDLE);
    HANDLE inherit[] = {si.hStdInput, si.hStdOutput, si.hStdError};
    for (HANDLE h : inherit)
      if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    logTrace(logCatProcess, "hStdIn/Out/Err = %p %p %p\n", (void*)si.hStdInput, (void*)si.hStdOutput,
             (void*)si.hStdError);
    if (!GetConsoleWindow()) winAllocConsole();
    winHideConsoleWindow();
    char* ownLevel = nullptr;
    processChildLogLevelBegin(&ownLevel);
    BOOL created = CreateProcessW(nullptr, wide, nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    DWORD createError = GetLastError();
    processChildLogLevelEnd(&ownLevel);
    closeHandle(&outWrite);
    closeHandle(&errWrite);
    closeHandle(&inRead);
    closeHandle(&nullIn);
    osThreadUnlockMutex(processCreateMutex);
    locked = false;
    if (!created) {
      osErrorReport(logCatProcess, createError, "Cannot run command %s", commandLine);
      break;
    }
    if (ResumeThread(pi.hThread) == (DWORD)-1) {
      osErrorReport(logCatProcess, GetLastError(), "ResumeThread");
      TerminateProcess(pi.hProcess, 1);
      break;
    }

    if (noWait || handles) {
      if (handles) {
        *handles = OsProcessHandles{(uintptr_t)pi.hProcess, (uintptr_t)pi.hThread, pi.dwProcessId, pi.dwThreadId};
        pi.hProcess = pi.hThread = nullptr;
      }
      result = 0;
      break;
    }

    if (inWrite) {
      feed = InputFeed{inWrite, sbGet(input), sbGetLength(input)};
      inWrite = nullptr;
      feeder = CreateThread(nullptr, 0x40000, feedInput, &feed, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
      if (!feeder) {
        osErrorReport(logCatProcess, GetLastError(), "CreateThread");
        closeHandle(&feed.pipe);
      }
    }

    uint64_t deadline = osDateNow() + osRunCommandTimeout;
    uint64_t exitedAt = 0;
    bool failed = false, timedOut = false;
    DWORD idle = 1;
    while (!failed && (outRead || errRead)) {
      uint64_t now = osDateNow();
      if (now >= deadline) {
        timedOut = true;
        break;
      }
      if (!exitedAt && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) exitedAt = now;
      int got = 0;
      if (outRead)
        got |= pumpRead(&outRead, outBuffer, toLog ? &sink : nullptr, "output", "EOF on output\n", &failed) > 0;
      if (errRead) got |= pumpRead(&errRead, errors, nullptr, "error", "EOF on error\n", &failed) > 0;
      if (got) {
        idle = 1;
        if (exitedAt) exitedAt = now;
        continue;
      }
      // The child is gone and its output (kept open by a grandchild) stopped.
      if (exitedAt && now - exitedAt >= drainGraceMs) break;
      Sleep(idle);
      if (idle < 16) idle *= 2;
    }
    closeHandle(&outRead);
    closeHandle(&errRead);
    if (failed) {
      TerminateProcess(pi.hProcess, 1);
      break;
    }
    uint64_t now = osDateNow();
    DWORD wait = timedOut || now >= deadline ? WAIT_TIMEOUT : WaitForSingleObject(pi.hProcess, (DWORD)(deadline - now));
    if (wait == WAIT_TIMEOUT) {
      logDebug(logCatProcess, "Wait failed; killing process %d\n", (int)pi.dwProcessId);
      TerminateProcess(pi.hProcess, 1);
      if (exitCode) *exitCode = WAIT_TIMEOUT;
      break;
    }
    if (wait != WAIT_OBJECT_0) {
      osErrorReport(logCatProcess, GetLastError(), "Unknown problem on waiting for command %s", commandLine);
      break;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    logDebug(logCatProcess, "Child process %d: exited returncode=%d (hex %X)\n", (int)pi.dwProcessId, (int)code,
             (unsigned)code);
    if (code == statusDllNotFound)
      logError(logCatProcess, "Child process %d could not find one or more dependent DLL's\n", (int)pi.dwProcessId);
    if (exitCode) *exitCode = code;
    result = code == 0 ? 0 : -1;
  } while (false);

  if (feeder) {
    // The child is gone or killed: its end of the pipe is closed, so the
    // feeder's write fails and it ends.
    if (result != 0 && pi.hProcess) TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(feeder, INFINITE);
    CloseHandle(feeder);
  }
  if (locked) osThreadUnlockMutex(processCreateMutex);
  processLogSinkFinish(&sink);
  closeHandle(&inRead);
  closeHandle(&inWrite);
  closeHandle(&outRead);
  closeHandle(&outWrite);
  closeHandle(&errRead);
  closeHandle(&errWrite);
  closeHandle(&nullIn);
  closeHandle(&pi.hProcess);
  closeHandle(&pi.hThread);
  memFree(wide);
  return result;
}

void processPrimShellLine(StringBuffer* line, const char* interpreter, const char* command) {
  sbPrintf(line, "\"%s\" /S /C \"%s\"", interpreter, command);
}

int osGetCommandInterpreter(StringBuffer* out) {
  wchar_t dir[MAX_PATH];
  UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
  char* windows = n == 0 || n >= MAX_PATH ? nullptr : winWideToUtf8(dir);
  if (!windows) {
    logError(logCatEnv, "Cannot find windows directory\n");
    return -1;
  }
  StringBuffer path;
  sbInitHere(&path);
  sbPrintf(&path, "%s\\system32\\cmd.exe", windows);
  int result = -1;
  wchar_t* wpath = winUtf8ToWide(sbGet(&path));
  DWORD attributes = wpath ? GetFileAttributesW(wpath) : INVALID_FILE_ATTRIBUTES;
  memFree(wpath);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    logError(logCatEnv, "Cannot find CMD.EXE in %s\\SYSTEM32\n", windows);
  } else if (osCanExecute(sbGet(&path))) {
    sbEmpty(out);
    result = sbAppendString(out, sbGet(&path));
  }
  sbClean(&path);
  memFree(windows);
  return result;
}

bool osCanExecute(const char* path) {
  wchar_t* wide = winUtf8ToWide(path);
  HANDLE h = wide ? CreateFileW(wide, GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr)
                  : INVALID_HANDLE_VALUE;
  DWORD error = GetLastError();
  memFree(wide);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return true;
  }
  osErrorReport(logCatProcess, error, "File permissions for %s prevent execution of file %s",
                osGetCurrentUser() ? osGetCurrentUser() : "?", path);
  return false;
}

char** processOwnArguments() {
  // The system's own parser (shell32, loaded on demand: it is needed
  // nowhere else).
  using SplitFn = LPWSTR*(WINAPI*)(LPCWSTR, int*);
  HMODULE shell = LoadLibraryW(L"shell32.dll");
  SplitFn split =
      shell ? reinterpret_cast<SplitFn>(reinterpret_cast<void*>(GetProcAddress(shell, "CommandLineToArgvW"))) : nullptr;
  int count = 0;
  wchar_t** wide = split ? split(GetCommandLineW(), &count) : nullptr;
  if (!wide) return nullptr;
  char** argv = memNewArray(char*, count + 1);
  for (int i = 0; i < count; i++) {
    argv[i] = winWideToUtf8(wide[i]);
    if (!argv[i]) argv[i] = memStrDup("");
  }
  LocalFree(wide);
  return argv;
}

// The process's creation time (FILETIME units) identifies it: a reused
// process id belongs to a process created later.
int osProcessStartTime(uint32_t pid, uint64_t* startTime) {
  *startTime = 0;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return GetLastError() == ERROR_INVALID_PARAMETER ? 1 : -1;
  DWORD code = 0;
  FILETIME created, exited, kernel, user;
  int rc = 0;
  if (!GetExitCodeProcess(h, &code) || !GetProcessTimes(h, &created, &exited, &kernel, &user))
    rc = -1;
  else if (code != STILL_ACTIVE)
    rc = 1;
  else
    *startTime = ((uint64_t)created.dwHighDateTime << 32) | created.dwLowDateTime;
  CloseHandle(h);
  return rc;
}
