// Thread layer: named threads, stopping, wait objects, mutexes, per-thread logging state, the sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "osdate.h"
#include "osinit.h"
#include "osthread.h"
#include "stringbuf.h"

namespace {

class OsThread : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(osThreadInit(), 0); }
  void TearDown() override {
    EXPECT_EQ(osThreadStopAll(), 0);
    EXPECT_EQ(osThreadCount(), 0);
    osClearStopRequested();
  }
};

// Polls until cond holds or about ten seconds have passed.
template <typename F>
bool eventually(F cond) {
  for (int i = 0; i < 1000; i++) {
    if (cond()) return true;
    osSleep(10);
  }
  return cond();
}

struct Blocker {
  OsWaitObject* release = nullptr;   // notified to let the thread end
  std::string name;                  // osThreadCurrentName seen inside
  std::atomic<bool> started{false};  // the thread is running
};

void blockUntilReleased(void* p) {
  Blocker* b = static_cast<Blocker*>(p);
  b->name = osThreadCurrentName();
  b->started = true;
  osWaitObjectWait(b->release, UINT64_MAX);
}

struct StopFlag {
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
};

void spinUntilStopped(void* p) {
  StopFlag* f = static_cast<StopFlag*>(p);
  while (!f->stop) osSleep(5);
  f->done = true;
}

void setStop(void* p) { static_cast<StopFlag*>(p)->stop = true; }

// The logging thread is joined last, after the pipe was told to stop; others stop through their functions.
std::atomic<int> countAtPipeStop{-1};
OsWaitObject* loggingRelease = nullptr;

void onPipeStop() {
  countAtPipeStop = osThreadCount();
  osWaitObjectNotify(loggingRelease);
}

void loggingBody(void*) { osWaitObjectWait(loggingRelease, UINT64_MAX); }

