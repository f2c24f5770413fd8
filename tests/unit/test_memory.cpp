// Tracked allocator: the plain mode in this process, the guard and cell-tracking modes in child processes (the child
// re-runs this binary, whose main() calls memInit with the QZR_MALLOC_* variables set here).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "memory.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace {

// Matches when the text contains every one of the given pieces.
struct ContainsAll : testing::MatcherInterface<const std::string&> {
  std::vector<std::string> pieces;
  explicit ContainsAll(std::vector<std::string> p) : pieces(std::move(p)) {}
  bool MatchAndExplain(const std::string& text, testing::MatchResultListener* listener) const override {
    for (const auto& p : pieces)
      if (text.find(p) == std::string::npos) return *listener << "lacks \"" << p << "\"", false;
    return true;
  }
  void DescribeTo(std::ostream* os) const override { *os << "contains every expected piece"; }
};

const char* const abortText = "Aborting process as we are out of OS resources.";

// Sets the allocator's variables for the children started in its scope.
struct MemEnv {
  static constexpr const char* names[] = {"QZR_MALLOC_DEBUG", "QZR_MALLOC_LOGFILE", "QZR_MALLOC_DEBUG_HEAP_EACH"};
  MemEnv(const char* level, const char* logFile, const char* heapEach) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* values[] = {level, logFile, heapEach};  // null: unset
    for (int i = 0; i < 3; i++) testSetEnv(names[i], values[i]);
  }
  ~MemEnv() {
    for (const char* n : names) testUnsetEnv(n);
  }
};

// In a child: fail with a message on stderr and exit code 1.
void childCheck(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "CHECK FAILED: %s\n", what);
  fflush(stderr);
  _exit(1);
}

// In a child: the allocator must run at the expected level, else the test would corrupt the real heap.
void childExpectLevel(uint32_t level) { childCheck(memDebugLevel() == level, "allocator level from QZR_MALLOC_DEBUG"); }

SFX_NORETURN void childDone() {
  fflush(nullptr);
  _exit(0);
}

}  // namespace

// ---- This process (whatever mode it runs in) ----

// Releasing null or the empty string counts nothing; the rest is counted.
TEST(MemoryPlain, OperationsAreCounted) {
  int64_t a0, f0, r0, a1, f1, r1;
  memGetStatistics(&a0, &f0, &r0);
  memFree(nullptr);
  memFree(memEmptyString);
  void* p = memAlloc(16);
  p = memRealloc(p, 4096);
  memFree(p);
  memGetStatistics(&a1, &f1, &r1);
  // Cell tracking reallocates as allocate, copy, release.
  EXPECT_EQ(std::tuple(a1 - a0, f1 - f0, memDebugLevel() < 2 ? r1 - r0 == 1 : r1 - r0 >= 1), std::tuple(1, 1, true))
      << r1 - r0;
}

TEST(MemoryPlain, ReallocKeepsContentAndSizeZeroFrees) {
  char* p = static_cast<char*>(memAlloc(4));
  memcpy(p, "abc", 4);
  p = static_cast<char*>(memRealloc(p, 100000));
  EXPECT_STREQ(p, "abc");
  p = static_cast<char*>(memRealloc(p, 2));
  EXPECT_EQ((std::tuple{memcmp(p, "ab", 2), memRealloc(p, 0)}), std::tuple(0, nullptr));
  // Reallocating the empty string allocates, it does not resize the static.
  p = static_cast<char*>(memRealloc(memEmptyString, 8));
  ASSERT_NE(p, memEmptyString);
  strcpy(p, "1234567");
  memFree(p);
  p = static_cast<char*>(memTryAlloc(32));
  ASSERT_NE(p, nullptr);
  memset(p, 'x', 32);
  memFree(p);
}

TEST(MemoryPlain, StringCopies) {
  auto text = [](char* copy) { return testTakeText(copy); };  // the copy's text ("<null>" for none), released
  EXPECT_EQ(std::tuple(text(memStrDup("hello")), text(memStrDup(nullptr)), text(memStrDupN("hello world", 5)),
                       text(memStrDupN("", 0)), text(memStrDupN("x", 0xFFFFFFFFu))),
            std::tuple("hello", "<null>", "hello", "", "<null>"));
}

// ---- Faults found in a child: guard mode (level 1), cell tracking (2 to 4) ----

// Runs body in a child with the allocator at `level` (heap check every `heapEach` releases when given); the child must
// end with exitCode (a fault ends it with 3, else it exits 0) and its stderr hold every piece. With a memory log file
// the child ends with memExit. A failure names the caller's line.
static void expectChild(const char* level, const char* heapEach, int exitCode, std::vector<std::string> pieces,
                        void (*body)(), const char* logFile = nullptr, int line = __builtin_LINE()) {
  testing::ScopedTrace trace(__FILE__, line, std::string("allocator level ") + level);
  MemEnv env(level, logFile, heapEach);
  EXPECT_EXIT(
      {
        childExpectLevel((uint32_t)atoi(level));
        body();
        if (logFile) memExit(true);
        childDone();
      },
      testing::ExitedWithCode(exitCode), testing::MakeMatcher(new ContainsAll(std::move(pieces))));
}

