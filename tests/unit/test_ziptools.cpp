// Archives made by real tools (Python's zipfile, Info-ZIP with and without -fz, 7-Zip, bsdtar), appended to a stub
// executable with and without a comment: listing, full and pattern extraction compared file by file with the source
// tree; ZIP64 with 70000 entries and with an entry above 4 GiB.
// The fixtures come from tests/fixtures/make-zip-fixtures.sh: from the folder named by SFX_ZIP_FIXTURES when set (how
// the Windows build gets them), else the script is run once into the scratch folder. Without either, tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sortmap.h"
#include "test_sb_helpers.h"
#include "test_zip_helpers.h"

using namespace ziptest;

namespace {

fs::path fixtures() {
  static const fs::path dir = [] {
    if (const char* env = getenv("SFX_ZIP_FIXTURES"); env && *env)
      return fs::exists(fs::path(env) / "ready") ? fs::path(env) : fs::path();
    const char* scratch = getenv("SFX_TEST_SCRATCH");
    const fs::path out = (scratch && *scratch ? fs::path(scratch) : fs::temp_directory_path()) / "zipfixtures";
    if (fs::exists(out / "ready")) return out;
    const std::string cmd = std::string("sh \"") + SFX_SOURCE_DIR + "/tests/fixtures/make-zip-fixtures.sh\" \"" +
                            out.generic_string() + "\" >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 && fs::exists(out / "ready") ? out : fs::path();
  }();
  return dir;
}

#define NEED_FIXTURES()           \
  const fs::path fx = fixtures(); \
  if (fx.empty()) GTEST_SKIP() << "no tool-made fixtures (set SFX_ZIP_FIXTURES)"

const char* const kTools[] = {"python", "infozip", "infozip64", "7z", "bsdtar"};

}  // namespace

TEST(ZipTools, FullAndPatternExtractionMatchTheSourceTree) {
  NEED_FIXTURES();
  const Tree src = snapshot(fx / "src");
  ASSERT_FALSE(src.empty());
  int tried = 0;
  for (const char* tool : kTools) {
    for (const char* suffix : {"", "-c"}) {
      const fs::path exe = fx / (std::string(tool) + suffix + ".exe");
      if (!fs::exists(exe)) continue;
      tried++;
      ZipInfo* zip = nullptr;
      ASSERT_EQ(zipOpen(&zip, str(exe).c_str(), *suffix == 0), 0) << exe;  // a probe sees only an end record at the end
      EXPECT_EQ(zip->prefix, fs::file_size(fx / "stub.bin")) << exe;
      const std::string comment = zip->comment ? zip->comment : "";
      EXPECT_TRUE(!*suffix || comment.find("self-extracting payload") != std::string::npos) << comment;
      Sb installer;
      EXPECT_EQ(zipWalk(&zip, &installer, nullptr, zipWalkList, zipQuiet, nullptr), 0);
      EXPECT_STREQ(sbGet(&installer), "2025_1_0/bin/installer.cmd") << exe;
      const fs::path base = freshDir(std::string(tool) + suffix);
      ASSERT_EQ(zipWalk(&zip, nullptr, nullptr, zipWalkJournal, zipQuiet, str(base).c_str()), 0) << exe;
      if (*suffix) {  // patterns: a negated one and a stem one
        const fs::path neg = freshDir(std::string(tool) + "neg"), stem = freshDir(std::string(tool) + "stem");
        ASSERT_EQ(zipWalk(&zip, nullptr, "!*/REGISTER.PROPERTIES", zipWalkJournal, zipQuiet, str(neg).c_str()), 0);
        ASSERT_EQ(zipWalk(&zip, nullptr, "*/installer*.*", zipWalkJournal, zipQuiet, str(stem).c_str()), 0);
        Tree want = src;
        want.erase("2025_1_0/register.properties");
        EXPECT_EQ(snapshot(neg), want) << exe;
        EXPECT_EQ(snapshot(stem), (Tree{{"2025_1_0", "<dir>"},
                                        {"2025_1_0/bin", "<dir>"},
                                        {"2025_1_0/bin/installer.cmd", src.at("2025_1_0/bin/installer.cmd")}}))
            << exe;
      }
      zipExit(&zip);
      EXPECT_EQ(snapshot(base), src) << exe;
    }
  }
  EXPECT_GE(tried, 4);
}

TEST(ZipTools, Zip64WithManyEntries) {
  NEED_FIXTURES();
  ZipInfo* zip = nullptr;
  ASSERT_EQ(zipOpen(&zip, str(fx / "many.exe").c_str(), false), 0);
  EXPECT_EQ(zipCount(zip), 70000u);
  EXPECT_EQ(zipWalk(&zip, nullptr, nullptr, zipWalkList, zipQuiet, nullptr), 0);
  const fs::path base = freshDir("many");
  ASSERT_EQ(zipWalk(&zip, nullptr, "many/f6999[89].txt", zipWalkJournal, zipQuiet, str(base).c_str()), 0);
  zipExit(&zip);
  EXPECT_EQ(snapshot(base), (Tree{{"many", "<dir>"}, {"many/f69998.txt", "69998\n"}, {"many/f69999.txt", "69999\n"}}));
}

TEST(ZipTools, EntryAboveFourGiB) {
  NEED_FIXTURES();
  if (!fs::exists(fx / "big.zip")) GTEST_SKIP() << "no big.zip";
  ZipInfo* zip = nullptr;
  ASSERT_EQ(zipOpen(&zip, str(fx / "big.zip").c_str(), false), 0);
  ASSERT_EQ(zipCount(zip), 2u);
  const fs::path base = freshDir("big");
  ASSERT_EQ(zipWalk(&zip, nullptr, "small.txt", zipWalkJournal, zipQuiet, str(base).c_str()), 0);
  // The walk has applied the ZIP64 extra fields to the directory entries.
  const char* key = nullptr;
  const ZipEntry* big = static_cast<const ZipEntry*>(smFirst(zip->directory, &key));
  const ZipEntry* small = static_cast<const ZipEntry*>(smNext(zip->directory, &key));
  smNext(zip->directory, &key);
  ASSERT_TRUE(big && small);
  EXPECT_EQ(big->uncompressedSize, (4ull << 30) + 16);
  EXPECT_GT(small->offset, 4ull << 30);
  zipExit(&zip);
  EXPECT_EQ(snapshot(base), (Tree{{"small.txt", "small file above 4 GiB\n"}}));
}
