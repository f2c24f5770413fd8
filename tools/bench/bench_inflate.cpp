// Inflate and CRC-32 benchmark: decodes every deflated member of a ZIP file
// through the InflateInputStream level (from memory, in reads of the size
// extraction asks for, 256 KiB, or READ_BYTES), through
// zlib (raw inflate, 32 KiB output chunks) and through libdeflate (whole
// buffer), checks every result against the member's CRC-32, and prints MB/s
// of decompressed data and the ratios; then crc32Update against zlib's crc32.
//
// Usage: bench_inflate PAYLOAD.zip [ROUNDS [READ_BYTES] [sfx]]   (make-payload.py
// makes one; "sfx" stops after our decoder, for profiling)
#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "crc32.h"
#include "inflate.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"

namespace {

// Bytes asked of the decoder per read: what extraction asks per chunk, unless
// the command line says otherwise.
uint32_t readSize = 262144;

struct Member {
  const uint8_t* data;  // compressed bytes
  uint32_t compressedSize;
  uint32_t size;  // uncompressed
  uint32_t crc;
};

uint32_t le16(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

// Deflated members from the central directory (no ZIP64, enough for the
// generated payload).
bool listMembers(const std::vector<uint8_t>& zip, std::vector<Member>* members) {
  if (zip.size() < 22) return false;
  size_t eocd = zip.size() - 22;
  while (eocd > 0 && le32(&zip[eocd]) != 0x06054b50) eocd--;
  if (le32(&zip[eocd]) != 0x06054b50) return false;
  uint32_t count = le16(&zip[eocd + 10]);
  size_t pos = le32(&zip[eocd + 16]);
  for (uint32_t i = 0; i < count; i++) {
    if (pos + 46 > zip.size() || le32(&zip[pos]) != 0x02014b50) return false;
    uint32_t method = le16(&zip[pos + 10]);
    uint32_t crc = le32(&zip[pos + 16]), csize = le32(&zip[pos + 20]), usize = le32(&zip[pos + 24]);
    uint32_t nameLen = le16(&zip[pos + 28]), extraLen = le16(&zip[pos + 30]), commentLen = le16(&zip[pos + 32]);
    size_t local = le32(&zip[pos + 42]);
    size_t data = local + 30 + le16(&zip[local + 26]) + le16(&zip[local + 28]);
    if (method == 8 && data + csize <= zip.size()) members->push_back({&zip[data], csize, usize, crc});
    pos += 46 + nameLen + extraLen + commentLen;
  }
  return true;
}

struct MemSource {
  const uint8_t* data;
  uint32_t size;
  uint32_t pos;
};

int memSourceRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  MemSource* s = static_cast<MemSource*>(level->state);
  uint32_t n = s->size - s->pos < len ? s->size - s->pos : len;
  memcpy(buf, s->data + s->pos, n);
  s->pos += n;
  *got = n;
  return 0;
}

const IoStreamOps memSourceOps = {.name = "MemSource", .read = memSourceRead};

// CPU time of this thread: the build machines are shared, and wall time
// would measure the neighbours too.
double now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Each decoder writes member i's output into out (size = member size) and
// returns false on failure.
bool decodeSfx(const Member& m, uint8_t* out) {
  MemSource src = {m.data, m.compressedSize, 0};
  IoStream* s = iosNewLevel(&src, &memSourceOps);
  int end = 0;
  if (inflateWrapInputStream(s, INFLATE_FORMAT_RAW, &end, false) != 0) return false;
  uint32_t have = 0;
  bool ok = true;
  while (s->ops == &inflateInputStreamOps) {
    uint32_t want = m.size - have < readSize ? m.size - have : readSize;
    uint8_t sink[1];
    uint32_t got = 0;
    if (iosRead(s, want ? out + have : sink, want ? want : 1, &got) != 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    have += got;
  }
  if (s->ops == &inflateInputStreamOps) iosCloseThisLevel(s);
  iosClose(s);
  return ok && end == 1 && have == m.size;
}

bool decodeZlib(const Member& m, uint8_t* out) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(m.data);
  z.avail_in = m.compressedSize;
  uint32_t have = 0;
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = out + have;
    uint32_t chunk = m.size - have < 32768 ? m.size - have : 32768;
    z.avail_out = chunk;
    r = inflate(&z, Z_NO_FLUSH);
    have += chunk - z.avail_out;
    if (r == Z_BUF_ERROR && have == m.size) break;
  }
  inflateEnd(&z);
  return (r == Z_STREAM_END || r == Z_BUF_ERROR) && have == m.size;
}

