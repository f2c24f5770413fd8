// Directory layer: path rules of both platforms (pure), creation,
// enumeration, removal with links, the glob search, and long-path forms.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "iostream.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "osfs.h"
#include "ospath.h"
#include "stringbuf.h"

namespace {

std::string resolve(OsPathStyle style, const char* dir, const char* path) {
  char* out = nullptr;
  if (osPathResolve(style, dir, path, &out) != 0) return "<fail>";
  std::string s(out);
  memFree(out);
  return s;
}

std::string parent(OsPathStyle style, const char* path) {
  char* out = nullptr;
  if (osPathParent(style, path, &out) != 0) return "<none>";
  std::string s(out);
  memFree(out);
  return s;
}

std::string longForm(const char* path) {
  char* out = osPathLongForm(path);
  std::string s = out ? out : "<unchanged>";
  memFree(out);
  return s;
}

struct Seen {
  std::vector<std::string> names;
  std::vector<int> types;
  int failOn = -1;  // index of the call that fails
};

int record(const char*, const char* name, int type, void* context) {
  Seen* seen = static_cast<Seen*>(context);
  seen->names.push_back(name);
  seen->types.push_back(type);
  return (int)seen->names.size() - 1 == seen->failOn ? -1 : 0;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
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

TEST(OsPath, ResolveWindowsRules) {
  const OsPathStyle w = osPathStyleWindows;
  EXPECT_EQ(resolve(w, "C:\\a", "./b//c/.."), "C:\\a\\b");
  EXPECT_EQ(resolve(w, "C:\\a", "x/../../y"), "C:\\y");
  // Climbing above the root stops at the root.
  EXPECT_EQ(resolve(w, "C:\\a", "..\\..\\c"), "C:\\c");
  EXPECT_EQ(resolve(w, "C:\\a", ".."), "C:\\");
  EXPECT_EQ(resolve(w, "C:\\a", "D:/x/./y"), "D:\\x\\y");
  EXPECT_EQ(resolve(w, "C:\\a", "\\\\host\\share\\..\\..\\f"), "\\\\host\\share\\f");
  EXPECT_EQ(resolve(w, "C:\\a", "\\top\\x"), "\\top\\x");
  EXPECT_EQ(resolve(w, "rel", "..\\x"), "x");
  EXPECT_EQ(resolve(w, "rel", ".."), ".");
  EXPECT_EQ(resolve(w, "", "x"), "<fail>");
  EXPECT_EQ(resolve(w, nullptr, "x"), "<fail>");
}

TEST(OsPath, ResolvePosixRules) {
  const OsPathStyle p = osPathStylePosix;
  EXPECT_EQ(resolve(p, "/a", "./b//c/.."), "/a/b");
  EXPECT_EQ(resolve(p, "/a", "x/../../../y"), "/y");
  EXPECT_EQ(resolve(p, "/a", "dir\\file"), "/a/dir/file");
  EXPECT_EQ(resolve(p, "/a", "/abs/./x"), "/abs/x");
  EXPECT_EQ(resolve(p, "/a", "C:/x"), "/a/C:/x");
  EXPECT_EQ(resolve(p, "/", ".."), "/");
}

TEST(OsPath, ParentDirectories) {
  const OsPathStyle w = osPathStyleWindows, p = osPathStylePosix;
  EXPECT_EQ(parent(w, "C:\\x"), "C:\\");
  EXPECT_EQ(parent(w, "C:\\"), "<none>");
  EXPECT_EQ(parent(w, "name"), "<none>");
  EXPECT_EQ(parent(w, "\\name"), "<none>");
  EXPECT_EQ(parent(w, "C:\\a\\b/c"), "C:\\a\\b");
  EXPECT_EQ(parent(p, "/x"), "/");
  EXPECT_EQ(parent(p, "/"), "<none>");
  EXPECT_EQ(parent(p, "a/b"), "a");
  char* out = nullptr;
  EXPECT_EQ(osDirCopyParentDirectory(nullptr, &out), -1);
  EXPECT_EQ(osDirCopyParentDirectory("x", nullptr), -1);
}

TEST(OsPath, SplitIntoDirectoryBaseAndExtension) {
  const char *d, *b, *e;
  uint32_t dl, bl, el;
  const char* path = "C:\\logs/sfx.tar.log";
  osPathSplit(path, &d, &dl, &b, &bl, &e, &el);
  EXPECT_EQ(std::string(d, dl), "C:\\logs");
  EXPECT_EQ(std::string(b, bl), "sfx.tar");
  EXPECT_EQ(std::string(e, el), "log");
  osPathSplit(".hidden", &d, &dl, &b, &bl, &e, &el);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(dl, 0u);
  EXPECT_EQ(std::string(b, bl), ".hidden");
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(el, 0u);
  osPathSplit("dir/name", nullptr, nullptr, &b, &bl, nullptr, nullptr);
  EXPECT_EQ(std::string(b, bl), "name");
}

TEST(OsPath, LongPathForms) {
  // The prefix switches the system's normalisation off: doubled and trailing
  // separators, "/", "." and ".." are resolved before it is added.
  static const struct {
    const char* path;
    const char* want;
  } cases[] = {
      {"D:\\dir\\f", "\\\\?\\D:\\dir\\f"},
      {"\\\\host\\share\\f", "\\\\?\\UNC\\host\\share\\f"},
      {"rel\\f", "<unchanged>"},
      {"D:/dir/f", "<unchanged>"},
      {"\\\\?\\D:\\f", "<unchanged>"},
      {"C:\\agent\\\\.lock", "\\\\?\\C:\\agent\\.lock"},
      {"C:\\Temp\\", "\\\\?\\C:\\Temp"},
      {"C:\\x\\..\\y", "\\\\?\\C:\\y"},
      {"C:\\a/b\\.\\c", "\\\\?\\C:\\a\\b\\c"},
      {"C:\\", "\\\\?\\C:\\"},
      {"\\\\host\\share\\a\\\\..\\b\\", "\\\\?\\UNC\\host\\share\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(longForm(c.path), c.want) << c.path;
  // Short paths in exactly sized blocks: nothing is read past their end.
  for (const char* text : {"", "a", "C:"}) {
    std::vector<char> exact(text, text + strlen(text) + 1);
    EXPECT_EQ(longForm(exact.data()), "<unchanged>") << text;
  }
}

using OsDir = OsFsTest;

TEST_F(OsDir, RealPathAgainstCurrentDirectory) {
  char* out = nullptr;
  char* base = nullptr;
  ASSERT_EQ(osDirRealPath(nullptr, dir.c_str(), &base), 0);
  ASSERT_EQ(osDirRealPath(dir.c_str(), "a/./b/../c", &out), 0);
  EXPECT_EQ(std::string(out), std::string(base) + osPathSeparator + "a" + osPathSeparator + "c");
  memFree(base);
  memFree(out);
  ASSERT_EQ(osDirRealPath(nullptr, "x", &out), 0);
  char* cwd = osDirGetCwd();
  EXPECT_EQ(std::string(out), std::string(cwd) + osPathSeparator + "x");
  memFree(cwd);
  memFree(out);
  EXPECT_EQ(osDirRealPath(dir.c_str(), "", &out), -1);
  EXPECT_EQ(osDirRealPath(dir.c_str(), "x", nullptr), -1);
  EXPECT_EQ(osDirRealPath("", "x", &out), -1);
}

TEST_F(OsDir, CreateParentsRemoveAndMissing) {
  const std::string deep = path("a") + osPathSeparator + "b" + osPathSeparator + "c";
  ASSERT_EQ(osDirCreate(deep.c_str(), osDirTypeLock, nullptr), 0);
  EXPECT_TRUE(osIsDirPresent(deep.c_str()));
  EXPECT_TRUE(osIsDirPresent(path("a").c_str()));
  // The lock class refuses an existing directory; class 11 accepts it.
  EXPECT_EQ(osDirCreate(deep.c_str(), osDirTypeLock, nullptr), -1);
  EXPECT_EQ(osDirCreate(deep.c_str(), osDirTypeInherit, nullptr), 0);
  EXPECT_EQ(osDirCreate("", osDirTypeInherit, nullptr), -1);
  EXPECT_EQ(osDirCreate(path("bad").c_str(), 14, nullptr), -1);
  EXPECT_FALSE(osIsDirPresent(path("bad").c_str()));
  // Explicit access classes still give usable directories.
  for (uint32_t type : {0u, 1u, 2u, 9u}) {
    const std::string p = path("class" + std::to_string(type));
    ASSERT_EQ(osDirCreate(p.c_str(), type, nullptr), 0) << type;
    writeText(p + osPathSeparator + "f", "x");
    EXPECT_EQ(readText(p + osPathSeparator + "f"), "x") << type;
  }
  // Removing: a non-empty directory fails, a missing one counts as removed.
  EXPECT_EQ(osDirRemove(path("a").c_str(), nullptr), -1);
  EXPECT_EQ(osDirRemove(deep.c_str(), nullptr), 0);
  EXPECT_FALSE(osIsDirPresent(deep.c_str()));
  EXPECT_EQ(osDirRemove(deep.c_str(), nullptr), 0);
  writeText(path("file"), "x");
  EXPECT_FALSE(osIsDirPresent(path("file").c_str()));
}

TEST_F(OsDir, EnumerationSkipsHiddenAndFilters) {
  writeText(path("f1"), "1");
  writeText(path(".hidden"), "h");
  ASSERT_EQ(osDirCreate(path("sub").c_str(), osDirTypeInherit, nullptr), 0);
  IoStream* s = osFileOpenStream(path(".dot").c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  iosClose(s);
  Seen all;
  EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), record, &all, osDirEntryAny, 0), 0);
  EXPECT_EQ(sorted(all.names), (std::vector<std::string>{"f1", "sub"}));
  Seen dirs;
  EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), record, &dirs, osDirEntryDirectory, 0), 0);
  EXPECT_EQ(dirs.names, (std::vector<std::string>{"sub"}));
  EXPECT_EQ(dirs.types, (std::vector<int>{osDirEntryDirectory}));
  Seen missing;
  EXPECT_EQ(osDirEnumerateEntries(path("nope").c_str(), record, &missing, osDirEntryAny, 0), 0);
  EXPECT_TRUE(missing.names.empty());
  EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), nullptr, nullptr, osDirEntryAny, 0), -1);
}

