// POSIX backend only: children started with posix_spawn from a command
// line split by the standard parser rules, pipes pumped with poll, /bin/sh
// as the command interpreter.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

extern char** environ;

namespace {

constexpr uint32_t pipeChunk = 4096;
// Once the child has ended, output still arriving (from grandchildren that
// kept the pipes) is read only while it keeps coming within this time.
constexpr int drainGraceMs = 200;

void closeFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

int makePipe(int fds[2], const char* commandLine) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    osErrorReport(logCatProcess, (uint32_t)errno, "Failed to create pipe for command %s", commandLine);
    fds[0] = fds[1] = -1;
    return -1;
  }
  logTrace(logCatProcess, "Created read handle %d\n", fds[0]);
  logTrace(logCatProcess, "Created write handle %d\n", fds[1]);
  return 0;
}

// Reads what one pipe has; false at end of file.
bool pumpRead(int* fd, StringBuffer* buffer, ProcessLogSink* sink, const char* label, const char* eofText,
              bool* failed) {
  char chunk[pipeChunk];
  ssize_t n = read(*fd, chunk, sizeof chunk);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) {
    logDebug(logCatProcess, "%s", eofText);
    closeFd(fd);
    return false;
  }
  if (processDeliver(buffer, sink, label, chunk, (uint32_t)n) != 0) *failed = true;
  return true;
}

int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// This process ignores SIGXFSZ and SIGPIPE (a write past the file-size
// limit or into a pipe without reader then fails instead of ending it); a
// child starts with the default actions.
void childSignalDefaults(posix_spawnattr_t* attr) {
  posix_spawnattr_init(attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGXFSZ);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGDEF);
}

}  // namespace

