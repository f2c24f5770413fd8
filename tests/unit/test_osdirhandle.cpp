// Open directories: nothing below one is reached through a link, names
// taken are told apart from failures and left alone, and the file written
// is what is placed or discarded.
#include "osdirhandle.h"
#include "osfs.h"
#include "test_ios_helpers.h"
#include "test_os_helpers.h"

namespace fs = std::filesystem;

using OsDirHandleTest = OsFsTest;

TEST_F(OsDirHandleTest, OpensBelowWithoutFollowingLinksAndKnowsWhereItIs) {
  fs::create_directories(path("a/b"));
  OsDirHandle *base = nullptr, *below = nullptr;
  ASSERT_EQ(osDirHandleOpen(dir.c_str(), &base), 0);
  const std::string ab = std::string("a") + osPathSeparator + "b";
  ASSERT_EQ(osDirHandleOpenBelow(base, ab.c_str(), &below), 0);
  OsDirHandle* none = nullptr;
  EXPECT_EQ((std::tuple{osDirHandleIsAt(below, path(ab).c_str()), osDirHandleIsAt(below, path("a").c_str()),
                        osDirHandleOpenBelow(base, (ab + osPathSeparator + "..").c_str(), &none), none}),
            (std::tuple{1, 0, -1, (OsDirHandle*)nullptr}));
  // Its path, for messages, has one separator between names however the way was spelled.
  ASSERT_EQ(osDirHandleOpenBelow(base, (ab + osPathSeparator).c_str(), &none), 0);
  EXPECT_EQ(std::string(osDirHandlePath(none)), path(ab));
  osDirHandleClose(none);
  none = nullptr;
  // On Windows the directories on the way are held: none can be renamed.
  // Elsewhere a renamed one is recognised by its path no more, and again
  // when a link there leads to it.
  std::error_code ec;
  fs::rename(path("a"), path("moved"), ec);
  if (onWindows()) {
    EXPECT_TRUE(ec) << "a directory above a held one was renamed";
  } else {
    ASSERT_FALSE(ec);
    EXPECT_EQ(osDirHandleIsAt(below, path(ab).c_str()), 0);
    fs::create_directory_symlink(path("moved"), path("a"));
    EXPECT_EQ(osDirHandleIsAt(below, path(ab).c_str()), 1);
    // A link on the way is never followed, whether the way is opened in one call or not (ENOSYS, ENAMETOOLONG).
    for (uint32_t oneCall : {0u, (uint32_t)ENOSYS, (uint32_t)ENAMETOOLONG}) {
      osTestFailCall(oneCall ? "openat" : nullptr, oneCall, 1);
      EXPECT_EQ(osDirHandleOpenBelow(base, ab.c_str(), &none), -1) << oneCall;
      osTestFailCall(oneCall ? "openat" : nullptr, oneCall, 1);
      ASSERT_EQ(osDirHandleOpenBelow(base, "moved/b", &none), 0) << oneCall;
      EXPECT_EQ(osDirHandleIsAt(none, path(ab).c_str()), 1);
      osDirHandleClose(none);
    }
  }
  osDirHandleClose(below);
  osDirHandleClose(base);
}

