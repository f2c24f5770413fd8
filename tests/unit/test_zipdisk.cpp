// The disk side of extraction under attack: entries that meet an existing object of the other kind, selections spelled
// with "./" and "..", sizes that disagree with the data, links that were already on disk, names too deep for the
// platform. Nothing that existed before a walk may be lost.
#include <gtest/gtest.h>

#include <algorithm>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "ostest.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "test_zip_helpers.h"
#include "undolog.h"
#include "zipdisk.h"
#include "zipint.h"

using namespace ziptest;

namespace {

// A journalling writer on a base directory. start() writes "new" to the temporary file of `name`, checked and ready to
// be placed; rollBack() discards what is left, closes the writer and undoes the journal.
struct Writer {
  std::string base;  // the writer borrows it
  ZipInfo info{};
  ZipDisk disk;
  explicit Writer(const fs::path& b) : base(str(b)) {}
  void check(const char* name) {
    ASSERT_EQ(zipDiskOpen(&disk, &info, base.c_str(), zipDiskJournal), 0);
    ASSERT_EQ(zipDiskFreeNames(&disk, name), 0);
    ASSERT_EQ(zipDiskCheck(&disk, name, false), zipDiskWrite);
  }
  void start(const char* name) {
    ASSERT_NO_FATAL_FAILURE(check(name));
    IoStream* out = nullptr;
    ASSERT_EQ(zipDiskCreateTemp(&disk, name, &out), 0);
    EXPECT_EQ(iosWrite(out, "new", 3, nullptr), 0);
  }
  void rollBack() {
    zipDiskDiscardTemp(&disk);
    zipDiskClose(&disk);
    zipEndJournal(&info, zipJournalRollback);
  }
};

// Undoes the finished walk of `a` below `base`: in-process, or by the next run's recovery of its journal on disk; the
// recovery's result (0 for the rollback).
int undo(Archive& a, bool recovery, const fs::path& journal, const fs::path& base) {
  if (recovery) return recoverAbandoned(a.zip, journal, base);
  zipRollback(&a.zip);
  return 0;
}

}  // namespace

// A file entry over an existing directory, a directory entry over an existing file, a link entry over an existing
// directory: the walk fails and what was there stays, contents included.
TEST(ZipDisk, EntryMeetingTheOtherKindKeepsWhatExists) {
  const struct {
    Entry entry;
    const char* existingDir;   // made as a directory holding "keep.txt"
    const char* existingFile;  // made as a file
  } cases[] = {
      {{.name = "etc/agent.properties", .data = "new"}, "etc/agent.properties", nullptr},
      {{.name = "etc/log", .data = "new", .method = 8}, "etc/log", nullptr},
      {{.name = "etc/log/"}, nullptr, "etc/log"},
      {{.name = "etc/log/x.txt", .data = "x"}, nullptr, "etc/log"},
      {{.name = "etc/lnk", .data = "target", .extAttr = 0xA1FF0000u}, "etc/lnk", nullptr},
  };
  for (const auto& c : cases) {
    const fs::path base = freshDir("kind");
    writeFile(base / "etc/other.txt", "mine");
    if (c.existingDir) writeFile(base / c.existingDir / "keep.txt", "keep");
    if (c.existingFile) writeFile(base / c.existingFile, "keep");
    const Tree before = snapshot(base);
    EXPECT_EQ(extract({{.name = "etc/a.txt", .data = "a"}, c.entry, {.name = "z.txt", .data = "z"}}, base), -1)
        << c.entry.name;
    EXPECT_EQ(snapshot(base), before) << c.entry.name;
  }
}

// The registration file is kept however the payload spells its name; selections see names as extraction resolves them.
TEST(ZipDisk, SelectionSeesResolvedNames) {
  for (const char* spelling : {"./register.properties", ".//register.properties", "x/../register.properties",
                               "./x/../REGISTER.properties", "x\\..\\register.properties"}) {
    const fs::path base = freshDir("sel");
    writeFile(base / "register.properties", "id=mine");
    const std::vector<Entry> es = {{.name = "./bin/a.cmd", .data = "a"}, {.name = spelling, .data = "id=new"}};
    ASSERT_EQ(extract(es, base, "!register.properties"), 0) << spelling;
    EXPECT_EQ(snapshot(base), (Tree{{"bin", "<dir>"}, {"bin/a.cmd", "a"}, {"register.properties", "id=mine"}}))
        << spelling;
  }
  const fs::path base = freshDir("sel");
  ASSERT_EQ(extract({{.name = "./bin/a.cmd", .data = "a"}, {.name = "b.cmd", .data = "b"}}, base, "bin/*.cmd"), 0);
  EXPECT_EQ(snapshot(base), (Tree{{"bin", "<dir>"}, {"bin/a.cmd", "a"}}));
}

