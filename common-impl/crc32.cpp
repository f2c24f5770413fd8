// CRC-32 by table slicing: sixteen 256-entry tables, built at compile time,
// let one round fold sixteen bytes with sixteen independent lookups. Single
// bytes run until the pointer is 4-byte aligned, then 16-byte rounds, then
// 4-byte words, then the remaining bytes. On x86 processors with carry-less
// multiplication, runs of 64 bytes or more are folded 64 bytes at a time
// instead (polynomial folding with a Barrett reduction) and the table method
// finishes the tail. Every path gives the bytewise reference result.
#include "crc32.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CRC_HAVE_CLMUL 1
#endif

namespace {

constexpr uint32_t crcPolynomial = 0xEDB88320u;
constexpr int crcSlices = 16;

struct CrcTables {
  uint32_t t[crcSlices][256];
};

// t[0] is the classic bytewise table; t[k][b] is the CRC of byte b followed
// by k zero bytes, so a word of k+1 bytes folds with one lookup per byte.
constexpr CrcTables crcMakeTables() {
  CrcTables tables{};
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t c = b;
    for (int i = 0; i < 8; i++) c = (c & 1) ? (c >> 1) ^ crcPolynomial : c >> 1;
    tables.t[0][b] = c;
  }
  for (int k = 1; k < crcSlices; k++)
    for (uint32_t b = 0; b < 256; b++) {
      uint32_t prev = tables.t[k - 1][b];
      tables.t[k][b] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
    }
  return tables;
}

constexpr CrcTables crcTables = crcMakeTables();
static_assert(crcTables.t[0][1] == 0x77073096u, "bytewise table entry 1");
static_assert(crcTables.t[0][255] == 0x2D02EF8Du, "bytewise table entry 255");

// Little-endian 32-bit load that tolerates any alignment.
inline uint32_t crcLoad32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

#if CRC_HAVE_CLMUL
// Folds `len` bytes (a multiple of 16, at least 64) into the CRC register
// `crc` (the uncomplemented value) with PCLMULQDQ; returns the new register.
// Constants: x^(4*128+32), x^(4*128-32), x^(128+32), x^(128-32) and x^64 mod
// P, then P and floor(x^64 / P), all bit-reflected.
__attribute__((target("pclmul,sse4.1"))) uint32_t crcFoldClmul(const uint8_t* buf, uint32_t len, uint32_t crc) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf));
  __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 16));
  __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 32));
  __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 48));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128((int)crc));
  buf += 64;
  len -= 64;
  while (len >= 64) {
    __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
    __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
    __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
    __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf)));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 16)));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 32)));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 48)));
    buf += 64;
    len -= 64;
  }
  // Four lanes into one.
  __m128i x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
  x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x11), x2), x5);
  x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
  x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x11), x3), x5);
  x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
  x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x11), x4), x5);
  while (len >= 16) {
    x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf))), x5);
    buf += 16;
    len -= 16;
  }
  // 128 bits to 64, then the Barrett reduction to 32.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5k0, 0x00), x2);
  x2 = _mm_and_si128(x1, mask32);
  x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
  x2 = _mm_and_si128(x2, mask32);
  x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return (uint32_t)_mm_extract_epi32(x1, 1);
}

bool crcDetectClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

}  // namespace

void crc32Update(uint32_t* crc, const void* data, uint32_t length) {
  const auto& t = crcTables.t;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~*crc;
#if CRC_HAVE_CLMUL
  static const bool useClmul = crcDetectClmul();
  if (useClmul && length >= 64) {
    uint32_t n = length & ~15u;
    c = crcFoldClmul(p, n, c);
    p += n;
    length -= n;
  }
#endif
  while (length > 0 && ((uintptr_t)p & 3) != 0) {
    c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    length--;
  }
  while (length >= 16) {
    uint32_t w0 = crcLoad32(p) ^ c;
    uint32_t w1 = crcLoad32(p + 4);
    uint32_t w2 = crcLoad32(p + 8);
    uint32_t w3 = crcLoad32(p + 12);
    c = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^ t[11][w1 & 0xFF] ^
        t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^ t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^
        t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^ t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^
        t[0][w3 >> 24];
    p += 16;
    length -= 16;
  }
  while (length >= 4) {
    uint32_t w = crcLoad32(p) ^ c;
    c = t[3][w & 0xFF] ^ t[2][(w >> 8) & 0xFF] ^ t[1][(w >> 16) & 0xFF] ^ t[0][w >> 24];
    p += 4;
    length -= 4;
  }
  while (length > 0) {
    c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    length--;
  }
  *crc = ~c;
}
