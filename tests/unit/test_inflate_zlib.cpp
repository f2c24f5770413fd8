// Differential tests of the inflate stream against zlib and other deflate
// encoders (zopfli, libdeflate, 7-Zip) on the build host: whatever the
// encoder chose (block types, trees, flush points, window sizes), the bytes
// read through the stream must be the original data, whole, one byte per
// read and in random chunks. Built only where zlib is available.
#if __has_include(<zlib.h>)
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "crc32.h"
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

// Offset of the deflate data inside a gzip member (RFC 1952 header).
size_t gzipBodyOffset(const std::string& gz) {
  if (gz.size() < 18 || (uint8_t)gz[0] != 0x1F || (uint8_t)gz[1] != 0x8B || gz[2] != 8) return 0;
  uint8_t flags = (uint8_t)gz[3];
  size_t pos = 10;
  if (flags & 4) pos += 2 + ((uint8_t)gz[pos] | (uint8_t)gz[pos + 1] << 8);
  if (flags & 8) pos = gz.find('\0', pos) + 1;
  if (flags & 16) pos = gz.find('\0', pos) + 1;
  if (flags & 2) pos += 2;
  return pos;
}

bool haveTool(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
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

TEST(InflateZlib, SizesAndKinds) {
  const size_t sizes[] = {0, 1, 2, 3, 100, 258, 1000, 32767, 32768, 32769, 65536 + 7, 300000, 600000};
  for (int dk = 0; dk < dataKindCount; dk++)
    for (size_t n : sizes) {
      std::string data = sampleData((DataKind)dk, n, (uint32_t)(n + dk));
      std::string what = "kind " + std::to_string(dk) + " size " + std::to_string(n);
      expectDecodes(zlibCompress(data, 6, Z_DEFAULT_STRATEGY, -15), data, INFLATE_FORMAT_RAW, what, n <= 40000);
      expectDecodes(zlibCompress(data, 9, Z_DEFAULT_STRATEGY, 15), data,
                    n % 2 ? INFLATE_FORMAT_ZLIB : INFLATE_FORMAT_ZLIB_STRICT, what + " zlib", false);
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

TEST(InflateZlib, OtherEncodersViaGzip) {
  const std::filesystem::path dir = testFreshDir("inflate");
  const struct {
    const char* name;
    const char* command;  // compresses "in" into "in.gz"
  } tools[] = {
      {"zopfli", "zopfli --i5 -c in > in.gz"},
      {"libdeflate-gzip", "libdeflate-gzip -12 -c in > in.gz"},
      {"libdeflate-gzip", "libdeflate-gzip -1 -c in > in.gz"},
      {"7zz", "7zz a -tgzip -mx=9 in.gz in >/dev/null"},
      {"7zz", "7zz a -tgzip -mx=1 in.gz in >/dev/null"},
  };
  int ran = 0;
  for (const auto& t : tools) {
    if (!haveTool(t.name)) continue;
    for (size_t n : {0u, 1u, 5000u, 70000u, 400000u}) {
      if (n > 70000 && strcmp(t.name, "zopfli") == 0) continue;  // slow encoder
      std::string data = mixedData(n, (uint32_t)n + 17);
      std::filesystem::remove(dir / "in.gz");
      std::ofstream(dir / "in", std::ios::binary).write(data.data(), (std::streamsize)data.size());
      std::string cmd = "cd '" + dir.string() + "' && " + t.command;
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
      std::ifstream in(dir / "in.gz", std::ios::binary);
      const std::string gz((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      size_t body = gzipBodyOffset(gz);
      ASSERT_GT(body, 0u) << t.command;
      std::string what = std::string(t.command) + " size " + std::to_string(n);
      Decoded d = decodeStack(gz.substr(body), INFLATE_FORMAT_RAW, readRandomChunks, (uint32_t)n);
      ASSERT_TRUE(d.out == data) << what;
      ASSERT_EQ(d.endFlag, 1) << what;
      // The stream continues at the gzip trailer: CRC-32 and size of the data.
      ASSERT_EQ(d.after.size(), 8u) << what;
      uint32_t crc = 0;
      crc32Update(&crc, data.data(), (uint32_t)data.size());
      EXPECT_EQ(d.after.substr(0, 4), std::string(reinterpret_cast<const char*>(&crc), 4)) << what;  // little-endian
      if (n <= 5000) expectDecodes(gz.substr(body, gz.size() - body - 8), data, INFLATE_FORMAT_RAW, what, true);
      ran++;
    }
  }
  if (ran == 0) GTEST_SKIP() << "no other deflate encoder installed";
  std::filesystem::remove_all(dir);
}

#endif
