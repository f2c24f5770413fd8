// ZIP writer of the installer builder: deflates with libdeflate where the
// build has it and stores otherwise; ZIP64 records where sizes, offsets or
// the entry count need them.
#include "zipwriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "crc32.h"
#include "iostream.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "payloadcheck.h"
#include "stringbuf.h"
#include "zipint.h"

#include <libdeflate.h>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t maxEntrySize = 0xFFFFFFFEu;  // files this large are refused
constexpr uint32_t deflateLimit = 512u << 20;   // larger files are stored

void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back((uint8_t)x);
  v.push_back((uint8_t)(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  put16(v, x & 0xFFFF);
  put16(v, x >> 16);
}
void put64(std::vector<uint8_t>& v, uint64_t x) {
  put32(v, (uint32_t)x);
  put32(v, (uint32_t)(x >> 32));
}

// One archive member as the central directory needs it.
struct Member {
  std::string name;  // archive name, '/' separated, directories end in '/'
  bool directory;    // a directory entry
  uint16_t method;   // 0 stored, 8 deflated
  uint32_t crc;      // CRC-32 of the data
  uint64_t size;     // uncompressed size
  uint64_t csize;    // compressed size
  uint64_t offset;   // offset of the local header
  uint16_t dosTime, dosDate;
  uint32_t mtime;       // seconds since 1970, for the extended timestamp
  uint32_t external;    // external attributes
  bool unixAttributes;  // the high 16 bits of external are a Unix mode
  std::string target;   // a symbolic link's target (its data); empty otherwise
  bool link;            // a symbolic link
};

// DOS date and time of `t` (seconds since 1970) in UTC, as the installer
// reads them: the same bytes on every machine, whatever its time zone.
// Times before 1980 become 1980-01-01 00:00.
void dosDateTime(uint32_t t, uint16_t* date, uint16_t* tim) {
  if (t < 315532800u) t = 315532800u;
  uint32_t days = t / 86400, secs = t % 86400;
  // Civil date from days since 1970 (proleptic Gregorian, eras of 400 years).
  uint32_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
  uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  uint32_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  uint32_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  *date = (uint16_t)(((year - 1980) << 9) | (month << 5) | day);
  *tim = (uint16_t)(((secs / 3600) << 11) | ((secs / 60 % 60) << 5) | (secs % 60 / 2));
}

int writeAll(IoStream* out, const void* data, size_t size, uint64_t* pos) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size) {
    uint32_t n = size > (1u << 30) ? (1u << 30) : (uint32_t)size;
    if (iosWrite(out, p, n, nullptr) != 0) {
      fprintf(stderr, "mksfx: cannot write the archive\n");
      return -1;
    }
    p += n;
    size -= n;
    *pos += n;
  }
  return 0;
}

// Reads a whole file through the OS layer into a tracked block.
uint8_t* readWholeFile(const std::string& path, uint64_t size) {
  if (size > maxEntrySize) {
    fprintf(stderr, "mksfx: %s is 4 GiB or larger; build such an archive with zip -fz and pass --zip\n", path.c_str());
    return nullptr;
  }
  IoStream* in = osFileOpen(path.c_str(), osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) {
    fprintf(stderr, "mksfx: cannot open %s\n", path.c_str());
    return nullptr;
  }
  uint8_t* data = static_cast<uint8_t*>(memAlloc(size ? size : 1));
  int rc = size ? iosReadFully(in, data, (uint32_t)size) : 0;
  iosClose(in);
  if (rc != 0) {
    fprintf(stderr, "mksfx: cannot read %s\n", path.c_str());
    memFree(data);
    return nullptr;
  }
  return data;
}

// The extended timestamp field (0x5455) with the modification time in UTC.
std::vector<uint8_t> extendedTime(uint32_t mtime) {
  std::vector<uint8_t> v;
  put16(v, 0x5455);
  put16(v, 5);
  v.push_back(1);  // modification time present
  put32(v, mtime);
  return v;
}

