// Helpers for the archive tests: a small ZIP writer (stored and deflated entries, extra fields, comments, ZIP64
// records, data in front of the archive), fresh scratch directories, and tree snapshots for comparing a directory
// before and after an extraction.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "memory.h"
#include "osdirhandle.h"
#include "test_bits_helpers.h"
#include "testenv.h"
#include "undolog.h"
#include "zip.h"
#include "zipint.h"

namespace ziptest {

namespace fs = std::filesystem;

// CRC-32 of a string, bitwise (independent of the library's table-driven one).
inline uint32_t crc32Of(const std::string& s) { return testbits::crcBitwise(s.data(), s.size()); }

// Little-endian fields: `widths` gives each value's size in bytes ('1', '2', '4' or '8'), one digit per value.
inline std::string fields(const char* widths, std::initializer_list<uint64_t> values) {
  std::string s;
  const uint64_t* v = values.begin();
  for (const char* w = widths; *w && v != values.end(); w++, v++)
    for (int i = 0; i < *w - '0'; i++) s += (char)(*v >> (8 * i));
  return s;
}

// An extra-field block: its id, its size and `body`.
inline std::string extraBlock(uint16_t id, const std::string& body) { return fields("22", {id, body.size()}) + body; }

struct Entry {
  std::string name{};
  std::string data{};
  uint16_t method = 0;    // 0 store, 8 deflate (fixed blocks), 9 deflate (stored blocks) -> written as 8
  uint16_t flags = 0;     // general-purpose flags
  uint32_t extAttr = 0;   // external attributes
  std::string extra{};    // central extra field
  std::string comment{};  // entry comment
  int crcDelta = 0;       // added to the recorded CRC (0: correct)
  int64_t sizeDelta = 0;  // added to the recorded uncompressed size
  uint16_t dosTime = 0x6000, dosDate = 0x5A3D;
};

struct Options {
  std::string comment{};  // archive comment
  std::string prefix{};   // bytes in front of the archive
  bool offsetsIncludePrefix = false;
  bool zip64 = false;           // write ZIP64 end record and locator
  bool plainEndValues = false;  // with zip64: the plain end record holds the real values (zip -fz)
  uint16_t diskNumber = 0;      // end record "number of this disk"
  int truncateTail = 0;         // bytes cut from the end of the result
};

inline std::string buildZip(const std::vector<Entry>& entries, const Options& o = {}) {
  std::string body, central;
  const uint64_t base = o.offsetsIncludePrefix ? o.prefix.size() : 0;
  for (const Entry& e : entries) {
    const bool deflated = e.method == 8 || e.method == 9;
    const std::string comp = deflated ? testbits::deflateOwn(e.data, e.method == 8 ? 1 : 0) : e.data;
    const uint16_t method = deflated ? 8 : e.method;
    const uint32_t crc = crc32Of(e.data) + (uint32_t)e.crcDelta;
    const uint32_t usize = (uint32_t)((int64_t)e.data.size() + e.sizeDelta);
    const uint64_t offset = base + body.size();
    body += fields("42222244422",
                   {0x04034B50, 20, e.flags, method, e.dosTime, e.dosDate, crc, comp.size(), usize, e.name.size(), 0}) +
            e.name + comp;
    central +=
        fields("42222224442222244", {0x02014B50, 0x031E, 20, e.flags, method, e.dosTime, e.dosDate, crc, comp.size(),
                                     usize, e.name.size(), e.extra.size(), e.comment.size(), 0, 0, e.extAttr, offset}) +
        e.name + e.extra + e.comment;
  }
  std::string out = o.prefix + body;
  const uint64_t cdOffset = base + body.size();
  out += central;
  if (o.zip64) {
    const uint64_t z64Pos = base + body.size() + central.size();
    out += fields("48224488884484", {0x06064B50, 44, 45, 45, 0, 0, entries.size(), entries.size(), central.size(),
                                     cdOffset, 0x07064B50, 0, z64Pos, 1});
  }
  const bool saturated = o.zip64 && !o.plainEndValues;
  const uint64_t count = saturated ? 0xFFFF : entries.size();
  out += fields("42222442", {0x06054B50, o.diskNumber, 0, count, count, saturated ? 0xFFFFFFFFu : central.size(),
                             saturated ? 0xFFFFFFFFu : cdOffset, o.comment.size()}) +
         o.comment;
  if (o.truncateTail > 0) out.resize(out.size() - (size_t)o.truncateTail);
  return out;
}

// The length of a prefix of at least `minimum` bytes that puts the end record of a `zipSize`-byte archive behind it at
// `residue` modulo 256: the probe's results must not depend on where a 256-byte boundary falls.
inline size_t prefixForResidue(size_t zipSize, size_t residue, size_t minimum = 70000) {
  return minimum + (residue + 256 * 4 - (minimum + zipSize - 22) % 256) % 256;
}

// Residues that put a 256-byte boundary inside the end record, the ZIP64 locator and the ZIP64 record, or just before.
constexpr size_t kResidues[] = {0, 10, 21, 22, 75, 76, 97, 98, 255};

// An Info-ZIP Unicode Path extra block: version 1, the CRC-32 of the header name `name`, the UTF-8 name.
inline std::string unicodePathExtra(const std::string& name, const std::string& utf8, uint32_t crcDelta = 0) {
  return extraBlock(0x7075, fields("14", {1, crc32Of(name) + crcDelta}) + utf8);
}

// Whether symbolic links can be made in `dir` (they need privileges on some Windows hosts).
inline bool linksWork(const fs::path& dir) {
  std::error_code ec;
  fs::create_directory_symlink(dir, dir / "probe", ec);
  return !ec && fs::remove(dir / "probe");
}

// A fresh, empty directory for one test.
inline fs::path freshDir(const std::string& tag) { return testFreshDir("zip-" + tag); }

inline void writeFile(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc).write(data.data(), (std::streamsize)data.size());
}

