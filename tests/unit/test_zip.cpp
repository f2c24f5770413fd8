// Archive locator, central directory, extra fields and entry names.
#include <gtest/gtest.h>

#include <cstring>

#include "memory.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "test_zip_helpers.h"
#include "zip.h"
#include "zipdisk.h"
#include "zipint.h"

using namespace ziptest;

namespace {

// Runs the locator over the whole of `bytes` as one window starting at 0.
int locate(const std::string& bytes, ZipInfo* info, bool probe = false) {
  memset(info, 0, sizeof *info);
  return zipLocateEndOfCentralDirectory(reinterpret_cast<const uint8_t*>(bytes.data()), 0, bytes.size(), info, probe);
}

std::string captureLocate(const std::string& bytes, bool probe, int* rc) {
  ZipInfo info;
  testing::internal::CaptureStderr();
  *rc = locate(bytes, &info, probe);
  std::string err = testing::internal::GetCapturedStderr();
  memFree(info.comment);
  return err;
}

std::vector<Entry> twoFiles() { return {{.name = "a.txt", .data = "hello"}, {.name = "dir/b.bin", .data = "xyz"}}; }

std::string tempFile(const std::string& data) {
  fs::path p = freshDir("f") / "archive.exe";
  writeFile(p, data);
  return str(p);
}

}  // namespace

TEST(ZipLocate, PlainArchiveHasNoPrefix) {
  const std::string z = buildZip(twoFiles());
  ZipInfo info;
  ASSERT_EQ(locate(z, &info), 0);
  EXPECT_EQ(info.prefix, 0u);
  EXPECT_EQ(info.entryCount, 2u);
  EXPECT_EQ(info.centralDirOffset + info.centralDirSize, z.size() - 22);
  EXPECT_EQ(info.comment, nullptr);
}

TEST(ZipLocate, PrefixIsTheDataInFront) {
  const std::string z = buildZip(twoFiles(), {.prefix = std::string(1234, 'M')});
  ZipInfo info;
  ASSERT_EQ(locate(z, &info), 0);
  EXPECT_EQ(info.prefix, 1234u);
  // Offsets that already count the data in front give prefix 0.
  const std::string z2 = buildZip(twoFiles(), {.prefix = std::string(1234, 'M'), .offsetsIncludePrefix = true});
  ASSERT_EQ(locate(z2, &info), 0);
  EXPECT_EQ(info.prefix, 0u);
}

TEST(ZipLocate, CommentIsKeptAndFalseEndRecordInCommentWins) {
  ZipInfo info;
  const std::string z = buildZip(twoFiles(), {.comment = "release 2025"});
  ASSERT_EQ(locate(z, &info), 0);
  ASSERT_NE(info.comment, nullptr);
  EXPECT_STREQ(info.comment, "release 2025");
  memFree(info.comment);

  // A comment ending in a complete end record with zero entries: the scan
  // from the end finds that one first and refuses the archive.
  std::string fake;
  put32(fake, 0x06054B50);
  fake += std::string(18, '\0');
  const std::string z2 = buildZip(twoFiles(), {.comment = "x" + fake});
  int rc = 0;
  const std::string err = captureLocate(z2, false, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("ZIP file does not contain EndOfCentralDirectory record"), std::string::npos) << err;
}

TEST(ZipLocate, RefusedArchives) {
  int rc = 0;
  std::string err = captureLocate(buildZip({}), false, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("ZIP file does not contain EndOfCentralDirectory record"), std::string::npos);

  err = captureLocate(buildZip(twoFiles(), {.diskNumber = 2}), false, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("ZIP file is spread over 3 disks which is not supported"), std::string::npos) << err;

  err = captureLocate("no archive here at all, just text", false, &rc);
  EXPECT_EQ(rc, -1);

  // Probing reports at debug level only (nothing at the default level).
  err = captureLocate(buildZip({}), true, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err.find("EndOfCentralDirectory"), std::string::npos) << err;
}

TEST(ZipLocate, Zip64RecordGivesCountAndOffsets) {
  const std::string z = buildZip(twoFiles(), {.prefix = std::string(300, 'P'), .zip64 = true});
  ZipInfo info;
  ASSERT_EQ(locate(z, &info), 0);
  EXPECT_EQ(info.entryCount, 2u);
  EXPECT_EQ(info.prefix, 300u);
  EXPECT_NE(info.centralDirOffset, 0xFFFFFFFFu);

  // A locator without a ZIP64 record in front of it.
  std::string broken = z;
  const size_t rec = broken.rfind(std::string("PK\x06\x06", 4));
  ASSERT_NE(rec, std::string::npos);
  broken[rec + 2] = 'X';
  int rc = 0;
  const std::string err = captureLocate(broken, false, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("Cannot find ZIP64 EndOfCentralDirectory record"), std::string::npos) << err;
}

