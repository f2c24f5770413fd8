// mksfx --verify: every entry's data against its CRC-32 (see mksfxcrc.h).
#include "mksfxcrc.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "crc32.h"
#include "iostream.h"
#include "memory.h"
#include "osdir.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "zip.h"
#include "zipdisk.h"
#include "zipint.h"

namespace {

constexpr size_t posixPathMax = 4095;  // longest path a POSIX stub's system takes (PATH_MAX without its NUL)

// Reads one entry's data as the installer's extraction reads it, with its
// checks; its CRC-32 and size in the out-parameters. -1 when the data cannot
// be read or inflated, or runs on past its declared sizes.
int readEntry(ZipInfo* zip, ZipEntry* e, const char* name, std::vector<uint8_t>* buf, uint32_t* crc, uint64_t* size) {
  *crc = 0;
  *size = 0;
  int endFlag = 0;
  int rc = zipOpenEntryData(zip, e, name, &endFlag);
  while (rc == 0 && !endFlag && *size < e->uncompressedSize) {
    uint64_t left = e->uncompressedSize - *size;
    uint32_t want = left < buf->size() ? (uint32_t)left : (uint32_t)buf->size(), got = 0;
    if (iosRead(zip->stream, buf->data(), want, &got) != 0) {
      rc = -1;
      break;
    }
    if (got == 0) break;
    crc32Update(crc, buf->data(), got);
    *size += got;
  }
  if (rc == 0 && zipCheckEntryEnd(zip, e, name) != 0) rc = -1;
  zipCloseEntryData(zip);
  return rc;
}

}  // namespace

int mksfxCheckEntries(ZipInfo* zip, const char* installer) {
  std::vector<uint8_t> buf(1 << 18);
  int bad = 0;
  const char* key = nullptr;
  for (void* v = smFirst(zip->directory, &key); v; v = smNext(zip->directory, &key)) {
    ZipEntry* e = static_cast<ZipEntry*>(v);
    std::string name(zipEntryName(e), e->fileNameLength);
    if (!name.empty() && name.back() == '/') continue;
    uint32_t crc = 0;
    uint64_t size = 0;
    if (readEntry(zip, e, name.c_str(), &buf, &crc, &size) != 0) {
      fprintf(stderr, "mksfx: %s: %s: the data cannot be read\n", installer, name.c_str());
      bad++;
    } else if (size != e->uncompressedSize) {
      fprintf(stderr, "mksfx: %s: %s: %" PRIu64 " bytes where the directory says %" PRIu64 "\n", installer,
              name.c_str(), size, e->uncompressedSize);
      bad++;
    } else if (crc != e->crc) {
      fprintf(stderr, "mksfx: %s: %s: CRC-32 %08x where the directory says %08x\n", installer, name.c_str(), crc,
              e->crc);
      bad++;
    }
  }
  return bad;
}

int mksfxCheckNames(ZipInfo* zip, const char* installer, bool windows) {
  int bad = 0;
  std::vector<std::pair<std::string, std::string>> links;  // each link entry: where it lies, its name
  StringBuffer shown;
  sbInitHere(&shown);
  const char* key = nullptr;
  for (void* v = smFirst(zip->directory, &key); v; v = smNext(zip->directory, &key)) {
    const ZipEntry* e = static_cast<const ZipEntry*>(v);
    const std::string name(zipEntryName(e), e->fileNameLength);
    zipShowEntryName(name.c_str(), &shown);
    const char* fault = zipEntryPathFault(name.c_str());
    char why[80];
    const size_t at = windows && !fault ? name.find_first_of("<>\"|?*") : std::string::npos;
    if (at != std::string::npos) {
      snprintf(why, sizeof why, "has the character '%c', which Windows does not allow in names", name[at]);
      fault = why;
    }
    // Below the shortest target, "/", its path would have a byte more.
    if (!windows && !fault && name.size() + 1 > posixPathMax)
      fault = "is longer than any path a POSIX system takes (4095 bytes with the target)";
    // Where the installer puts it, resolved as it resolves names.
    char* path = nullptr;
    if (!fault && osDirRealPath(".", name.c_str(), &path) != 0) fault = "cannot be resolved";
    for (size_t i = 0; !fault && i < links.size(); i++) {
      if (!zipPathIsAtOrBelow(path, links[i].first.c_str())) continue;
      fprintf(stderr, "mksfx: %s: %s lies behind the symbolic link %s of the archive\n", installer, sbGet(&shown),
              links[i].second.c_str());
      fault = "";
    }
    if (!fault && ((e->externalAttributes >> 16) & 0xF000) == 0xA000) links.emplace_back(path, name);
    memFree(path);
    if (fault && *fault) fprintf(stderr, "mksfx: %s: Entry name %s %s\n", installer, sbGet(&shown), fault);
    if (fault) bad++;
  }
  sbClean(&shown);
  return bad;
}
