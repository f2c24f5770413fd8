// Fuzz target: the input is compressed with zlib (settings from its first
// bytes) and decoded through the inflate stream; the output must equal the
// input exactly, and the stream must continue right after the compressed
// data. Built only where zlib is available.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "inflate.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"

#if __has_include(<zlib.h>)
#include <zlib.h>

namespace {

struct DiffSource {
  std::vector<uint8_t> data;
  size_t pos;
  uint32_t maxRead;
};

int diffSourceRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  DiffSource* s = static_cast<DiffSource*>(level->state);
  size_t n = s->data.size() - s->pos;
  if (n > len) n = len;
  if (n > s->maxRead) n = s->maxRead;
  memcpy(buf, s->data.data() + s->pos, n);
  s->pos += n;
  *got = (uint32_t)n;
  return 0;
}

const IoStreamOps diffSourceOps = {.name = "DiffSource", .read = diffSourceRead};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialised = false;
  if (!initialised) {
    memInit();
    for (uint32_t c = 0; c < logCatCount; c++) logLevels[c] = logLevelNone;
    initialised = true;
  }
  if (size < 3 || size > 65536) return 0;
  static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  int level = data[0] % 10;
  int strategy = strategies[(data[0] / 10) % 5];
  int windowBits = 9 + data[1] % 7;
  bool zlibFormat = data[1] & 0x80;
  uint32_t readSize = 1u + data[2] * 131u;
  const uint8_t* input = data + 3;
  size_t n = size - 3;

  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, zlibFormat ? windowBits : -windowBits, windowBits == 9 ? 1 : 8, strategy) !=
      Z_OK)
    return 0;
  DiffSource src;
  src.data.resize(deflateBound(&z, (uLong)n) + 64);
  z.next_in = const_cast<Bytef*>(input);
  z.avail_in = (uInt)n;
  z.next_out = src.data.data();
  z.avail_out = (uInt)src.data.size();
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) __builtin_trap();
  src.data.resize(z.total_out);
  deflateEnd(&z);
  static const uint8_t trailer[4] = {'T', 'A', 'I', 'L'};
  src.data.insert(src.data.end(), trailer, trailer + 4);
  src.pos = 0;
  src.maxRead = 1u + data[2] * 61u;

  IoStream* s = iosNewLevel(&src, &diffSourceOps);
  int end = 0;
  if (inflateWrapInputStream(s, zlibFormat ? INFLATE_FORMAT_ZLIB_STRICT : INFLATE_FORMAT_RAW, &end, false) != 0)
    __builtin_trap();
  std::vector<uint8_t> out, buf(readSize);
  while (s->ops == &inflateInputStreamOps) {
    uint32_t got = 0;
    if (iosRead(s, buf.data(), readSize, &got) != 0) __builtin_trap();
    out.insert(out.end(), buf.data(), buf.data() + got);
    if (got == 0) break;
  }
  if (end != 1 || s->ops == &inflateInputStreamOps) __builtin_trap();
  if (out.size() != n || (n && memcmp(out.data(), input, n) != 0)) __builtin_trap();
  // The bytes after the compressed data, possibly in several reads.
  std::vector<uint8_t> tail;
  for (;;) {
    uint8_t piece[8];
    uint32_t got = 0;
    if (iosRead(s, piece, sizeof piece, &got) != 0) __builtin_trap();
    if (got == 0) break;
    tail.insert(tail.end(), piece, piece + got);
  }
  if (tail.size() != 4 || memcmp(tail.data(), trailer, 4) != 0) __builtin_trap();
  iosClose(s);
  return 0;
}

#else
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
#endif
