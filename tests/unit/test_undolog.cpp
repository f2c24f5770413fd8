// The update journal on disk: records survive a torn end, and recovery from a crash at any step of an update gives back
// the old tree, or the new one after the commit mark, also when recovery itself is cut short.
#include <cerrno>
#include <cinttypes>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "crc32.h"
#include "logging.h"
#include "osdirhandle.h"
#include "osfile.h"
#include "osfs.h"
#include "ostest.h"
#include "undolog.h"

namespace {

namespace fs = std::filesystem;

class UndoLogTest : public OsFsTest {
 protected:
  // Relative path -> contents ("<dir>" for a directory) of the tree.
  std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(path("tree")))
      out[fs::relative(e.path(), path("tree")).generic_string()] =
          e.is_directory() ? "<dir>" : readText(e.path().string());
    return out;
  }
  std::string log() { return path("journal"); }
  std::string t(const std::string& rel) { return path("tree") + osPathSeparator + rel; }
  struct Rec {
    uint8_t type;
    std::string path, other;
  };
  // A journal of `records`, left unfinished as a crash leaves it.
  void journal(std::initializer_list<Rec> records) {
    UndoLog ul;
    ASSERT_EQ(0, ulCreate(log().c_str(), &ul));
    for (const Rec& r : records) ASSERT_EQ(0, ulAppend(&ul, r.type, r.path.c_str(), r.other.c_str()));
    ASSERT_EQ(0, ulClose(&ul, false));
  }
  int recover(const std::string& root) {
    uint32_t restored = 0, removed = 0;
    return ulRecover(log().c_str(), root.c_str(), &restored, &removed);
  }
  // Expects recovery to refuse the journal and leave it for a person.
  void expectRefused(const std::string& root, const std::string& row) {
    const std::string said = testCaptureLog(logCatZip, logLevelError, [&] { EXPECT_EQ(-1, recover(root)) << row; });
    EXPECT_NE(std::string::npos, said.find("until a person has checked")) << said;
  }

  // One update of the tree, step by step, each record before its step, as the extraction makes it; stops after `steps`
  // steps (all when -1). Returns the number of steps it has.
  int update(int steps) {
    UndoLog ul;
    EXPECT_EQ(0, ulCreate(log().c_str(), &ul));
    std::vector<std::function<void()>> s;
    auto rec = [&](uint8_t type, std::string a, std::string b) {
      s.push_back([&ul, type, a, b] { ASSERT_EQ(0, ulAppend(&ul, type, a.c_str(), b.c_str())); });
    };
    auto act = [&](std::function<void()> f) { s.push_back(f); };
    rec(ulDirCreated, t("new"), "");
    act([this] { fs::create_directory(t("new")); });
    for (const char* name : {"new/n.txt", "a.txt", "sub/b.txt"}) {
      const std::string p = t(name), tmp = p + ".zip.tmp", old = p + ".old.tmp";
      const bool replace = fs::exists(p);
      rec(ulTempFile, tmp, "");
      act([tmp] { writeText(tmp, "new"); });
      if (replace) {
        rec(ulMovedAside, p, old);
        act([&ul] { ASSERT_EQ(0, ulFlush(&ul)); });
        act([p, old] { fs::rename(p, old); });
      }
      rec(ulPlaced, p, replace ? old : "");
      act([tmp, p] { fs::rename(tmp, p); });
    }
    rec(ulDone, "", "");
    act([&ul] { ASSERT_EQ(0, ulFlush(&ul)); });
    for (const char* name : {"a.txt", "sub/b.txt"}) act([this, name] { fs::remove(t(name) + ".old.tmp"); });
    act([&ul] { ulClose(&ul, true); });
    const int n = (int)s.size();
    for (int i = 0; i < n && (steps < 0 || i < steps); i++) s[i]();
    if (ul.stream) ulClose(&ul, false);
    return n;
  }

  // The identity of the file or directory at p, as the journal records it.
  std::string idText(const std::string& p) {
    OsDirHandle* dir = nullptr;
    OsFileId id = {};
    EXPECT_EQ(osDirHandleOpen(path("tree").c_str(), &dir), 0);
    EXPECT_EQ(osDirHandleIdOf(dir, p.substr(path("tree").size() + 1).c_str(), &id), 0);
    osDirHandleClose(dir);
    char text[ulIdTextSize];
    ulIdText(&id, text);
    return text;
  }

  void oldTree() {
    fs::create_directories(t("sub"));
    writeText(t("a.txt"), "old a");
    writeText(t("sub/b.txt"), "old b");
    writeText(t("keep.txt"), "keep");
  }

  const std::map<std::string, std::string> oldSnap = {
      {"a.txt", "old a"}, {"keep.txt", "keep"}, {"sub", "<dir>"}, {"sub/b.txt", "old b"}};
  const std::map<std::string, std::string> newSnap = {{"a.txt", "new"},     {"keep.txt", "keep"}, {"new", "<dir>"},
                                                      {"new/n.txt", "new"}, {"sub", "<dir>"},     {"sub/b.txt", "new"}};
};