inline std::string readFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Relative path (with "/") -> content, "<dir>" for directories, "<link>" for symbolic links.
using Tree = std::map<std::string, std::string>;

inline Tree snapshot(const fs::path& root) {
  Tree t;
  if (!fs::exists(root)) return t;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::u8string u8 = it->path().lexically_relative(root).generic_u8string();
    const std::string rel(u8.begin(), u8.end());
    t[rel] = it->is_symlink() ? "<link>" : it->is_directory() ? "<dir>" : readFile(it->path());
  }
  return t;
}

// The tree without previous versions kept aside (".<stem>-old-<n>.tmp"), there between a successful walk and commit.
inline Tree withoutOldVersions(Tree t) {
  static const std::regex old(R"((.*/)?\.[^/]*-old-[^/]*\.tmp)");
  std::erase_if(t, [](const auto& kv) { return std::regex_match(kv.first, old); });
  return t;
}

// Native path text for the library.
inline std::string str(const fs::path& p) { return p.string(); }

// An archive file in a fresh directory, opened (checked); closed at scope exit, which commits a successful walk.
struct Archive {
  fs::path dir = freshDir("archive");
  std::string path = str(dir / "payload.exe");
  ZipInfo* zip = nullptr;
  explicit Archive(const std::string& bytes) {
    writeFile(path, bytes);
    EXPECT_EQ(zipOpen(&zip, path.c_str(), false), 0);
  }
  explicit Archive(const std::vector<Entry>& es) : Archive(buildZip(es)) {}
  Archive(const Archive&) = delete;
  ~Archive() { zipExit(&zip); }
  // Walks the archive below `base`; the walk's result.
  int walk(const fs::path& base, ZipWalkMode mode = zipWalkJournal, const char* pattern = nullptr) {
    return zipWalk(&zip, nullptr, pattern, mode, zipQuiet, str(base).c_str());
  }
};

// Extracts an archive of `es` below `base`; the walk's result, with the archive closed (committing a successful walk).
inline int extract(const std::vector<Entry>& es, const fs::path& base, const char* pattern = nullptr,
                   ZipWalkMode mode = zipWalkJournal) {
  return Archive(es).walk(base, mode, pattern);
}

// Ends a run abruptly after its walk: its journal stays on disk and nothing is undone in-process; then the next run's
// recovery of that journal below `base`, whose result it returns.
inline int recoverAbandoned(ZipInfo* zip, const fs::path& journal, const fs::path& base) {
  ulClose(zip->undoLog, false);
  memFree(zip->undoLog);
  zip->undoLog = nullptr;
  uint32_t restored = 0, removed = 0;
  return ulRecover(str(journal).c_str(), str(base).c_str(), &restored, &removed);
}

// Replaces the file at p by a new one holding data, until the new one has the number the deleted one had (file systems
// that hand a freed inode to the next file made); false when that does not happen. Birth times come from a coarse
// clock: the new file is made once a probe shows that the clock has moved on, as it has when a person comes by.
inline bool replaceReusingNumber(const fs::path& p, const std::string& data) {
  const auto idAt = [](const fs::path& f) {
    OsDirHandle* dir = nullptr;
    OsFileId id = {};
    if (osDirHandleOpen(str(f.parent_path()).c_str(), &dir) == 0) osDirHandleIdOf(dir, str(f.filename()).c_str(), &id);
    osDirHandleClose(dir);
    return id;
  };
  const OsFileId was = idAt(p);
  const fs::path probe = p.parent_path() / "clock-probe";
  for (int tries = 0; tries < 1000000 && (tries == 0 || (was.generation && idAt(probe).generation == was.generation));
       tries++) {
    fs::remove(probe);
    writeFile(probe, "");
  }
  bool reused = false;
  for (int tries = 0; tries < 8 && !reused; tries++) {
    fs::remove(p);
    writeFile(p, data);
    const OsFileId now = idAt(p);
    reused = now.volume == was.volume && now.file == was.file;
  }
  fs::remove(probe);
  return reused;
}

// A fresh directory `var` where symbolic links can be made, else the test is skipped (some Windows hosts forbid them).
#define ZIPTEST_LINKS_DIR(var, tag)   \
  const fs::path var = freshDir(tag); \
  if (!linksWork(var)) GTEST_SKIP() << "symbolic links are not available here"

}  // namespace ziptest
