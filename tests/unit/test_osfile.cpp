// File layer: open modes, streams, dot-name hiding, deletion, moves, attributes, times, sizes, faults.
#include <cerrno>
#include <cstring>
#include <tuple>

#include "osenv.h"
#include "osfs.h"
#include "test_os_helpers.h"

namespace {

// Error codes the tests inject: the platform's sharing violation and I/O error.
uint32_t busyError() { return osPathSeparator == '\\' ? 32u : (uint32_t)EBUSY; }
uint32_t ioError() { return osPathSeparator == '\\' ? 1117u : (uint32_t)EIO; }

// Opens `p` in `mode` as `type`, writes `text` and closes it: 0 when all went well.
int putFile(const std::string& p, uint32_t mode, uint32_t type, const std::string& text) {
  IoStream* s = osFileOpenStream(p.c_str(), mode, type, nullptr);
  if (!s) return -1;
  const int rc = testWriteAll(s, text);
  return iosClose(s) == 0 ? rc : -1;
}

}  // namespace

using OsFile = OsFsTest;

TEST_F(OsFile, OpenModesCreateTruncateAppendAndRequireExistence) {
  const std::string p = path("data.bin");
  for (uint32_t mode : {osFileModeRead, osFileModeUpdate})
    EXPECT_EQ(osFileOpen(p.c_str(), mode, osFileTypePlain, nullptr, false, true), nullptr) << mode;
  EXPECT_EQ(putFile(p, osFileModeWrite, osFileTypePlain, "hello world"), 0);
  EXPECT_EQ(putFile(p, osFileModeAppend, osFileTypePlain, "!"), 0);
  EXPECT_EQ(readText(p), "hello world!");

  // Update: overwrite in place after a seek; the rest stays.
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeUpdate, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(
      (std::tuple{iosSeek(s, 6), testWriteAll(s, "WORLD"), testSeekOf(s), iosSeek(s, 0), testReadAll(s), iosClose(s)}),
      (std::tuple{0, 0, 11u, 0, "hello WORLD!", 0}));

  // Write mode truncates, and reading the empty file ends at once; mode 0 creates a missing file.
  EXPECT_EQ(putFile(p, osFileModeWrite, osFileTypePlain, ""), 0);
  EXPECT_EQ(readText(p), "");
  ASSERT_NE(s = osFileOpenStream(p.c_str(), osFileModeRead, osFileTypePlain, nullptr), nullptr);
  char buf[4];
  uint32_t got = 99;
  EXPECT_EQ((std::tuple{iosRead(s, buf, sizeof buf, &got), got}), (std::tuple{0, 0u}));
  iosClose(s);
  EXPECT_EQ((std::tuple{putFile(path("new.bin"), osFileModeReadWrite, osFileTypePlain, ""),
                        osFileIsPresent(path("new.bin").c_str())}),
            (std::tuple{0, true}));
}

TEST_F(OsFile, StreamTypeAndUnknownFileTypes) {
  const std::string p = path("t.txt");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ((std::tuple{s->ops, std::string(iosTypeName(s))}),
            (std::tuple{&osFileStreamOps, onWindows() ? "WindowsFile" : "PosixFile"}));
  iosClose(s);
  for (uint32_t type : {6u, 20u})
    EXPECT_EQ(osFileOpenStream(p.c_str(), osFileModeWrite, type, nullptr), nullptr) << type;
  // Reading needs no access list, so the type does not matter.
  EXPECT_NE(s = osFileOpenStream(p.c_str(), osFileModeRead, 20, nullptr), nullptr);
  iosClose(s);
}

TEST_F(OsFile, WriteModeSharesForReadingOnly) {
  if (!onWindows()) GTEST_SKIP() << "POSIX has no share modes";
  const std::string p = path("shared.txt");
  IoStream* w = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(w, nullptr);
  IoStream* r = osFileOpen(p.c_str(), osFileModeRead, osFileTypePlain, nullptr, false, false);
  EXPECT_NE(r, nullptr);
  EXPECT_EQ(osFileOpen(p.c_str(), osFileModeAppend, osFileTypePlain, nullptr, false, false), nullptr);
  iosClose(r);
  iosClose(w);
}