int writeLocal(IoStream* out, Member& m, const uint8_t* data, uint64_t* pos) {
  m.offset = *pos;
  std::vector<uint8_t> h;
  put32(h, 0x04034b50);
  put16(h, 20);
  put16(h, 0x0800);  // names are UTF-8
  put16(h, m.method);
  put16(h, m.dosTime);
  put16(h, m.dosDate);
  put32(h, m.crc);
  put32(h, (uint32_t)m.csize);
  put32(h, (uint32_t)m.size);
  put16(h, (uint32_t)m.name.size());
  std::vector<uint8_t> extra = extendedTime(m.mtime);
  put16(h, (uint32_t)extra.size());
  h.insert(h.end(), m.name.begin(), m.name.end());
  h.insert(h.end(), extra.begin(), extra.end());
  if (writeAll(out, h.data(), h.size(), pos) != 0) return -1;
  return data ? writeAll(out, data, m.csize, pos) : 0;
}

std::vector<uint8_t> centralHeader(const Member& m) {
  std::vector<uint8_t> zip64;
  bool bigOffset = m.offset >= 0xFFFFFFFFull;
  if (bigOffset) {
    put16(zip64, 0x0001);
    put16(zip64, 8);
    put64(zip64, m.offset);
  }
  std::vector<uint8_t> h;
  put32(h, 0x02014b50);
  put16(h, (m.unixAttributes ? 3u << 8 : 0u) | (bigOffset ? 45u : 20u));
  put16(h, bigOffset ? 45 : 20);
  put16(h, 0x0800);
  put16(h, m.method);
  put16(h, m.dosTime);
  put16(h, m.dosDate);
  put32(h, m.crc);
  put32(h, (uint32_t)m.csize);
  put32(h, (uint32_t)m.size);
  put16(h, (uint32_t)m.name.size());
  std::vector<uint8_t> ext = extendedTime(m.mtime);
  put16(h, (uint32_t)(ext.size() + zip64.size()));
  put16(h, 0);  // comment
  put16(h, 0);  // disk
  put16(h, 0);  // internal attributes
  put32(h, m.external);
  put32(h, bigOffset ? 0xFFFFFFFFu : (uint32_t)m.offset);
  h.insert(h.end(), m.name.begin(), m.name.end());
  h.insert(h.end(), zip64.begin(), zip64.end());
  h.insert(h.end(), ext.begin(), ext.end());
  return h;
}

// True when the link at `link` (below `base`) resolves to a place inside
// the tree, following the links on the way as the system will after
// extraction; an absolute target never does.
bool linkStaysInside(const fs::path& base, const fs::path& link, const fs::path& target) {
  if (target.empty() || target.is_absolute() || target.has_root_name() || target.has_root_directory()) return false;
  std::error_code ec;
  fs::path root = fs::weakly_canonical(base, ec);
  if (ec) return false;
  fs::path lexical = (link.parent_path() / target).lexically_normal();
  fs::path resolved = fs::weakly_canonical(link.parent_path() / target, ec);
  if (ec) return false;
  auto inside = [&](const fs::path& p, const fs::path& top) {
    auto rel = p.lexically_relative(top);
    return !rel.empty() && *rel.begin() != "..";
  };
  return inside(lexical, base.lexically_normal()) && inside(resolved, root);
}

