// Archive locator, central directory, extra fields and entry names.
#include <gtest/gtest.h>

#include <cstring>

#include "logging.h"
#include "memory.h"
#include "sortmap.h"
#include "test_sb_helpers.h"
#include "test_text_helpers.h"
#include "test_zip_helpers.h"
#include "zipdisk.h"
#include "zipint.h"

using namespace ziptest;

namespace {

// Runs the locator over the whole of `bytes` as one window starting at 0.
int locate(const std::string& bytes, ZipInfo* info, bool probe = false) {
  memset(info, 0, sizeof *info);
  return zipLocateEndOfCentralDirectory(reinterpret_cast<const uint8_t*>(bytes.data()), 0, bytes.size(), info, probe);
}

std::vector<Entry> twoFiles() { return {{.name = "a.txt", .data = "hello"}, {.name = "dir/b.bin", .data = "xyz"}}; }

std::string tempFile(const std::string& data) {
  fs::path p = freshDir("f") / "archive.exe";
  writeFile(p, data);
  return str(p);
}

// A ZIP64 archive whose locator has no ZIP64 record in front of it.
std::string brokenZip64() {
  std::string z = buildZip(twoFiles(), {.zip64 = true});
  z[z.rfind(std::string("PK\x06\x06", 4)) + 2] = 'X';
  return z;
}

// An archive whose end record (or ZIP64 record) puts the central directory's offset at `offset`.
std::string directoryAt(uint64_t offset, bool zip64) {
  std::string z = buildZip(twoFiles(), {.zip64 = zip64});
  const size_t at = zip64 ? z.rfind(std::string("PK\x06\x06", 4)) + 48 : z.size() - 6;
  z.replace(at, zip64 ? 8 : 4, fields(zip64 ? "8" : "4", {offset}));
  return z;
}

}  // namespace

// The locator on whole archives: what it finds, or how it refuses (the log text; a probe logs nothing by default).
TEST(ZipLocate, FindsOrRefusesTheEndRecord) {
  const std::string fakeEnd = fields("4", {0x06054B50}) + std::string(18, '\0');
  const char* noEnd = "ZIP file does not contain EndOfCentralDirectory record";
  const std::string prefix(1234, 'M');
  struct Case {
    std::string zip;
    bool probe, zip64;
    int rc;
    uint64_t prefix;
    const char *comment, *log;
  } cases[] = {
      {buildZip(twoFiles()), false, false, 0, 0, nullptr, ""},
      {buildZip(twoFiles(), {.prefix = prefix}), false, false, 0, 1234, nullptr, ""},
      // Offsets that already count the data in front give prefix 0.
      {buildZip(twoFiles(), {.prefix = prefix, .offsetsIncludePrefix = true}), false, false, 0, 0, nullptr, ""},
      {buildZip(twoFiles(), {.comment = "release 2025"}), false, false, 0, 0, "release 2025", ""},
      {buildZip(twoFiles(), {.prefix = std::string(300, 'P'), .zip64 = true}), false, true, 0, 300, nullptr, ""},
      // A comment ending in a whole end record of zero entries: the scan from the end finds it first and refuses.
      {buildZip(twoFiles(), {.comment = "x" + fakeEnd}), false, false, -1, 0, nullptr, noEnd},
      {buildZip({}), false, false, -1, 0, nullptr, noEnd},
      {buildZip({}), true, false, -1, 0, nullptr, ""},
      {buildZip(twoFiles(), {.diskNumber = 2}), false, false, -1, 0, nullptr,
       "ZIP file is spread over 3 disks which is not supported"},
      {"no archive here at all, just text", false, false, -1, 0, nullptr, noEnd},
      {brokenZip64(), false, false, -1, 0, nullptr, "Cannot find ZIP64 EndOfCentralDirectory record"},
      // A directory that would end past the record that closes it.
      {directoryAt(0xFFFFFFF0, false), false, false, -1, 0, nullptr, "ends past the EndOfCentralDirectory record"},
      {directoryAt(1ull << 62, true), false, false, -1, 0, nullptr, "ends past the EndOfCentralDirectory record"},
      {directoryAt(~0ull, true), false, false, -1, 0, nullptr, "ends past the EndOfCentralDirectory record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    ZipInfo info;
    testing::internal::CaptureStderr();
    const int rc = locate(c.zip, &info, c.probe);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::tuple(rc, err.find(c.log) != std::string::npos), std::tuple(c.rc, true)) << err;
    if (rc != 0 || c.rc != 0) {
      EXPECT_TRUE(*c.log || err.find("EndOfCentralDirectory") == std::string::npos) << err;
      memFree(info.comment);
      continue;
    }
    // The directory ends where the end record (or the ZIP64 record) begins.
    const size_t comment = c.comment ? strlen(c.comment) : 0;
    EXPECT_EQ(std::tuple(info.entryCount, info.prefix, info.prefix + info.centralDirOffset + info.centralDirSize),
              std::tuple(2u, c.prefix, c.zip.size() - 22 - comment - (c.zip64 ? 76 : 0)));
    EXPECT_STREQ(info.comment ? info.comment : "(none)", c.comment ? c.comment : "(none)");
    memFree(info.comment);
  }
}