// A journal is only ever created new: never through a link planted at its
// name, and never over an existing journal, which may be the only way back.
TEST_F(UndoLogTest, JournalIsCreatedNewOrNotAtAll) {
  TEST_LINK_OR_SKIP(fs::create_symlink, path("elsewhere"), log());
  UndoLog ul;
  EXPECT_EQ(-1, ulCreate(log().c_str(), &ul));
  EXPECT_FALSE(exists(path("elsewhere")));
}

// A lock directory swapped for a link while the journal was open: removing
// the journal at the end must not delete a file of that name behind the link.
TEST_F(UndoLogTest, JournalIsNotRemovedThroughASwappedDirectory) {
  fs::create_directories(path("lk"));
  fs::create_directories(path("outside"));
  writeText(path("outside") + osPathSeparator + "journal", "precious");
  const std::string journal = path("lk") + osPathSeparator + "journal";
  UndoLog ul;
  ASSERT_EQ(0, ulCreate(journal.c_str(), &ul));
  fs::rename(path("lk"), path("lk-moved"));
  TEST_LINK_OR_SKIP(fs::create_directory_symlink, path("outside"), path("lk"));
  EXPECT_EQ(-1, ulClose(&ul, true));
  EXPECT_EQ("precious", readText(path("outside") + osPathSeparator + "journal"));
}

TEST_F(UndoLogTest, TornOrDamagedLastRecordIsIgnored) {
  ASSERT_NO_FATAL_FAILURE(journal({{ulMovedAside, "x/a", "x/.a-old"}, {ulPlaced, "x/b", ""}}));
  const std::string whole = readText(log());
  struct Case {
    std::string bytes;
    uint32_t records;
  } cases[] = {
      {whole, 2},
      {whole.substr(0, whole.size() - 1), 1},                          // torn CRC
      {whole.substr(0, whole.size() - 8), 1},                          // torn name
      {whole.substr(0, ulHeaderSize + 3), 0},                          // torn first record
      {whole.substr(0, 3), 0},                                         // torn header
      {whole.substr(0, whole.size() - 2) + "\x55" + whole.back(), 1},  // damaged CRC
      {whole.substr(0, 4) + '\x01' + whole.substr(5), 2},              // the previous version's journal
  };
  for (const Case& c : cases) {
    writeText(log(), c.bytes);
    UndoRecord* r = nullptr;
    uint32_t n = 99;
    ASSERT_EQ(0, ulRead(log().c_str(), &r, &n));
    // The count, and the fields of the records read.
    EXPECT_EQ((std::tuple{n, std::string(n >= 1 ? r[0].other : ""), std::string(n == 2 ? r[1].path : "")}),
              (std::tuple{c.records, c.records >= 1 ? "x/.a-old" : "", c.records == 2 ? "x/b" : ""}))
        << c.bytes.size();
    ulFreeRecords(r, n);
  }
  // A whole record with a field longer than the writer takes is no torn end: the records after it would be lost.
  std::string longRecord = "P" + std::string("\x01\x00\x01\x00\x00\x00\x00\x00", 8) + std::string(65537, 'x');
  uint32_t crc = 0;
  crc32Update(&crc, longRecord.data(), (uint32_t)longRecord.size());
  longRecord += std::string(reinterpret_cast<const char*>(&crc), 4);  // little-endian hosts
  // Nor is damage with a sound record after it (a page lost in a power cut, say).
  std::string damagedFirst = whole;
  damagedFirst[ulHeaderSize + 9 + 3 + 8] ^= 0x55;  // the first record's CRC
  for (const std::string& bad :
       {std::string("SFXJ\x03", 5) + std::string(3, '\0'), std::string("ZIP"),
        whole.substr(0, ulHeaderSize) + longRecord + whole.substr(ulHeaderSize), damagedFirst}) {
    writeText(log(), bad);
    expectRefused(dir, bad);
    EXPECT_EQ(bad, readText(log()));
  }
}