// Links already on disk: nothing is written through one leading out of the base, whoever made it; inner ones are used.
TEST(ZipDisk, LinksOnDiskThatLeaveTheBaseAreRefused) {
  ZIPTEST_LINKS_DIR(root, "links");
  const fs::path outside = root / "outside", base = root / "base";
  fs::create_directories(outside);
  fs::create_directories(base / "www/real");
  fs::create_directory_symlink(outside, base / "www/lnk");
  fs::create_directory_symlink(base / "www/real", base / "www/in");
  fs::create_directory_symlink(fs::path("..") / ".." / "outside", base / "www/rel");
  for (const char* name :
       {"www/lnk/evil.txt", "www/lnk/sub/evil.txt", "www/lnk/sub/", "www/rel/evil.txt", "www/in/../lnk/evil.txt"}) {
    const Tree before = snapshot(base);
    EXPECT_EQ(extract({{.name = name, .data = "pwned"}}, base), -1) << name;
    EXPECT_TRUE(fs::is_empty(outside)) << name;
    EXPECT_EQ(snapshot(base), before) << name;
  }
  ASSERT_EQ(extract({{.name = "www/in/ok.txt", .data = "ok"}, {.name = "www/in/d/"}}, base), 0);
  EXPECT_EQ(readFile(base / "www/real/ok.txt"), "ok");
  EXPECT_TRUE(fs::is_directory(base / "www/real/d"));

  // The base directory itself may be reached through a link.
  fs::create_directory_symlink(base, root / "via");
  ASSERT_EQ(extract({{.name = "www/in/via.txt", .data = "v"}}, root / "via"), 0);
  EXPECT_EQ(readFile(base / "www/real/via.txt"), "v");
}

// A name longer than the platform allows is refused with a message that says so, before anything is created.
TEST(ZipDisk, NamesBeyondThePlatformLimitAreRefused) {
  const fs::path base = freshDir("deep");
  std::string deep;
  while (deep.size() < 40000) deep += "a/";
  deep += "f.txt";
  const std::string log = testCaptureLog(logCatZip, logLevelError, [&] {
    EXPECT_EQ(extract({{.name = "ok.txt", .data = "ok"}, {.name = deep, .data = "x"}}, base), -1);
  });
  EXPECT_NE(log.find("is too long"), std::string::npos) << log.substr(0, 400);
  EXPECT_TRUE(snapshot(base).empty());
  // A deep name within the limit is extracted, below a tree that partly exists.
  fs::create_directories(base / "a/a/a");
  ASSERT_EQ(extract({{.name = deep.substr(0, 600) + "f.txt", .data = "x"}}, base), 0);
  EXPECT_EQ(readFile(base / (deep.substr(0, 600) + "f.txt")), "x");
}

// The DEBUG lines name what is really used: the temporary and old names of the replaced file (its previous version lies
// at the logged old name until the commit), and the entry whose directory gets its attributes.
TEST(ZipWalkLog, DebugLinesNameWhatIsUsed) {
  const fs::path base = freshDir("log");
  writeFile(base / "d/f.txt", "old");
  Archive a({{.name = "n/"}, {.name = "d/f.txt", .data = "new"}});
  const std::string log = testCaptureLog(logCatZip, logLevelDebug, [&] { EXPECT_EQ(a.walk(base), 0); });
  const size_t at = log.find("entry 'd/f.txt'");
  ASSERT_NE(at, std::string::npos) << log;
  const size_t old = log.find("oldName '", at) + 9;
  const std::string oldName = log.substr(old, log.find('\'', old) - old);
  EXPECT_EQ(readFile(oldName), "old") << log.substr(at, 300);
  EXPECT_NE(log.find("Set attributes of n/ "), std::string::npos) << log;
}

// Dangling links planted at the coming temporary names (a name holds the time in milliseconds) are taken names: the
// data never follows one, and a block of them longer than the number of probes does not stop the walk.
TEST(ZipDisk, PlantedTemporaryNamesAreNotFollowed) {
  ZIPTEST_LINKS_DIR(root, "temp");
  const fs::path base = root / "base";
  fs::create_directories(base / "d");
  const uint64_t now = osDateNow();
  for (uint64_t t = now; t < now + 3000; t++)
    fs::create_symlink(root / "evil", base / "d" / (".f-zip-" + std::to_string(t) + ".tmp"));
  ASSERT_EQ(extract({{.name = "d/f.txt", .data = "new"}}, base), 0);
  EXPECT_FALSE(fs::exists(root / "evil"));
  EXPECT_FALSE(fs::is_symlink(base / "d/f.txt"));
  EXPECT_EQ(readFile(base / "d/f.txt"), "new");
}

// An update keeps the installation's registration file and stays out of its lock however an entry reaches them: through
// a link an earlier update left, a link at the entry's own path, or the lock's name spelled another way. A kept
// registration file lets the rest of the update go on; an entry for the lock fails the update, which is rolled back.
TEST(ZipDisk, UpdateKeepsTheRegistrationAndStaysOutOfTheLock) {
  const struct {
    const char* link;    // a link made in the installation before the update, or null
    const char* target;  // what it points to, relative to the link's directory
    const char* entry;
    int rc;
  } cases[] = {
      {"cfg", ".", "cfg/register.properties", 0},
      {"etc/up", "..", "etc/up/register.properties", 0},
      {"reg.txt", "register.properties", "reg.txt", 0},
      {nullptr, nullptr, ".lock/x", -1},
      {nullptr, nullptr, "./.lock/x", -1},
      {nullptr, nullptr, "etc/../.lock/", -1},
      {"lk", ".lock", "lk/x", -1},
  };
  for (const auto& c : cases) {
    const fs::path base = freshDir("update");
    if (c.link && !linksWork(base)) continue;  // symbolic links need privileges on some Windows hosts
    writeFile(base / "register.properties", "id=mine");
    fs::create_directories(base / ".lock");
    fs::create_directories(base / "etc");
    if (c.link) fs::create_symlink(c.target, base / c.link);
    Tree after = snapshot(base);
    if (c.rc == 0) after["bin"] = "<dir>", after["bin/a.cmd"] = "a";
    const std::vector<Entry> es = {{.name = "bin/a.cmd", .data = "a"}, {.name = c.entry, .data = "id=evil"}};
    EXPECT_EQ(extract(es, base, "!register.properties", zipWalkUpdate), c.rc) << c.entry;
    EXPECT_EQ(snapshot(base), after) << c.entry;
  }
}

