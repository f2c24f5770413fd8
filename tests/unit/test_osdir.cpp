// Directory layer: path rules of both platforms, creation, enumeration, removal, links, globs, long paths.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "osdir.h"
#include "osfs.h"
#include "ospath.h"
#include "test_os_helpers.h"

namespace {

// The path a call handed out (freed here), or `fail` when it failed.
std::string handedOut(int rc, char** out, const char* fail) {
  const std::string text = testTakeText(*out);
  *out = nullptr;
  return rc == 0 ? text : fail;
}

std::string resolve(OsPathStyle style, const char* dir, const char* path) {
  char* out = nullptr;
  return handedOut(osPathResolve(style, dir, path, &out), &out, "<fail>");
}

std::string parent(OsPathStyle style, const char* path) {
  char* out = nullptr;
  return handedOut(osPathParent(style, path, &out), &out, "<none>");
}

// What an enumeration saw; the callback fails on entry `failOn`.
struct Seen {
  std::vector<std::string> names;
  std::vector<int> types;
  int failOn = -1;
  int rc = 0;
  // The result and the sorted names, directories marked by "/": "0: f1 sub/".
  std::string summary() const {
    std::vector<std::string> marked;
    for (size_t i = 0; i < names.size(); i++) marked.push_back(names[i] + (types[i] == osDirEntryDirectory ? "/" : ""));
    std::sort(marked.begin(), marked.end());
    std::string out = std::to_string(rc) + ":";
    for (const std::string& m : marked) out += " " + m;
    return out;
  }
};

int record(const char*, const char* name, int type, void* context) {
  Seen* seen = static_cast<Seen*>(context);
  seen->names.push_back(name);
  seen->types.push_back(type);
  return (int)seen->names.size() - 1 == seen->failOn ? -1 : 0;
}

Seen enumerate(const char* dir, int filter, uint32_t flags = 0, int failOn = -1) {
  Seen seen;
  seen.failOn = failOn;
  seen.rc = osDirEnumerateEntries(dir, record, &seen, filter, flags);
  return seen;
}

std::vector<std::string> listMatching(const std::string& dir, const char* pattern) {
  std::vector<std::string> out;
  char** list = osDirListMatching(dir.c_str(), pattern);
  if (!list) return {"<null>"};
  for (char** p = list; *p; p++) out.push_back(std::string(*p).substr(dir.size() + 1));
  osDirFreeList(list);
  return out;
}

}  // namespace

TEST(OsPath, ResolveAndParentFollowEachPlatformsRules) {
  const OsPathStyle w = osPathStyleWindows, p = osPathStylePosix;
  const struct {
    OsPathStyle style;
    const char* dir;
    std::vector<std::pair<const char*, const char*>> paths;  // the path and its resolution
  } resolves[] = {{w, "C:\\a", {{"./b//c/..", "C:\\a\\b"}, {"x/../../y", "C:\\y"}, {"..", "C:\\"}}},
                  {w, "C:\\a", {{"..\\..\\c", "C:\\c"}}},  // climbing above the root stops at the root
                  {w, "C:\\a", {{"D:/x/./y", "D:\\x\\y"}, {"\\\\host\\share\\..\\..\\f", "\\\\host\\share\\f"}}},
                  {w, "C:\\a", {{"\\top\\x", "\\top\\x"}}},
                  // The device and long-path prefixes stay, and the drive after them is not climbed out of.
                  {w, "C:\\a", {{"\\\\.\\Z:\\d\\..\\..\\x", "\\\\.\\Z:\\x"}, {"//./Z:/d", "\\\\.\\Z:\\d"}}},
                  {w, "C:\\a", {{"\\\\?\\Z:\\d\\..\\..\\f", "\\\\?\\Z:\\f"}}},
                  {w, "rel", {{"..\\x", "x"}, {"..", "."}}},
                  {w, "", {{"x", "<fail>"}}},
                  {w, nullptr, {{"x", "<fail>"}}},
                  {p, "/a", {{"./b//c/..", "/a/b"}, {"x/../../../y", "/y"}, {"dir\\file", "/a/dir/file"}}},
                  {p, "/a", {{"/abs/./x", "/abs/x"}, {"C:/x", "/a/C:/x"}}},
                  {p, "/", {{"..", "/"}}}};
  for (const auto& r : resolves)
    for (const auto& [path, want] : r.paths)
      EXPECT_EQ(resolve(r.style, r.dir, path), want) << (r.dir ? r.dir : "<null>") << " + " << path;
  const struct {
    OsPathStyle style;
    const char *path, *want;
  } parents[] = {{w, "C:\\x", "C:\\"},          {w, "C:\\", "<none>"}, {w, "name", "<none>"}, {w, "\\name", "<none>"},
                 {w, "C:\\a\\b/c", "C:\\a\\b"}, {p, "/x", "/"},        {p, "/", "<none>"},    {p, "a/b", "a"}};
  for (const auto& r : parents) EXPECT_EQ(parent(r.style, r.path), r.want) << r.path;
  char* out = nullptr;
  EXPECT_EQ(osDirCopyParentDirectory(nullptr, &out), -1);
  EXPECT_EQ(osDirCopyParentDirectory("x", nullptr), -1);
}

