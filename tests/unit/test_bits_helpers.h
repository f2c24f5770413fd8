// The test-support basics every format suite shares: one deflate-order bit
// writer and one bitwise CRC-32, both independent of the library's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testbits {

// Deflate bit order: values least significant bit first; Huffman codes most
// significant bit first. Also the order the buffered bit reader takes.
struct BitWriter {
  std::string out;
  uint64_t acc = 0;
  uint32_t n = 0;
  // Appends the low `bits` bits of `value` (at most 32).
  void put(uint32_t value, uint32_t bits) {
    acc |= ((uint64_t)value & ((1ull << bits) - 1)) << n;
    n += bits;
    while (n >= 8) {
      out.push_back((char)(acc & 0xFF));
      acc >>= 8;
      n -= 8;
    }
  }
  // Appends a Huffman code of `len` bits, most significant bit first.
  void putCode(uint32_t code, uint32_t len) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < len; i++) r |= ((code >> i) & 1) << (len - 1 - i);
    put(r, len);
  }
  // Pads with zero bits to the next byte.
  void align() {
    if (n > 0) put(0, 8 - n);
  }
  std::string finish() {
    align();
    return out;
  }
};

// CRC-32 one bit at a time, straight from the polynomial.
inline uint32_t crcBitwise(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

}  // namespace testbits