// Frees a block, damages it, then frees `n` more blocks (heap checks).
static void damageFreed(int n) {
  char* p = static_cast<char*>(memAllocPtr(8, "alloc.cpp", 5));
  memFreePtr(p, "first.cpp", 6);
  p[0] = 'x';
  for (int i = 0; i < n; i++) memFreePtr(memAllocPtr(4, "loop.cpp", 1), "loop.cpp", 2);
}

// Allocates, frees and frees again: a double free.
static void doubleFree() {
  void* p = memAllocPtr(8, "alloc.cpp", 5);
  memFreePtr(p, "first.cpp", 6);
  memFreePtr(p, "second.cpp", 7);
}

// With the memory log at debug, from a thread without a thread record (whose log records are formatted in fresh
// blocks), a correct program ends cleanly in every mode, checked after every release.
TEST(MemoryDeathTest, DebugLoggingFromAForeignThread) {
  for (const char* level : {"0", "1", "2", "3", "4"}) {
    SCOPED_TRACE(level);
    expectChild(level, "1", 0, {}, [] {
      logSetCategoryLevel(logCatMemory, logLevelDebug);
      std::thread foreign([] {
        for (int i = 1; i < 20; i++) {
          char* p = static_cast<char*>(memAllocPtr((uint32_t)i, "foreign.cpp", i));
          logDebug(logCatMemory, "block %d\n", i);
          memFreePtr(p, "foreign.cpp", i);
        }
      });
      foreign.join();
    });
  }
}

TEST(MemoryDeathTest, GuardModeFaults) {
  expectChild("1", nullptr, 3, {"Trailer corrupt in memory free at free.cpp(22) allocated at alloc.cpp(11)", abortText},
              [] {
                char* p = static_cast<char*>(memAllocPtr(10, "alloc.cpp", 11));
                for (int i = 0; i < 10; i++) childCheck((uint8_t)p[i] == 0xCD, "new data is 0xCD");
                p[10] = 'x';
                memFreePtr(p, "free.cpp", 22);
              });
  expectChild("1", nullptr, 3, {"Header corrupt in memory allocated at alloc.cpp(33)", abortText}, [] {
    char* p = static_cast<char*>(memAllocPtr(10, "alloc.cpp", 33));
    p[-1] = 0;
    memFreePtr(p, "free.cpp", 44);
  });
  // A reallocation checks the guards and moves them.
  expectChild("1", nullptr, 3,
              {"Trailer corrupt in memory realloc at again.cpp(4) allocated at alloc.cpp(1)", abortText}, [] {
                char* p = static_cast<char*>(memAllocPtr(4, "alloc.cpp", 1));
                memcpy(p, "abcd", 4);
                p = static_cast<char*>(memReallocPtr(p, 8, "grow.cpp", 2));
                childCheck(memcmp(p, "abcd", 4) == 0 && (uint8_t)p[4] == 0xCD && (uint8_t)p[7] == 0xCD,
                           "content kept, grown bytes are 0xCD");
                p = static_cast<char*>(memReallocPtr(p, 3, "shrink.cpp", 3));
                childCheck(memcmp(p, "abc", 3) == 0, "content kept after shrinking");
                p[3] = 0;  // the trailer now starts right after the new size
                memReallocPtr(p, 16, "again.cpp", 4);
              });
}

