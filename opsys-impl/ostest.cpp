// Fault injection for the file and directory layer: one counter that every
// file-system call of the backends passes (see ostest.h).
#include <atomic>
#include <cstdlib>

#include "ostest.h"

namespace {

std::atomic<uint32_t> callCount{0};
std::atomic<uint32_t> failAt{0};  // 0: disarmed
std::atomic<uint32_t> failError{0};
std::atomic<uint32_t> failCount{1};
std::atomic<bool> fired{false};

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

uint32_t osTestCallCount() { return callCount.load(); }

// QZR_TEST_CRASH_AT=n in the environment ends the process abruptly (no
// clean-up, as a kill does) at its n-th file-system call, before the call:
// the crash tests of the update journal run a real installer this way.
uint32_t crashAt() {
  static const uint32_t at = [] {
    const char* v = getenv("QZR_TEST_CRASH_AT");
    return v && *v ? (uint32_t)strtoul(v, nullptr, 10) : 0u;
  }();
  return at;
}

static std::atomic<uint32_t> processCalls{0};

uint32_t osTestCheckFault() {
  const uint32_t crash = crashAt();
  if (crash && processCalls.fetch_add(1, std::memory_order_relaxed) + 1 == crash) std::_Exit(137);
  const uint32_t n = callCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint32_t at = failAt.load(std::memory_order_relaxed);
  if (at == 0 || n < at || n - at >= failCount.load(std::memory_order_relaxed)) return 0;
  fired.store(true);
  return failError.load();
}