libdeflate_decompressor* ldd;

bool decodeLibdeflate(const Member& m, uint8_t* out) {
  size_t actual = 0;
  return libdeflate_deflate_decompress(ldd, m.data, m.compressedSize, out, m.size, &actual) == LIBDEFLATE_SUCCESS &&
         actual == m.size;
}

// Best time of `rounds` passes over all members; checks every CRC once.
double run(const char* name, bool (*decode)(const Member&, uint8_t*), const std::vector<Member>& members,
           std::vector<uint8_t>& out, int rounds, uint64_t totalOut) {
  double best = 1e30;
  for (int r = 0; r < rounds; r++) {
    double t0 = now();
    for (const Member& m : members)
      if (!decode(m, out.data())) {
        fprintf(stderr, "%s: decode failed\n", name);
        exit(1);
      }
    double t = now() - t0;
    if (t < best) best = t;
  }
  for (const Member& m : members) {
    decode(m, out.data());
    uint32_t crc = 0;
    crc32Update(&crc, out.data(), m.size);
    if (crc != m.crc) {
      fprintf(stderr, "%s: CRC mismatch\n", name);
      exit(1);
    }
  }
  double mbs = totalOut / best / 1e6;
  printf("%-12s %8.1f MB/s  (%.3f s)\n", name, mbs, best);
  return mbs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PAYLOAD.zip [ROUNDS [READ_BYTES] [sfx]]\n", argv[0]);
    return 2;
  }
  memInit();
  for (uint32_t c = 0; c < logCatCount; c++) logLevels[c] = logLevelNone;
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  bool sfxOnly = false;
  for (int i = 3; i < argc; i++) {
    if (strcmp(argv[i], "sfx") == 0)
      sfxOnly = true;
    else if (atoi(argv[i]) > 0)
      readSize = (uint32_t)atoi(argv[i]);
  }
  FILE* f = fopen(argv[1], "rb");
  if (!f) {
    perror(argv[1]);
    return 1;
  }
  std::vector<uint8_t> zip;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) zip.insert(zip.end(), buf, buf + n);
  fclose(f);
  std::vector<Member> members;
  if (!listMembers(zip, &members)) {
    fprintf(stderr, "%s: not a ZIP file this benchmark can read\n", argv[1]);
    return 1;
  }
  uint64_t totalIn = 0, totalOut = 0;
  uint32_t largest = 0;
  for (const Member& m : members) {
    totalIn += m.compressedSize;
    totalOut += m.size;
    if (m.size > largest) largest = m.size;
  }
  printf("%zu deflated members, %.1f MB -> %.1f MB (ratio %.3f), best of %d, sfx reads %u bytes at a time\n",
         members.size(), totalIn / 1e6, totalOut / 1e6, (double)totalIn / (double)totalOut, rounds, readSize);
  std::vector<uint8_t> out(largest + 1);
  ldd = libdeflate_alloc_decompressor();
  double sfx = run("sfx inflate", decodeSfx, members, out, rounds, totalOut);
  if (sfxOnly) return 0;  // profiling our decoder alone
  double zl = run("zlib", decodeZlib, members, out, rounds, totalOut);
  double ld = run("libdeflate", decodeLibdeflate, members, out, rounds, totalOut);
  libdeflate_free_decompressor(ldd);
  printf("sfx/zlib %.2fx   sfx/libdeflate %.2fx\n", sfx / zl, sfx / ld);

  // CRC-32 over 64 MiB of payload bytes.
  std::vector<uint8_t> data(zip.begin(), zip.begin() + (zip.size() < (64u << 20) ? zip.size() : (64u << 20)));
  double bestMine = 1e30, bestZlib = 1e30;
  uint32_t mine = 0;
  uLong ref = 0;
  for (int r = 0; r < rounds + 2; r++) {
    double t0 = now();
    mine = 0;
    crc32Update(&mine, data.data(), (uint32_t)data.size());
    double t1 = now();
    ref = crc32(0, data.data(), (uInt)data.size());
    double t2 = now();
    if (t1 - t0 < bestMine) bestMine = t1 - t0;
    if (t2 - t1 < bestZlib) bestZlib = t2 - t1;
  }
  if (mine != (uint32_t)ref) {
    fprintf(stderr, "crc32Update disagrees with zlib\n");
    return 1;
  }
  printf("crc32Update %8.1f MB/s   zlib crc32 %8.1f MB/s   ratio %.2fx\n", data.size() / bestMine / 1e6,
         data.size() / bestZlib / 1e6, bestZlib / bestMine);
  return 0;
}