TEST(MemoryDeathTest, CellTrackingFaults) {
  // A double free is an unknown pointer at level 2; level 4 names both releases.
  expectChild("2", nullptr, 3, {"second.cpp(7): ptr ", " not in cell administration", abortText}, doubleFree);
  expectChild("4", nullptr, 3,
              {"double free id=", " 8@", "allocated alloc.cpp(5) free first.cpp(6) free2 second.cpp(7)", abortText},
              doubleFree);
  expectChild("4", "1", 3, {"Use-after-free id=", " 8@", abortText}, [] {
    char* p = static_cast<char*>(memAllocPtr(8, "alloc.cpp", 5));
    char* q = static_cast<char*>(memAllocPtr(8, "other.cpp", 6));
    memFreePtr(p, "first.cpp", 6);
    childCheck((uint8_t)p[0] == 0xDD, "freed data is 0xDD");
    p[3] = 'x';
    memFreePtr(q, "next.cpp", 9);
  });
  // Period 0 means a thousand: ten releases after the damage are not yet a check, a thousand more are.
  expectChild("4", "0", 0, {}, [] { damageFreed(10); });
  expectChild("4", "0", 3, {"Use-after-free id=", abortText}, [] { damageFreed(1001); });
  expectChild("2", nullptr, 3, {"zero byte  allocation zero.cpp(12)", abortText},
              [] { memAllocPtr(0, "zero.cpp", 12); });
  expectChild("2", nullptr, 3, {"Corrupt trailer id=", " 5@", " at free.cpp(6)", abortText}, [] {
    char* p = static_cast<char*>(memAllocPtr(5, "alloc.cpp", 5));
    p[5 + 31] = 0;  // last trailer byte
    memFreePtr(p, "free.cpp", 6);
  });
  expectChild("2", nullptr, 3, {"Corrupt header id=", " at free.cpp(7)", abortText}, [] {
    char* p = static_cast<char*>(memAllocPtr(5, "alloc.cpp", 5));
    p[-24] = 0;  // first header guard byte
    memFreePtr(p, "free.cpp", 7);
  });
  expectChild("2", nullptr, 3, {"foreign.cpp(3): ptr ", "not in cell administration", abortText}, [] {
    static char foreign[64];
    memFreePtr(foreign + 32, "foreign.cpp", 3);
  });
  // A fault found while the log is at work for a memory message still has
  // its reason written (without a memory log file: on standard error).
  expectChild("4", "1", 3, {"Use-after-free id=", " 8@", abortText}, [] {
    logSetCategoryLevel(logCatMemory, logLevelDebug);
    char* p = static_cast<char*>(memAllocPtr(8, "alloc.cpp", 5));
    memFreePtr(p, "first.cpp", 6);
    p[3] = 'x';
    std::thread foreign([] { memFreePtr(memAllocPtr(4, "foreign.cpp", 1), "foreign.cpp", 2); });
    foreign.join();
  });
}

TEST(MemoryDeathTest, CellReallocMovesWithNewId) {
  expectChild("2", nullptr, 0, {}, [] {
    char* p = static_cast<char*>(memAllocPtr(4, "alloc.cpp", 1));
    memcpy(p, "xyz", 4);
    uint32_t id = memBlockId(p);
    childCheck(id != 0, "live block has an id");
    int64_t r0, r1;
    memGetStatistics(nullptr, nullptr, &r0);
    char* q = static_cast<char*>(memReallocPtr(p, 64, "realloc.cpp", 2));
    childCheck(q != p && strcmp(q, "xyz") == 0, "block moves with its content");
    childCheck(memBlockId(q) > id && memBlockId(p) == 0, "new id, old block released");
    memGetStatistics(nullptr, nullptr, &r1);
    childCheck(r1 == r0 + 1, "reallocation counted");
    childCheck(memReallocPtr(q, 0, "realloc.cpp", 3) == nullptr && memBlockId(q) == 0, "size 0 releases, gives null");
    char* e = static_cast<char*>(memReallocPtr(memEmptyString, 3, "realloc.cpp", 4));
    childCheck(e != memEmptyString && memBlockId(e) != 0, "empty string reallocates as new");
    memFreePtr(e, "free.cpp", 5);
    memFreePtr(nullptr, "free.cpp", 6);
    memFreePtr(memEmptyString, "free.cpp", 7);
    memHeapCheck(true, true);
  });
}

// The memory log of a child at `level` that runs body and then memExit.
std::string childMemoryLog(const char* level, void (*body)()) {
  std::filesystem::path dir = testFreshDir("memory");
  std::string log = (dir / "memory.log").string();
  expectChild(level, nullptr, 0, {}, body, log.c_str());
  std::string text = testReadFile(log);
  std::filesystem::remove_all(dir);
  return text;
}

TEST(MemoryDeathTest, LeakReportWithDumpsAndNoneForACleanProgram) {
  std::string text = childMemoryLog("2", [] {
    memcpy(memAllocPtr(3, "leaky.cpp", 42), "abc", 3);
    memFreePtr(memAllocPtr(10, "tidy.cpp", 1), "tidy.cpp", 2);
  });
  // Every message line carries the record header with the category.
  expectText(text,
             {"MEMORY LEAKS 1\n", " common.memory - > LEAKED id=", " 3@", "allocated leaky.cpp(42)",
              "  HEX  3 bytes: 61 62 63 \n", "  DATA 3 bytes: abc\n", "END OF MEMORY PROBLEMS FOR PID"},
             {"tidy.cpp"});
  // Level 3 traces each operation; a clean program has no leak report.
  expectText(childMemoryLog("3", [] { memFreePtr(memAllocPtr(7, "tidy.cpp", 1), "tidy.cpp", 2); }),
             {"malloc  id=", " 7@", "allocated tidy.cpp(1) freed tidy.cpp(2)"}, {"LEAK"});
}