TEST_F(OsFile, LogFileGetsByteOrderMarkOnlyWhenEmpty) {
  const std::string p = path("x.log");
  EXPECT_EQ((std::tuple{putFile(p, osFileModeAppend, osFileTypeLog, "one\n"),
                        putFile(p, osFileModeAppend, osFileTypeLog, "two\n"), readText(p)}),
            (std::tuple{0, 0, "\xEF\xBB\xBFone\ntwo\n"}));
  // A plain file in append mode gets no mark.
  EXPECT_EQ(
      (std::tuple{putFile(path("plain.log"), osFileModeAppend, osFileTypePlain, "x"), readText(path("plain.log"))}),
      (std::tuple{0, "x"}));
}

// A link planted at a log's name, symbolic or hard, is refused instead of being written through.
TEST_F(OsFile, LogFileIsNeverWrittenThroughALink) {
  const std::string victim = path("victim.txt");
  writeText(victim, "precious");
  TEST_LINK_OR_SKIP(std::filesystem::create_symlink, victim, path("sym.log"));
  std::filesystem::create_hard_link(victim, path("hard.log"));
  for (const char* name : {"sym.log", "hard.log"}) {
    EXPECT_EQ(putFile(path(name), osFileModeAppend, osFileTypeLog, "line\n"), -1) << name;
    EXPECT_EQ(readText(victim), "precious") << name;
  }
}

TEST_F(OsFile, DotNamesAreHiddenAndMovesKeepTheRule) {
  const std::string dot = path(".config"), plain = path("config"), a = path("a"), dotA = path(".a");
  ASSERT_EQ(putFile(dot, osFileModeWrite, osFileTypeExtracted, "c"), 0);
  EXPECT_TRUE(testIsHidden(dot));
  ASSERT_EQ(osFileMove(dot.c_str(), plain.c_str()), 0);
  EXPECT_EQ((std::tuple{testIsHidden(plain), readText(plain)}), (std::tuple{false, "c"}));
  writeText(a, "a");
  EXPECT_FALSE(testIsHidden(a));
  ASSERT_EQ(osFileMove(a.c_str(), dotA.c_str()), 0);
  EXPECT_TRUE(testIsHidden(dotA));

  // Leaving a dot name drops the hidden bit but keeps read-only.
  const std::string old = path(".old"), restored = path("restored");
  writeText(old, "v1");
  ASSERT_EQ(osFileSetAttributes(old.c_str(), 0x21), 0);  // read-only + archive
  ASSERT_EQ(osFileMove(old.c_str(), restored.c_str()), 0);
  EXPECT_EQ((std::pair{testIsReadOnly(restored), testIsHidden(restored)}), (std::pair{true, false}))
      << testPerms(restored);
}

TEST_F(OsFile, MoveReplacesATargetAndMoveNoReplaceRefusesIt) {
  ASSERT_EQ(osDirCreate(path("sub").c_str(), osDirTypeInherit, nullptr), 0);
  const std::string from = path("f.txt"), to = path("sub") + osPathSeparator + "f.txt";
  writeText(from, "new");
  writeText(to, "old");
  ASSERT_EQ(osFileMove(from.c_str(), to.c_str()), 0);
  EXPECT_EQ((std::tuple{exists(from), readText(to), osFileMove(path("missing").c_str(), to.c_str()), readText(to)}),
            (std::tuple{false, "new", -1, "new"}));

  // Keeping a version aside never costs the file at that name: both stay, the source visible.
  const std::string current = path("tool.cfg"), kept = path(".tool-old-1.tmp"), free = path(".tool-old-2.tmp");
  writeText(current, "cfg");
  writeText(kept, "previous exe");
  EXPECT_EQ((std::tuple{osFileMoveNoReplace(current.c_str(), kept.c_str()), readText(current), readText(kept),
                        testIsHidden(current)}),
            (std::tuple{-1, "cfg", "previous exe", false}));
  ASSERT_EQ(osFileMoveNoReplace(current.c_str(), free.c_str()), 0);
  EXPECT_EQ((std::tuple{exists(current), readText(free), testIsHidden(free)}), (std::tuple{false, "cfg", true}));
}

