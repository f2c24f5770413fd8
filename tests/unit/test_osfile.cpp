// File layer: open modes, the stream operations, dot-name hiding, deletion
// with retries, moves, attributes, times, sizes and fault injection.
#include <cerrno>
#include <cstring>

#include "iostream.h"
#include "memory.h"
#include "osenv.h"
#include "osfile.h"
#include "osfs.h"
#include "stringbuf.h"

namespace {

// Everything a stream holds, read from the start.
std::string readAll(IoStream* s) {
  std::string out;
  char buf[100];
  uint32_t got = 0;
  while (iosRead(s, buf, sizeof buf, &got) == 0 && got > 0) out.append(buf, got);
  return out;
}

int writeAll(IoStream* s, const std::string& text) {
  uint32_t done = 0;
  const int rc = iosWrite(s, text.data(), (uint32_t)text.size(), &done);
  return rc == 0 && done == text.size() ? 0 : -1;
}

bool isHidden(const std::string& p) {
  StringBuffer perms;
  sbInitHere(&perms);
  const bool ok = osFileGetInfo(p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr) == 0;
  const bool hidden = ok && strstr(sbGet(&perms), "Hidden ") != nullptr;
  sbClean(&perms);
  return hidden;
}

// Error codes the tests inject: the platform's sharing violation and I/O error.
uint32_t busyError() { return osPathSeparator == '\\' ? 32u : (uint32_t)EBUSY; }
uint32_t ioError() { return osPathSeparator == '\\' ? 1117u : (uint32_t)EIO; }

}  // namespace

using OsFile = OsFsTest;

