// Archive walk, extraction and journal: listing, refused entries with rollback, replacement of existing trees with
// commit and rollback, confinement of links, batched flushes, and fault injection over every file-system call of an
// extraction. Full and pattern extraction of archives made by real tools: test_ziptools.cpp.
#include <gtest/gtest.h>

#include <cerrno>

#include "logging.h"
#include "osdir.h"
#include "ostest.h"
#include "test_sb_helpers.h"
#include "test_text_helpers.h"
#include "test_zip_helpers.h"

using namespace ziptest;

namespace {

const bool windows = osPathSeparator == '\\';

std::string bigData(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)('a' + ((seed = seed * 1103515245u + 12345u) >> 16) % 26);
  return s;
}

// A payload shaped like the installer's: a build directory with etc/, bin/, www/ and a register.properties at the root.
std::vector<Entry> payload() {
  return {
      {.name = "2025_1/"},
      {.name = "2025_1/etc/"},
      {.name = "2025_1/etc/agent.conf", .data = "port=8080\n", .method = 8},
      {.name = "2025_1/bin/installer.cmd", .data = "@echo off\r\nexit 0\r\n", .method = 8},
      {.name = "2025_1/bin/agent.exe", .data = bigData(600000, 1), .method = 9},
      {.name = "2025_1/www/index.html", .data = "<html></html>", .method = 0},
      {.name = "2025_1/www/empty.txt", .data = "", .method = 8},
      {.name = "REGISTER.properties", .data = "id=1\n"},
  };
}

Tree expectedTree(const std::vector<Entry>& es) {
  Tree t;
  for (const Entry& e : es) {
    const bool dir = e.name.ends_with('/');
    const std::string n = e.name.substr(0, e.name.size() - dir);
    t[n] = dir ? "<dir>" : e.data;
    for (size_t p = n.find('/'); p != std::string::npos; p = n.find('/', p + 1)) t[n.substr(0, p)] = "<dir>";
  }
  return t;
}

}  // namespace

TEST(ZipWalk, ListingFindsTheInstallerAndTouchesNothing) {
  std::vector<Entry> es = payload();
  es.push_back({.name = "other/setup-installer.sh", .data = "x", .comment = "\x1B[2J\nFORGED"});
  Archive a(es);
  Sb installer;
  const fs::path cwd = fs::current_path(), empty = freshDir("listing");
  fs::current_path(empty);
  testing::internal::CaptureStderr();
  EXPECT_EQ(zipWalk(&a.zip, &installer, "nothing-matches", zipWalkList, zipSummary, nullptr), 0);
  const fs::path after = fs::current_path();
  fs::current_path(cwd);
  // A comment's control characters are shown escaped.
  expectText(testing::internal::GetCapturedStderr(),
             {"2025_1/bin/agent.exe", "setup-installer.sh (\\x1B[2J\\x0AFORGED)", "Listed 7 files and 2 directories"},
             {"\x1B"});
  // Nothing written where it runs, which stays the working directory; the last match wins.
  EXPECT_EQ(std::tuple(after, snapshot(empty), sbText(&installer)),
            std::tuple(empty, Tree{}, "other/setup-installer.sh"));
}