// Names that Windows takes for another file (a trailing dot or space is dropped, ':' opens a stream of the file, a
// device name opens the device, spaces before the extension included) and names holding control characters are
// refused on every system; the message shows control characters escaped. Near misses are extracted.
TEST(ZipDisk, NamesThatAliasAnotherFileOnWindowsAreRefused) {
  const struct {
    const char *name, *shown;  // shown: null when the message holds the name as it is
  } refused[] = {
      {"register.properties.", nullptr},
      {"register.properties ", nullptr},
      {"register.properties::$DATA", nullptr},
      {"bin./a.cmd", nullptr},
      {"bin /a.cmd", nullptr},
      {"bin/a:b", nullptr},
      {".../x", nullptr},
      {"CON", nullptr},
      {"www/aux.txt", nullptr},
      {"lpt1/x", nullptr},
      {"www/Com9.log", nullptr},
      {"CON .txt", nullptr},
      {"www/nul  .x", nullptr},
      {"COM\xC2\xB9", nullptr},
      {"com\xC2\xB2.log", nullptr},
      {"LPT\xC2\xB3/x", nullptr},
      {"CONIN$", nullptr},
      {"www/conout$.txt", nullptr},
      {"Clock$.x", nullptr},
      {"www/a\x1B[31m.txt", "www/a\\x1B[31m.txt"},
      {"b\rc", "b\\x0Dc"},
      {"d\x7F", "d\\x7F"},
      {"e\tf/g", "e\\x09f/g"},
      {"www/a\xC2\x9B"
       "2Jb",
       "www/a\\xC2\\x9B2Jb"},
  };
  for (const auto& c : refused) {
    const fs::path base = freshDir("alias");
    writeFile(base / "register.properties", "id=mine");
    const std::string log = testCaptureLog(logCatZip, logLevelError, [&] {
      EXPECT_EQ(extract({{.name = "ok.txt", .data = "ok"}, {.name = c.name, .data = "id=evil"}}, base), -1) << c.name;
    });
    EXPECT_NE(log.find(c.shown ? c.shown : c.name), std::string::npos) << log;
    EXPECT_TRUE(!c.shown || log.find(c.name) == std::string::npos) << log;
    EXPECT_EQ(snapshot(base), (Tree{{"register.properties", "id=mine"}})) << c.name;
  }
  const fs::path base = freshDir("near");
  EXPECT_EQ(extract({{.name = "CONSOLE.txt"},
                     {.name = "COM10"},
                     {.name = "lpt"},
                     {.name = "CLOCK"},
                     {.name = "com\xC2\xB9x"},
                     {.name = "a CON.txt"}},
                    base),
            0);
  EXPECT_EQ(snapshot(base).size(), 6u);
}

// A target that was free when checked but is taken when the new file goes into place is never replaced unseen: a file
// there is kept aside as the previous version and is back after the rollback; a directory there fails the entry.
TEST(ZipDisk, TargetTakenAfterTheCheckIsKept) {
  for (const bool directory : {false, true}) {
    const fs::path base = freshDir(directory ? "takendir" : "taken");
    Writer w(base);
    ASSERT_NO_FATAL_FAILURE(w.start("a.txt"));
    const Tree planted = directory ? Tree{{"a.txt", "<dir>"}, {"a.txt/in", "planted"}} : Tree{{"a.txt", "planted"}};
    writeFile(base / (directory ? "a.txt/in" : "a.txt"), "planted");
    EXPECT_EQ(zipDiskPlace(&w.disk), directory ? -1 : 0);
    zipDiskDiscardTemp(&w.disk);  // closes the written file (on Windows its data shows only then)
    EXPECT_EQ(readFile(base / (directory ? "a.txt/in" : "a.txt")), directory ? "planted" : "new");
    w.rollBack();
    EXPECT_EQ(snapshot(base), planted);
  }
}

// A link put at the temporary name, after the name was found free or while the file was written, is neither written
// through, nor placed, nor removed (removing a link removes its target on some systems).
TEST(ZipDisk, LinkAtTheTemporaryNameIsNeverFollowedPlacedOrRemoved) {
  for (const bool whileWritten : {false, true}) {
    SCOPED_TRACE(whileWritten ? "while written" : "before creation");
    ZIPTEST_LINKS_DIR(root, whileWritten ? "tempswapped" : "tempraced");
    const fs::path base = root / "base", victim = root / "victim.txt";
    fs::create_directories(base);
    writeFile(victim, "precious");
    Writer w(base);
    ASSERT_NO_FATAL_FAILURE(whileWritten ? w.start("a.txt") : w.check("a.txt"));
    const fs::path temp = sbGet(&w.disk.tempName);
    if (whileWritten) fs::rename(temp, root / "moved.tmp");
    fs::create_symlink(victim, temp);
    // Before creation, the file is written under another name instead.
    IoStream* out = nullptr;
    EXPECT_EQ(whileWritten ? zipDiskPlace(&w.disk) : zipDiskCreateTemp(&w.disk, "a.txt", &out), whileWritten ? -1 : 0);
    w.rollBack();
    EXPECT_FALSE(fs::exists(base / "a.txt"));
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(fs::is_symlink(temp)) << "a link the walk did not make was removed";
  }
}