// A directory that cannot be opened: missing is empty, denied is empty only
// when asked, anything else fails.
TEST_F(OsDir, EnumerationOpenFailures) {
  writeText(path("f1"), "1");
  const struct {
    uint32_t winError, posixError;  // the injected error on each platform
    uint32_t flags;
    int rc;
  } cases[] = {{2, ENOENT, 0, 0}, {13, EACCES, 0, -1}, {13, EACCES, osDirFlagDeniedIsEmpty, 0}, {1117, EIO, 0, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.posixError);
    Seen seen;
    osTestFailCall(call("opendir", "findFirstFile"), onWindows() ? c.winError : c.posixError, 1);
    EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), record, &seen, osDirEntryAny, c.flags), c.rc);
    EXPECT_TRUE(seen.names.empty());
  }
}

TEST_F(OsDir, CallbackFailuresAndStopFlag) {
  for (const char* n : {"a", "b", "c"}) writeText(path(n), n);
  Seen goOn;
  goOn.failOn = 0;
  EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), record, &goOn, osDirEntryAny, 0), -1);
  EXPECT_EQ(goOn.names.size(), 3u);
  Seen stop;
  stop.failOn = 0;
  EXPECT_EQ(osDirEnumerateEntries(dir.c_str(), record, &stop, osDirEntryAny, osDirFlagStopOnFailure), -1);
  EXPECT_EQ(stop.names.size(), 1u);
}

