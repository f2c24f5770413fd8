// CRC-32: published check values, a bitwise reference over every alignment
// and length the sliced loops distinguish, and chaining across calls.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crc32.h"
#include "test_bits_helpers.h"

namespace {

uint32_t crcOf(const void* data, uint32_t length) {
  uint32_t crc = 0;
  crc32Update(&crc, data, length);
  return crc;
}

std::vector<uint8_t> pseudoRandom(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    v[i] = (uint8_t)(seed >> 16);
  }
  return v;
}

}  // namespace

TEST(Crc32, KnownValues) {
  EXPECT_EQ(crcOf("123456789", 9), 0xCBF43926u);
  const char* fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crcOf(fox, (uint32_t)strlen(fox)), 0x414FA339u);
}

TEST(Crc32, MatchesBitwiseAtEveryAlignmentAndLength) {
  std::vector<uint8_t> data = pseudoRandom(300, 7);
  for (size_t offset = 0; offset < 8; offset++)
    for (size_t len = 0; len + offset <= data.size(); len += (len < 70 ? 1 : 13))
      ASSERT_EQ(crcOf(data.data() + offset, (uint32_t)len), testbits::crcBitwise(data.data() + offset, len))
          << "offset " << offset << " length " << len;
}

TEST(Crc32, ChainedUpdatesEqualOneUpdate) {
  std::vector<uint8_t> data = pseudoRandom(5000, 99);
  uint32_t whole = crcOf(data.data(), (uint32_t)data.size());
  EXPECT_EQ(whole, testbits::crcBitwise(data.data(), data.size()));
  for (size_t split = 0; split <= data.size(); split += 37) {
    uint32_t crc = 0;
    crc32Update(&crc, data.data(), (uint32_t)split);
    crc32Update(&crc, data.data() + split, (uint32_t)(data.size() - split));
    ASSERT_EQ(crc, whole) << "split " << split;
  }
  // Many small irregular pieces, empty ones included.
  uint32_t crc = 0;
  size_t pos = 0, step = 0;
  while (pos < data.size()) {
    size_t n = std::min(data.size() - pos, (step * 7) % 23);
    crc32Update(&crc, data.data() + pos, (uint32_t)n);
    pos += n;
    step++;
  }
  EXPECT_EQ(crc, whole);
}
