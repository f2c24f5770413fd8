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

// Names planted at the predictable temporary names (a file, a dangling link)
// are passed over; the first free name is taken.
TEST(SfxTempDir, PlantedNamesArePassedOver) {
  const fs::path temp = freshDir("temp"), cwd = fs::current_path();
  int planted = 0;
  writeFile(temp / tempDirName(planted++), "planted");
  std::error_code ec;
  fs::create_symlink(temp / "nowhere", temp / tempDirName(planted), ec);
  if (!ec) planted++;
  testSetEnv("TEMP", str(temp).c_str());
  char* made = nullptr;
  const int rc = sfxCreateTempDir(&made);
  fs::current_path(cwd);
  testUnsetEnv("TEMP");
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(std::tuple(fs::path(made).filename().string(), fs::is_directory(made), readFile(temp / tempDirName(0))),
            std::tuple(tempDirName(planted), true, "planted"));
  memFree(made);
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
