// mksfx --verify: every entry's data against its CRC-32 (see mksfxcrc.h).
#include "mksfxcrc.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "crc32.h"
#include "inflate.h"
#include "iostream.h"
#include "sortmap.h"
#include "zip.h"
#include "zipint.h"

namespace {

// Reads one entry's data through the installer's own decoder; its CRC-32 and
// size in the out-parameters. -1 when the data cannot be read or inflated.
int readEntry(ZipInfo* zip, ZipEntry* e, const char* name, std::vector<uint8_t>* buf, uint32_t* crc, uint64_t* size) {
  *crc = 0;
  *size = 0;
  if (iosSeek(zip->stream, e->offset + zip->prefix) != 0 || zipReadLocalHeader(e, zip, name) != 0) return -1;
  int endFlag = 0;
  if (e->compressionMethod == 8 && inflateWrapInputStream(zip->stream, INFLATE_FORMAT_RAW, &endFlag, false) != 0)
    return -1;
  int rc = 0;
  while (!endFlag && *size < e->uncompressedSize) {
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
  if (zip->stream->ops == &inflateInputStreamOps) iosCloseThisLevel(zip->stream);
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