// Extra fields: ZIP64 sizes and offset read by position (only the fields the record saturated, none without any; the
// first ZIP64 block only, as other readers read it),
// timestamps and Unix blocks, unknown blocks skipped, and a block longer than the field ends the walk.
TEST(ZipExtra, BlocksFillTheEntry) {
  const uint64_t t = 1700000000000ull, G5 = 5000000000;
  const std::string times3 = extraBlock(0x5455, fields("1444", {7, 10, 20, 30})),
                    unix = extraBlock(0x000D, fields("4422", {40, 50, 1000, 1000})), zz = extraBlock(0x7777, "zz"),
                    overlong = extraBlock(0x5455, fields("14", {1, 100})) + fields("228", {1, 16, 77});
  ZipEntry csizeSet{}, offsetOnly{}, all{};
  csizeSet.compressedSize = 0xFFFFFFFFu, csizeSet.zip64Fields = 2;
  offsetOnly.uncompressedSize = 23, offsetOnly.zip64Fields = 4;
  all.zip64Fields = 7;
  const struct {
    const char* name;
    ZipEntry start;
    std::string extra;
    uint64_t want[6];  // uncompressed and compressed size, offset, modification, access and change time
  } cases[] = {
      {"the saturated compressed size", csizeSet, extraBlock(1, fields("8", {G5})), {0, G5, 0, 0, 0, 0}},
      {"all three in order", all, extraBlock(1, fields("888", {1, 2, 6000000000})), {1, 2, 6000000000, 0, 0, 0}},
      {"none saturated: none taken", {}, extraBlock(1, fields("888", {1, 2, 6000000000})), {0, 0, 0, 0, 0, 0}},
      {"two ZIP64 blocks: the first counts",
       all,
       extraBlock(1, fields("888", {1, 2, 3})) + extraBlock(1, fields("888", {4, 5, 6})),
       {1, 2, 3, 0, 0, 0}},
      {"only the saturated offset", offsetOnly, extraBlock(1, fields("8", {4294967700})), {23, 0, 4294967700, 0, 0, 0}},
      {"modification time for all three", {}, extraBlock(0x5455, fields("14", {1, t / 1000})), {0, 0, 0, t, t, t}},
      {"three times, Unix block, unknown block", {}, times3 + unix + zz, {0, 0, 0, 50000, 40000, 30000}},
      {"overlong block stops the walk", {}, overlong, {0, 0, 0, 100000, 100000, 100000}},
      {"three stray bytes", {}, fields("21", {1, 8}), {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    ZipEntry e = c.start;
    zipParseExtraHeaders(&e, reinterpret_cast<const uint8_t*>(c.extra.data()), (uint32_t)c.extra.size());
    const uint64_t got[6] = {e.uncompressedSize, e.compressedSize, e.offset,
                             e.modificationTime, e.accessTime,     e.changeTime};
    EXPECT_EQ(std::vector<uint64_t>(got, got + 6), std::vector<uint64_t>(c.want, c.want + 6)) << c.name;
  }
  // A directory record whose only saturated field is the offset (Info-ZIP, Python: small file above 4 GiB) says so.
  ZipEntry f{};
  const std::string zero(20, '\0'),
      raw = fields("4", {0x02014B50}) + zero + fields("4", {23}) + zero.substr(6) + fields("4", {0xFFFFFFFF});
  ASSERT_EQ(zipDecodeCentralHeader(reinterpret_cast<const uint8_t*>(raw.data()), &f), 0);
  EXPECT_EQ(std::pair((int)f.zip64Fields, f.uncompressedSize), std::pair(4, (uint64_t)23));
}

TEST(ZipOpen, LoadsDirectoryInArchiveOrder) {
  std::vector<Entry> es;
  for (int i = 0; i < 12; i++) es.push_back({.name = "f" + std::to_string(11 - i), .data = std::string(i, 'q')});
  es[3].comment = "third";
  Archive a(buildZip(es, {.comment = "hi", .prefix = "MZ-stub"}));
  ZipInfo*& zip = a.zip;
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(std::tuple(zipCount(zip), zip->prefix, std::string(zip->comment)), std::tuple(12u, 7u, "hi"));
  const char* key = nullptr;
  int i = 0;
  for (ZipEntry* e = static_cast<ZipEntry*>(smFirst(zip->directory, &key)); e;
       e = static_cast<ZipEntry*>(smNext(zip->directory, &key)), i++) {
    EXPECT_EQ(
        std::tuple(std::string(zipEntryName(e), e->fileNameLength), e->uncompressedSize, e->crc,
                   std::string(zipEntryComment(e), e->commentLength)),
        std::tuple("f" + std::to_string(11 - i), (uint64_t)i, crc32Of(std::string(i, 'q')), i == 3 ? "third" : ""));
  }
  EXPECT_EQ(std::tuple(i, key), std::tuple(12, nullptr));
  zipExit(&zip);
  EXPECT_EQ(zip, nullptr);
  zipExit(&zip);  // a released handle is accepted
  zipExit(nullptr);
}

TEST(ZipOpen, ProbeFindsOnlyAnEndRecordAtTheVeryEndWhateverTheFileSize) {
  // A plain archive, a ZIP64 archive whose plain end record is saturated, a ZIP64 archive whose plain end record holds
  // other (wrong) values, and archives with a comment, which the probe does not find.
  for (const Options& c : {Options{}, Options{.zip64 = true}, Options{.zip64 = true, .plainEndValues = true},
                           Options{.comment = std::string(10, 'c')}, Options{.comment = std::string(300, 'c')}}) {
    const bool probeFinds = c.comment.empty();
    const size_t zipSize = buildZip(twoFiles(), c).size();
    for (size_t residue : kResidues) {
      Options o = c;
      o.prefix = std::string(prefixForResidue(zipSize, residue), 'E');
      const std::string path = tempFile(buildZip(twoFiles(), o));
      SCOPED_TRACE("comment " + std::to_string(o.comment.size()) + " zip64 " + std::to_string(o.zip64) + " residue " +
                   std::to_string(residue));
      ZipInfo* zip = nullptr;
      EXPECT_EQ((std::tuple{zipOpen(&zip, path.c_str(), true), zip != nullptr}),
                std::tuple(probeFinds ? 0 : -1, probeFinds));
      ASSERT_EQ(probeFinds ? 0 : zipOpen(&zip, path.c_str(), false), 0);  // a full search finds it
      ASSERT_NE(zip, nullptr);
      EXPECT_EQ(std::pair(zip->prefix, (uint64_t)zipCount(zip)), std::pair((uint64_t)o.prefix.size(), (uint64_t)2));
      zipExit(&zip);
    }
  }
}

TEST(ZipOpen, BrokenDirectoriesAreRefused) {
  // Central directory damaged: the end record is intact but points at bytes that are not a directory.
  std::string badSignature = buildZip(twoFiles());
  badSignature[badSignature.find(std::string("PK\x01\x02", 4)) + 1] = 'Q';
  // Name length running past the end of the file.
  std::string longName = buildZip(twoFiles());
  longName[longName.rfind(std::string("PK\x01\x02", 4)) + 28] = (char)0xFF;
  // Truncated file: no end record.
  const std::string truncated = buildZip(twoFiles(), {.truncateTail = 5});
  // Entries that overlap, as in a ZIP bomb or an archive other tools read differently: the second record pointing at
  // the first one's local header, into its data, or into the central directory; and an end record that counts fewer
  // records than the directory holds. Each with a piece of its message ("": any).
  std::vector<std::pair<std::string, std::string>> refused = {{tempFile(badSignature), ""},
                                                              {tempFile(longName), ""},
                                                              {tempFile(truncated), ""},
                                                              {tempFile("") + ".missing", ""}};
  for (uint32_t offset : {0u, 20u, 82u}) {
    std::string z = buildZip(twoFiles());
    z.replace(z.rfind(std::string("PK\x01\x02", 4)) + 42, 4, fields("4", {offset}));
    refused.push_back({tempFile(z), "overlaps"});
  }
  std::string miscounted = buildZip(twoFiles());
  miscounted[miscounted.rfind(std::string("PK\x05\x06", 4)) + 8] = 1;
  miscounted[miscounted.rfind(std::string("PK\x05\x06", 4)) + 10] = 1;
  refused.push_back({tempFile(miscounted), "more entries than its end record counts"});
  // The overlap's message names the entry, without its comment.
  std::string commented =
      buildZip({{.name = "a", .data = "1", .comment = "\nFORGED"}, {.name = "b", .data = "2", .comment = "\nFORGED"}});
  commented.replace(commented.rfind(std::string("PK\x01\x02", 4)) + 42, 4, fields("4", {0}));
  refused.push_back({tempFile(commented), "at offset 0 overlaps the next entry\n"});
  // Saturated values that no ZIP64 field gives: an offset without any field, sizes with a field too short for both.
  for (auto [extra, at, what] :
       {std::tuple(std::string(), 42, "offset"), std::tuple(extraBlock(1, fields("8", {5})), 20, "compressed size")}) {
    std::string z = buildZip({{.name = "a", .data = "1"}, {.name = "b", .data = "22222", .extra = extra}});
    const size_t record = z.rfind(std::string("PK\x01\x02", 4));
    z.replace(record + at, 4, fields("4", {0xFFFFFFFF}));
    if (at == 20) z.replace(record + 24, 4, fields("4", {0xFFFFFFFF}));
    refused.push_back({tempFile(z), std::string("entry b: its ") + what + " is 0xFFFFFFFF and no ZIP64 extra field"});
  }
  for (const auto& [path, message] : refused) {
    ZipInfo* zip = reinterpret_cast<ZipInfo*>(1);  // replaced by null on failure
    testing::internal::CaptureStderr();
    EXPECT_EQ((std::tuple{zipOpen(&zip, path.c_str(), false), zip}), std::tuple(-1, nullptr)) << path;
    expectText(testing::internal::GetCapturedStderr(), {message.c_str()}, {"FORGED"});
  }
}

// The target, temporary and old names of an entry: the temporary and the old one sit beside the target and are made
// from its stem; a name that would leave the base directory is refused.
TEST(ZipNames, NamesUseTheStemAndStayInsideTheBase) {
  struct Case {
    const char* name;
    bool dir;
    const char *tmp, *old;
  } cases[] = {
      {"bin/installer.cmd", false, ".installer-zip-42.tmp", ".installer-old-42.tmp"},
      {"x/..hidden.tar.gz", false, "...hidden-zip-42.tmp", "...hidden-old-42.tmp"},
      {"noext", false, ".noext-zip-42.tmp", ".noext-old-42.tmp"},
      {"a/../b.txt", false, ".b-zip-42.tmp", ".b-old-42.tmp"},
      {"./x", false, ".x-zip-42.tmp", ".x-old-42.tmp"},
      {"a/./b/../c", false, ".c-zip-42.tmp", ".c-old-42.tmp"},
      {"top/sub/", true, "", ""},
  };
  Sb p, t, o;
  const std::string base = str(freshDir("n"));
  for (const auto& c : cases) {
    bool dir = !c.dir;
    ASSERT_EQ((std::tuple{zipMakeNames(base.c_str(), c.name, 42, &p, &t, &o, &dir), dir}), std::tuple(0, c.dir))
        << c.name;
    const std::string path = sbGet(&p), folder = path.substr(0, path.find_last_of("/\\") + 1);
    EXPECT_EQ(std::tuple(path.substr(0, base.size()), sbText(&t), sbText(&o)),
              std::tuple(base, c.dir ? "" : folder + c.tmp, c.dir ? "" : folder + c.old))
        << path;
  }
  // A long last component: its side names are cut, at a character, to the 255 bytes a name can hold.
  std::string accents;  // é, two bytes each
  while (accents.size() < 254) accents += "\xC3\xA9";
  for (const auto& [leaf, cut] : {std::pair(std::string(255, 'x'), 243), std::pair(accents + "x", 242)}) {
    bool isDir = true;
    ASSERT_EQ(zipMakeNames(base.c_str(), leaf.c_str(), 42, &p, &t, &o, &isDir), 0);
    const std::string tmp = sbText(&t);
    EXPECT_EQ(tmp.substr(tmp.find_last_of("/\\") + 1), "." + leaf.substr(0, cut) + "-zip-42.tmp");
  }
  EXPECT_EQ(extract({{.name = std::string(255, 'y'), .data = "long"}}, freshDir("long")), 0);
  bool dir = false;
  for (const char* bad : {"/etc/passwd", "\\windows\\x.dll", "C:/x.txt", "c:evil", "../up.txt", "a/../../up.txt",
                          "a\\..\\..\\up", "", "a/.."})
    EXPECT_EQ(zipMakeNames(base.c_str(), bad, 1, &p, &t, &o, &dir), -1) << bad;
}

// Names that are not UTF-8: read as code page 437 unless flagged as UTF-8; a Unicode Path field with the right CRC
// wins; a name that stays invalid, or holds characters that disguise it, fails its entry (in a listing too), naming
// it, and the walk undoes everything.
TEST(ZipNames, LegacyNamesBecomeUtf8OrFailTheirEntry) {
  const std::string cp932 = "\x95\x5C.txt";  // 表 in CP932: its second byte is a backslash
  const struct {
    Entry entry;
    const char* extracted;  // name on disk (UTF-8), or null: the walk fails
    const char* message;    // expected error text ("": none)
  } cases[] = {
      {{.name = "caf\xC3\xA9.txt"}, "caf\xC3\xA9.txt", ""},
      {{.name = "caf\x82.txt"}, "caf\xC3\xA9.txt", ""},
      {{.name = "\xF0\xD2\xC9.txt"}, "\xE2\x89\xA1\xE2\x95\xA5\xE2\x95\x94.txt", ""},  // KOI8-R
      {{.name = cp932, .extra = unicodePathExtra(cp932, "\xE8\xA1\xA8.txt")}, "\xE8\xA1\xA8.txt", ""},
      {{.name = "x\x82.txt", .extra = unicodePathExtra("x\x82.txt", "y.txt", 1)}, "x\xC3\xA9.txt", ""},
      {{.name = "ok.txt", .extra = unicodePathExtra("ok.txt", "renamed.txt")}, "renamed.txt", ""},
      {{.name = "bad\xFF.txt", .flags = 0x0800}, nullptr, "Entry name bad\\xFF.txt is not valid UTF-8"},
      {{.name = std::string("nul\0.txt", 8)}, nullptr, "Entry name nul\\xC0.txt is not valid UTF-8"},
      // A line separator and a right-to-left override: either would disguise the name in every log line.
      {{.name = "a\xE2\x80\xA8"
                "b.txt"},
       nullptr,
       "Entry name a\\xE2\\x80\\xA8b.txt holds"},
      {{.name = "x\xE2\x80\xAEtxt.exe"}, nullptr, "Entry name x\\xE2\\x80\\xAEtxt.exe holds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry.name);
    Entry e = c.entry;
    e.data = "data";
    Archive a({{.name = "first.txt", .data = "1"}, e});
    const fs::path base = freshDir("names");
    testing::internal::CaptureStderr();
    EXPECT_EQ(a.walk(base, zipWalkList), c.extracted ? 0 : -1);  // a listing refuses such a name too
    const int rc = a.walk(base);
    const std::string err = testing::internal::GetCapturedStderr();
    zipExit(&a.zip);
    EXPECT_EQ(std::tuple(rc, err.find(c.message) != std::string::npos), std::tuple(c.extracted ? 0 : -1, true)) << err;
    EXPECT_EQ(snapshot(base), (c.extracted ? Tree{{"first.txt", "1"}, {c.extracted, "data"}} : Tree{}));
  }
  // The debug line that tells how a legacy name was read shows its control characters escaped.
  const uint32_t level = logSetCategoryLevel(logCatZip, logLevelDebug);
  testing::internal::CaptureStderr();
  Archive(std::vector<Entry>{{.name = "\x1B[2Jx\x82.txt", .data = "d"}});
  logSetCategoryLevel(logCatZip, level);
  expectText(testing::internal::GetCapturedStderr(), {"Entry name read as \\x1B[2Jx\xC3\xA9.txt"}, {"\x1B"});
}