// Refused entries (encrypted, unknown method, patch data, names leaving the base) and corrupt ones (wrong CRC, wrong
// size, data beyond the declared size with the CRC of the declared part, a link target with a wrong CRC, a NUL byte or
// control characters)
// fail the walk, after other entries were written: a new base is removed, an existing tree stays as it was.
TEST(ZipWalk, BadEntriesFailTheWalkAndRollBack) {
  const std::string conf = "2025_1/etc/agent.conf", more = "port=1 and more\n";
  const int cutCrc = (int)(crc32Of(more.substr(0, more.size() - 4)) - crc32Of(more));
  for (Entry bad :
       {Entry{.name = "secret.txt", .data = "s", .flags = 1}, Entry{.name = "x.bz2", .data = "b", .method = 12},
        Entry{.name = "p.txt", .data = "p", .flags = 0x20}, Entry{.name = "../escape.txt", .data = "e"},
        Entry{.name = "/abs.txt", .data = "e"}, Entry{.name = conf, .data = "port=1\n", .method = 8, .crcDelta = 1},
        Entry{.name = conf, .data = "port=1\n", .method = 0, .sizeDelta = 4},
        Entry{.name = conf, .data = "port=1\n", .method = 9, .sizeDelta = -2},
        Entry{.name = conf, .data = more, .method = 0, .crcDelta = cutCrc, .sizeDelta = -4},
        Entry{.name = conf, .data = more, .method = 8, .crcDelta = cutCrc, .sizeDelta = -4},
        Entry{.name = conf, .data = more, .method = 9, .crcDelta = cutCrc, .sizeDelta = -4},
        Entry{.name = "2025_1/lnk", .data = "etc", .extAttr = 0xA1FF0000u, .crcDelta = 1},
        Entry{.name = "2025_1/lnk", .data = std::string("etc\0/../..", 10), .extAttr = 0xA1FF0000u},
        Entry{.name = "2025_1/lnk", .data = "etc\x1b[2J\xc2\x9b", .extAttr = 0xA1FF0000u}}) {
    std::vector<Entry> es = payload();
    es.insert(es.begin() + 3, bad);
    const fs::path root = freshDir("out");
    writeFile(root / "old" / conf, "old content");
    writeFile(root / "old/2025_1/keep.txt", "mine");
    const Tree before = snapshot(root);
    for (const char* base : {"new", "old"}) {
      Archive a(es);
      EXPECT_EQ(a.walk(root / base), -1) << bad.name << " into " << base;
      EXPECT_EQ(snapshot(root), before) << bad.name << " into " << base;
    }
  }
}

// A damaged local header, deflate data that runs on past its entry's compressed size (over the next entry, which
// would then be extracted twice while no two entries seem to overlap), and a local header whose extra field holds the
// next entry's header, fail the walk.
TEST(ZipWalk, DamagedLocalHeaderOrDataPastItsSizeFails) {
  std::vector<std::string> damaged(
      2, buildZip({{.name = "a.txt", .data = bigData(3000, 3), .method = 9}, {.name = "b", .data = "b"}}));
  damaged[0][1] = 'Q';  // local header's signature
  damaged[1].replace(damaged[1].find(std::string("PK\x01\x02", 4)) + 20, 4, fields("4", {2}));  // compressed size
  // "a" (header 0..31, data 31) and "b" (32..63): "b"'s header moves into "a"'s local extra field, "a"'s data behind.
  std::string inExtra = buildZip({{.name = "a", .data = "A"}, {.name = "b", .data = "b"}});
  inExtra.erase(31, 1);
  inExtra.insert(63, "A");
  inExtra.replace(28, 2, fields("2", {32}));
  inExtra.replace(inExtra.rfind(std::string("PK\x01\x02", 4)) + 42, 4, fields("4", {31}));
  damaged.push_back(inExtra);
  for (size_t i = 0; i < damaged.size(); i++) {
    Archive a(damaged[i]);
    const fs::path base = freshDir("out") / "b";
    EXPECT_EQ((std::tuple{a.walk(base), fs::exists(base)}), std::tuple(-1, false)) << i;
  }
}

// Many files of one stem in one directory, all replaced within the same millisecond, and names the archive holds more
// than once (one of them replacing a file already there): every previous version is kept aside until the end, comes
// back on rollback and disappears on commit.
TEST(ZipJournal, ReplacementsRollBackToTheOriginalAndCommit) {
  std::vector<Entry> es;
  for (const char* n : {"a.txt", "a.cfg", "a.dat", "a", ".a", "a.b.c", "A.TXT2", "a.txt.bak"})
    es.push_back({.name = std::string("d/") + n, .data = std::string("new ") + n, .method = 8});
  const char* const duplicates[][2] = {
      {"x.txt", "first"}, {"x.txt", "second"}, {"n.txt", "one"}, {"n.txt", "two"}, {"x.txt", "third"}};
  for (const auto& d : duplicates) es.push_back({.name = d[0], .data = d[1]});
  for (bool commit : {false, true}) {
    const fs::path base = freshDir(commit ? "commit" : "rollback");
    for (size_t i = 0; i < 8; i++) writeFile(base / es[i].name, "old " + es[i].name);
    writeFile(base / "d/unrelated.txt", "u");
    writeFile(base / "x.txt", "original");
    const Tree before = snapshot(base);
    Tree after = before;
    for (const Entry& e : es) after[e.name] = e.data;
    Archive a(es);
    ASSERT_EQ(a.walk(base), 0);
    EXPECT_EQ(withoutOldVersions(snapshot(base)), after);
    EXPECT_EQ(snapshot(base).size(), after.size() + 12);  // 8 + 3 + 1 previous versions
    if (!commit) {
      zipRollback(&a.zip);
      EXPECT_EQ(snapshot(base), before);
    }
    zipExit(&a.zip);
    EXPECT_EQ(snapshot(base), commit ? after : before);
  }
}

