// Fault injection for the file and directory layer: one counter that every
// file-system call of the backends passes (see ostest.h).
#include <atomic>

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

uint32_t osTestCheckFault() {
  const uint32_t n = callCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint32_t at = failAt.load(std::memory_order_relaxed);
  if (at == 0 || n < at || n - at >= failCount.load(std::memory_order_relaxed)) return 0;
  fired.store(true);
  return failError.load();
}