TEST(ZipExtra, Zip64FieldsReadByPosition) {
  ZipEntry e{};
  e.compressedSize = 0xFFFFFFFFu;
  std::string x;
  put16(x, 1);
  put16(x, 8);
  put64(x, 5000000000ull);
  zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>(x.data()), (uint32_t)x.size());
  EXPECT_EQ(e.uncompressedSize, 5000000000ull);
  EXPECT_EQ(e.compressedSize, 0xFFFFFFFFu);  // only 8 bytes: compressed size untouched

  std::string y;
  put16(y, 1);
  put16(y, 24);
  put64(y, 1);
  put64(y, 2);
  put64(y, 6000000000ull);
  zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>(y.data()), (uint32_t)y.size());
  EXPECT_EQ(e.uncompressedSize, 1u);
  EXPECT_EQ(e.compressedSize, 2u);
  EXPECT_EQ(e.offset, 6000000000ull);

  // A directory record whose only saturated field is the offset carries
  // just the offset (as Info-ZIP and Python write it for a small file that
  // lies above 4 GiB).
  ZipEntry f{};
  std::string raw(46, '\0');
  raw[0] = 'P', raw[1] = 'K', raw[2] = 1, raw[3] = 2;
  for (int i = 42; i < 46; i++) raw[i] = (char)0xFF;
  raw[24] = 23;
  ASSERT_EQ(zipDecodeCentralHeader(reinterpret_cast<const uint8_t*>(raw.data()), &f), 0);
  EXPECT_EQ(f.zip64Fields, 4);
  std::string z;
  put16(z, 1);
  put16(z, 8);
  put64(z, 4294967700ull);
  zipParseExtraHeaders(&f, reinterpret_cast<const uint8_t*>(z.data()), (uint32_t)z.size());
  EXPECT_EQ(f.offset, 4294967700ull);
  EXPECT_EQ(f.uncompressedSize, 23u);
}

TEST(ZipExtra, TimestampsAndUnixBlocks) {
  ZipEntry e{};
  std::string x;
  put16(x, 0x5455);
  put16(x, 5);
  x += (char)1;
  put32(x, 1700000000u);
  zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>(x.data()), (uint32_t)x.size());
  EXPECT_EQ(e.modificationTime, 1700000000000ull);
  EXPECT_EQ(e.accessTime, 1700000000000ull);
  EXPECT_EQ(e.changeTime, 1700000000000ull);

  std::string y;
  put16(y, 0x5455);
  put16(y, 13);
  y += (char)7;
  put32(y, 10);
  put32(y, 20);
  put32(y, 30);
  put16(y, 0x000D);  // Unix: atime, mtime, uid, gid
  put16(y, 12);
  put32(y, 40);
  put32(y, 50);
  put16(y, 1000);
  put16(y, 1000);
  put16(y, 0x7777);  // unknown block, skipped
  put16(y, 2);
  y += "zz";
  zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>(y.data()), (uint32_t)y.size());
  EXPECT_EQ(e.modificationTime, 50000u);
  EXPECT_EQ(e.accessTime, 40000u);
  EXPECT_EQ(e.changeTime, 30000u);
}

TEST(ZipExtra, OverlongBlockStopsTheWalk) {
  ZipEntry e{};
  std::string x;
  put16(x, 0x5455);
  put16(x, 5);
  x += (char)1;
  put32(x, 100);
  put16(x, 1);  // claims 16 bytes, holds 8
  put16(x, 16);
  put64(x, 77);
  zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>(x.data()), (uint32_t)x.size());
  EXPECT_EQ(e.modificationTime, 100000u);
  EXPECT_EQ(e.uncompressedSize, 0u);
  // Three stray bytes are not a block either.
  zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>("\x01\x00\x08"), 3);
  EXPECT_EQ(e.uncompressedSize, 0u);
}

TEST(ZipOpen, LoadsDirectoryInArchiveOrder) {
  std::vector<Entry> es;
  for (int i = 0; i < 12; i++) es.push_back({.name = "f" + std::to_string(11 - i), .data = std::string(i, 'q')});
  es[3].comment = "third";
  const std::string path = tempFile(buildZip(es, {.comment = "hi", .prefix = "MZ-stub"}));
  ZipInfo* zip = nullptr;
  ASSERT_EQ(zipOpen(&zip, path.c_str(), false), 0);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zipCount(zip), 12u);
  EXPECT_EQ(zip->prefix, 7u);
  EXPECT_STREQ(zip->comment, "hi");
  const char* key = nullptr;
  int i = 0;
  for (ZipEntry* e = static_cast<ZipEntry*>(smFirst(zip->directory, &key)); e;
       e = static_cast<ZipEntry*>(smNext(zip->directory, &key)), i++) {
    EXPECT_EQ(std::string(zipEntryName(e), e->fileNameLength), "f" + std::to_string(11 - i));
    EXPECT_EQ(e->uncompressedSize, (uint64_t)i);
    EXPECT_EQ(e->crc, crc32Of(std::string(i, 'q')));
    if (i == 3) {
      EXPECT_EQ(std::string(zipEntryComment(e), e->commentLength), "third");
    }
  }
  EXPECT_EQ(i, 12);
  EXPECT_STREQ(key, nullptr);
  zipExit(&zip);
  EXPECT_EQ(zip, nullptr);
  zipExit(&zip);  // a released handle is accepted
  zipExit(nullptr);
}