TEST(OsPath, SplitIntoDirectoryBaseAndExtension) {
  auto part = [](const char* p, uint32_t n) { return p ? std::string(p, n) : n ? "<bad length>" : "<none>"; };
  const char *d, *b, *e;
  uint32_t dl, bl, el;
  osPathSplit("C:\\logs/sfx.tar.log", &d, &dl, &b, &bl, &e, &el);
  EXPECT_EQ(part(d, dl) + "|" + part(b, bl) + "|" + part(e, el), "C:\\logs|sfx.tar|log");
  osPathSplit(".hidden", &d, &dl, &b, &bl, &e, &el);
  EXPECT_EQ(part(d, dl) + "|" + part(b, bl) + "|" + part(e, el), "<none>|.hidden|<none>");
  osPathSplit("dir/name", nullptr, nullptr, &b, &bl, nullptr, nullptr);
  EXPECT_EQ(std::string(b, bl), "name");
}

TEST(OsPath, LongPathForms) {
  // The prefix turns normalisation off: doubled and trailing separators, "/", "." and ".." go first.
  static const struct {
    const char* path;
    const char* want;
  } cases[] = {{"D:\\dir\\f", "\\\\?\\D:\\dir\\f"},
               {"\\\\host\\share\\f", "\\\\?\\UNC\\host\\share\\f"},
               {"rel\\f", "<unchanged>"},
               {"D:/dir/f", "<unchanged>"},
               {"\\\\?\\D:\\f", "<unchanged>"},
               {"C:\\agent\\\\.lock", "\\\\?\\C:\\agent\\.lock"},
               {"C:\\Temp\\", "\\\\?\\C:\\Temp"},
               {"C:\\x\\..\\y", "\\\\?\\C:\\y"},
               {"C:\\a/b\\.\\c", "\\\\?\\C:\\a\\b\\c"},
               {"C:\\", "\\\\?\\C:\\"},
               {"\\\\host\\share\\a\\\\..\\b\\", "\\\\?\\UNC\\host\\share\\b"}};
  for (const auto& c : cases) EXPECT_EQ(testTakeText(osPathLongForm(c.path), "<unchanged>"), c.want) << c.path;
  // Short paths in exactly sized blocks: nothing is read past their end.
  for (const char* text : {"", "a", "C:"}) {
    std::vector<char> exact(text, text + strlen(text) + 1);
    EXPECT_EQ(testTakeText(osPathLongForm(exact.data()), "<unchanged>"), "<unchanged>") << text;
  }
}

using OsDir = OsFsTest;

TEST_F(OsDir, RealPathAgainstCurrentDirectory) {
  char *out = nullptr, *base = nullptr;
  const std::string b = handedOut(osDirRealPath(nullptr, dir.c_str(), &base), &base, "<fail>");
  EXPECT_EQ(handedOut(osDirRealPath(dir.c_str(), "a/./b/../c", &out), &out, "<fail>"),
            b + osPathSeparator + "a" + osPathSeparator + "c");
  EXPECT_EQ(handedOut(osDirRealPath(nullptr, "x", &out), &out, "<fail>"),
            testTakeText(osDirGetCwd()) + osPathSeparator + "x");
  EXPECT_EQ(osDirRealPath(dir.c_str(), "", &out), -1);
  EXPECT_EQ(osDirRealPath(dir.c_str(), "x", nullptr), -1);
  EXPECT_EQ(osDirRealPath("", "x", &out), -1);
}