// A refused move leaves the source as it was: on Windows the hidden bit for the dot name is taken back.
TEST_F(OsFile, RefusedMoveToADotNameLeavesTheSourceVisible) {
  const std::string from = path("cfg"), to = path(".cfg-old");
  writeText(from, "v1");
  for (int replace = 0; replace < 2; replace++) {
    SCOPED_TRACE(replace ? "osFileMove" : "osFileMoveNoReplace");
    osTestFailCall(call(replace ? "rename" : "renameNoReplace", "moveFileEx"), ioError(), 1);
    const int rc = replace ? osFileMove(from.c_str(), to.c_str()) : osFileMoveNoReplace(from.c_str(), to.c_str());
    EXPECT_EQ((std::tuple{rc, osTestFaultFired(), readText(from), testIsHidden(from), exists(to)}),
              (std::tuple{-1, true, "v1", false, false}));
  }
}

// Across file systems a move copies; a failed copy leaves the source and the file it would replace.
TEST_F(OsFile, MoveAcrossFileSystemsCopiesOrLeavesBothFiles) {
  if (onWindows()) GTEST_SKIP() << "the system copies across volumes itself";
  const char* failing[] = {nullptr, "open", "write", "fsync", "unlink"};  // the call that fails, if any
  const std::string from = path("new.bin"), to = path("old.bin"), data(100000, 'n');
  for (const char* f : failing) {
    SCOPED_TRACE(f ? f : "no fault");
    writeText(from, data);
    writeText(to, "previous");
    ASSERT_EQ(osFileSetAttributes(from.c_str(), 0x81ED0000u), 0);  // rwxr-xr-x
    ASSERT_EQ(osFileSetTimes(from.c_str(), 1500000000000, 1500000000000, 0), 0);
    osTestFailCall("rename", EXDEV, 1);
    if (f) osTestFailCall(f, ioError(), 1);
    EXPECT_EQ(osFileMove(from.c_str(), to.c_str()), f ? -1 : 0);
    osTestFailCall(nullptr, 0);
    EXPECT_EQ(readText(to), f ? "previous" : data);
    if (f) {
      EXPECT_EQ(readText(from), data);
    } else {
      uint64_t mtime = 0;
      EXPECT_EQ((std::tuple{exists(from),
                            osFileGetInfo(to.c_str(), nullptr, &mtime, nullptr, nullptr, nullptr, nullptr, nullptr),
                            mtime, std::filesystem::status(to).permissions() & std::filesystem::perms::all}),
                (std::tuple{false, 0, 1500000000000u, (std::filesystem::perms)0755}));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), f ? 2 : 1) << "no leftovers";
    std::filesystem::remove(from);
    std::filesystem::remove(to);
  }
}

// Missing counts as deleted; read-only is made writable first; busy is retried after 100, 200, 400 ms.
TEST_F(OsFile, DeleteMissingReadOnlyAndBusyFiles) {
  const struct {
    const char* name;
    bool create, readOnly;
    uint32_t busyCalls;  // deletions refused as busy
    std::vector<uint32_t> waits;
  } cases[] = {
      {"missing", false, false, 0, {}}, {"read-only", true, true, 0, {}}, {"busy", true, false, 3, {100, 200, 400}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    useTestClock();
    const std::string p = path(c.name);
    if (c.create) writeText(p, "x");
    EXPECT_EQ(c.readOnly ? osFileSetAttributes(p.c_str(), 0x01) : 0, 0);
    if (c.busyCalls) osTestFailCall(call("unlink", "deleteFile"), busyError(), c.busyCalls);
    const int rc = osFileDelete(p.c_str());
    osTestFailCall(nullptr, 0);
    EXPECT_EQ((std::tuple{rc, exists(p), waits()}), (std::tuple{0, false, c.waits}));
  }
}

TEST_F(OsFile, DeleteGivesUpAfterTwentyAttemptsWithReason) {
  useTestClock();
  const std::string p = path("held.txt");
  writeText(p, "x");
  // On Windows a file open for writing shares only reading: deletion is refused.
  IoStream* holder = onWindows() ? osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr) : nullptr;
  ASSERT_TRUE(holder || !onWindows());
  if (!onWindows()) osTestFailCall("unlink", busyError());
  TestSb reason;
  EXPECT_EQ(osFileDeleteEx(p.c_str(), reason.ptr(), 0), -1);
  osTestFailCall(nullptr, 0);
  // 100, 200, 400, then 500 ms between the 20 attempts.
  std::vector<uint32_t> want = {100, 200, 400};
  want.resize(19, 500);
  EXPECT_EQ((std::tuple{waits(), reason.str().empty()}), (std::tuple{want, false}));
  iosClose(holder);
  EXPECT_EQ((std::tuple{exists(p), osFileDelete(p.c_str())}), (std::tuple{true, 0}));
}

