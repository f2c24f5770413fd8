// Totals of an extracting walk for the console's progress line: the entries
// the pattern selects and the bytes of their data.
#include "memory.h"
#include "progress.h"
#include "sortmap.h"
#include "strutil.h"
#include "zip.h"
#include "zipint.h"

namespace {

constexpr uint16_t zipExtraZip64 = 0x0001;

// The uncompressed size of an entry, taken from its ZIP64 extra block when
// the central directory's field is saturated. Quiet: the walk reports a
// malformed extra field when it reaches the entry.
uint64_t entrySize(const ZipEntry* e) {
  if (!(e->zip64Fields & 1)) return e->uncompressedSize;
  const uint8_t* d = zipEntryExtra(e);
  for (uint32_t pos = 0; pos + 4 <= e->extraFieldLength;) {
    const uint32_t len = zipLe16(d + pos + 2);
    if (len > e->extraFieldLength - pos - 4) break;
    if (zipLe16(d + pos) == zipExtraZip64 && len >= 8) return zipLe64(d + pos + 4);
    pos += 4 + len;
  }
  return e->uncompressedSize;
}

}  // namespace

void zipProgressBegin(const ZipInfo* info, const char* pattern) {
  const bool negate = pattern && pattern[0] == '!';
  const char* pat = negate ? pattern + 1 : pattern;
  uint64_t entries = 0, bytes = 0;
  for (uint32_t i = 0; info->directory && i < info->directory->count; i++) {
    const ZipEntry* e = static_cast<const ZipEntry*>(info->directory->entries[i].value);
    if (pat) {
      char* name = memStrDupN(zipEntryName(e), e->fileNameLength);
      const bool selected = strMatchWildcard(pat, name, false) != negate;
      memFree(name);
      if (!selected) continue;
    }
    entries++;
    const bool isDir = e->fileNameLength && zipEntryName(e)[e->fileNameLength - 1] == '/';
    if (!isDir && (zipEntryUnixMode(e) & 0xF000) != 0xA000) bytes += entrySize(e);
  }
  progressBegin(entries, bytes);
}
