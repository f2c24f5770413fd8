// Fuzz target: the input is compressed with zlib (settings from its first bytes) and decoded through the inflate
// stream; the output must equal the input exactly, and the stream must continue right after the compressed data. Built
// only where zlib is available.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzzsource.h"
#include "inflate.h"
#include "inflateint.h"

#if __has_include(<zlib.h>)
#include <zlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInitSilently();
  if (size < 3 || size > 65536) return 0;
  static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  const int level = data[0] % 10, strategy = strategies[(data[0] / 10) % 5], windowBits = 9 + data[1] % 7;
  bool zlibFormat = data[1] & 0x80;
  uint32_t readSize = 1u + data[2] * 131u;
  inflateNarrowBits = data[1] & 0x40;  // either direct loop (32-bit hosts take the narrow one)
  const uint8_t* input = data + 3;
  size_t n = size - 3;

  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, zlibFormat ? windowBits : -windowBits, windowBits == 9 ? 1 : 8, strategy) !=
      Z_OK)
    return 0;
  std::vector<uint8_t> compressed(deflateBound(&z, (uLong)n) + 64);
  z.next_in = const_cast<Bytef*>(input), z.avail_in = (uInt)n;
  z.next_out = compressed.data(), z.avail_out = (uInt)compressed.size();
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) __builtin_trap();
  compressed.resize(z.total_out);
  deflateEnd(&z);
  static const uint8_t trailer[4] = {'T', 'A', 'I', 'L'};
  compressed.insert(compressed.end(), trailer, trailer + 4);
  FuzzSource src = {compressed.data(), compressed.size(), 0, 1u + data[2] * 61u};

  IoStream* s = iosNewLevel(&src, &fuzzSourceOps);
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
  uint8_t piece[8];
  for (uint32_t got = 1; got > 0;) {
    if (iosRead(s, piece, sizeof piece, &got) != 0) __builtin_trap();
    tail.insert(tail.end(), piece, piece + got);
  }
  if (tail.size() != 4 || memcmp(tail.data(), trailer, 4) != 0) __builtin_trap();
  iosClose(s);
  return 0;
}

#else
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
#endif