TEST_F(OsDir, RemoveContentsLeavesHiddenFiles) {
  const std::string sub = path("t");
  ASSERT_EQ(osDirCreate((sub + osPathSeparator + "deep").c_str(), osDirTypeInherit, nullptr), 0);
  writeText(sub + osPathSeparator + "deep" + osPathSeparator + "f", "x");
  writeText(sub + osPathSeparator + "g", "x");
  EXPECT_EQ(osDirRemoveContents(sub.c_str(), false), 0);
  EXPECT_EQ(osDirRemove(sub.c_str(), nullptr), 0);
  EXPECT_FALSE(exists(sub));

  ASSERT_EQ(osDirCreate(sub.c_str(), osDirTypeInherit, nullptr), 0);
  IoStream* s = osFileOpenStream((sub + osPathSeparator + ".keep").c_str(), osFileModeWrite, osFileTypePlain, nullptr);
  ASSERT_NE(s, nullptr);
  iosClose(s);
  writeText(sub + osPathSeparator + "g", "x");
  EXPECT_EQ(osDirRemoveContents(sub.c_str(), false), 0);
  EXPECT_FALSE(exists(sub + osPathSeparator + "g"));
  EXPECT_TRUE(exists(sub + osPathSeparator + ".keep"));
  EXPECT_EQ(osDirRemove(sub.c_str(), nullptr), -1);
  // filesOnly keeps subdirectories.
  ASSERT_EQ(osDirCreate((sub + osPathSeparator + "kept").c_str(), osDirTypeInherit, nullptr), 0);
  EXPECT_EQ(osDirRemoveContents(sub.c_str(), true), 0);
  EXPECT_TRUE(osIsDirPresent((sub + osPathSeparator + "kept").c_str()));
}