// A directory the walk created and that was swapped for a link before the rollback (at its own name or one level down)
// is undone by removing the link: what the link points at stays whole.
TEST(ZipDisk, RollbackNeverEntersALinkSwappedInForACreatedDirectory) {
  for (const char* swapped : {"www", "www/sub"}) {
    ZIPTEST_LINKS_DIR(root, "swap");
    const fs::path base = root / "base", outside = root / "outside";
    writeFile(outside / "precious", "keep");
    writeFile(outside / "sub" / "deep", "keep too");
    fs::create_directories(base / "www" / "sub");
    const std::string made = str(base / "www");
    ZipInfo info{};
    info.created = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
    ASSERT_EQ(zipAddRollback(&info, made.c_str()), 0);
    fs::remove_all(base / swapped);
    fs::create_directory_symlink(outside, base / swapped);
    zipEndJournal(&info, zipJournalRollback);
    EXPECT_EQ(snapshot(outside), (Tree{{"precious", "keep"}, {"sub", "<dir>"}, {"sub/deep", "keep too"}})) << swapped;
    EXPECT_FALSE(fs::exists(base / "www")) << swapped;
  }
}

// A directory swapped for a link to the outside after an entry of it was checked, or at the very moment the previous
// version is moved aside, or moved away with a link to where it went left at its name: no step of the entry goes
// through the link, and the next entry, refused or written into the directory the walk holds, is not kept.
TEST(ZipDisk, DirectorySwappedForALinkMidWalkIsNotFollowed) {
  for (const int when : {0, 1, 2}) {
    SCOPED_TRACE(when);
    ZIPTEST_LINKS_DIR(root, "midswap");
    const fs::path base = root / "base", outside = root / "outside";
    writeFile(base / "www" / "a.txt", "old");
    writeFile(outside / "a.txt", "precious");
    Writer w(base);
    ASSERT_NO_FATAL_FAILURE(w.start("www/a.txt"));
    TestSwap swap{base / "www", root / "moved", when == 2 ? root / "moved" : outside};
    when > 0 ? osTestBeforeCall("rename", testSwapForLink, &swap) : testSwapForLink(&swap);  // at the move, or before
    zipDiskPlace(&w.disk);
    osTestBeforeCall(nullptr, nullptr, nullptr);
    zipDiskDiscardTemp(&w.disk);
    ASSERT_EQ(zipDiskFreeNames(&w.disk, "www/b.txt"), 0);
    IoStream* out = nullptr;
    EXPECT_TRUE(zipDiskCheck(&w.disk, "www/b.txt", false) != zipDiskWrite ||
                zipDiskCreateTemp(&w.disk, "b", &out) != 0 || zipDiskPlace(&w.disk) != 0 || zipDiskLeave(&w.disk) != 0);
    w.rollBack();
    EXPECT_EQ(snapshot(outside), (Tree{{"a.txt", "precious"}}));
  }
}

// A directory of the walk swapped for a link to the outside right before it
// gets the mode and times of its entry: they go to the directory the walk
// made, never through the link.
TEST(ZipDisk, DirectoryModeNeverGoesThroughASwappedLink) {
  ZIPTEST_LINKS_DIR(root, "modeswap");
  const fs::path base = root / "base", outside = root / "outside";
  fs::create_directories(outside);
  fs::create_directories(base);
  const fs::perms before = fs::status(outside).permissions();
  TestSwap swap{base / "www", root / "moved", outside};
  osTestBeforeCall("chmod|fchmod", testSwapForLink, &swap);
  extract({{.name = "www/", .extAttr = 040700u << 16}}, base);
  osTestBeforeCall(nullptr, nullptr, nullptr);
  EXPECT_EQ(fs::status(outside).permissions(), before);
}

// A directory on the way swapped for a link to the outside right before a directory below it is made: that goes into
// the directory the walk holds, never through the link.
TEST(ZipDisk, DirectoryIsNeverMadeThroughASwappedLink) {
  ZIPTEST_LINKS_DIR(root, "mkswap");
  const fs::path base = root / "base", outside = root / "outside";
  for (const fs::path& d : {base / "www", outside}) fs::create_directories(d);
  TestSwap swap{base / "www", root / "moved", outside};
  osTestBeforeCall(osPathSeparator == '\\' ? "createDirectory" : "mkdir", testSwapForLink, &swap);
  extract({{.name = "www/sub/f.txt", .data = "x"}}, base);
  osTestBeforeCall(nullptr, nullptr, nullptr);
  EXPECT_EQ(snapshot(outside), Tree{});
}

// The temporary file exchanged for a link at the last moment, between the
// check of its name and the move into place: the link moved in its place is
// not kept, and what it leads to is untouched.
TEST(ZipDisk, LinkExchangedAtTheMoveIntoPlaceIsNotKept) {
  ZIPTEST_LINKS_DIR(root, "lastswap");
  const fs::path base = root / "base", victim = root / "victim.txt";
  fs::create_directories(base);
  writeFile(victim, "precious");
  Writer w(base);
  ASSERT_NO_FATAL_FAILURE(w.start("a.txt"));
  TestSwap swap{sbGet(&w.disk.tempName), root / "moved.tmp", victim};
  osTestBeforeCall("rename", testSwapForLink, &swap);
  EXPECT_EQ(zipDiskPlace(&w.disk), -1);
  osTestBeforeCall(nullptr, nullptr, nullptr);
  w.rollBack();
  EXPECT_FALSE(fs::exists(fs::symlink_status(base / "a.txt")));
  EXPECT_EQ(readFile(victim), "precious");
}