TEST_F(OsDir, CreateParentsRemoveAndMissing) {
  const std::string deep = path("a") + osPathSeparator + "b" + osPathSeparator + "c";
  ASSERT_EQ(osDirCreate(deep.c_str(), osDirTypeLock, nullptr), 0);
  EXPECT_EQ(std::pair(osIsDirPresent(deep.c_str()), osIsDirPresent(path("a").c_str())), std::pair(true, true));
  // The lock class refuses an existing directory; class 11 accepts it.
  EXPECT_EQ(
      (std::tuple{osDirCreate(deep.c_str(), osDirTypeLock, nullptr),
                  osDirCreate(deep.c_str(), osDirTypeInherit, nullptr), osDirCreate("", osDirTypeInherit, nullptr),
                  osDirCreate(path("bad").c_str(), 14, nullptr), osIsDirPresent(path("bad").c_str())}),
      (std::tuple{-1, 0, -1, -1, false}));
  // Explicit access classes still give usable directories.
  for (uint32_t type : {0u, 1u, 2u, 9u}) {
    const std::string p = path("class" + std::to_string(type));
    ASSERT_EQ(osDirCreate(p.c_str(), type, nullptr), 0) << type;
    writeText(p + osPathSeparator + "f", "x");
    EXPECT_EQ(readText(p + osPathSeparator + "f"), "x") << type;
  }
  // Removing: a non-empty directory fails, a missing one counts as removed.
  EXPECT_EQ((std::tuple{osDirRemove(path("a").c_str(), nullptr), osDirRemove(deep.c_str(), nullptr),
                        osIsDirPresent(deep.c_str()), osDirRemove(deep.c_str(), nullptr)}),
            (std::tuple{-1, 0, false, 0}));
  writeText(path("file"), "x");
  EXPECT_FALSE(osIsDirPresent(path("file").c_str()));
}

TEST_F(OsDir, EnumerationSkipsHiddenAndFilters) {
  writeText(path("f1"), "1");
  writeText(path(".hidden"), "h");
  ASSERT_EQ(osDirCreate(path("sub").c_str(), osDirTypeInherit, nullptr), 0);
  iosClose(osFileOpenStream(path(".dot").c_str(), osFileModeWrite, osFileTypePlain, nullptr));
  ASSERT_TRUE(exists(path(".dot")));
  EXPECT_EQ(enumerate(dir.c_str(), osDirEntryAny).summary(), "0: f1 sub/");
  EXPECT_EQ(enumerate(dir.c_str(), osDirEntryDirectory).summary(), "0: sub/");
  EXPECT_EQ(enumerate(path("nope").c_str(), osDirEntryAny).summary(), "0:");
  EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), nullptr, nullptr, osDirEntryAny, 0), -1);
  // A failing callback fails the enumeration, which goes on unless asked to stop.
  for (const char* n : {"a", "b"}) writeText(path(n), n);
  EXPECT_EQ(enumerate(dir.c_str(), osDirEntryAny, 0, 0).summary(), "-1: a b f1 sub/");
  const Seen stop = enumerate(dir.c_str(), osDirEntryAny, osDirFlagStopOnFailure, 0);
  EXPECT_EQ(std::pair(stop.rc, stop.names.size()), std::pair(-1, size_t{1}));
}

// A directory that cannot be opened: missing is empty, denied only when asked, anything else fails.
TEST_F(OsDir, EnumerationOpenFailures) {
  writeText(path("f1"), "1");
  const struct {
    uint32_t winError, posixError;  // the injected error on each platform
    uint32_t flags;
    int rc;
  } cases[] = {{2, ENOENT, 0, 0}, {13, EACCES, 0, -1}, {13, EACCES, osDirFlagDeniedIsEmpty, 0}, {1117, EIO, 0, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.posixError);
    osTestFailCall(call("opendir", "findFirstFile"), onWindows() ? c.winError : c.posixError, 1);
    EXPECT_EQ(enumerate(dir.c_str(), osDirEntryAny, c.flags).summary(), std::to_string(c.rc) + ":");
  }
}