TEST_F(UndoLogTest, CrashAtEveryStepRecoversOldOrNewTree) {
  oldTree();
  const int steps = update(-1);
  for (int k = 0; k <= steps; k++) {
    fs::remove_all(path("tree"));
    fs::remove(log());
    oldTree();
    update(k);
    if (!fs::exists(log())) {
      EXPECT_EQ(newSnap, snapshot()) << k;
      continue;
    }
    ASSERT_EQ(0, recover(path("tree"))) << k;
    const auto got = snapshot();
    // Past the commit mark only the new tree is right.
    EXPECT_EQ((std::tuple{fs::exists(log()), got == newSnap || (got == oldSnap && k < steps - 4)}),
              (std::tuple{false, true}))
        << k;
  }
}

// Journals of earlier versions identify files by volume and number alone: a kept one still undoes its files.
TEST_F(UndoLogTest, IdentityWithoutGenerationIsComparedOnVolumeAndNumber) {
  fs::create_directories(path("tree"));
  writeText(t("x.txt"), "new");
  const std::string id = idText(t("x.txt")), twoParts = id.substr(0, id.find(':', id.find(':') + 1));
  ASSERT_NO_FATAL_FAILURE(journal({{ulPlaced, t("x.txt"), ""}, {ulIdentity, t("x.txt"), twoParts}}));
  ASSERT_EQ(0, recover(path("tree")));
  EXPECT_FALSE(fs::exists(t("x.txt")));
}

// A file in a directory the update made that is not the update's (a person's, at its name) stays, and so does the
// directory around it: the journal stays for the person, with what it could not undo.
TEST_F(UndoLogTest, DirectoryHoldingWhatCouldNotBeUndoneStays) {
  fs::create_directories(t("new"));
  writeText(t("new/n.txt"), "theirs");
  writeText(t("other"), "");
  ASSERT_NO_FATAL_FAILURE(journal({{ulDirCreated, t("new"), ""},
                                   {ulIdentity, t("new"), idText(t("new"))},
                                   {ulPlaced, t("new/n.txt"), ""},
                                   {ulIdentity, t("new/n.txt"), idText(t("other"))}}));
  EXPECT_EQ(-1, recover(path("tree")));
  EXPECT_EQ(readText(t("new/n.txt")), "theirs");
  EXPECT_TRUE(fs::exists(log()));
}

TEST_F(UndoLogTest, RecoveryCutShortIsFinishedByTheNextOne) {
  useTestClock();  // failed deletions are retried with waits on Windows
  oldTree();
  const int steps = update(-1);
  for (int k : {steps - 7, steps - 5}) {  // before the commit mark: undo
    for (uint32_t n = 1;; n++) {
      fs::remove_all(path("tree"));
      oldTree();
      update(k);
      osTestFailAfter(n, EIO, osTestFailAlways);
      const int rc = recover(path("tree"));
      const bool fired = osTestFaultFired();
      osTestFailAfter(0, 0);
      if (!fired) {
        ASSERT_EQ(0, rc);
        break;
      }
      if (fs::exists(log())) {
        EXPECT_EQ(0, recover(path("tree"))) << k << " " << n;
      }
      EXPECT_EQ(oldSnap, snapshot()) << k << " " << n;
    }
  }
}

// A directory the update created, holding a hidden file it did not make, stays with that file; recovery still completes
// and the log goes, so the next update is not blocked.
TEST_F(UndoLogTest, CreatedDirectoryThatCannotBeEmptiedDoesNotBlock) {
  oldTree();
  fs::create_directory(t("new"));
  ASSERT_NO_FATAL_FAILURE(journal({{ulDirCreated, t("new"), ""}, {ulIdentity, t("new"), idText(t("new"))}}));
  writeText(t("new/.hidden"), "script's");
  EXPECT_EQ((std::tuple{recover(path("tree")), fs::exists(log()), readText(t("new/.hidden"))}),
            (std::tuple{0, false, "script's"}));
}