// Right before the move, the written file moved to its final name in another directory, a link put at its temporary
// name and the directories exchanged: the link moved in is found in the held directory and not kept (POSIX only).
TEST(ZipDisk, PlacedFileIsCheckedInTheHeldDirectory) {
  ZIPTEST_LINKS_DIR(root, "heldcheck");
  if (osPathSeparator == '\\') GTEST_SKIP() << "held directories cannot be renamed";
  const fs::path base = root / "base", victim = root / "victim.txt";
  writeFile(victim, "precious");
  Writer w(base);
  ASSERT_NO_FATAL_FAILURE(w.start("www/a.txt"));
  fs::create_directories(base / "www2");
  const fs::path paths[] = {sbGet(&w.disk.tempName), base, victim};
  const auto trick = [](void* c) {
    const fs::path* p = static_cast<const fs::path*>(c);
    fs::rename(p[0], p[1] / "www2" / "a.txt");
    fs::create_symlink(p[2], p[0]);
    fs::rename(p[1] / "www", p[1] / "x");
    fs::rename(p[1] / "www2", p[1] / "www");
    fs::rename(p[1] / "x", p[1] / "www2");
  };
  osTestBeforeCall("rename", trick, (void*)paths);
  EXPECT_EQ(zipDiskPlace(&w.disk), -1);
  osTestBeforeCall(nullptr, nullptr, nullptr);
  w.rollBack();
  EXPECT_EQ((std::tuple{fs::is_symlink(base / "www2" / "a.txt"), readFile(victim)}), (std::tuple{false, "precious"}));
}

// After a successful walk, a directory of it swapped for a link to the outside (while the installer script runs, say):
// the rollback neither deletes the new files nor moves kept-aside versions through the link.
TEST(ZipDisk, RollbackStaysOutOfADirectorySwappedForALink) {
  ZIPTEST_LINKS_DIR(root, "rbswap");
  const fs::path base = root / "base", outside = root / "outside";
  writeFile(base / "www" / "index.html", "old");
  Archive a({{.name = "www/index.html", .data = "new"}, {.name = "www/new.txt", .data = "n"}});
  ASSERT_EQ(a.walk(base), 0);
  std::string kept;
  for (const auto& e : fs::directory_iterator(base / "www"))
    if (e.path().filename().string().find("-old-") != std::string::npos) kept = e.path().filename().string();
  ASSERT_FALSE(kept.empty());
  fs::rename(base / "www", root / "moved");
  Tree victim = {{"index.html", "VICTIM"}, {"new.txt", "victim"}, {kept, "ATTACKER"}};
  for (const auto& [name, text] : victim) writeFile(outside / name, text);
  fs::create_directory_symlink(outside, base / "www");
  zipRollback(&a.zip);
  zipExit(&a.zip);
  EXPECT_EQ(snapshot(outside), victim);
}

// A directory of a finished walk swapped for a link to the outside at the very moment the rollback deletes a new file
// in it: the deletion stays in the directory the walk made.
TEST(ZipDisk, RollbackDeletesInTheDirectoryTheWalkMade) {
  ZIPTEST_LINKS_DIR(root, "rbflip");
  const fs::path base = root / "base", outside = root / "outside";
  writeFile(outside / "new.txt", "victim");
  Archive a(std::vector<Entry>{{.name = "www/new.txt", .data = "n"}});
  ASSERT_EQ(a.walk(base), 0);
  TestSwap swap{base / "www", root / "moved", outside};
  osTestBeforeCall("unlink", testSwapForLink, &swap);
  zipRollback(&a.zip);
  osTestBeforeCall(nullptr, nullptr, nullptr);
  EXPECT_EQ(snapshot(outside), (Tree{{"new.txt", "victim"}}));
  EXPECT_FALSE(fs::exists(root / "moved" / "new.txt"));
}

// The extraction directory, a directory the walk wrote into, or one it created, replaced after a finished walk (renamed
// away, another directory put at its path): neither the rollback nor the commit deletes, restores or removes anything
// in the directory now at the path.
TEST(ZipDisk, RollbackAndCommitStayInTheDirectoryTheWalkWroteInto) {
  for (const char* swapped : {"", "www", "fresh"}) {
    for (const bool commit : {false, true}) {
      SCOPED_TRACE(std::string(commit ? "commit, " : "rollback, ") + swapped);
      const fs::path root = freshDir(std::string(commit ? "commit" : "rollback") + swapped), base = root / "base";
      writeFile(base / "www" / "index.html", "old");
      Archive a(std::vector<Entry>{{.name = "www/index.html", .data = "new"},
                                   {.name = "www/new.txt", .data = "n"},
                                   {.name = "fresh/x.txt", .data = "x"}});
      ASSERT_EQ(a.walk(base), 0);
      const fs::path place = base / swapped;
      Tree victim = snapshot(place);
      for (auto& [name, text] : victim) text = text == "<dir>" ? text : "VICTIM " + name;
      fs::rename(place, root / "moved");
      fs::create_directories(place);
      for (const auto& [name, text] : victim)
        if (text != "<dir>") writeFile(place / name, text);
      commit ? (void)zipCommit(&a.zip) : zipRollback(&a.zip);
      EXPECT_EQ(snapshot(place), victim);
    }
  }
}

