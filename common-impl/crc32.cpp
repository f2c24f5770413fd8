// CRC-32 by table slicing: sixteen 256-entry tables, built at compile time,
// let one round fold sixteen bytes with sixteen independent lookups. Single
// bytes run until the pointer is 4-byte aligned, then 16-byte rounds, then
// 4-byte words, then the remaining bytes. The result equals the bytewise
// reference for every alignment and length.
#include "crc32.h"

#include <cstring>

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

}  // namespace

void crc32Update(uint32_t* crc, const void* data, uint32_t length) {
  const auto& t = crcTables.t;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~*crc;
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
