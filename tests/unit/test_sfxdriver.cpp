// The self-extractor's guards around extraction: the temporary directory against names planted in a shared TEMP, and
// the payload digest against a file swapped or rewritten after the archive was opened.
#include <gtest/gtest.h>

#include <fstream>

#include "build.h"
#include "iostream.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "osinit.h"
#include "sfx.h"
#include "sfxdigest.h"
#include "test_zip_helpers.h"
#include "testenv.h"
#include "zip.h"

using namespace ziptest;

namespace {

std::string tempDirName(int counter) {
  return "installer-" + std::string(versionTag) + "-" + std::to_string(osProcessId()) + "-" + std::to_string(counter) +
         ".tmp";
}

std::vector<uint8_t> digestOf(const std::string& bytes) {
  const fs::path dir = freshDir("digest");
  writeFile(dir / "f", bytes);
  IoStream* in = osFileOpen(str(dir / "f").c_str(), osFileModeRead, osFileTypeArchive, nullptr, false, false);
  std::vector<uint8_t> d(32);
  EXPECT_EQ(sfxDigestStream(in, 0, d.data(), nullptr), 0);
  iosClose(in);
  return d;
}

}  // namespace

// Names planted at the predictable temporary names (a file, a dangling link) are passed over; the first free name is
// taken. The clean-up removes the directory made with what the script left in it, and nothing else: a link or
// another directory put at its name meanwhile stays, and so does what it holds or leads to.
TEST(SfxTempDir, PlantedNamesArePassedOverAndOnlyTheDirectoryMadeIsRemoved) {
  const fs::path temp = freshDir("temp"), cwd = fs::current_path(), victim = freshDir("victim");
  fs::permissions(temp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);  // only its owner may change it
  int planted = 0;
  writeFile(temp / tempDirName(planted++), "planted");
  std::error_code ec;
  fs::create_symlink(temp / "nowhere", temp / tempDirName(planted), ec);
  if (!ec) planted++;
  writeFile(victim / "keep.txt", "mine");
  testSetEnv("TEMP", str(temp).c_str());
  for (const char* put : {"nothing", "a link", "a directory"}) {
    SfxTempDir made{};
    ASSERT_EQ(sfxCreateTempDir(&made), 0) << put;
    fs::current_path(cwd);
    const fs::path dir = made.path;
    EXPECT_EQ(std::tuple(dir.filename().string(), fs::is_directory(dir)), std::tuple(tempDirName(planted), true));
    writeFile(dir / "sub" / "installer.log", "the script's");
    if (strcmp(put, "nothing") != 0) fs::rename(dir, temp / "moved");
    if (strcmp(put, "a link") == 0) fs::create_directory_symlink(victim, dir, ec);
    if (strcmp(put, "a directory") == 0 || (strcmp(put, "a link") == 0 && ec)) fs::rename(victim, dir);
    sfxRemoveTempDir(&made);
    EXPECT_EQ(made.path, nullptr);
    if (strcmp(put, "nothing") == 0) {
      EXPECT_FALSE(fs::exists(dir)) << put;
      continue;
    }
    if (fs::is_directory(dir) && !fs::is_symlink(dir)) fs::rename(dir, victim);
    EXPECT_EQ(readFile(victim / "keep.txt"), "mine") << put;
    fs::remove(dir);
    fs::remove_all(temp / "moved");
  }
  // With every name taken the run fails, and says why.
  for (int i = planted; i < 10000; i++) writeFile(temp / tempDirName(i), "");
  SfxTempDir none{};
  const std::string log = testCaptureLog(logCatSfx, logLevelError, [&] { EXPECT_EQ(sfxCreateTempDir(&none), -1); });
  fs::current_path(cwd);
  EXPECT_NE(log.find("No free name"), std::string::npos) << log;
  testUnsetEnv("TEMP");
  EXPECT_EQ(readFile(temp / tempDirName(0)), "planted");
}

// A TEMP that another user may change (writable by others, not sticky) is not used: they could put their own
// directory where the installer's was made. The system's shared one is, where the system has one.
TEST(SfxTempDir, TempThatOthersMayChangeIsNotUsed) {
  const char* shared = osDirSharedTemp();
  if (!shared) GTEST_SKIP() << "every TEMP is taken as it is here";
  for (const bool missing : {false, true}) {
    const fs::path temp = freshDir("opentemp") / (missing ? "missing" : ""), cwd = fs::current_path();
    if (!missing) fs::permissions(temp, fs::perms::all);
    testSetEnv("TEMP", str(temp).c_str());
    SfxTempDir made{};
    TestLogCapture log(logCatSfx, logLevelWarn);
    const int rc = sfxCreateTempDir(&made);
    const std::string said = log.take();
    fs::current_path(cwd);
    testUnsetEnv("TEMP");
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(fs::path(made.path).parent_path(), fs::path(shared));
    EXPECT_NE(said.find(missing ? "it is not a directory" : "can be changed by another user"), std::string::npos)
        << said;
    sfxRemoveTempDir(&made);
  }
}

// The digest is taken through the open that the extraction reads: a file
// swapped in after the archive was opened is not what gets checked.
TEST(SfxDigest, PayloadIsHashedThroughTheOpenArchive) {
  const std::string opened = "stub" + buildZip({{.name = "a.txt", .data = "tampered"}});
  const std::string swapped = "stub" + buildZip({{.name = "a.txt", .data = "genuine!"}});
  Archive a(opened);
  ASSERT_NE(a.zip, nullptr);
  fs::rename(a.path, a.dir / "moved.exe");
  writeFile(a.path, swapped);
  EXPECT_EQ(sfxCheckPayload(a.zip, a.path.c_str(), digestOf(swapped.substr(4)).data()), -1);
  EXPECT_EQ(sfxCheckPayload(a.zip, a.path.c_str(), digestOf(opened.substr(4)).data()), 0);
}

// On Windows the open archive cannot be rewritten in place while it is read.
TEST(SfxDigest, OpenArchiveDeniesWriters) {
  if (osPathSeparator != '\\') GTEST_SKIP() << "POSIX has no share modes";
  Archive a("stub" + buildZip({{.name = "a.txt", .data = "a"}}));
  ASSERT_NE(a.zip, nullptr);
  EXPECT_FALSE(std::ofstream(a.path, std::ios::binary | std::ios::in | std::ios::out).is_open());
}