int osRunCommand(const char* commandLine, StringBuffer* input, StringBuffer* output, StringBuffer* errors,
                 uint64_t* exitCode, OsProcessHandles* handles) {
  logDebug(logCatProcess, "Spawning command %s\n", commandLine);
  bool noWait = output == RUNCOMMAND_NO_WAIT;
  StringBuffer* outBuffer = noWait ? nullptr : output;
  bool toLog = !noWait && !output;
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  int nullFd = -1;
  int result = -1;
  bool locked = false;
  char** argv = nullptr;
  pid_t pid = -1;
  ProcessLogSink sink;
  processLogSinkInit(&sink);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_t attr;
  childSignalDefaults(&attr);

  do {
    if (noWait) logTrace(logCatProcess, "osRunCommand RUNCOMMAND_NO_WAIT\n");
    if (outBuffer) logTrace(logCatProcess, "osRunCommand output to stringbuffer\n");
    if ((outBuffer || toLog) && makePipe(outPipe, commandLine) != 0) break;
    if (errors) {
      logTrace(logCatProcess, "osRunCommand error to stringbuffer\n");
      if (makePipe(errPipe, commandLine) != 0) break;
    }
    if (input) {
      logTrace(logCatProcess, "osRunCommand stdin from stringbuffer\n");
      if (makePipe(inPipe, commandLine) != 0) break;
    }
    logDebugStr(logCatProcess, "runCommand", commandLine, 0);
    argv = processSplitCommandLine(commandLine);
    if (!argv[0][0]) {
      logError(logCatProcess, "Cannot run command %s: no program\n", commandLine);
      break;
    }

    osThreadLockMutex(processCreateMutex);
    locked = true;
    if (inPipe[0] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    } else {
      nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (nullFd < 0) {
        osErrorReport(logCatProcess, (uint32_t)errno, "Cannot open null device for command %s", commandLine);
        break;
      }
      logTrace(logCatProcess, "hStdInput from null device\n");
      posix_spawn_file_actions_adddup2(&actions, nullFd, 0);
    }
    if (outPipe[1] >= 0) posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    int errTarget = errPipe[1] >= 0 ? errPipe[1] : outPipe[1];
    if (errTarget >= 0) posix_spawn_file_actions_adddup2(&actions, errTarget, 2);
    char* ownLevel = nullptr;
    processChildLogLevelBegin(&ownLevel);
    int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv, environ);
    processChildLogLevelEnd(&ownLevel);
    if (rc != 0) {
      osErrorReport(logCatProcess, (uint32_t)rc, "Cannot run command %s", commandLine);
      pid = -1;
      break;
    }
    closeFd(&outPipe[1]);
    closeFd(&errPipe[1]);
    closeFd(&inPipe[0]);
    closeFd(&nullFd);
    osThreadUnlockMutex(processCreateMutex);
    locked = false;

    if (noWait || handles) {
      if (handles) *handles = OsProcessHandles{(uintptr_t)pid, 0, (uint32_t)pid, 0};
      pid = -1;  // the caller's now
      result = 0;
      break;
    }

    // Exchange data until the pipes close, the child ends (and its output
    // stops coming), or the wait runs out.
    const char* inData = input ? sbGet(input) : nullptr;
    uint32_t inLeft = input ? sbGetLength(input) : 0;
    if (inPipe[1] >= 0) fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    if (inPipe[1] >= 0 && inLeft == 0) {
      logDebug(logCatProcess, "EOF on input\n");
      closeFd(&inPipe[1]);
    }
    uint64_t deadline = osDateNow() + osRunCommandTimeout;
    bool exited = false, failed = false, timedOut = false;
    int status = 0;
    while (!failed && (inPipe[1] >= 0 || outPipe[0] >= 0 || errPipe[0] >= 0)) {
      if (!exited) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) exited = true;
      }
      uint64_t now = osDateNow();
      if (now >= deadline) {
        timedOut = true;
        break;
      }
      if (exited) closeFd(&inPipe[1]);  // nobody left to read it
      pollfd fds[3];
      int n = 0;
      if (inPipe[1] >= 0) fds[n++] = pollfd{inPipe[1], POLLOUT, 0};
      if (outPipe[0] >= 0) fds[n++] = pollfd{outPipe[0], POLLIN, 0};
      if (errPipe[0] >= 0) fds[n++] = pollfd{errPipe[0], POLLIN, 0};
      if (n == 0) break;
      uint64_t left = deadline - now;
      int wait = exited ? drainGraceMs : (int)(left < 100 ? left : 100);
      int ready = poll(fds, (nfds_t)n, wait);
      if (ready < 0 && errno != EINTR) {
        osErrorReport(logCatProcess, (uint32_t)errno, "Unknown problem on waiting for command %s", commandLine);
        failed = true;
        break;
      }
      if (ready == 0 && exited) break;  // the child is gone and so is its output
      for (int i = 0; i < n; i++) {
        if (!fds[i].revents) continue;
        if (fds[i].fd == inPipe[1]) {
          ssize_t wrote = write(inPipe[1], inData, inLeft > 65536 ? 65536 : inLeft);
          if (wrote > 0) {
            logDebugStr(logCatProcess, "input", inData, (uint32_t)wrote);
            inData += wrote;
            inLeft -= (uint32_t)wrote;
          }
          if ((wrote < 0 && errno != EAGAIN && errno != EINTR) || wrote == 0 || inLeft == 0) {
            logDebug(logCatProcess, "EOF on input\n");
            closeFd(&inPipe[1]);
          }
        } else if (fds[i].fd == outPipe[0]) {
          pumpRead(&outPipe[0], outBuffer, toLog ? &sink : nullptr, "output", "EOF on output\n", &failed);
        } else if (fds[i].fd == errPipe[0]) {
          pumpRead(&errPipe[0], errors, nullptr, "error", "EOF on error\n", &failed);
        }
      }
    }
    closeFd(&inPipe[1]);
    closeFd(&outPipe[0]);
    closeFd(&errPipe[0]);
    if (failed) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      pid = -1;
      break;
    }

    // Wait for the end within what is left of the wait.
    while (!exited && !timedOut) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) {
        exited = true;
      } else if (w < 0 && errno != EINTR) {
        osErrorReport(logCatProcess, (uint32_t)errno, "Unknown problem on waiting for command %s", commandLine);
        pid = -1;
        break;
      } else if (osDateNow() >= deadline) {
        timedOut = true;
      } else {
        struct timespec ts = {0, 10 * 1000000L};
        nanosleep(&ts, nullptr);
      }
    }
    if (pid < 0) break;
    if (timedOut) {
      logDebug(logCatProcess, "Wait failed; killing process %d\n", (int)pid);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      pid = -1;
      if (exitCode) *exitCode = 258;
      break;
    }
    int code = exitCodeOf(status);
    logDebug(logCatProcess, "Child process %d: exited returncode=%d (hex %X)\n", (int)pid, code, (unsigned)code);
    pid = -1;
    if (exitCode) *exitCode = (uint64_t)(uint32_t)code;
    result = code == 0 ? 0 : -1;
  } while (false);

  if (locked) osThreadUnlockMutex(processCreateMutex);
  processLogSinkFinish(&sink);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  closeFd(&inPipe[0]);
  closeFd(&inPipe[1]);
  closeFd(&outPipe[0]);
  closeFd(&outPipe[1]);
  closeFd(&errPipe[0]);
  closeFd(&errPipe[1]);
  closeFd(&nullFd);
  processFreeArgv(argv);
  return result;
}

