// Differential test of the inflate stream against the host's zlib (built only where it exists): whatever flush points
// the encoder made, the stream must give the original data, read whole, one byte per read and in random chunks.
#if __has_include(<zlib.h>)
#include <gtest/gtest.h>
#include <zlib.h>

#include "test_inflate_helpers.h"

using namespace inflatetest;

namespace {

// Raw deflate of `data` by zlib at level 6 with a flush of kind `flushKind` every `flushEvery` bytes.
std::string zlibCompress(const std::string& data, size_t flushEvery, int flushKind) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out;
  std::vector<unsigned char> buf(1 << 16);
  size_t pos = 0;
  for (int flush = Z_NO_FLUSH; flush != Z_FINISH;) {
    const size_t n = std::min(flushEvery, data.size() - pos);
    z.next_in = (Bytef*)(data.data() + pos), z.avail_in = (uInt)n;
    flush = (pos += n) == data.size() ? Z_FINISH : flushKind;
    int r;
    do {
      z.next_out = buf.data(), z.avail_out = (uInt)buf.size();
      r = deflate(&z, flush);
      out.append((char*)buf.data(), buf.size() - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
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

void expectDecodes(const std::string& compressed, const std::string& data, const std::string& what, bool oneByte) {
  for (ReadMode mode : {readWhole, readRandomChunks, readOneByte}) {
    if (mode == readOneByte && !oneByte) continue;
    Decoded d = decodeStack(compressed, INFLATE_FORMAT_RAW, mode, (uint32_t)data.size(), "TRAILER",
                            mode == readWhole ? 0 : 1000);
    ASSERT_EQ(std::tuple(d.failed, d.out.size(), d.out == data, d.endFlag, d.after),
              std::tuple(false, data.size(), true, 1, "TRAILER"))
        << what << " mode " << mode;
  }
}

}  // namespace

// Flush points make empty stored and fixed blocks that are not the last, which our own encoder never writes.
TEST(InflateZlib, FlushPointsMakeEmptyAndNonFinalBlocks) {
  std::string data = mixedData(200000, 3);
  for (int kind : {Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK})
    for (size_t every : {1u, 7u, 1000u, 33000u})
      expectDecodes(zlibCompress(data.substr(0, every == 1 ? 3000 : data.size()), every, kind),
                    data.substr(0, every == 1 ? 3000 : data.size()),
                    "flush " + std::to_string(kind) + " every " + std::to_string(every), every >= 1000 && every < 5000);
}

#endif