TEST_F(OsFile, OpenModesCreateTruncateAppendAndRequireExistence) {
  const std::string p = path("data.bin");
  EXPECT_EQ(osFileOpen(p.c_str(), osFileModeRead, osFileTypePlain, nullptr, false, true), nullptr);
  EXPECT_EQ(osFileOpen(p.c_str(), osFileModeUpdate, osFileTypePlain, nullptr, false, true), nullptr);

  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(writeAll(s, "hello world"), 0);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(readText(p), "hello world");

  s = osFileOpenStream(p.c_str(), osFileModeAppend, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(writeAll(s, "!"), 0);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(readText(p), "hello world!");

  // Update: overwrite in place after a seek; the rest stays.
  s = osFileOpenStream(p.c_str(), osFileModeUpdate, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(iosSeek(s, 6), 0);
  EXPECT_EQ(writeAll(s, "WORLD"), 0);
  uint64_t pos = 0;
  EXPECT_EQ(iosGetSeek(s, &pos), 0);
  EXPECT_EQ(pos, 11u);
  EXPECT_EQ(iosSeek(s, 0), 0);
  EXPECT_EQ(readAll(s), "hello WORLD!");
  EXPECT_EQ(iosClose(s), 0);

  // Write mode truncates; mode 0 creates a missing file.
  s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_EQ(readText(p), "");
  s = osFileOpenStream(path("new.bin").c_str(), osFileModeReadWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(iosClose(s), 0);
  EXPECT_TRUE(osFileIsPresent(path("new.bin").c_str()));
}

TEST_F(OsFile, StreamTypeAndUnknownFileTypes) {
  const std::string p = path("t.txt");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->ops, &osFileStreamOps);
  EXPECT_STREQ(iosTypeName(s), onWindows() ? "WindowsFile" : "PosixFile");
  iosClose(s);
  EXPECT_EQ(osFileOpenStream(p.c_str(), osFileModeWrite, 6, nullptr), nullptr);
  EXPECT_EQ(osFileOpenStream(p.c_str(), osFileModeWrite, 20, nullptr), nullptr);
  // Reading needs no access list, so the type does not matter.
  s = osFileOpenStream(p.c_str(), osFileModeRead, 20, nullptr);
  EXPECT_NE(s, nullptr);
  iosClose(s);
}

TEST_F(OsFile, WriteModeSharesForReadingOnly) {
  if (!onWindows()) GTEST_SKIP() << "POSIX has no share modes";
  const std::string p = path("shared.txt");
  IoStream* w = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(w, nullptr);
  IoStream* r = osFileOpen(p.c_str(), osFileModeRead, osFileTypePlain, nullptr, false, false);
  IoStream* w2 = osFileOpen(p.c_str(), osFileModeAppend, osFileTypePlain, nullptr, false, false);
  EXPECT_NE(r, nullptr);
  EXPECT_EQ(w2, nullptr);
  iosClose(r);
  iosClose(w2);
  iosClose(w);
}

TEST_F(OsFile, LogFileGetsByteOrderMarkOnlyWhenEmpty) {
  const std::string p = path("x.log");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeAppend, osFileTypeLog, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(writeAll(s, "one\n"), 0);
  iosClose(s);
  s = osFileOpenStream(p.c_str(), osFileModeAppend, osFileTypeLog, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(writeAll(s, "two\n"), 0);
  iosClose(s);
  EXPECT_EQ(readText(p), "\xEF\xBB\xBFone\ntwo\n");
  // A plain file in append mode gets no mark.
  s = osFileOpenStream(path("plain.log").c_str(), osFileModeAppend, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  writeAll(s, "x");
  iosClose(s);
  EXPECT_EQ(readText(path("plain.log")), "x");
}

TEST_F(OsFile, DotNamesAreHiddenAndMovesKeepTheRule) {
  const std::string dot = path(".config"), plain = path("config"), a = path("a"), dotA = path(".a");
  IoStream* s = osFileOpenStream(dot.c_str(), osFileModeWrite, osFileTypeExtracted, nullptr);
  ASSERT_NE(s, nullptr);
  writeAll(s, "c");
  iosClose(s);
  EXPECT_TRUE(isHidden(dot));
  ASSERT_EQ(osFileMove(dot.c_str(), plain.c_str()), 0);
  EXPECT_FALSE(isHidden(plain));
  EXPECT_EQ(readText(plain), "c");

  writeText(a, "a");
  EXPECT_FALSE(isHidden(a));
  ASSERT_EQ(osFileMove(a.c_str(), dotA.c_str()), 0);
  EXPECT_TRUE(isHidden(dotA));
}

TEST_F(OsFile, MoveKeepsReadOnlyWhenLeavingADotName) {
  const std::string dot = path(".old"), plain = path("restored");
  writeText(dot, "v1");
  ASSERT_EQ(osFileSetAttributes(dot.c_str(), 0x21), 0);  // read-only + archive
  ASSERT_EQ(osFileMove(dot.c_str(), plain.c_str()), 0);
  StringBuffer perms;
  sbInitHere(&perms);
  ASSERT_EQ(osFileGetInfo(plain.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr), 0);
  EXPECT_NE(strstr(sbGet(&perms), "Readonly "), nullptr) << sbGet(&perms);
  EXPECT_EQ(strstr(sbGet(&perms), "Hidden "), nullptr) << sbGet(&perms);
  sbClean(&perms);
}

TEST_F(OsFile, MoveAcrossDirectoriesReplacesTarget) {
  ASSERT_EQ(osDirCreate(path("sub").c_str(), osDirTypeInherit, nullptr), 0);
  const std::string from = path("f.txt"), to = path("sub") + osPathSeparator + "f.txt";
  writeText(from, "new");
  writeText(to, "old");
  ASSERT_EQ(osFileMove(from.c_str(), to.c_str()), 0);
  EXPECT_FALSE(exists(from));
  EXPECT_EQ(readText(to), "new");
  EXPECT_EQ(osFileMove(path("missing").c_str(), to.c_str()), -1);
  EXPECT_EQ(readText(to), "new");
}

// Keeping a previous version aside must never cost the file already at that
// name: the move fails and both files stay as they were, the source visible.
TEST_F(OsFile, MoveNoReplaceRefusesAnExistingTarget) {
  const std::string current = path("tool.cfg"), kept = path(".tool-old-1.tmp");
  writeText(current, "cfg");
  writeText(kept, "previous exe");
  EXPECT_EQ(osFileMoveNoReplace(current.c_str(), kept.c_str()), -1);
  EXPECT_EQ(readText(current), "cfg");
  EXPECT_EQ(readText(kept), "previous exe");
  EXPECT_FALSE(isHidden(current));
  const std::string free = path(".tool-old-2.tmp");
  ASSERT_EQ(osFileMoveNoReplace(current.c_str(), free.c_str()), 0);
  EXPECT_FALSE(exists(current));
  EXPECT_EQ(readText(free), "cfg");
  EXPECT_TRUE(isHidden(free));
}

// A move that the system refuses leaves the source as it was: on Windows the
// hidden bit set for the dot name is taken back.
TEST_F(OsFile, RefusedMoveToADotNameLeavesTheSourceVisible) {
  const std::string from = path("cfg"), to = path(".cfg-old");
  writeText(from, "v1");
  for (int replace = 0; replace < 2; replace++) {
    osTestFailCall(call(replace ? "rename" : "renameNoReplace", "moveFileEx"), ioError(), 1);
    EXPECT_EQ(replace ? osFileMove(from.c_str(), to.c_str()) : osFileMoveNoReplace(from.c_str(), to.c_str()), -1);
    EXPECT_TRUE(osTestFaultFired());
    EXPECT_EQ(readText(from), "v1");
    EXPECT_FALSE(isHidden(from));
    EXPECT_FALSE(exists(to));
  }
}

// Across file systems a move copies and removes the source. A copy that
// fails on the way leaves both the source and the file it would replace.
TEST_F(OsFile, MoveAcrossFileSystemsCopiesOrLeavesBothFiles) {
  if (onWindows()) GTEST_SKIP() << "the system copies across volumes itself";
  const struct {
    const char* failing;  // the call that fails during the copy, if any
    int rc;
  } cases[] = {{nullptr, 0}, {"open", -1}, {"write", -1}, {"fsync", -1}, {"unlink", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing ? c.failing : "no fault");
    const std::string from = path("new.bin"), to = path("old.bin");
    writeText(from, std::string(100000, 'n'));
    writeText(to, "previous");
    ASSERT_EQ(osFileSetAttributes(from.c_str(), 0x81ED0000u), 0);  // rwxr-xr-x
    ASSERT_EQ(osFileSetTimes(from.c_str(), 1500000000000, 1500000000000, 0), 0);
    osTestFailCall("rename", EXDEV, 1);
    if (c.failing) osTestFailCall(c.failing, ioError(), 1);
    EXPECT_EQ(osFileMove(from.c_str(), to.c_str()), c.rc);
    osTestFailCall(nullptr, 0);
    if (c.rc == 0) {
      EXPECT_FALSE(exists(from));
      EXPECT_EQ(readText(to), std::string(100000, 'n'));
      uint64_t mtime = 0;
      ASSERT_EQ(osFileGetInfo(to.c_str(), nullptr, &mtime, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
      EXPECT_EQ(mtime, 1500000000000u);
      EXPECT_EQ(std::filesystem::status(to).permissions() & std::filesystem::perms::all, (std::filesystem::perms)0755);
    } else {
      EXPECT_EQ(readText(from), std::string(100000, 'n'));
      EXPECT_EQ(readText(to), "previous");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), c.rc == 0 ? 1 : 2) << "no leftovers";
    std::filesystem::remove(from);
    std::filesystem::remove(to);
  }
}

TEST_F(OsFile, DeleteMissingReadOnlyAndReason) {
  useTestClock();
  EXPECT_EQ(osFileDelete(path("never").c_str()), 0);
  const std::string ro = path("ro.txt");
  writeText(ro, "x");
  ASSERT_EQ(osFileSetAttributes(ro.c_str(), 0x01), 0);
  EXPECT_EQ(osFileDelete(ro.c_str()), 0);
  EXPECT_FALSE(exists(ro));
  // The second attempt comes at once, without a retry delay.
  EXPECT_TRUE(waits().empty());
}

TEST_F(OsFile, DeleteRetriesBusyFileWithGrowingWaits) {
  useTestClock();
  const std::string p = path("busy.txt");
  writeText(p, "x");
  osTestFailCall(call("unlink", "deleteFile"), busyError(), 3);
  EXPECT_EQ(osFileDelete(p.c_str()), 0);
  EXPECT_EQ(waits(), (std::vector<uint32_t>{100, 200, 400}));
  EXPECT_FALSE(exists(p));
}

TEST_F(OsFile, DeleteGivesUpAfterTwentyAttemptsWithReason) {
  useTestClock();
  const std::string p = path("held.txt");
  writeText(p, "x");
  IoStream* holder = nullptr;
  if (onWindows()) {
    // A file open for writing shares only reading: deletion is refused.
    holder = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
    ASSERT_NE(holder, nullptr);
  } else {
    osTestFailCall("unlink", busyError());
  }
  StringBuffer reason;
  sbInitHere(&reason);
  EXPECT_EQ(osFileDeleteEx(p.c_str(), &reason, 0), -1);
  osTestFailCall(nullptr, 0);
  // 100, 200, 400, then 500 ms between the 20 attempts.
  std::vector<uint32_t> want = {100, 200, 400};
  want.resize(19, 500);
  EXPECT_EQ(waits(), want);
  EXPECT_GT(sbGetLength(&reason), 0u);
  sbClean(&reason);
  iosClose(holder);
  EXPECT_TRUE(exists(p));
  EXPECT_EQ(osFileDelete(p.c_str()), 0);
}

TEST_F(OsFile, TimesRoundTripToTheMillisecond) {
  const std::string p = path("t.txt");
  writeText(p, "12345");
  const int64_t mtime = 1738159385123, atime = 1738159000456;
  ASSERT_EQ(osFileSetTimes(p.c_str(), mtime, atime, mtime), 0);
  uint64_t size = 0, m = 0, a = 0;
  bool isDir = true;
  ASSERT_EQ(osFileGetInfo(p.c_str(), &size, &m, &a, &isDir, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(m, (uint64_t)mtime);
  EXPECT_EQ(a, (uint64_t)atime);
  EXPECT_FALSE(isDir);
  // Directories take times too.
  ASSERT_EQ(osFileSetTimes(dir.c_str(), mtime, atime, mtime), 0);
  ASSERT_EQ(osFileGetInfo(dir.c_str(), nullptr, &m, nullptr, &isDir, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(m, (uint64_t)mtime);
  EXPECT_TRUE(isDir);
  EXPECT_EQ(osFileSetTimes(path("missing").c_str(), mtime, atime, mtime), -1);
}

TEST_F(OsFile, AttributesFromArchiveWords) {
  const std::string p = path("m.sh");
  writeText(p, "#!");
  // Unix mode 0444 (no owner write, but owner read) and mode 0644.
  ASSERT_EQ(osFileSetAttributes(p.c_str(), 0x81240000u), 0);
  StringBuffer perms;
  sbInitHere(&perms);
  osFileGetInfo(p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr);
  if (!onWindows()) {
    EXPECT_NE(strstr(sbGet(&perms), "r--r--r--"), nullptr) << sbGet(&perms);
  }
  sbEmpty(&perms);
  // Rollback's reset: mode 0700, no DOS attributes: writable again.
  ASSERT_EQ(osFileSetAttributes(p.c_str(), 0x01C00000u), 0);
  osFileGetInfo(p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr);
  EXPECT_EQ(strstr(sbGet(&perms), "Readonly "), nullptr) << sbGet(&perms);
  sbEmpty(&perms);
  // Mode 0200 lacks owner read, which Windows takes as read-only.
  ASSERT_EQ(osFileSetAttributes(p.c_str(), 0x80800000u), 0);
  osFileGetInfo(p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr);
  if (onWindows()) {
    EXPECT_NE(strstr(sbGet(&perms), "Readonly "), nullptr) << sbGet(&perms);
  }
  sbEmpty(&perms);
  // Set-id and sticky bits of an archive are never applied (0107600).
  ASSERT_EQ(osFileSetAttributes(p.c_str(), 0x8F800000u), 0);
  osFileGetInfo(p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr);
  if (onWindows()) {
    EXPECT_EQ(strstr(sbGet(&perms), "Readonly "), nullptr) << sbGet(&perms);
  } else {
    EXPECT_NE(strstr(sbGet(&perms), "-rw-------"), nullptr) << sbGet(&perms);
    EXPECT_FALSE((std::filesystem::status(p).permissions() & std::filesystem::perms::set_uid) !=
                 std::filesystem::perms::none);
  }
  sbClean(&perms);
  EXPECT_EQ(osFileSetAttributes(path("missing").c_str(), 0x20), -1);
}

TEST_F(OsFile, SizePresenceAndDirectoryTests) {
  const std::string p = path("s.bin");
  writeText(p, std::string(1000, 'x'));
  uint64_t size = 0;
  ASSERT_EQ(osFileGetSize(p.c_str(), &size), 0);
  EXPECT_EQ(size, 1000u);
  EXPECT_EQ(osFileGetSize(path("none").c_str(), &size), -1);
  EXPECT_TRUE(osFileIsPresent(p.c_str()));
  EXPECT_FALSE(osFileIsPresent(dir.c_str()));
  EXPECT_FALSE(osFileIsPresent(path("none").c_str()));
  EXPECT_TRUE(osIsFileDirectory(dir.c_str()));
  EXPECT_FALSE(osIsFileDirectory(p.c_str()));
  StringBuffer reason;
  sbInitHere(&reason);
  EXPECT_EQ(osFileGetInfo(path("none").c_str(), &size, nullptr, nullptr, nullptr, nullptr, nullptr, &reason), -1);
  EXPECT_GT(sbGetLength(&reason), 0u);
  sbClean(&reason);
}

TEST_F(OsFile, PreallocateOnlyFromOneMegabyte) {
  const std::string p = path("big.bin");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypeExtracted, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(iosPreallocate(s, 1048575), 0);
  uint64_t size = 1;
  ASSERT_EQ(osFileGetSize(p.c_str(), &size), 0);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(iosPreallocate(s, 1048576), 0);
  ASSERT_EQ(osFileGetSize(p.c_str(), &size), 0);
  EXPECT_EQ(size, 1048576u);
  uint64_t pos = 1;
  EXPECT_EQ(iosGetSeek(s, &pos), 0);
  EXPECT_EQ(pos, 0u);
  iosClose(s);
}

TEST_F(OsFile, FullDiskPreallocationFails) {
  const std::string p = path("full.bin");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypeExtracted, nullptr);
  ASSERT_NE(s, nullptr);
  const uint32_t full = onWindows() ? 112u : (uint32_t)ENOSPC;
  osTestFailCall(call("fallocate", "setEndOfFile"), full);
  EXPECT_EQ(iosPreallocate(s, 1048576), -1);
  EXPECT_TRUE(osTestFaultFired());
  osTestFailCall(nullptr, 0);
  iosClose(s);
}

TEST_F(OsFile, InjectedFaultsFailOpenWriteAndClose) {
  const std::string p = path("f.bin");
  osTestFailCall(call("open", "createFile"), ioError(), 1);
  EXPECT_EQ(osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr), nullptr);
  EXPECT_TRUE(osTestFaultFired());

  osTestFailCall(call("write", "writeFile"), ioError(), 1);
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(writeAll(s, "abc"), -1);
  osTestFailCall(call("close", "closeHandle"), ioError(), 1);  // reports failure but releases the file
  EXPECT_NE(iosClose(s), 0);
  osTestFailCall(nullptr, 0);
  EXPECT_EQ(osFileDelete(p.c_str()), 0);
  EXPECT_FALSE(exists(p));
}

TEST_F(OsFile, ReadingAClosedPipeEndsTheData) {
  const std::string p = path("empty");
  writeText(p, "");
  IoStream* s = osFileOpenStream(p.c_str(), osFileModeRead, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  char buf[4];
  uint32_t got = 99;
  EXPECT_EQ(iosRead(s, buf, sizeof buf, &got), 0);
  EXPECT_EQ(got, 0u);
  iosClose(s);
}

TEST_F(OsFile, PathHelpers) {
  char* joined = nullptr;
  ASSERT_EQ(osFileJoinPath("d", "n", &joined), 0);
  EXPECT_EQ(std::string(joined), std::string("d") + osPathSeparator + "n");
  memFree(joined);
  const char* parts[] = {"a", "b", nullptr};
  char* built = osFileBuildPath("base", parts);
  EXPECT_EQ(std::string(built), std::string("base") + osPathSeparator + "a" + osPathSeparator + "b");
  memFree(built);
  EXPECT_TRUE(osFileIsStdOutputName("STDERR"));
  EXPECT_TRUE(osFileIsStdOutputName("stdout"));
  EXPECT_TRUE(osFileIsStdOutputName("-"));
  EXPECT_FALSE(osFileIsStdOutputName("--"));
  EXPECT_FALSE(osFileIsStdOutputName("stdin"));
  char* full = osFileFullPath("rel");
  ASSERT_NE(full, nullptr);
  EXPECT_GT(strlen(full), 3u);
  EXPECT_NE(strstr(full, "rel"), nullptr);
  memFree(full);
}

TEST_F(OsFile, LongPathsCanBeCreatedWrittenMovedAndRemoved) {
  if (!onWindows()) GTEST_SKIP() << "path length limit is a Windows matter";
  std::string deep = dir;
  while (deep.size() < 300) deep += std::string("\\") + std::string(40, 'd');
  ASSERT_EQ(osDirCreate(deep.c_str(), osDirTypeInherit, nullptr), 0);
  const std::string f = deep + "\\" + std::string(30, 'f') + ".txt", g = deep + "\\moved.txt";
  ASSERT_GT(f.size(), 260u);
  IoStream* s = osFileOpenStream(f.c_str(), osFileModeWrite, osFileTypeExtracted, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(writeAll(s, "long"), 0);
  iosClose(s);
  EXPECT_TRUE(osFileIsPresent(f.c_str()));
  EXPECT_EQ(osFileMove(f.c_str(), g.c_str()), 0);
  EXPECT_TRUE(osFileIsPresent(g.c_str()));
  EXPECT_EQ(osFileDelete(g.c_str()), 0);
  EXPECT_FALSE(osFileIsPresent(g.c_str()));
  char* top = nullptr;
  ASSERT_EQ(osDirJoinPath(dir.c_str(), std::string(40, 'd').c_str(), &top), 0);
  EXPECT_EQ(osDirRemoveContents(top, false), 0);
  EXPECT_EQ(osDirRemove(top, nullptr), 0);
  EXPECT_FALSE(osIsDirPresent(top));
  memFree(top);
}
