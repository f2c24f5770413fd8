// The installation lock judged by its holder and its age, against a test clock: nothing here waits for real.
#include <cstdio>
#include <string>

#include "lock.h"
#include "osfile.h"
#include "osfs.h"
#include "osinit.h"
#include "osprocess.h"
#include "ostest.h"

namespace {

uint64_t fakeNow = 0;
int fakeSleeps = 0;
uint64_t testNow() { return fakeNow; }
void testSleep(uint64_t ms) {
  fakeNow += ms;
  fakeSleeps++;
}
constexpr LockClock testClock = {.now = testNow, .sleep = testSleep};

class LockTest : public OsFsTest {
 protected:
  void SetUp() override {
    OsFsTest::SetUp();
    lockSetClock(&testClock);
    fakeSleeps = 0;
    testSetEnv("QZR_TEST_LOCK_ATTEMPTS", "90");
  }
  void TearDown() override {
    lockRelease(dir.c_str());
    lockSetClock(nullptr);
    testUnsetEnv("QZR_TEST_LOCK_ATTEMPTS");
    OsFsTest::TearDown();
  }
  std::string lock() { return path(".lock"); }
  // A lock directory as another process left it, `ageMin` minutes old by
  // the test clock; holder null for a lock without holder data.
  void plant(const char* holder, int ageMin, const char* file = "holder") {
    std::filesystem::create_directory(lock());
    if (holder) writeText(lock() + osPathSeparator + file, holder);
    uint64_t mtime = 0;
    osFileGetInfo(lock().c_str(), nullptr, &mtime, nullptr, nullptr, nullptr, nullptr, nullptr);
    fakeNow = mtime + (uint64_t)ageMin * 60000;
  }
  static std::string holderOf(uint32_t pid, uint64_t start, const char* host) {
    char line[512];
    snprintf(line, sizeof line, "1 %u %llu %s\n", pid, (unsigned long long)start, host);
    return line;
  }
  static std::string self() {
    uint64_t start = 0;
    osProcessStartTime(osProcessId(), &start);
    return holderOf(osProcessId(), start, host());
  }
  // The host name as the lock records it.
  static const char* host() {
    const char* h = osGetHostName(0);
    return h && *h ? h : "unknown";
  }
  int obtain(std::string* log) {
    int rc = -1;
    *log = testCaptureLog(logCatLock, logLevelInfo, [&] { rc = lockObtain(dir.c_str()); });
    return rc;
  }
};

// A release after a stop request (Ctrl-C, say, when sleeps return at once) still lets the keeper thread end before
// its stop signal is destroyed: a keeper woken as the signal goes would wait on freed memory for ever.
TEST_F(LockTest, ReleaseAfterAStopRequestLetsTheKeeperEnd) {
  for (int i = 0; i < 20; i++) {
    std::string log;
    ASSERT_EQ(obtain(&log), 0) << log;
    osSetStopRequested();
    EXPECT_EQ(lockRelease(dir.c_str()), 0);
    osClearStopRequested();
  }
}

TEST_F(LockTest, HolderDecidesOverAge) {
  const uint32_t gone = 2147480000u;  // no process has this id
  const std::string here = host();
  struct Case {
    std::string holder;  // "" for none
    int ageMin;
    int result, sleeps;
    const char* says;
    std::string file = "holder";  // where the holder line is
  } cases[] = {
      {self(), 20, -1, 90, "will wait 180 seconds"},                                // a live holder is never displaced
      {holderOf(gone, 5, here.c_str()), 1, 0, 0, "of process 2147480000"},          // a dead one at once
      {holderOf(osProcessId(), 1, here.c_str()), 1, 0, 0, "no longer runs"},        // id reused by another process
      {holderOf(1, 5, "elsewhere"), 11, 0, 60, "Removed stale installation lock"},  // aged while waiting
      {"", 13, 0, 0, "Removed stale installation lock"},                            // older version's lock
      {"", 1, -1, 90, "Failed to obtain installation lock"},
      // a live process whose start time is unknown is judged by the age
      {holderOf(osProcessId(), 0, here.c_str()), 11, 0, 60, "Removed stale installation lock"},
      // a takeover cut short by the end of its taker (holder moved aside)
      {holderOf(gone, 5, here.c_str()), 1, 0, 0, "of process 2147480001", "holder-2147480001.old"},
      {holderOf(gone, 5, here.c_str()), 1, -1, 90, "Failed to obtain",
       "holder-" + std::to_string(osProcessId()) + ".old"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(lock());
    fakeSleeps = 0;
    plant(c.holder.empty() ? nullptr : c.holder.c_str(), c.ageMin, c.file.c_str());
    std::string log;
    EXPECT_EQ(c.result, obtain(&log)) << c.holder << log;
    EXPECT_NEAR(c.sleeps, fakeSleeps, 1) << c.holder;
    EXPECT_NE(std::string::npos, log.find(c.says)) << log;
    if (c.result == 0) {
      EXPECT_EQ(self(), readText(lock() + osPathSeparator + "holder"));
      EXPECT_EQ(0, lockRelease(dir.c_str()));
      EXPECT_FALSE(exists(lock()));
    }
  }
}

// A link planted at the name the holder file is written under, in a lock
// left for stale, is never written through nor removed: the claim fails.
TEST_F(LockTest, HolderIsNeverWrittenThroughAPlantedLink) {
  const std::string victim = path("victim.txt");
  writeText(victim, "precious");
  plant(nullptr, 13);
  const std::string claim = lock() + osPathSeparator + "holder-" + std::to_string(osProcessId()) + ".tmp";
  TEST_LINK_OR_SKIP(std::filesystem::create_symlink, victim, claim);
  std::string log;
  EXPECT_EQ(-1, obtain(&log)) << log;
  EXPECT_EQ("precious", readText(victim));
  EXPECT_TRUE(std::filesystem::is_symlink(claim));
}

// A release leaves a lock that is no longer ours (another holder) or that
// holds more than our holder line (a journal for the next run).
TEST_F(LockTest, ReleaseLeavesALockThatIsNotOnlyOurs) {
  const std::string other = holderOf(1, 5, "elsewhere");
  for (const std::string file : {"holder", "journal"}) {
    std::string log;
    ASSERT_EQ(0, obtain(&log)) << file;
    writeText(lock() + osPathSeparator + file, other);
    EXPECT_EQ(-1, lockRelease(dir.c_str())) << file;
    EXPECT_EQ(file == "holder" ? other : self(), readText(lock() + osPathSeparator + "holder")) << file;
    std::filesystem::remove_all(lock());
  }
}

}  // namespace

// The lock swapped for a link to another directory at the moment a stale
// holder is moved aside: the takeover stays in the lock it judged, and
// nothing in the other directory is moved, created or deleted.
TEST_F(LockTest, TakeoverStaysInTheLockItJudged) {
  namespace fs = std::filesystem;
  const std::string outside = path("outside");
  fs::create_directory(outside);
  writeText(outside + osPathSeparator + "holder", "theirs");
  plant(holderOf(4242, 1, "elsewhere").c_str(), 13);
  TEST_LINK_OR_SKIP(fs::create_directory_symlink, outside, path("probe"));
  TestSwap swap{lock(), path("moved"), outside};
  osTestBeforeCall("rename", testSwapForLink, &swap);
  std::string log;
  obtain(&log);
  osTestBeforeCall(nullptr, nullptr, nullptr);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(outside)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"holder"}) << log;
  EXPECT_EQ(readText(outside + osPathSeparator + "holder"), "theirs");
}