// A previous version's directory swapped for a link to nowhere mid-commit: not taken for gone; the journal stays.
TEST(ZipDisk, CommitDoesNotTakeAVersionBehindALinkForGone) {
  ZIPTEST_LINKS_DIR(root, "commitlink");
  const fs::path base = root / "base", journal = root / "journal";
  writeFile(base / "www" / "a.txt", "old");
  writeFile(base / "www" / "sub" / "b.txt", "old");
  Archive a(std::vector<Entry>{{.name = "www/a.txt", .data = "new"}, {.name = "www/sub/b.txt", .data = "new"}});
  ASSERT_EQ(zipKeepJournalOnDisk(a.zip, str(journal).c_str()), 0);
  ASSERT_EQ(a.walk(base), 0);
  TestSwap swap{base / "www" / "sub", root / "moved", root / "nowhere"};
  osTestBeforeCall("unlink", testSwapForLink, &swap);
  EXPECT_EQ((std::tuple{zipCommit(&a.zip), fs::exists(journal)}), std::tuple(0, true));
  osTestBeforeCall(nullptr, nullptr, nullptr);
}

// A directory of the installation that is a link to another directory inside it: the walk writes through it, and the
// rollback, the commit and the recovery of an abandoned journal on disk find what it did there too, also after the link
// was replaced by a directory of someone else's.
TEST(ZipDisk, WhatWentThroughALinkInsideTheBaseIsUndoneOrCommitted) {
  for (const std::string end : {"rollback", "commit", "recovery", "relinked"}) {
    SCOPED_TRACE(end);
    ZIPTEST_LINKS_DIR(root, "inlink" + end);
    const fs::path base = root / "base", journal = root / "journal";
    writeFile(base / "inner" / "index.html", "old");
    fs::create_directory_symlink("inner", base / "www");
    const Tree before = snapshot(base);
    Archive a(std::vector<Entry>{{.name = "www/index.html", .data = "new"}, {.name = "www/sub/x.txt", .data = "x"}});
    if (end == "recovery") {
      ASSERT_EQ(zipKeepJournalOnDisk(a.zip, str(journal).c_str()), 0);
    }
    ASSERT_EQ(a.walk(base), 0);
    if (end == "commit") {
      EXPECT_EQ(zipCommit(&a.zip), 0);
      EXPECT_EQ(snapshot(base), (Tree{{"www", "<link>"},
                                      {"inner", "<dir>"},
                                      {"inner/index.html", "new"},
                                      {"inner/sub", "<dir>"},
                                      {"inner/sub/x.txt", "x"}}));
      continue;
    }
    Tree want = before;
    if (end == "relinked") {
      fs::remove(base / "www");
      writeFile(base / "www" / "index.html", "theirs");
      want["www"] = "<dir>";
      want["www/index.html"] = "theirs";
    }
    EXPECT_EQ(undo(a, end == "recovery", journal, base), 0);
    EXPECT_EQ(snapshot(base), want);
  }
}

// A directory of the installation flipped between a link to another directory inside it and a directory of its own
// while the walk writes into it: the rollback removes each file where it was written, and nothing of someone else's
// that the name leads to by then.
TEST(ZipDisk, RollbackAfterAFlippedDirectoryRemovesOnlyWhatTheWalkWrote) {
  ZIPTEST_LINKS_DIR(root, "flipped");
  const fs::path base = root / "base";
  fs::create_directories(base / "inner");
  fs::create_directory_symlink("inner", base / "www");
  Archive a(std::vector<Entry>{{.name = "unused.txt"}});
  const std::string baseName = str(base);
  ZipDisk disk;
  ASSERT_EQ(zipDiskOpen(&disk, a.zip, baseName.c_str(), zipDiskJournal), 0);
  for (const char* name : {"www/a.txt", "top.txt", "www/b.txt"}) {
    if (name[0] == 'w' && name[4] == 'b') {
      fs::remove(base / "www");
      fs::create_directory(base / "www");
    }
    ASSERT_EQ(zipDiskFreeNames(&disk, name), 0);
    ASSERT_EQ(zipDiskCheck(&disk, name, false), zipDiskWrite);
    IoStream* out = nullptr;
    ASSERT_EQ(zipDiskCreateTemp(&disk, name, &out), 0);
    EXPECT_EQ(iosWrite(out, "new", 3, nullptr), 0);
    EXPECT_EQ(zipDiskPlace(&disk), 0);
    EXPECT_EQ(zipDiskCloseTemp(&disk, &out), 0);
  }
  zipDiskClose(&disk);
  fs::rename(base / "www", root / "own");
  fs::create_directory_symlink("inner", base / "www");
  writeFile(base / "inner" / "b.txt", "VICTIM");
  zipRollback(&a.zip);
  EXPECT_EQ(snapshot(base), (Tree{{"www", "<link>"}, {"inner", "<dir>"}, {"inner/b.txt", "VICTIM"}}));
}