TEST(ZipOpen, ProbeFindsOnlyAnEndRecordAtTheVeryEnd) {
  const std::string plain = tempFile(buildZip(twoFiles(), {.prefix = std::string(70000, 'E')}));
  ZipInfo* zip = nullptr;
  ASSERT_EQ(zipOpen(&zip, plain.c_str(), true), 0);
  EXPECT_EQ(zip->prefix, 70000u);
  zipExit(&zip);

  // The probe window reaches back at most 255 bytes further (it starts at a
  // multiple of 256), so a longer comment hides the end record.
  const std::string commented =
      tempFile(buildZip(twoFiles(), {.comment = std::string(300, 'c'), .prefix = std::string(70000, 'E')}));
  EXPECT_EQ(zipOpen(&zip, commented.c_str(), true), -1);
  EXPECT_EQ(zip, nullptr);
  ASSERT_EQ(zipOpen(&zip, commented.c_str(), false), 0);
  zipExit(&zip);
}

TEST(ZipOpen, BrokenDirectoriesAreRefused) {
  // Central directory damaged: the end record is intact but points at bytes
  // that are not a directory.
  std::string badSignature = buildZip(twoFiles());
  badSignature[badSignature.find(std::string("PK\x01\x02", 4)) + 1] = 'Q';
  // Name length running past the end of the file.
  std::string longName = buildZip(twoFiles());
  longName[longName.rfind(std::string("PK\x01\x02", 4)) + 28] = (char)0xFF;
  // Truncated file: no end record.
  const std::string truncated = buildZip(twoFiles(), {.truncateTail = 5});
  std::string path;
  for (const std::string& z : {badSignature, longName, truncated}) {
    path = tempFile(z);
    ZipInfo* zip = reinterpret_cast<ZipInfo*>(&path);  // replaced by null on failure
    EXPECT_EQ(zipOpen(&zip, path.c_str(), false), -1);
    EXPECT_EQ(zip, nullptr);
  }
  ZipInfo* zip = nullptr;
  EXPECT_EQ(zipOpen(&zip, (path + ".missing").c_str(), false), -1);
  EXPECT_EQ(zip, nullptr);
}

TEST(ZipNames, TemporaryAndOldNamesUseTheStem) {
  StringBuffer p, t, o;
  sbInitHere(&p);
  sbInitHere(&t);
  sbInitHere(&o);
  bool dir = true;
  const std::string base = str(freshDir("n"));
  ASSERT_EQ(zipMakeNames(base.c_str(), "bin/installer.cmd", 42, &p, &t, &o, &dir), 0);
  EXPECT_FALSE(dir);
  const std::string path = sbGet(&p);
  const std::string d = path.substr(0, path.size() - strlen("installer.cmd"));
  EXPECT_EQ(path.substr(0, base.size()), base);
  EXPECT_EQ(std::string(sbGet(&t)), d + ".installer-zip-42.tmp");
  EXPECT_EQ(std::string(sbGet(&o)), d + ".installer-old-42.tmp");

  ASSERT_EQ(zipMakeNames(base.c_str(), "x/..hidden.tar.gz", 7, &p, &t, &o, &dir), 0);
  EXPECT_NE(std::string(sbGet(&t)).find("...hidden-zip-7.tmp"), std::string::npos) << sbGet(&t);
  ASSERT_EQ(zipMakeNames(base.c_str(), "noext", 7, &p, &t, &o, &dir), 0);
  EXPECT_NE(std::string(sbGet(&o)).find(".noext-old-7.tmp"), std::string::npos);

  ASSERT_EQ(zipMakeNames(base.c_str(), "top/sub/", 7, &p, &t, &o, &dir), 0);
  EXPECT_TRUE(dir);
  EXPECT_EQ(sbGetLength(&t), 0u);
  sbClean(&p);
  sbClean(&t);
  sbClean(&o);
}

TEST(ZipNames, NamesLeavingTheBaseAreRefused) {
  StringBuffer p, t, o;
  sbInitHere(&p);
  sbInitHere(&t);
  sbInitHere(&o);
  bool dir = false;
  const std::string base = str(freshDir("n"));
  for (const char* bad : {"/etc/passwd", "\\windows\\x.dll", "C:/x.txt", "c:evil", "../up.txt", "a/../../up.txt",
                          "a\\..\\..\\up", "", "a/.."}) {
    EXPECT_EQ(zipMakeNames(base.c_str(), bad, 1, &p, &t, &o, &dir), -1) << bad;
  }
  for (const char* good : {"a/../b.txt", "./x", "a/./b/../c"}) {
    EXPECT_EQ(zipMakeNames(base.c_str(), good, 1, &p, &t, &o, &dir), 0) << good;
    EXPECT_EQ(std::string(sbGet(&p)).substr(0, base.size()), base);
  }
  sbClean(&p);
  sbClean(&t);
  sbClean(&o);
}