// A directory not known to be the one the update made (it ended between announcing the directory and recording which
// one it made, or the journal is forged) goes only when empty; one with anything in it stays, and so does the journal.
TEST_F(UndoLogTest, DirectoryOfUnknownIdentityGoesOnlyWhenEmpty) {
  oldTree();
  fs::create_directory(t("new"));
  ASSERT_NO_FATAL_FAILURE(journal({{ulDirCreated, t("sub"), ""}, {ulDirCreated, t("new"), ""}}));
  EXPECT_EQ((std::tuple{recover(path("tree")), fs::exists(log()), fs::exists(t("new")), snapshot()}),
            (std::tuple{-1, true, false, oldSnap}));
}

// A journal that names anything outside the installation (planted, or not of this installation), or the installation's
// registration or lock, is refused whole: nothing inside or outside is touched, and the journal stays.
TEST_F(UndoLogTest, NamesOutsideTheInstallationAreNeverTouched) {
  oldTree();
  fs::create_directories(path("outside"));
  writeText(path("outside") + osPathSeparator + "f", "precious");
  const bool links = [&] {
    std::error_code ec;
    fs::create_directory_symlink(path("outside"), t("lnk"), ec);
    fs::create_directory_symlink(path("tree"), t("here"), ec);
    return !ec;
  }();
  writeText(t("register.properties"), "id=mine");
  fs::create_directories(t(".lock"));
  writeText(t(".lock") + osPathSeparator + "holder", "1 2 3 h");
  const auto before = snapshot();
  const std::string out = path("outside"), f = out + osPathSeparator + "f";
  const Rec cases[] = {{ulDirCreated, out, ""},
                       {ulPlaced, f, ""},
                       {ulPlaced, t("..") + osPathSeparator + "outside" + osPathSeparator + "f", ""},
                       {ulMovedAside, t("a.txt"), f},
                       {ulTempFile, t("lnk") + osPathSeparator + "f", ""},
                       {ulPlaced, t("register.properties"), ""},
                       {ulMovedAside, t("Register.Properties"), t("keep.txt")},
                       {ulPlaced, t(".lock") + osPathSeparator + "holder", ""},
                       {ulPlaced, t("here") + osPathSeparator + "register.properties", ""},
                       {ulVoid, t("keep.txt"), "X"},  // voids a kind of step that is never voided
                       {ulVoid, t("a.txt"), "P"}};    // voids a step the journal does not hold
  for (const Rec& c : cases) {
    if (!links && (c.path.find("lnk") != std::string::npos || c.path.find("here") != std::string::npos)) continue;
    fs::remove(log());  // the refused journal of the row before stays
    ASSERT_NO_FATAL_FAILURE(journal({{ulPlaced, t("keep.txt"), ""}, c}));
    expectRefused(path("tree"), c.path);
    EXPECT_EQ((std::tuple{readText(f), snapshot(), fs::exists(log())}), (std::tuple{"precious", before, true}))
        << c.path;
  }
}

}  // namespace

// A directory of the installation swapped for a link to the outside at the very moment recovery deletes a file in it:
// the deletion stays in the installation's own directory.
TEST_F(UndoLogTest, RecoveryDeletesInTheInstallationsOwnDirectory) {
  const std::string outside = path("outside");
  fs::create_directories(outside);
  writeText(outside + osPathSeparator + "n.txt", "victim");
  fs::create_directories(t("www"));
  writeText(t("www/n.txt"), "new");
  TEST_LINK_OR_SKIP(fs::create_directory_symlink, outside, path("probe"));
  journal({{ulPlaced, t("www/n.txt"), ""}});
  TestSwap swap{t("www"), path("moved"), outside};
  osTestBeforeCall("unlink", testSwapForLink, &swap);
  recover(path("tree"));
  osTestBeforeCall(nullptr, nullptr, nullptr);
  EXPECT_EQ("victim", readText(outside + osPathSeparator + "n.txt"));
  EXPECT_FALSE(fs::exists(path("moved") + osPathSeparator + "n.txt"));
}