// A previous version that cannot go back when the update is undone: its directory is gone (moved away), or, in the
// recovery of an abandoned update, someone else's file stands at its name (a person's repair). The undo fails, leaves
// their file alone, and the journal stays for the next run.
TEST(ZipDisk, PreviousVersionThatCannotGoBackKeepsTheJournal) {
  for (const std::string how : {"gone, rollback", "gone, recovery", "theirs, recovery", "their reused, recovery"}) {
    SCOPED_TRACE(how);
    const fs::path root = freshDir("noway"), base = root / "base", journal = root / "journal";
    writeFile(base / "www" / "index.html", "old");
    Archive a(std::vector<Entry>{{.name = "www/index.html", .data = "new"}});
    ASSERT_EQ(zipKeepJournalOnDisk(a.zip, str(journal).c_str()), 0);
    ASSERT_EQ(a.walk(base), 0);
    if (how[0] == 'g') {
      fs::rename(base / "www", root / "away");
    } else if (how.starts_with("their reused")) {
      // The update's file deleted and a person's written at its name, which the file system gave the freed number
      // (wine's file numbers are such numbers, without the generation of the POSIX layer).
      if (osPathSeparator == '\\' || !replaceReusingNumber(base / "www" / "index.html", "theirs")) continue;
    } else {
      writeFile(root / "theirs", "theirs");  // a file of its own, never the update's reused
      fs::rename(root / "theirs", base / "www" / "index.html");
    }
    EXPECT_EQ(undo(a, how.ends_with("recovery"), journal, base), how.ends_with("recovery") ? -1 : 0);
    if (how[0] == 't') {
      EXPECT_EQ(readFile(base / "www" / "index.html"), "theirs");
    }
    EXPECT_TRUE(fs::exists(journal));
  }
}

// Another process's step before the move aside or into place: a file put at `plant` (when given), and the next write
// of the journal failed, as a crash right after the move found its name taken would lose it.
struct CrashStep {
  fs::path plant;
  bool loseVoid;
};
void crashStep(void* context) {
  const CrashStep* c = static_cast<const CrashStep*>(context);
  if (!c->plant.empty()) writeFile(c->plant, "planted");
  if (c->loseVoid) osTestFailCall(osPathSeparator == '\\' ? "writeFile" : "write", EIO, 1);
}

// An update that found names taken (the name to keep the previous version under, or the file's own name, where someone
// put a file) and then ended abruptly: the journal it left says which steps never happened and which file each step is
// about, so the recovery puts back the previous version and leaves the other file alone, also when the record that
// the step never happened was lost.
TEST(ZipDisk, CrashAfterTakenNamesRecoversThePreviousVersion) {
  for (const bool atTheEntry : {false, true}) {
    for (const bool voidLost : {false, true}) {
      SCOPED_TRACE(std::string(atTheEntry ? "entry name" : "old name") + (voidLost ? ", void lost" : ""));
      const fs::path base = freshDir(std::string("crash") + (atTheEntry ? "e" : "o") + (voidLost ? "l" : "w"));
      const fs::path journal = base.parent_path() / (base.filename().string() + ".journal");
      if (!atTheEntry) writeFile(base / "a.txt", "old");
      Writer w(base);
      ZipInfo& info = w.info;
      ASSERT_EQ(zipKeepJournalOnDisk(&info, str(journal).c_str()), 0);
      ASSERT_NO_FATAL_FAILURE(w.start("a.txt"));
      const fs::path planted = atTheEntry ? base / "a.txt" : fs::path(sbGet(&w.disk.oldName));
      if (!atTheEntry) writeFile(planted, "planted");
      CrashStep step{atTheEntry ? planted : fs::path(), voidLost};
      // At the move into place, or once the record of the move aside is on the disk.
      osTestBeforeCall(atTheEntry ? "rename|setFileInformationByHandle" : "fsync|flushFileBuffers", crashStep, &step);
      EXPECT_EQ(zipDiskPlace(&w.disk), atTheEntry ? -1 : 0);
      osTestBeforeCall(nullptr, nullptr, nullptr);
      osTestFailCall(nullptr, 0);
      zipDiskDiscardTemp(&w.disk);
      zipDiskClose(&w.disk);
      // A file found where the journal says the update's own is: left alone, and the journal kept for a person.
      EXPECT_EQ(recoverAbandoned(&info, journal, base), voidLost ? -1 : 0);
      EXPECT_EQ(fs::exists(journal), voidLost);
      Tree want = {{planted.filename().string(), "planted"}};
      if (!atTheEntry) want["a.txt"] = "old";
      EXPECT_EQ(snapshot(base), want);
      smDestroy(info.created);
      smDestroy(info.replaced);
      smDestroy(info.journalDirs);
      osSyncBatchClear(&info.unsynced);
      memFree(info.journalBase);
      memFree(info.journalLexBase);
    }
  }
}

// Another process makes a directory, with a file of its own in it, at the very moment the walk creates the same
// directory, or exchanges the one the walk just made for it: the walk writes into it but never takes it for its own,
// so neither the rollback nor the recovery of an abandoned journal on disk removes it.
struct Foreign {
  fs::path dir;
  bool exchange;
};
void putForeignDirectory(void* context) {
  Foreign* f = static_cast<Foreign*>(context);
  if (f->dir.empty()) return;
  if (f->exchange && !fs::exists(f->dir)) {
    // Before the creation: once it is made, at the next open.
    osTestBeforeCall(osPathSeparator == '\\' ? "createFile" : "open", putForeignDirectory, f);
    return;
  }
  if (f->exchange) fs::rename(f->dir, f->dir.parent_path().parent_path() / "ours");
  writeFile(f->dir / "foreign.txt", "theirs");
  f->dir.clear();
}