TEST(ZipJournal, WithoutJournalReplacedFilesGoAtOnce) {
  const fs::path base = freshDir("t");
  writeFile(base / "k/v.txt", "old");
  Archive a(std::vector<Entry>{{.name = "k/v.txt", .data = "new", .method = 8}, {.name = "k/w.txt", .data = "w"}});
  ASSERT_EQ(a.walk(base, zipWalkExtract), 0);
  const Tree want = {{"k", "<dir>"}, {"k/v.txt", "new"}, {"k/w.txt", "w"}};
  EXPECT_EQ(snapshot(base), want);
  zipRollback(&a.zip);  // nothing journalled: nothing changes
  EXPECT_EQ(snapshot(base), want);
}

TEST(ZipWalk, NothingIsWrittenThroughALinkOfTheArchive) {
  ZIPTEST_LINKS_DIR(root, "t");
  const fs::path outside = root / "outside", base = root / "base";
  fs::create_directories(outside);
  const Entry link = {.name = "lnk", .data = str(outside), .extAttr = 0xA1FF0000u};
  Archive a({link, {.name = "lnk/owned.txt", .data = "pwned"}});
  EXPECT_EQ((std::tuple{a.walk(base), fs::is_empty(outside), fs::exists(base)}), std::tuple(-1, true, false));
  zipExit(&a.zip);

  // A link alone is extracted; a rollback removes the link, not its target.
  writeFile(outside / "precious.txt", "keep");
  Archive b({link});
  ASSERT_EQ(b.walk(base), 0);
  EXPECT_TRUE(fs::is_symlink(base / "lnk"));
  zipRollback(&b.zip);
  EXPECT_EQ(std::tuple(fs::exists(base), readFile(outside / "precious.txt")), std::tuple(false, "keep"));
}

// Fails the n-th file-system call of an extraction over an existing tree, for every n until no fault fires: a failed
// walk leaves the tree exactly as it was; a walk that survives leaves the new tree, and its rollback the old one.
TEST(ZipFault, EveryFailedCallLeavesTheTreeAsItWas) {
  std::vector<Entry> es = {
      {.name = "app/"},
      {.name = "app/bin/tool.exe", .data = bigData(300000, 5), .method = 9},
      {.name = "app/bin/tool.cfg", .data = "cfg2", .method = 8},
      {.name = "app/new/sub/file.txt", .data = "fresh"},
      {.name = "app/readme.txt", .data = "readme v2"},
  };
  const fs::path base = freshDir("tree");
  writeFile(base / "app/bin/tool.exe", "old exe");
  writeFile(base / "app/bin/tool.cfg", "cfg1");
  writeFile(base / "app/data.bin", "user data");
  const Tree before = snapshot(base);
  Tree after = before;
  for (const auto& [k, v] : expectedTree(es)) after[k] = v;
  Archive a(es);
  zipExit(&a.zip);
  int failures = 0;
  if (getenv("ZIPTEST_LOG")) logParseLevels(getenv("ZIPTEST_LOG"));
  for (uint32_t n = 1; n < 2000; n++) {
    ZipInfo* zip = nullptr;
    ASSERT_EQ(zipOpen(&zip, a.path.c_str(), false), 0);
    osTestFailAfter(n, 5);
    const int rc = zipWalk(&zip, nullptr, nullptr, zipWalkJournal, zipQuiet, str(base).c_str());
    const bool fired = osTestFaultFired();
    osTestDisarm();
    failures += rc != 0;
    EXPECT_EQ(rc != 0 ? snapshot(base) : withoutOldVersions(snapshot(base)), rc != 0 ? before : after)
        << "fault at " << n;
    if (rc == 0) zipRollback(&zip);
    EXPECT_EQ(snapshot(base), before) << "rollback after fault at call " << n;
    zipExit(&zip);
    if (!fired) break;
    ASSERT_LT(n, 1999u);
  }
  EXPECT_GT(failures, 10);
}

