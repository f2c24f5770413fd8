// CRC-32 against a bitwise reference over every alignment and length the sliced loops distinguish, and chaining
// across calls.
#include <gtest/gtest.h>

#include <vector>

#include "crc32.h"
#include "test_bits_helpers.h"

namespace {

// The CRC of `length` bytes, fed as the first `split` bytes and the rest.
uint32_t crcOf(const void* data, uint32_t length, uint32_t split = 0) {
  uint32_t crc = 0;
  crc32Update(&crc, data, split);
  crc32Update(&crc, static_cast<const uint8_t*>(data) + split, length - split);
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

TEST(Crc32, MatchesBitwiseAtEveryAlignmentAndLength) {
  std::vector<uint8_t> data = pseudoRandom(300, 7);
  for (size_t offset = 0; offset < 8; offset++)
    for (size_t len = 0; len + offset <= data.size(); len += (len < 70 ? 1 : 13)) {
      uint32_t want = testbits::crcBitwise(data.data() + offset, len);
      ASSERT_EQ(crcOf(data.data() + offset, (uint32_t)len), want) << "offset " << offset << " length " << len;
      ASSERT_EQ(crcOf(data.data() + offset, (uint32_t)len, (uint32_t)len / 3), want) << "split, length " << len;
    }
}