// One member for each file, directory and symbolic link below `base`,
// sorted by name. A link that leads out of the tree is refused.
int listTree(const fs::path& base, const char* root, const ZipWriterOptions* options, std::vector<Member>* members) {
  const bool unixHost = osPathSeparator == '/';
  std::error_code ec;
  std::vector<fs::path> paths;
  for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    paths.push_back(it->path());
  if (ec) {
    fprintf(stderr, "mksfx: cannot list %s: %s\n", root, ec.message().c_str());
    return -1;
  }
  int rc = 0;
  for (const fs::path& p : paths) {
    Member m{};
    auto rel = p.lexically_relative(base).generic_u8string();
    m.name.assign(reinterpret_cast<const char*>(rel.data()), rel.size());
    fs::file_status st = fs::symlink_status(p, ec);
    auto u8 = p.u8string();
    std::string full(reinterpret_cast<const char*>(u8.data()), u8.size());
    uint64_t mtimeMs = 315532800000ull;  // links carry no time of their own
    if (fs::is_symlink(st)) {
      fs::path target = fs::read_symlink(p, ec);
      auto t8 = target.generic_u8string();
      m.target.assign(reinterpret_cast<const char*>(t8.data()), t8.size());
      if (ec || !linkStaysInside(base, p, target)) {
        fprintf(stderr, "mksfx: %s: the symbolic link to %s leads out of the tree\n", m.name.c_str(), m.target.c_str());
        rc = -1;
        continue;
      }
      // The installer judges a link's target as it judges a name.
      if (const char* fault = zipEntryNameFault(m.target.c_str())) {
        StringBuffer shown;
        sbInitHere(&shown);
        zipShowEntryName(m.target.c_str(), &shown);
        fprintf(stderr, "mksfx: %s: the symbolic link's target %s %s\n", m.name.c_str(), sbGet(&shown), fault);
        sbClean(&shown);
        rc = -1;
        continue;
      }
      m.link = true;
      m.unixAttributes = true;
      m.external = 0120777u << 16;
    } else {
      m.directory = fs::is_directory(st);
      if (osFileGetAttributes(full.c_str(), nullptr, &mtimeMs, nullptr, nullptr) != 0) {
        fprintf(stderr, "mksfx: cannot read the time of %s\n", full.c_str());
        return -1;
      }
      uint32_t perms = (uint32_t)fs::status(p, ec).permissions() & 07777;
      m.unixAttributes = unixHost;
      m.external = unixHost ? (((m.directory ? 0040000u : 0100000u) | perms) << 16) : 0;
      if (m.directory) m.external |= 0x10;
      if (!(perms & 0222)) m.external |= 0x01;  // read-only
    }
    uint64_t t = mtimeMs / 1000;
    if (options->clampTime && t > options->latestTime) t = options->latestTime;
    m.mtime = (uint32_t)(t > 0xFFFFFFFFu ? 0xFFFFFFFFu : t);
    dosDateTime(m.mtime, &m.dosDate, &m.dosTime);
    if (m.directory) m.name += '/';
    members->push_back(m);
  }
  // Byte order of the archive names (UTF-8, directories ending in '/'), so
  // a directory comes before everything in it.
  std::sort(members->begin(), members->end(), [](const Member& a, const Member& b) { return a.name < b.name; });
  return rc;
}

// The tree's names and layout, checked before anything is written.
int checkTree(const std::vector<Member>& members, bool force) {
  std::vector<std::string> names;  // directory names without their '/'
  for (const Member& m : members) names.push_back(m.directory ? m.name.substr(0, m.name.size() - 1) : m.name);
  std::vector<PayloadEntry> entries;
  for (size_t i = 0; i < members.size(); i++) entries.push_back(PayloadEntry{names[i].c_str(), members[i].directory});
  return payloadCheck(entries.data(), entries.size(), force);
}

// Reads, deflates (when that makes it smaller) and writes one file member.
int writeFileMember(const fs::path& base, Member& m, libdeflate_compressor* compressor, IoStream* out, uint64_t* pos) {
  uint8_t* data = nullptr;
  uint64_t size = m.target.size();
  if (m.link) {
    data = static_cast<uint8_t*>(memAlloc(size ? size : 1));
    memcpy(data, m.target.data(), size);
  } else {
    auto fp = (base / fs::u8path(m.name)).u8string();
    std::string full(reinterpret_cast<const char*>(fp.data()), fp.size());
    std::error_code ec;
    size = fs::file_size(fs::u8path(full), ec);
    if (ec) {
      fprintf(stderr, "mksfx: cannot read %s: %s\n", full.c_str(), ec.message().c_str());
      return -1;
    }
    data = readWholeFile(full, size);
    if (!data) return -1;
  }
  m.size = size;
  m.crc = 0;
  crc32Update(&m.crc, data, (uint32_t)size);
  const uint8_t* payload = data;
  m.method = 0;
  m.csize = size;
  uint8_t* packed = nullptr;
  if (compressor && size > 0 && size <= deflateLimit) {
    size_t bound = libdeflate_deflate_compress_bound(compressor, size);
    packed = static_cast<uint8_t*>(memAlloc(bound));
    size_t n = libdeflate_deflate_compress(compressor, data, size, packed, bound);
    if (n > 0 && n < size) {
      m.method = 8;
      m.csize = n;
      payload = packed;
    }
  }
  int rc = writeLocal(out, m, payload, pos);
  memFree(packed);
  memFree(data);
  return rc;
}

