// Differential tests of the inflate stream against zlib on the build host:
// whatever the encoder chose (block types, trees, flush points, window
// sizes), the bytes read through the stream must be the original data,
// whole, one byte per read and in random chunks. Built only where zlib is
// available.
#if __has_include(<zlib.h>)
#include <gtest/gtest.h>
#include <zlib.h>

#include "test_inflate_helpers.h"

using namespace inflatetest;

namespace {

// Raw deflate (windowBits < 0) or zlib (> 0) of `data` with the given
// settings; `flushEvery` > 0 inserts a flush of kind `flushKind` every that
// many bytes.
std::string zlibCompress(const std::string& data, int level, int strategy, int windowBits, int memLevel = 8,
                         size_t flushEvery = 0, int flushKind = Z_SYNC_FLUSH) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy), Z_OK);
  std::string out;
  std::vector<unsigned char> buf(1 << 16);
  size_t pos = 0;
  for (;;) {
    size_t n = flushEvery ? std::min(flushEvery, data.size() - pos) : data.size() - pos;
    z.next_in = (Bytef*)(data.data() + pos);
    z.avail_in = (uInt)n;
    pos += n;
    int flush = pos == data.size() ? Z_FINISH : flushKind;
    int r;
    do {
      z.next_out = buf.data();
      z.avail_out = (uInt)buf.size();
      r = deflate(&z, flush);
      out.append((char*)buf.data(), buf.size() - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&z);
  return out;
}

std::string mixedData(size_t n, uint32_t seed) {
  std::string s;
  for (int k = 0; s.size() < n; k++)
    s += sampleData((DataKind)(k % dataKindCount), 1 + (seed * 7919 + k * 104729) % 9000, seed + k);
  s.resize(n);
  return s;
}

void expectDecodes(const std::string& compressed, const std::string& data, int format, const std::string& what,
                   bool oneByte) {
  for (ReadMode mode : {readWhole, readRandomChunks, readOneByte}) {
    if (mode == readOneByte && !oneByte) continue;
    Decoded d = decodeStack(compressed, format, mode, (uint32_t)data.size(), "TRAILER", mode == readWhole ? 0 : 1000);
    ASSERT_FALSE(d.failed) << what << " mode " << mode;
    ASSERT_EQ(d.out.size(), data.size()) << what << " mode " << mode;
    ASSERT_TRUE(d.out == data) << what << " mode " << mode;
    ASSERT_EQ(d.endFlag, 1) << what;
    ASSERT_EQ(d.after, "TRAILER") << what;
  }
}

}  // namespace

// Every level, strategy and window in whole and random reads; some of them
// also one byte per read (on less data).
TEST(InflateZlib, EveryLevelStrategyAndWindow) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  const std::string data = mixedData(120000, 1), small = mixedData(40000, 2);
  for (int level = 0; level <= 9; level++)
    for (int strategy : strategies)
      for (int wbits : {9, 12, 15}) {
        const std::string what = "level " + std::to_string(level) + " strategy " + std::to_string(strategy) +
                                 " window " + std::to_string(wbits);
        expectDecodes(zlibCompress(data, level, strategy, -wbits, wbits == 9 ? 1 : 8), data, INFLATE_FORMAT_RAW, what,
                      false);
        if (wbits == 15 && level % 3 == 0 && strategy != Z_FILTERED)
          expectDecodes(zlibCompress(small, level, strategy, -15), small, INFLATE_FORMAT_RAW, what, true);
      }
}

TEST(InflateZlib, FlushPointsMakeEmptyAndNonFinalBlocks) {
  std::string data = mixedData(200000, 3);
  for (int kind : {Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK})
    for (size_t every : {1u, 7u, 1000u, 33000u})
      expectDecodes(
          zlibCompress(data.substr(0, every == 1 ? 3000 : data.size()), 6, Z_DEFAULT_STRATEGY, -15, 8, every, kind),
          data.substr(0, every == 1 ? 3000 : data.size()), INFLATE_FORMAT_RAW,
          "flush " + std::to_string(kind) + " every " + std::to_string(every), every >= 1000 && every < 5000);
}

#endif