TEST_F(OsDir, RemoveContentsLeavesHiddenFiles) {
  const std::string sub = path("t");
  auto in = [&](const char* name) { return sub + osPathSeparator + name; };
  ASSERT_EQ(osDirCreate((in("deep") + osPathSeparator + "d").c_str(), osDirTypeInherit, nullptr), 0);
  writeText(in("deep") + osPathSeparator + "d" + osPathSeparator + "f", "x");
  writeText(in("g"), "x");
  EXPECT_EQ((std::tuple{osDirRemoveContents(sub.c_str(), false), osDirRemove(sub.c_str(), nullptr), exists(sub)}),
            (std::tuple{0, 0, false}));

  ASSERT_EQ(osDirCreate(sub.c_str(), osDirTypeInherit, nullptr), 0);
  iosClose(osFileOpenStream(in(".keep").c_str(), osFileModeWrite, osFileTypePlain, nullptr));
  ASSERT_TRUE(exists(in(".keep")));
  writeText(in("g"), "x");
  EXPECT_EQ((std::tuple{osDirRemoveContents(sub.c_str(), false), exists(in("g")), exists(in(".keep")),
                        osDirRemove(sub.c_str(), nullptr)}),
            (std::tuple{0, false, true, -1}));
  // filesOnly keeps subdirectories.
  ASSERT_EQ(osDirCreate(in("kept").c_str(), osDirTypeInherit, nullptr), 0);
  EXPECT_EQ(std::pair(osDirRemoveContents(sub.c_str(), true), osIsDirPresent(in("kept").c_str())), std::pair(0, true));
}

TEST_F(OsDir, RecursiveRemovalRemovesLinksNotTargets) {
  const std::string target = path("target"), victim = path("victim");
  ASSERT_EQ(osDirCreate(target.c_str(), osDirTypeInherit, nullptr), 0);
  writeText(target + osPathSeparator + "precious", "keep me");
  writeText(path("file-target"), "keep me too");
  ASSERT_EQ(osDirCreate(victim.c_str(), osDirTypeInherit, nullptr), 0);
  EXPECT_EQ(osFileLinkOwnerTrusted(target.c_str()), 1);  // the owner is read from the name itself
  TestSb reason;
  const std::string dirLink = victim + osPathSeparator + "dirlink", fileLink = victim + osPathSeparator + "filelink";
  if (osFileCreateSymlink(target.c_str(), dirLink.c_str(), reason.ptr()) != 0)
    GTEST_SKIP() << "symbolic links are not available here: " << reason.str();
  ASSERT_EQ(osFileCreateSymlink(path("file-target").c_str(), fileLink.c_str(), nullptr), 0);
  // This account's links are its own (those of others: tests/e2e, which need a second account).
  EXPECT_EQ(osDirLinksTrusted(dir.c_str(), (dirLink + osPathSeparator + "precious").c_str()), 1);
  EXPECT_EQ(
      (std::tuple{osDirRemoveContents(victim.c_str(), false), osDirRemove(victim.c_str(), nullptr), exists(victim),
                  readText(target + osPathSeparator + "precious"), readText(path("file-target"))}),
      (std::tuple{0, 0, false, "keep me", "keep me too"}));
}

// A link reported as created is there; a relative target with "/" is read from the link's own folder.
TEST_F(OsDir, SymlinkIsThereWhenReportedCreated) {
  ASSERT_EQ(osDirCreate(path("d").c_str(), osDirTypeInherit, nullptr), 0);
  writeText(path("d") + osPathSeparator + "f", "through the link");
  ASSERT_EQ(osDirCreate(path("links").c_str(), osDirTypeInherit, nullptr), 0);
  static const struct {
    const char* target;
    const char* link;
    bool directory;
  } cases[] = {{"../d", "dl", true}, {"../d/f", "fl", false}};
  for (const auto& c : cases) {
    const std::string link = path("links") + osPathSeparator + c.link;
    TestSb reason;
    const int rc = osFileCreateSymlink(c.target, link.c_str(), reason.ptr());
    EXPECT_EQ(rc == 0, exists(link)) << c.link << ": " << reason.str();
    if (rc != 0) continue;
    const std::string file = c.directory ? link + osPathSeparator + "f" : link;
    EXPECT_EQ((std::tuple{osIsFileDirectory(link.c_str()), readText(file)}),
              (std::tuple{c.directory, "through the link"}))
        << c.link;
  }
}