void processPrimShellLine(StringBuffer* line, const char* interpreter, const char* command) {
  sbPrintf(line, "\"%s\" -c ", interpreter);
  osQuoteArgument(line, command);
}

int osGetCommandInterpreter(StringBuffer* out) {
  const char* shell = "/bin/sh";
  if (access(shell, F_OK) != 0) {
    logError(logCatEnv, "Cannot find %s\n", shell);
    return -1;
  }
  if (!osCanExecute(shell)) return -1;
  sbEmpty(out);
  return sbAppendString(out, shell);
}

bool osCanExecute(const char* path) {
  if (access(path, X_OK) == 0) return true;
  osErrorReport(logCatProcess, (uint32_t)errno, "File permissions for %s prevent execution of file %s",
                osGetCurrentUser() ? osGetCurrentUser() : "?", path);
  return false;
}

char** processOwnArguments() {
  FILE* f = fopen("/proc/self/cmdline", "rb");
  if (!f) return nullptr;
  StringBuffer all;
  sbInitHere(&all);
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) sbAppendData(&all, chunk, (uint32_t)n);
  fclose(f);
  uint32_t count = 0;
  for (uint32_t i = 0; i < sbGetLength(&all); i++)
    if (sbGet(&all)[i] == 0) count++;
  char** argv = memNewArray(char*, count + 1);
  const char* p = sbGet(&all);
  for (uint32_t i = 0; i < count; i++) {
    argv[i] = memStrDup(p);
    p += strlen(p) + 1;
  }
  sbClean(&all);
  return argv;
}

// Linux: the start time is field 22 of /proc/<pid>/stat (clock ticks since
// boot). Elsewhere only whether the process exists is known, and its start
// time is 0.
int osProcessStartTime(uint32_t pid, uint64_t* startTime) {
  *startTime = 0;
  // Ids that are no process's (a negative pid_t would name a group).
  if (pid == 0 || pid > 0x7FFFFFFFu) return 1;
  // EPERM: the process exists but belongs to another user.
  if (kill((pid_t)pid, 0) != 0 && errno != EPERM) return 1;
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/stat", pid);
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  char line[1024];
  const size_t n = fread(line, 1, sizeof line - 1, f);
  fclose(f);
  line[n] = 0;
  // The command name may hold blanks and parentheses: fields count from
  // after its closing parenthesis, which is field 2.
  const char* p = strrchr(line, ')');
  if (!p) return 0;
  int field = 2;
  while (*p && field < 22)
    if (*p++ == ' ') field++;
  char* end = nullptr;
  const unsigned long long v = strtoull(p, &end, 10);
  if (end != p) *startTime = v;
  // A zombie has ended; its id is only waiting for its parent.
  const char* state = strrchr(line, ')');
  if (state && state[1] == ' ' && (state[2] == 'Z' || state[2] == 'X')) return 1;
  return 0;
}