TEST_F(OsDir, RecursiveRemovalRemovesLinksNotTargets) {
  const std::string target = path("target"), victim = path("victim");
  ASSERT_EQ(osDirCreate(target.c_str(), osDirTypeInherit, nullptr), 0);
  writeText(target + osPathSeparator + "precious", "keep me");
  writeText(path("file-target"), "keep me too");
  ASSERT_EQ(osDirCreate(victim.c_str(), osDirTypeInherit, nullptr), 0);
  StringBuffer reason;
  sbInitHere(&reason);
  const std::string dirLink = victim + osPathSeparator + "dirlink";
  const std::string fileLink = victim + osPathSeparator + "filelink";
  if (osFileCreateSymlink(target.c_str(), dirLink.c_str(), &reason) != 0) {
    const std::string why = sbGet(&reason);
    sbClean(&reason);
    GTEST_SKIP() << "symbolic links are not available here: " << why;
  }
  sbClean(&reason);
  ASSERT_EQ(osFileCreateSymlink(path("file-target").c_str(), fileLink.c_str(), nullptr), 0);
  EXPECT_EQ(osDirRemoveContents(victim.c_str(), false), 0);
  EXPECT_EQ(osDirRemove(victim.c_str(), nullptr), 0);
  EXPECT_FALSE(exists(victim));
  EXPECT_EQ(readText(target + osPathSeparator + "precious"), "keep me");
  EXPECT_EQ(readText(path("file-target")), "keep me too");
}

// A link reported as created is there; a relative target written with "/"
// is read from the link's own folder, also to tell a directory from a file.
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
    StringBuffer reason;
    sbInitHere(&reason);
    const int rc = osFileCreateSymlink(c.target, link.c_str(), &reason);
    EXPECT_EQ(rc == 0, exists(link)) << c.link << ": " << sbGet(&reason);
    sbClean(&reason);
    if (rc != 0) continue;
    EXPECT_EQ(osIsFileDirectory(link.c_str()), c.directory) << c.link;
    const std::string file = c.directory ? link + osPathSeparator + "f" : link;
    EXPECT_EQ(readText(file), "through the link") << c.link;
  }
}