TEST_F(OsThread, LoggingThreadJoinedLastAndSameNameGetsDistinctSerials) {
  ASSERT_NE(loggingRelease = osWaitObjectCreate("logging-release", true), nullptr);
  StopFlag f;
  osThreadLogStopPipe = onPipeStop;
  ASSERT_EQ(osThreadCreate("logging", loggingBody, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(osThreadCreate("worker", spinUntilStopped, &f, nullptr, setStop), 0);
  EXPECT_EQ(osThreadStopAll(), 0);
  osThreadLogStopPipe = nullptr;
  // The worker stopped through its stop function; stopping threads is no stop request; only the logging thread was
  // left when the pipe was told to stop.
  EXPECT_EQ((std::tuple{f.done.load(), osStopRequested(), countAtPipeStop.load(), osThreadCount(),
                        osWaitObjectDestroy(&loggingRelease)}),
            (std::tuple{true, false, 1, 0, 0}));
  Blocker a, b;
  ASSERT_NE(a.release = osWaitObjectCreate("rel-a", true), nullptr);
  b.release = osWaitObjectCreate("rel-b", true);
  ASSERT_EQ(osThreadCreate("worker", blockUntilReleased, &a, &a.release, nullptr), 0);
  ASSERT_EQ(osThreadCreate("worker", blockUntilReleased, &b, &b.release, nullptr), 0);
  ASSERT_TRUE(eventually([&] { return a.started && b.started; }));
  EXPECT_EQ(osThreadCount(), 2);
  ASSERT_TRUE(a.name.starts_with("worker #") && b.name.starts_with("worker #")) << a.name << ", " << b.name;
  // Serials are consecutive hexadecimal numbers.
  EXPECT_EQ(std::stoul(b.name.substr(8), nullptr, 16), std::stoul(a.name.substr(8), nullptr, 16) + 1);
  // The stop notifies each thread's stop wait object and joins both.
  EXPECT_EQ((std::tuple{osThreadStopAll(), osThreadCount(), osWaitObjectDestroy(&a.release),
                        osWaitObjectDestroy(&b.release)}),
            (std::tuple{0, 0, 0, 0}));
}

TEST_F(OsThread, WaitObjectsNamesResetKindsAndWakeUps) {
  OsWaitObject* first = osWaitObjectCreate("unique-name", true);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(osWaitObjectCreate("unique-name", false), nullptr);
  // The first one still works; a second destroy fails.
  OsWaitObject* copy = first;
  EXPECT_EQ((std::tuple{osWaitObjectNotify(first), osWaitObjectWait(first, 0), osWaitObjectDestroy(&first), first,
                        osWaitObjectDestroy(&copy), copy}),
            (std::tuple{0, 0, 0, (OsWaitObject*)nullptr, -1, (OsWaitObject*)nullptr}));
  EXPECT_EQ(osWaitObjectDestroy(&copy), 0);  // empty holder: nothing to do

  // A manual object stays signalled until reset; an automatic one wakes one wait.
  OsWaitObject* manual = osWaitObjectCreate("manual", true);
  OsWaitObject* automatic = osWaitObjectCreateAuto("automatic");
  ASSERT_TRUE(manual && automatic);
  EXPECT_EQ(osWaitObjectWait(manual, 20), -1);  // not signalled yet
  osWaitObjectNotify(manual);
  osWaitObjectNotify(automatic);
  // Waits in this order: manual twice (it stays signalled), automatic twice (the first consumes it), the
  // manual one's reset, and a wait on it.
  EXPECT_EQ((std::vector<int>{osWaitObjectWait(manual, 0), osWaitObjectWait(manual, 0), osWaitObjectWait(automatic, 0),
                              osWaitObjectWait(automatic, 20), osWaitObjectReset(manual), osWaitObjectWait(manual, 0)}),
            (std::vector<int>{0, 0, 0, -1, 0, -1}));
  EXPECT_EQ((std::tuple{osWaitObjectNotify(nullptr), osWaitObjectWait(nullptr, 0)}), (std::tuple{-1, -1}));
  // A notification wakes a wait on another thread.
  std::atomic<int> result{1};
  std::thread t([&] { result = osWaitObjectWait(automatic, 10000); });
  osSleep(50);
  osWaitObjectNotify(automatic);
  t.join();
  EXPECT_EQ(result, 0);
  osWaitObjectDestroy(&manual);
  osWaitObjectDestroy(&automatic);
}

TEST_F(OsThread, SleepIsCutByAPendingOrNewStop) {
  osSetStopRequested();
  uint64_t start = osDateNow();
  osSleep(5000);
  uint64_t took = osDateNow() - start;
  osClearStopRequested();
  EXPECT_TRUE(took >= 900 && took < 4500) << took;

  // A stop requested during a sleep ends it.
  std::thread stopper([] {
    osSleep(100);
    osSetStopRequested();
    osNotifySleepers();
  });
  start = osDateNow();
  osSleep(60000);
  took = osDateNow() - start;
  stopper.join();
  osClearStopRequested();
  EXPECT_LT(took, 30000u);
}

TEST(OsMutex, RecursiveAndSuppressing) {
  OsMutex* m = osThreadMakeMutex("test-recursive");
  ASSERT_NE(m, nullptr);
  // Taken twice by the same thread.
  EXPECT_EQ((std::tuple{std::string(osMutexName(m)), osThreadLockMutex(m), osThreadLockMutex(m)}),
            (std::tuple{"test-recursive", 0, 0}));
  // Another thread cannot take it while we hold it.
  std::atomic<bool> got{false};
  std::thread t([&] {
    osThreadLockMutex(m);
    got = true;
    osThreadUnlockMutex(m);
  });
  osSleep(50);
  EXPECT_FALSE(got);
  osThreadUnlockMutex(m);
  osThreadUnlockMutex(m);
  t.join();
  EXPECT_TRUE(got);
  osThreadDestroyMutex(m);

  OsMutex* s = osMutexCreateSuppressing("test-suppressing");
  const int32_t before = osThreadSuppressDepth();
  EXPECT_EQ(
      (std::tuple{osThreadLockMutex(s), osThreadSuppressDepth(), osThreadUnlockMutex(s), osThreadSuppressDepth()}),
      (std::tuple{0, before + 1, 0, before}));
  osThreadDestroyMutex(s);

  EXPECT_EQ((std::tuple{osThreadLockMutex(nullptr), osThreadUnlockMutex(nullptr)}), (std::tuple{0, 0}));
  OsMutex* l = osThreadMakeMutex(std::string(200, 'x').c_str());
  EXPECT_EQ(strlen(osMutexName(l)), 79u);
  osThreadDestroyMutex(l);
  OsMutex* mc = osThreadMakeMutex("memory.mc");
  ASSERT_NE(mc, nullptr);
  osThreadDestroyMutex(mc);
}

// A layer thread's logging state: record buffer, error buffer in modes 0 and 1, the mode, its name.
void probeLogState(void* p) {
  const bool record = osThreadRecordBuffer() != nullptr, atZero = osThreadErrorBuffer() != nullptr;
  osThreadSetErrorMode(1);
  StringBuffer* eb = osThreadErrorBuffer();
  *static_cast<std::string*>(p) = std::string(record ? "record" : "no record") + (atZero ? ", buffer at 0" : "") +
                                  (eb ? ", buffer at 1" : "") + ", mode " + std::to_string(osThreadGetErrorMode()) +
                                  ", " + osThreadCurrentName();
  if (eb) sbAppendString(eb, "kept until mode 0");
  osThreadSetErrorMode(0);
}

TEST_F(OsThread, LoggingStatePerThread) {
  std::string seen;
  ASSERT_EQ(osThreadCreate("probe", probeLogState, &seen, nullptr, nullptr), 0);
  ASSERT_TRUE(eventually([] { return osThreadCount() == 0; }));
  EXPECT_EQ(seen.rfind("record, buffer at 1, mode 1, probe #", 0), 0u) << seen;

  // The main thread has the "Main" record, named after the process type.
  EXPECT_EQ((std::tuple{osThreadRecordBuffer() != nullptr, std::string(osThreadCurrentName())}),
            (std::tuple{true, "sfx"}));
  auto bufferIn = [](uint32_t mode) { return osThreadSetErrorMode(mode), osThreadErrorBuffer(); };
  sbAppendString(bufferIn(2), "abc");
  EXPECT_STREQ(sbGet(osThreadErrorBuffer()), "abc");
  EXPECT_EQ(bufferIn(0), nullptr);
  EXPECT_EQ(sbGetLength(bufferIn(2)), 0u);  // mode 0 emptied it
  osThreadSetErrorMode(0);

  // A thread the layer did not start has no record buffer and shares one suppression counter.
  std::string foreign;
  std::thread([&] {
    foreign = std::string(osThreadCurrentName()) + (osThreadRecordBuffer() ? ", record buffer" : "");
    const int32_t up = osThreadSuppressIncrement();
    foreign += up == osThreadSuppressDecrement() + 1 ? "" : ", counter lost";
  }).join();
  EXPECT_EQ(foreign, "windows-thread");
}

TEST_F(OsThread, ScratchAndCounters) {
  char* a = osThreadScratch(16);
  ASSERT_NE(a, nullptr);
  memset(a, 'x', 16);
  EXPECT_EQ(osThreadScratch(8), a);  // big enough already: same buffer
  char* c = osThreadScratch(4096);
  ASSERT_NE(c, nullptr);
  memset(c, 'y', 4096);

  uint64_t counter = 6;  // counts from 1 to 7, then starts again at 1
  auto step = [&] { return osThreadSafeIncrement(&counter, 1, 7), counter; };
  EXPECT_EQ((std::tuple{step(), step()}), (std::tuple{7u, 1u}));

  // Concurrent increments under the layer lost none.
  struct Ctx {
    uint64_t counter = 0;
    std::atomic<int> ready{0};
  } ctx;
  auto body = [](void* p) {
    Ctx* x = static_cast<Ctx*>(p);
    for (int i = 0; i < 10000; i++) osThreadSafeIncrement(&x->counter, 0, UINT64_MAX);
    x->ready++;
  };
  for (int i = 0; i < 4; i++) ASSERT_EQ(osThreadCreate("inc", body, &ctx, nullptr, nullptr), 0);
  ASSERT_TRUE(eventually([&] { return ctx.ready == 4; }));
  EXPECT_EQ((std::tuple{osThreadStopAll(), ctx.counter}), (std::tuple{0, uint64_t{40000}}));
}

}  // namespace