TEST_F(OsFile, TimesRoundTripToTheMillisecond) {
  const std::string p = path("t.txt");
  writeText(p, "12345");
  const int64_t mtime = 1738159385123, atime = 1738159000456;
  for (const std::string& target : {p, dir}) {  // directories take times too
    SCOPED_TRACE(target);
    ASSERT_EQ(osFileSetTimes(target.c_str(), mtime, atime, mtime), 0);
    uint64_t size = 0, m = 0, a = 0;
    bool isDir = target == p;
    ASSERT_EQ(osFileGetInfo(target.c_str(), &size, &m, &a, &isDir, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::pair(m, isDir), std::pair((uint64_t)mtime, target == dir));
    if (target == dir) continue;  // a directory's size and access time are not checked
    EXPECT_EQ(std::pair(size, a), std::pair(uint64_t{5}, (uint64_t)atime));
  }
  EXPECT_EQ(osFileSetTimes(path("missing").c_str(), mtime, atime, mtime), -1);
}

TEST_F(OsFile, AttributesFromArchiveWords) {
  const std::string p = path("m.sh");
  writeText(p, "#!");
  const struct {
    uint32_t word;
    const char* posixPerms;  // in the POSIX permission text (null: not checked)
    int readOnly[2];         // on POSIX, on Windows: 1 read-only, 0 writable, -1 not checked
  } cases[] = {
      {0x81240000u, "r--r--r--", {1, -1}},  // mode 0444: owner read, no write
      {0x01C00000u, nullptr, {0, 0}},       // rollback's reset: mode 0700, writable again
      {0x80800000u, nullptr, {-1, 1}},      // mode 0200 lacks owner read: read-only on Windows
      {0x8F800000u, "-rw-------", {0, 0}},  // set-id and sticky bits (0107600) are never applied
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    ASSERT_EQ(osFileSetAttributes(p.c_str(), c.word), 0);
    const std::string perms = testPerms(p);
    const int readOnly = c.readOnly[onWindows()];
    EXPECT_TRUE(readOnly < 0 || testIsReadOnly(p) == (readOnly == 1)) << perms;
    EXPECT_TRUE(onWindows() || !c.posixPerms || perms.find(c.posixPerms) != std::string::npos) << perms;
  }
  EXPECT_TRUE(onWindows() || (std::filesystem::status(p).permissions() & std::filesystem::perms::set_uid) ==
                                 std::filesystem::perms::none);
  // An archive's mode 0777 never makes a file that others may write (an installer runs as root): the process's
  // umask applies, and write access for others never.
  ASSERT_EQ(osFileSetAttributes(p.c_str(), 0x81FF0000u), 0);
  EXPECT_TRUE(onWindows() || (std::filesystem::status(p).permissions() & std::filesystem::perms::others_write) ==
                                 std::filesystem::perms::none);
  EXPECT_EQ(osFileSetAttributes(path("missing").c_str(), 0x20), -1);
}

TEST_F(OsFile, SizePresenceAndDirectoryTests) {
  const std::string p = path("s.bin"), none = path("none");
  writeText(p, std::string(1000, 'x'));
  EXPECT_EQ(testSizeOf(p), 1000);
  EXPECT_EQ(testSizeOf(none), -1);
  for (const std::string& q : {p, dir, none}) {
    EXPECT_EQ(osFileIsPresent(q.c_str()), q == p) << q;
    EXPECT_EQ(osIsFileDirectory(q.c_str()), q == dir) << q;
  }
  TestSb reason;
  uint64_t size = 0;
  EXPECT_EQ((std::tuple{osFileGetInfo(none.c_str(), &size, nullptr, nullptr, nullptr, nullptr, nullptr, reason.ptr()),
                        reason.str().empty()}),
            (std::tuple{-1, false}));
}

// Space is reserved from one megabyte on, the position kept; a full disk fails the reservation.
TEST_F(OsFile, PreallocateFromOneMegabyteAndFailsOnAFullDisk) {
  const std::string p = path("big.bin");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypeExtracted, nullptr);
  ASSERT_NE(s, nullptr);
  for (int64_t ask : {1048575, 1048576}) {
    EXPECT_EQ(iosPreallocate(s, ask), 0);
    EXPECT_EQ(testSizeOf(p), ask < 1048576 ? 0 : ask);
  }
  EXPECT_EQ(testSeekOf(s), 0u);
  osTestFailCall(call("fallocate", "setEndOfFile"), onWindows() ? 112u : (uint32_t)ENOSPC);
  EXPECT_EQ((std::pair{iosPreallocate(s, 2 * 1048576), osTestFaultFired()}), (std::pair{-1, true}));
  osTestFailCall(nullptr, 0);
  iosClose(s);
}