// Extracted files reach the disk in one batch before the walk succeeds, not one flush per file: a failing flush of
// single files is never met, a failing batch flush fails and undoes the walk, without syncfs each is flushed by name.
TEST(ZipWalk, FilesReachTheDiskInOneBatch) {
  const struct {
    const char* name;
    const char* posixFault;  // POSIX call that fails, with posixError
    uint32_t posixError;
    const char* windowsFault;  // Windows call that fails (error 5)
    int rc;
  } cases[] = {
      {"single-file flushes are not made", "fsync", EIO, nullptr, 0},
      {"the batch flush fails", "syncfs", EIO, "flushFileBuffers", -1},
      {"no syncfs: each file by name", "syncfs", ENOSYS, nullptr, 0},
  };
  const auto es = payload();
  const fs::path out = freshDir("batch");
  for (const auto& c : cases) {
    for (ZipWalkMode mode : {zipWalkJournal, zipWalkExtract}) {
      SCOPED_TRACE(std::string(c.name) + (mode == zipWalkJournal ? ", journal" : ", no journal"));
      Archive a(es);
      const fs::path base = out / (std::string(c.name) + std::to_string((int)mode));
      const char* fault = windows ? c.windowsFault : c.posixFault;
      if (fault) osTestFailCall(fault, windows ? 5 : c.posixError);
      EXPECT_EQ(a.walk(base, mode), c.rc);
      osTestFailCall(nullptr, 0);
      if (mode != zipWalkJournal) continue;
      EXPECT_EQ(snapshot(base), c.rc == 0 ? expectedTree(es) : Tree{});
    }
  }
}

// With the journal on disk the files are flushed just before the commit mark; when that flush fails, the commit says so
// (the run must not report success) and the journal stays for the next run to undo.
TEST(ZipWalk, FailedFlushAtTheCommitIsReported) {
  const fs::path base = freshDir("commitflush");
  const std::string journal = str(base.parent_path() / (base.filename().string() + ".journal"));
  Archive a(payload());
  ASSERT_EQ(zipKeepJournalOnDisk(a.zip, journal.c_str()), 0);
  ASSERT_EQ(a.walk(base), 0);
  osTestFailCall(windows ? "flushFileBuffers" : "syncfs", windows ? 5 : EIO);
  EXPECT_EQ((std::tuple{zipCommit(&a.zip), fs::exists(journal)}), std::tuple(-1, true));
  osTestFailCall(nullptr, 0);
}

// A file's mode and times are set through the handle it was written with, before it is moved into place: never by a
// name that a link swapped in meanwhile could send to another file.
TEST(ZipWalk, ModeAndTimesAreSetThroughTheWrittenFile) {
  if (windows) GTEST_SKIP() << "attributes follow the name's rule on Windows";
  const std::vector<Entry> es = {{.name = "d/f.txt", .data = "x", .extAttr = 0100640u << 16}};
  const fs::path control = freshDir("attrcontrol"), base = freshDir("attrhandle");
  Archive a(es), b(es);
  ASSERT_EQ(a.walk(control), 0);
  osTestFailCall("chmod", EIO);
  osTestFailCall("utimens", EIO);
  EXPECT_EQ(b.walk(base), 0);
  osTestFailCall(nullptr, 0);
  zipExit(&a.zip);
  zipExit(&b.zip);
  EXPECT_EQ(std::tuple(fs::status(base / "d/f.txt").permissions(), fs::last_write_time(base / "d/f.txt")),
            std::tuple(fs::perms(0640), fs::last_write_time(control / "d/f.txt")));
}