// The temporary installer directory's access list is protected: nothing
// is inherited from a parent such as the system's Temp folder. Read back
// from the directory; a system that does not keep access lists as set
// (wine maps them to file modes) cannot show it.
TEST_F(OsDir, PrivateClassesDoNotInherit) {
  if (!onWindows()) GTEST_SKIP() << "access lists are a Windows matter";
  auto describe = [&](uint32_t type) {
    const std::string sub = path("class" + std::to_string(type));
    StringBuffer perms;
    sbInitHere(&perms);
    EXPECT_EQ(osDirCreate(sub.c_str(), type, nullptr), 0);
    EXPECT_EQ(osFileGetInfo(sub.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, &perms, nullptr), 0);
    std::string text = sbGet(&perms);
    sbClean(&perms);
    return text;
  };
  const std::string traverse = describe(osDirTypeTraverse);
  if (traverse.find("Everyone:20") == std::string::npos)
    GTEST_SKIP() << "this system does not keep access lists as set: " << traverse;
  EXPECT_EQ(traverse.rfind("protected ", 0), 0u) << traverse;
  EXPECT_EQ(describe(osDirTypeInherit).find("protected"), std::string::npos);
}

TEST_F(OsDir, ListMatchingWithSubdirectoriesAndAnyDepth) {
  writeText(path("a.log"), "");
  writeText(path("b.txt"), "");
  ASSERT_EQ(osDirCreate((path("sub") + osPathSeparator + "deeper").c_str(), osDirTypeInherit, nullptr), 0);
  const std::string sub = std::string("sub") + osPathSeparator;
  writeText(path(sub + "c.log"), "");
  writeText(path(sub + "deeper" + osPathSeparator + "d.log"), "");
  EXPECT_EQ(listMatching(dir, "*.log"), (std::vector<std::string>{"a.log"}));
  EXPECT_EQ(listMatching(dir, "sub/*.log"), (std::vector<std::string>{sub + "c.log"}));
  EXPECT_EQ(listMatching(dir, "**/*.log"),
            (std::vector<std::string>{"a.log", sub + "c.log", sub + "deeper" + osPathSeparator + "d.log"}));
  // Directories whose names match are listed too; null means everything.
  EXPECT_EQ(listMatching(dir, "s*"), (std::vector<std::string>{"sub"}));
  EXPECT_EQ(listMatching(dir, nullptr), (std::vector<std::string>{"a.log", "b.txt", "sub"}));
  EXPECT_EQ(listMatching(dir, "none*"), (std::vector<std::string>{}));
}

TEST_F(OsDir, DriveListHoldsDirectories) {
  Seen drives;
  EXPECT_EQ(osDirEnumerateEntries(nullptr, record, &drives, osDirEntryAny, 0), 0);
  ASSERT_FALSE(drives.names.empty());
  for (int t : drives.types) EXPECT_EQ(t, osDirEntryDirectory);
  char** list = osDirListMatching(nullptr, nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_NE(list[0], nullptr);
  osDirFreeList(list);
}

TEST_F(OsDir, WorkingDirectoryAndCaseProbe) {
  char* before = osDirCurrent();
  ASSERT_NE(before, nullptr);
  ASSERT_EQ(osDirSetWorking(dir.c_str()), 0);
  char* now = osDirGetCwd();
  EXPECT_TRUE(std::filesystem::equivalent(now, dir));
  memFree(now);
  EXPECT_EQ(osDirSetWorking(path("missing").c_str()), -1);
  EXPECT_EQ(osDirSetWorking(before), 0);
  memFree(before);
  EXPECT_FALSE(osDirIsCaseSensitive(path("missing").c_str()));
  EXPECT_EQ(osDirIsCaseSensitive(dir.c_str()), !onWindows());
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
    if (rc != 0) {
      EXPECT_FALSE(osIsDirPresent(p.c_str())) << n;
    }
    osDirRemove(p.c_str(), nullptr);
    ASSERT_LT(n, 20u);
  }
  EXPECT_TRUE(osIsDirPresent(p.c_str()));
}