TEST_F(OsFile, InjectedFaultsFailOpenWriteAndClose) {
  const std::string p = path("f.bin");
  osTestFailCall(call("open", "createFile"), ioError(), 1);
  EXPECT_EQ((std::pair{osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr), osTestFaultFired()}),
            (std::pair{(IoStream*)nullptr, true}));

  osTestFailCall(call("write", "writeFile"), ioError(), 1);
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(testWriteAll(s, "abc"), -1);
  osTestFailCall(call("close", "closeHandle"), ioError(), 1);  // reports failure but releases the file
  EXPECT_NE(iosClose(s), 0);
  osTestFailCall(nullptr, 0);
  EXPECT_EQ((std::pair{osFileDelete(p.c_str()), exists(p)}), (std::pair{0, false}));
}

TEST_F(OsFile, PathHelpers) {
  char* joined = nullptr;
  ASSERT_EQ(osFileJoinPath("d", "n", &joined), 0);
  EXPECT_EQ(testTakeText(joined), std::string("d") + osPathSeparator + "n");
  const char* parts[] = {"a", "b", nullptr};
  EXPECT_EQ(testTakeText(osFileBuildPath("base", parts)),
            std::string("base") + osPathSeparator + "a" + osPathSeparator + "b");
  for (const char* name : {"STDERR", "stdout", "-"}) EXPECT_TRUE(osFileIsStdOutputName(name)) << name;
  for (const char* name : {"--", "stdin"}) EXPECT_FALSE(osFileIsStdOutputName(name)) << name;
  const std::string full = testTakeText(osFileFullPath("rel"), "");
  EXPECT_TRUE(full.size() > 3 && full.find("rel") != std::string::npos) << full;
}

TEST_F(OsFile, LongPathsCanBeCreatedWrittenMovedAndRemoved) {
  if (!onWindows()) GTEST_SKIP() << "path length limit is a Windows matter";
  std::string deep = dir;
  while (deep.size() < 300) deep += std::string("\\") + std::string(40, 'd');
  ASSERT_EQ(osDirCreate(deep.c_str(), osDirTypeInherit, nullptr), 0);
  const std::string f = deep + "\\" + std::string(30, 'f') + ".txt", g = deep + "\\moved.txt";
  ASSERT_GT(f.size(), 260u);
  EXPECT_EQ((std::tuple{putFile(f, osFileModeWrite, osFileTypeExtracted, "long"), osFileIsPresent(f.c_str()),
                        osFileMove(f.c_str(), g.c_str()), osFileIsPresent(g.c_str()), osFileDelete(g.c_str()),
                        osFileIsPresent(g.c_str())}),
            (std::tuple{0, true, 0, true, 0, false}));
  const std::string top = path(std::string(40, 'd'));
  EXPECT_EQ((std::tuple{osDirRemoveContents(top.c_str(), false), osDirRemove(top.c_str(), nullptr),
                        osIsDirPresent(top.c_str())}),
            (std::tuple{0, 0, false}));
}