TEST_F(OsDirHandleTest, TakenNamesAreReportedAndLeftAlone) {
  OsDirHandle* d = nullptr;
  ASSERT_EQ(osDirHandleOpen(dir.c_str(), &d), 0);
  writeText(path("x"), "mine");
  writeText(path("y"), "theirs");
  bool created = false, moved = false;
  EXPECT_EQ((std::tuple{osDirHandleCreateFile(d, "x", osFileTypeExtracted, &created), created,
                        osDirHandleMove(d, "x", "y", &moved), moved, readText(path("x")) + readText(path("y"))}),
            (std::tuple{(IoStream*)nullptr, true, -1, true, "minetheirs"}));
  EXPECT_EQ((std::tuple{osDirHandleKindOf(d, "x"), osDirHandleKindOf(d, "gone")}), (std::tuple{osDirEntryFile, -1}));

  // The file written is placed; something else at its name is not, and is
  // not discarded either.
  IoStream* s = osDirHandleCreateFile(d, "t", osFileTypeExtracted, &created);
  ASSERT_NE(s, nullptr);
  // Placing never replaces.
  EXPECT_EQ((std::tuple{osFileStreamPlaceIn(s, d, "t", "placed"), osFileStreamPlaceIn(s, d, "placed", "y")}),
            (std::tuple{osPlaceDone, osPlaceTaken}));
  // A check that cannot be made fails the placement, and says why (error 5: EIO, or access denied).
  osTestFailCall(onWindows() ? "createFile" : "fstat", 5, 1);
  const std::string log =
      iostest::logOf(logLevelError, [&] { EXPECT_EQ(osFileStreamPlaceIn(s, d, "placed", "w"), -1); });
  EXPECT_NE(log.find("Cannot check"), std::string::npos);
  osTestFailCall(nullptr, 0);
  writeText(path("t"), "other");
  EXPECT_EQ((std::tuple{osFileStreamPlaceIn(s, d, "t", "z"), osFileStreamDiscardIn(s, d, "t"), readText(path("t")),
                        osFileStreamDiscardIn(s, d, "placed"), iosClose(s), exists(path("placed"))}),
            (std::tuple{osPlaceRefused, 0, "other", 1, 0, false}));
  osDirHandleClose(d);
}

// A tree is removed below its handle without entering a link: a link inside goes, what it leads to stays, and so do
// hidden entries (with the directories holding them).
TEST_F(OsDirHandleTest, TreeRemovalNeverEntersALinkAndKeepsHiddenEntries) {
  for (const char* d : {"outside", "t/a/b", "h"}) fs::create_directories(path(d));
  writeText(path("outside/keep.txt"), "keep");
  writeText(path("t/a/b/f.txt"), "x");
  // Written through the file layer, which hides a dot name on Windows too.
  ASSERT_EQ(iosWriteFile(path("h/.hidden").c_str(), osFileModeWrite, "script's", 8), 0);
  std::error_code ec;
  fs::create_directory_symlink(path("outside"), path("t/a/ln"), ec);
  OsDirHandle* d = nullptr;
  ASSERT_EQ(osDirHandleOpen(dir.c_str(), &d), 0);
  EXPECT_EQ((std::tuple{osDirHandleRemoveTree(d, "t"), exists(path("t")), osDirHandleRemoveTree(d, "h")}),
            (std::tuple{0, false, -1}));
  EXPECT_EQ((std::tuple{readText(path("outside/keep.txt")), readText(path("h/.hidden"))}),
            (std::tuple{"keep", "script's"}));
  osDirHandleClose(d);
}

namespace {

// testSwapForLink right before the `left`-th file-layer call from now.
struct SwapAtCall {
  TestSwap swap;
  int left;
};
void swapAtCall(void* context) {
  SwapAtCall* s = static_cast<SwapAtCall*>(context);
  if (--s->left > 0)
    osTestBeforeCall("a|b|c|d|e|f|g|h|i|l|m|o|r|s|u|w", swapAtCall, s);
  else
    testSwapForLink(&s->swap);
}

}  // namespace

// A directory inside a tree being removed is swapped for a link to the outside right before each call of the removal
// in turn: whatever the moment, nothing outside is removed.
TEST_F(OsDirHandleTest, TreeRemovalRacedAtEveryCallStaysInside) {
  for (int n = 1;; n++) {
    SCOPED_TRACE(n);
    fs::remove_all(path("t"));
    for (const char* f : {"outside/keep.txt", "t/a/b/f.txt", "t/a/g.txt", "t/z.txt"}) {
      fs::create_directories(fs::path(path(f)).parent_path());
      writeText(path(f), "x");
    }
    TEST_LINK_OR_SKIP(fs::create_directory_symlink, path("outside"), path("t/probe"));
    OsDirHandle* d = nullptr;
    ASSERT_EQ(osDirHandleOpen(dir.c_str(), &d), 0);
    SwapAtCall s{{path("t/a"), path("moved"), path("outside")}, n + 1};
    swapAtCall(&s);
    osDirHandleRemoveTree(d, "t");
    osTestBeforeCall(nullptr, nullptr, nullptr);
    osDirHandleClose(d);
    EXPECT_EQ(readText(path("outside/keep.txt")), "x");
    fs::remove_all(path("moved"));
    if (s.left > 0) break;  // the removal made fewer calls: every moment was tried
  }
}
