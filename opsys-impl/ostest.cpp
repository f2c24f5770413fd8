// Fault injection for the file and directory layer: one counter and the
// named faults that every file-system call of the backends passes, and the
// test clock (see ostest.h).
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ostest.h"

namespace {

std::atomic<uint32_t> callCount{0};
std::atomic<uint32_t> failAt{0};  // 0: disarmed
std::atomic<uint32_t> failError{0};
std::atomic<uint32_t> failCount{1};
std::atomic<bool> fired{false};
// The named faults: a call's name (a string literal of the test), its error
// and how many more calls fail. Armed by the test thread before the calls.
struct NamedFault {
  std::atomic<const char*> call{nullptr};
  std::atomic<uint32_t> error{0};
  std::atomic<uint32_t> left{0};
};
NamedFault namedFaults[4];
std::atomic<OsTestClock*> testClock{nullptr};

}  // namespace

void osTestFailAfter(uint32_t n, uint32_t error, uint32_t count) {
  failAt.store(0);
  callCount.store(0);
  fired.store(false);
  failError.store(error);
  failCount.store(count);
  failAt.store(n);
}

void osTestDisarm() { failAt.store(0); }

bool osTestFaultFired() { return fired.load(); }

void osTestFailCall(const char* name, uint32_t error, uint32_t count) {
  for (NamedFault& f : namedFaults) {
    const char* armed = f.call.load();
    if (!name || (armed && strcmp(armed, name) == 0)) f.call.store(nullptr);
  }
  if (!name) return;
  fired.store(false);
  for (NamedFault& f : namedFaults) {
    if (f.call.load()) continue;
    f.error.store(error);
    f.left.store(count);
    f.call.store(name);
    return;
  }
}

// QZR_TEST_CRASH_AT=n in the environment ends the process abruptly (no
// clean-up, as a kill does) at its n-th file-system call, before the call:
// the crash tests of the update journal run a real installer this way.
static uint32_t crashAt() {
  static const uint32_t at = [] {
    const char* v = getenv("QZR_TEST_CRASH_AT");
    return v && *v ? (uint32_t)strtoul(v, nullptr, 10) : 0u;
  }();
  return at;
}

static std::atomic<uint32_t> processCalls{0};

// The error of an armed fault for `call`, counting the call against it, or 0.
static uint32_t namedFaultFor(const char* call) {
  for (NamedFault& f : namedFaults) {
    const char* armed = f.call.load(std::memory_order_relaxed);
    if (!armed || strcmp(armed, call) != 0) continue;
    uint32_t left = f.left.load();
    while (left != 0 && !f.left.compare_exchange_weak(left, left == osTestFailAlways ? left : left - 1)) {
    }
    return left != 0 ? f.error.load() : 0;
  }
  return 0;
}

// The step osTestBeforeCall put before a named call, if any.
static std::atomic<const char*> hookCall{nullptr};
static void (*hookStep)(void*) = nullptr;
static void* hookContext = nullptr;

void osTestBeforeCall(const char* name, void (*step)(void*), void* context) {
  hookStep = step;
  hookContext = context;
  hookCall.store(name);
}

// True when call starts with one of the '|'-separated names.
static bool callMatches(const char* names, const char* call) {
  for (const char* p = names;; p++) {
    const char* end = strchr(p, '|');
    const size_t n = end ? (size_t)(end - p) : strlen(p);
    if (n > 0 && strncmp(p, call, n) == 0) return true;
    if (!end) return false;
    p = end;
  }
}

uint32_t osTestCheckFault(const char* call) {
  if (const char* hooked = hookCall.load(std::memory_order_relaxed); hooked && callMatches(hooked, call)) {
    hookCall.store(nullptr);
    hookStep(hookContext);
  }
  const uint32_t crash = crashAt();
  if (crash && processCalls.fetch_add(1, std::memory_order_relaxed) + 1 == crash) std::_Exit(137);
  if (const uint32_t e = namedFaultFor(call)) {
    fired.store(true);
    return e;
  }
  const uint32_t n = callCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint32_t at = failAt.load(std::memory_order_relaxed);
  if (at == 0 || n < at || n - at >= failCount.load(std::memory_order_relaxed)) return 0;
  fired.store(true);
  return failError.load();
}

void osTestSetClock(OsTestClock* clock) { testClock.store(clock); }

OsTestClock* osTestClock() { return testClock.load(std::memory_order_relaxed); }

void osTestClockWait(uint32_t milliseconds) {
  OsTestClock* clock = testClock.load();
  if (clock->waitCount < sizeof clock->waits / sizeof clock->waits[0]) clock->waits[clock->waitCount] = milliseconds;
  clock->waitCount++;
  clock->now += milliseconds;
}

// Unset until read from the environment or set by a test.
static std::atomic<uint32_t> closeDelay{osTestFailAlways};

void osTestSetCloseDelay(uint32_t milliseconds) { closeDelay.store(milliseconds); }

uint32_t osTestCloseDelay() {
  uint32_t d = closeDelay.load(std::memory_order_relaxed);
  if (d == osTestFailAlways) {
    const char* v = getenv("QZR_TEST_CLOSE_DELAY_MS");
    d = v && *v ? (uint32_t)strtoul(v, nullptr, 10) : 0u;
    closeDelay.store(d);
  }
  return d;
}