// The temporary installer directory inherits nothing from a parent such as Temp. A system that does not
// keep access lists as set (wine maps them to file modes) cannot show it.
TEST_F(OsDir, PrivateClassesDoNotInherit) {
  if (!onWindows()) GTEST_SKIP() << "access lists are a Windows matter";
  auto describe = [&](uint32_t type) {
    const std::string sub = path("class" + std::to_string(type));
    EXPECT_EQ(osDirCreate(sub.c_str(), type, nullptr), 0);
    return testPerms(sub);
  };
  const std::string traverse = describe(osDirTypeTraverse);
  if (traverse.find("Everyone:20") == std::string::npos)
    GTEST_SKIP() << "this system does not keep access lists as set: " << traverse;
  EXPECT_EQ(traverse.rfind("protected ", 0), 0u) << traverse;
  EXPECT_EQ(describe(osDirTypeInherit).find("protected"), std::string::npos);
}

TEST_F(OsDir, ListMatchingWithSubdirectoriesAndAnyDepth) {
  ASSERT_EQ(osDirCreate((path("sub") + osPathSeparator + "deeper").c_str(), osDirTypeInherit, nullptr), 0);
  const std::string sub = std::string("sub") + osPathSeparator;
  for (const std::string& f : TestNames{"a.log", "b.txt", sub + "c.log", sub + "deeper" + osPathSeparator + "d.log"})
    writeText(path(f), "");
  EXPECT_EQ(listMatching(dir, "*.log"), (TestNames{"a.log"}));
  EXPECT_EQ(listMatching(dir, "sub/*.log"), (TestNames{sub + "c.log"}));
  EXPECT_EQ(listMatching(dir, "**/*.log"),
            (TestNames{"a.log", sub + "c.log", sub + "deeper" + osPathSeparator + "d.log"}));
  // Directories whose names match are listed too; null means everything.
  EXPECT_EQ(listMatching(dir, "s*"), (TestNames{"sub"}));
  EXPECT_EQ(listMatching(dir, nullptr), (TestNames{"a.log", "b.txt", "sub"}));
  EXPECT_EQ(listMatching(dir, "none*"), (TestNames{}));
}

TEST_F(OsDir, DriveListHoldsDirectories) {
  const Seen drives = enumerate(nullptr, osDirEntryAny);
  EXPECT_EQ(std::pair(drives.rc, drives.names.empty()), std::pair(0, false));
  for (int t : drives.types) EXPECT_EQ(t, osDirEntryDirectory);
  char** list = osDirListMatching(nullptr, nullptr);
  EXPECT_FALSE(testStrings(list).empty());
  osDirFreeList(list);
}

TEST_F(OsDir, WorkingDirectoryAndCaseProbe) {
  const std::string before = testTakeText(osDirCurrent(), "");
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(osDirSetWorking(dir.c_str()), 0);
  EXPECT_TRUE(std::filesystem::equivalent(testTakeText(osDirGetCwd()), dir));
  EXPECT_EQ((std::tuple{osDirSetWorking(path("missing").c_str()), osDirSetWorking(before.c_str()),
                        osDirIsCaseSensitive(path("missing").c_str()), osDirIsCaseSensitive(dir.c_str())}),
            (std::tuple{-1, 0, false, !onWindows()}));
}

TEST_F(OsDir, InjectedFaultFailsCreationAndLeavesNothing) {
  const std::string p = path("never");
  // Each point of failure: the presence test of the parent or the creation.
  for (uint32_t n = 1;; n++) {
    osTestFailAfter(n, onWindows() ? 5u : 13u);
    const int rc = osDirCreate(p.c_str(), osDirTypeInherit, nullptr);
    const bool fired = osTestFaultFired();
    osTestFailAfter(0, 0);
    if (!fired) {
      EXPECT_EQ(rc, 0);
      break;
    }
    EXPECT_TRUE(rc == 0 || !osIsDirPresent(p.c_str())) << n;
    osDirRemove(p.c_str(), nullptr);
    ASSERT_LT(n, 20u);
  }
  EXPECT_TRUE(osIsDirPresent(p.c_str()));
}
