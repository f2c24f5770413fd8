// POSIX crash dumps: fatal signals write a text dump (signal, fault address,
// the stack as backtrace lines) and then end the process with the same
// signal, so callers still see the usual status. The handler runs on an
// alternate stack so a stack overflow is caught too.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "../dumpprim.h"
#include "logging.h"
#include "osdump.h"
#include "oserror.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SFX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define SFX_SANITIZED 1
#endif
#endif

namespace {

constexpr int fatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
std::atomic<bool> armed{false};
std::atomic<int> faulted{0};
alignas(16) char altStack[64 * 1024];

void writeText(int fd, const char* text) {
  size_t n = strlen(text);
  while (n) {
    ssize_t w = write(fd, text, n);
    if (w <= 0) return;
    text += w;
    n -= (size_t)w;
  }
}

// Civil date from seconds since 1970 (UTC), without the C library's locale
// and time-zone machinery, which is not safe inside a signal handler.
void civilTime(time_t now, uint32_t fields[6]) {
  int64_t days = (int64_t)now / 86400;
  int64_t secs = (int64_t)now % 86400;
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  fields[0] = (uint32_t)(yoe + era * 400 + (m <= 2));
  fields[1] = (uint32_t)m;
  fields[2] = (uint32_t)d;
  fields[3] = (uint32_t)(secs / 3600);
  fields[4] = (uint32_t)(secs / 60 % 60);
  fields[5] = (uint32_t)(secs % 60);
}

void onFatal(int sig, siginfo_t* info, void*) {
  if (faulted.exchange(1) == 0) {
    char name[dumpPrefixMax + 64];
    size_t n = strnlen(dumpPrefix, dumpPrefixMax - 1);
    memcpy(name, dumpPrefix, n);
    uint32_t fields[6];
    civilTime(time(nullptr), fields);
    dumpAppendSuffix(name + n, name + sizeof name, fields, (uint64_t)getpid());
    // Made new: a link someone put at the name beforehand is not written
    // through (the name holds the time and the process id, so a dump of
    // this run never finds its name taken otherwise).
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      writeText(fd, "Fatal signal ");
      writeText(fd, sigabbrev_np(sig) ? sigabbrev_np(sig) : "?");
      writeText(fd, " at address 0x");
      uintptr_t address = (uintptr_t)(info ? info->si_addr : nullptr);
      char hex[2 * sizeof address + 1];
      for (size_t i = 0; i < 2 * sizeof address; i++)
        hex[i] = "0123456789abcdef"[(address >> (4 * (2 * sizeof address - 1 - i))) & 15];
      hex[2 * sizeof address] = 0;
      writeText(fd, hex);
      writeText(fd, "\nStack:\n");
      void* frames[64];
      int count = backtrace(frames, 64);
      backtrace_symbols_fd(frames, count, fd);
      close(fd);
    }
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

bool osDumpSupported() {
#ifdef SFX_SANITIZED
  return false;
#else
  return true;
#endif
}

int dumpPrimArm(const char*) {
  if (armed.exchange(true)) return 0;
  // backtrace loads its unwinder on first use, which allocates: do that now
  // rather than inside the handler.
  void* frame[1];
  backtrace(frame, 1);
  stack_t stack{};
  stack.ss_sp = altStack;
  stack.ss_size = sizeof altStack;
  if (sigaltstack(&stack, nullptr) != 0)
    osErrorLog(logLevelWarn, logCatDump, osErrorLast(), "No alternate signal stack, a stack overflow leaves no dump");
  struct sigaction action {};
  action.sa_sigaction = onFatal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : fatalSignals) {
    if (sigaction(sig, &action, nullptr) != 0) {
      osErrorReport(logCatDump, osErrorLast(), "Cannot install the crash handler for signal %d", sig);
      armed = false;
      return -1;
    }
  }
  return 0;
}
