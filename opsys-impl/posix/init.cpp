// POSIX backend only: argument copy, signals as console control events,
// user, host and system description, memory counters, the exit path.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build.h"
#include "initprim.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "oserror.h"
#include "osinit.h"
#include "osthread.h"
#include "posixsys.h"
#include "secure.h"

namespace {

char** convertedArgs = nullptr;
int signalPipe[2] = {-1, -1};

// Control event each handled signal plays: SIGINT is Ctrl-C, SIGQUIT
// (Ctrl-\) Ctrl-Break, SIGHUP the closed terminal (Close), SIGTERM the
// system going down (Shutdown).
uint32_t eventForSignal(int sig) {
  switch (sig) {
    case SIGINT:
      return 0;
    case SIGQUIT:
      return 1;
    case SIGHUP:
      return 2;
    default:
      return 6;
  }
}

// Signal handler: only hands the signal number to the watcher thread
// (write is async-signal-safe; logging and locks are not).
void onSignal(int sig) {
  int saved = errno;
  unsigned char b = (unsigned char)sig;
  ssize_t n = write(signalPipe[1], &b, 1);
  (void)n;
  errno = saved;
}

// Watcher thread: turns each signal into a console control event on a
// thread that may log, lock and end the process.
void* signalWatcher(void*) {
  for (;;) {
    unsigned char b = 0;
    ssize_t n = read(signalPipe[0], &b, 1);
    if (n == 1)
      osConsoleCtrlHandler(eventForSignal(b));
    else if (n < 0 && errno != EINTR)
      return nullptr;
  }
}

}  // namespace

// The arguments are already UTF-8: the block holds the pointer array
// followed by copies of the strings, like the Windows conversion, and comes
// from the C runtime (it outlives tracked memory).
int osConvertArguments(int argc, const void* const* args, int* outArgc, char*** outArgv) {
  const char* const* in = reinterpret_cast<const char* const*>(args);
  size_t total = 0;
  for (int i = 0; i < argc; i++) total += strlen(in[i]) + 1;
  char** block = static_cast<char**>(malloc(sizeof(char*) * (size_t)(argc + 1) + total));
  if (!block) return -1;
  char* p = reinterpret_cast<char*>(block + argc + 1);
  for (int i = 0; i < argc; i++) {
    size_t n = strlen(in[i]) + 1;
    memcpy(p, in[i], n);
    block[i] = p;
    p += n;
  }
  block[argc] = nullptr;
  convertedArgs = block;
  *outArgc = argc;
  *outArgv = block;
  return convInit(outArgc, outArgv);
}

void osRelease() {
  free(convertedArgs);
  convertedArgs = nullptr;
  osThreadReset();
  secureUnload();
}

uint32_t osProcessId() { return (uint32_t)getpid(); }

int initPrimInstallControlHandler() {
  // A write past the file-size limit (ulimit -f) fails with EFBIG and the
  // extraction rolls back, instead of the process ending half-way. A write
  // to a pipe nobody reads any more (the log's reader gone) fails with
  // EPIPE, as it does on Windows, instead of ending the process half-way.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  posixUmaskBits();
  if (signalPipe[0] >= 0) return 0;
  if (pipe(signalPipe) != 0) {
    osErrorReport(logCatInit, (uint32_t)errno, "SetConsoleCtrlHandler");
    return -1;
  }
  fcntl(signalPipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(signalPipe[1], F_SETFD, FD_CLOEXEC);
  pthread_t watcher;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rc = pthread_create(&watcher, &attr, signalWatcher, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    osErrorReport(logCatInit, (uint32_t)rc, "SetConsoleCtrlHandler");
    return -1;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGQUIT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  return 0;
}

void initPrimExitProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  _exit(code);
}

int initPrimEpoch() { return 0; }

int initPrimUserName(char** user) {
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found) {
    *user = memStrDup(found->pw_name);
    return 0;
  }
  const char* env = getenv("USER");
  if (env && *env) {
    *user = memStrDup(env);
    return 0;
  }
  // A container user without a passwd entry is still a user.
  char id[32];
  snprintf(id, sizeof id, "%u", (unsigned)geteuid());
  *user = memStrDup(id);
  return 0;
}

int initPrimDescription(char* description, size_t descriptionSize, char* userAgent, size_t userAgentSize) {
  struct utsname u;
  if (uname(&u) != 0) memset(&u, 0, sizeof u);
  unsigned major = 0, minor = 0, patch = 0;
  sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  uint64_t pages = (uint64_t)sysconf(_SC_PHYS_PAGES);
  uint64_t pageSize = (uint64_t)sysconf(_SC_PAGESIZE);
  uint64_t ramMb = (pages * pageSize + 1047552) / 1048576;
  snprintf(description, descriptionSize, "%s=v%u.%u build=%u kernel=%s processors=%u ram=%" PRIu64 "MB",
           u.sysname[0] ? u.sysname : "posix", major, minor, patch, u.machine[0] ? u.machine : "unknown",
           (unsigned)(cpus > 0 ? cpus : 1), ramMb);
  snprintf(userAgent, userAgentSize, "%s/%s (%s;%u.%u;%s)", "QZR", releaseVersion, u.sysname, major, minor, u.machine);
  return 0;
}

int initPrimHostNames(char** host, char** fqdn) {
  char name[256];
  if (gethostname(name, sizeof name) != 0) {
    logFatal(logCatInit, "GetComputerNameEx failed (%s)\n", osErrorText(nullptr, (uint32_t)errno));
    return -1;
  }
  name[sizeof name - 1] = 0;
  *host = memStrDup(name);
  // The fully qualified name belongs to the socket layer; a host name with
  // a domain already is one.
  *fqdn = strchr(name, '.') ? memStrDup(name) : nullptr;
  if (!*fqdn) logDebug(logCatInit, "GetComputerNameEx failed (%s) to get DnsFullyQualified\n", "no domain");
  return 0;
}

bool initPrimMemoryCounters(char* text, size_t size) {
  struct rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0) return false;
  unsigned long vmSize = 0, vmPeak = 0, rss = 0;
  if (FILE* f = fopen("/proc/self/status", "r")) {
    char line[256];
    while (fgets(line, sizeof line, f)) {
      sscanf(line, "VmPeak: %lu", &vmPeak);
      sscanf(line, "VmSize: %lu", &vmSize);
      sscanf(line, "VmRSS: %lu", &rss);
    }
    fclose(f);
  }
  snprintf(text, size,
           "  PageFaultCount:             %u\n"
           "  PeakWorkingSetSize:         %u KiB\n"
           "  WorkingSetSize:             %u KiB\n"
           "  PagefileUsage:              %u KiB\n"
           "  PeakPagefileUsage:          %u KiB\n",
           (unsigned)(ru.ru_minflt + ru.ru_majflt), (unsigned)ru.ru_maxrss, (unsigned)rss, (unsigned)vmSize,
           (unsigned)vmPeak);
  return true;
}