TEST(ZipDisk, DirectoryMadeMeanwhileBySomeoneElseIsNeverUndone) {
  for (const bool exchange : {false, true}) {
    for (const bool crash : {false, true}) {
      SCOPED_TRACE(std::string(crash ? "recovery" : "rollback") + (exchange ? ", exchanged" : ""));
      const fs::path root = freshDir(std::string("made") + (crash ? "c" : "r") + (exchange ? "x" : "")),
                     base = root / "base", journal = root / "journal";
      writeFile(base / "keep.txt", "k");
      Archive a(std::vector<Entry>{{.name = "fresh/x.txt", .data = "x"}});
      if (crash) {
        ASSERT_EQ(zipKeepJournalOnDisk(a.zip, str(journal).c_str()), 0);
      }
      Foreign foreign{base / "fresh", exchange};
      osTestBeforeCall(osPathSeparator == '\\' ? "createDirectory" : "mkdir", putForeignDirectory, &foreign);
      EXPECT_EQ(a.walk(base), 0);
      osTestBeforeCall(nullptr, nullptr, nullptr);
      EXPECT_EQ(undo(a, crash, journal, base), 0);
      EXPECT_EQ(snapshot(base), (Tree{{"keep.txt", "k"}, {"fresh", "<dir>"}, {"fresh/foreign.txt", "theirs"}}));
    }
  }
}

// An update that made a directory and then ended abruptly, its directory renamed away and another put at its path
// before the next run: the recovery empties only the directory the update made, and keeps the journal for a person.
TEST(ZipDisk, RecoveryRemovesOnlyTheDirectoryTheUpdateMade) {
  const fs::path root = freshDir("dircrash"), base = root / "base", journal = root / "journal";
  writeFile(base / "keep.txt", "k");
  Archive a(std::vector<Entry>{{.name = "fresh/x.txt", .data = "x"}});
  ASSERT_EQ(zipKeepJournalOnDisk(a.zip, str(journal).c_str()), 0);
  EXPECT_EQ(a.walk(base), 0);
  fs::rename(base / "fresh", root / "moved");
  writeFile(base / "fresh" / "x.txt", "theirs");
  EXPECT_EQ(recoverAbandoned(a.zip, journal, base), -1);
  EXPECT_TRUE(fs::exists(journal));
  EXPECT_EQ(snapshot(base), (Tree{{"keep.txt", "k"}, {"fresh", "<dir>"}, {"fresh/x.txt", "theirs"}}));
}

// An update whose kept-aside previous version is replaced by another file while the script runs (renamed over its
// name): the commit deletes only the file this run moved aside, and the rollback puts back only that one.
TEST(ZipDisk, OnlyTheKeptAsideVersionIsDeletedOrRestored) {
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    const fs::path root = freshDir(commit ? "keptc" : "keptr"), base = root / "base";
    writeFile(base / "www" / "index.html", "old");
    Archive a(std::vector<Entry>{{.name = "www/index.html", .data = "new"}});
    ASSERT_EQ(zipKeepJournalOnDisk(a.zip, str(root / "journal").c_str()), 0);
    ASSERT_EQ(a.walk(base), 0);
    Tree tree = snapshot(base);
    const auto kept = std::find_if(tree.begin(), tree.end(), [](const auto& kv) { return kv.second == "old"; });
    ASSERT_NE(kept, tree.end());
    writeFile(root / "victim", "VICTIM");
    fs::rename(root / "victim", base / kept->first);
    kept->second = "VICTIM";
    commit ? (void)zipCommit(&a.zip) : zipRollback(&a.zip);
    EXPECT_EQ(snapshot(base), commit ? tree : (Tree{{"www", "<dir>"}, {kept->first, "VICTIM"}}));
  }
}

// Only the installer script the walk wrote counts as extracted: not a file of that name left out by the pattern, not
// one put in its place after the walk, nor one in another directory put at its directory's path.
TEST(ZipDisk, OnlyTheScriptTheWalkWroteIsTheScript) {
  const struct {
    const char* what;
    const char* pattern;
    int result;
  } rows[] = {{"as written", nullptr, 1},
              {"left out", "!*.sh", 0},
              {"file replaced", nullptr, -1},
              {"directory replaced", nullptr, -1},
              {"rewritten in place", nullptr, -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const fs::path root = freshDir("script"), base = root / "base", script = base / "b1" / "bin" / "installer.sh";
    if (row.pattern) writeFile(script, "exit 0");
    Archive a(std::vector<Entry>{{.name = "b1/bin/installer.sh", .data = "exit 1"}});
    StringBuffer name;
    sbInitHere(&name);
    ASSERT_EQ(zipWalk(&a.zip, &name, row.pattern, zipWalkJournal, zipQuiet, str(base).c_str()), 0);
    sbClean(&name);
    if (row.result < 0 && row.what[0] != 'r')
      fs::rename(row.what[0] == 'f' ? script : script.parent_path(), root / "moved");
    if (row.result < 0) writeFile(script, "exit 0");
    IoStream* held = nullptr;
    EXPECT_EQ(zipCheckWrittenScript(a.zip, str(script).c_str(), &held), row.result);
    EXPECT_EQ(held != nullptr, row.result == 1);
    if (held && osPathSeparator == '\\') {
      // Held, it cannot be changed or replaced while it runs.
      EXPECT_FALSE(std::ofstream(script, std::ios::app).is_open());
      writeFile(root / "other.sh", "exit 0");
      std::error_code ec;
      fs::rename(root / "other.sh", script, ec);
      EXPECT_TRUE(ec);
    }
    if (held) iosClose(held);
  }
}