// The central directory and the end records behind the members.
int writeDirectory(const std::vector<Member>& members, IoStream* out, uint64_t* posIo) {
  uint64_t& pos = *posIo;
  const uint64_t cdStart = pos;
  for (const Member& m : members) {
    std::vector<uint8_t> h = centralHeader(m);
    if (writeAll(out, h.data(), h.size(), &pos) != 0) return -1;
  }
  const uint64_t cdSize = pos - cdStart;
  const uint64_t count = members.size();
  std::vector<uint8_t> end;
  if (count >= 0xFFFF || cdStart >= 0xFFFFFFFFull || cdSize >= 0xFFFFFFFFull) {
    const uint64_t zip64Record = pos;
    put32(end, 0x06064b50);
    put64(end, 44);
    put16(end, 45);
    put16(end, 45);
    put32(end, 0);
    put32(end, 0);
    put64(end, count);
    put64(end, count);
    put64(end, cdSize);
    put64(end, cdStart);
    put32(end, 0x07064b50);
    put32(end, 0);
    put64(end, zip64Record);
    put32(end, 1);
  }
  put32(end, 0x06054b50);
  put16(end, 0);
  put16(end, 0);
  put16(end, count >= 0xFFFF ? 0xFFFF : (uint32_t)count);
  put16(end, count >= 0xFFFF ? 0xFFFF : (uint32_t)count);
  put32(end, cdSize >= 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)cdSize);
  put32(end, cdStart >= 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)cdStart);
  put16(end, 0);
  return writeAll(out, end.data(), end.size(), &pos);
}

// Every member, then the directory.
int writeArchive(const fs::path& base, std::vector<Member>& members, IoStream* out, const ZipWriterOptions* options) {
  libdeflate_compressor* compressor = nullptr;
  if (!options->store && !(compressor = libdeflate_alloc_compressor(options->level))) {
    fprintf(stderr, "mksfx: cannot set up the compressor at level %d\n", options->level);
    return -1;
  }
  uint64_t pos = 0;
  int rc = 0;
  for (Member& m : members) {
    if (options->verbose) printf("  adding %s\n", m.name.c_str());
    rc = m.directory ? writeLocal(out, m, nullptr, &pos) : writeFileMember(base, m, compressor, out, &pos);
    if (rc) break;
  }
  if (compressor) libdeflate_free_compressor(compressor);
  return rc ? -1 : writeDirectory(members, out, &pos);
}

}  // namespace

int zipWriteTree(const char* root, const char* outPath, const ZipWriterOptions* options, uint64_t* entries) {
  std::error_code ec;
  fs::path base = fs::u8path(root);
  if (!fs::is_directory(base, ec)) {
    fprintf(stderr, "mksfx: %s is not a directory\n", root);
    return -1;
  }
  std::vector<Member> members;
  if (listTree(base, root, options, &members) != 0) {
    fprintf(stderr, "mksfx: the tree is refused, nothing was written\n");
    return -1;
  }
  if (checkTree(members, options->force) != 0) return -1;
  IoStream* out = osFileOpen(outPath, osFileModeWrite, osFileTypePlain, nullptr, false, false);
  if (!out) {
    fprintf(stderr, "mksfx: cannot create %s\n", outPath);
    return -1;
  }
  int rc = writeArchive(base, members, out, options);
  if (iosClose(out) != 0) rc = -1;
  if (rc != 0) {
    osFileDelete(outPath);
    return -1;
  }
  *entries = members.size();
  return 0;
}

int zipCheckProbeTail(const uint8_t* tail, size_t tailSize, uint64_t fileSize, char* error) {
  if (fileSize < 22 || tailSize < 22) {
    snprintf(error, 200, "too short to be a ZIP archive");
    return -1;
  }
  const uint8_t* e = tail + tailSize - 22;
  if (e[0] == 'P' && e[1] == 'K' && e[2] == 5 && e[3] == 6) {
    if (e[20] || e[21]) {
      snprintf(error, 200, "the end record announces a comment but the file ends with it");
      return -1;
    }
    return 0;
  }
  // Say why: a comment, or bytes after the end record.
  for (size_t i = tailSize >= 22 ? tailSize - 22 : 0; i-- > 0;) {
    const uint8_t* p = tail + i;
    if (p[0] == 'P' && p[1] == 'K' && p[2] == 5 && p[3] == 6 && i + 22 <= tailSize) {
      size_t after = tailSize - i - 22;
      uint32_t comment = (uint32_t)(p[20] | p[21] << 8);
      if (comment)
        snprintf(error, 200,
                 "the archive has a %u-byte comment; the installer only finds archives without one "
                 "(remove it, e.g. zip -z with an empty comment)",
                 comment);
      else
        snprintf(error, 200,
                 "%zu byte(s) follow the archive's end record; the installer only finds an archive that "
                 "ends the file",
                 after);
      return -1;
    }
  }
  snprintf(error, 200, "no ZIP end-of-central-directory record found");
  return -1;
}
