// PE header parsing and patching for installer builds.
#include "pefile.h"

#include <cstdio>

namespace {

uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
void put32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

constexpr uint32_t securityDirectoryIndex = 4;

}  // namespace

int peParse(const uint8_t* data, size_t size, PeInfo* info, char* error) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') {
    snprintf(error, 200, "not a Windows executable (no MZ header)");
    return -1;
  }
  uint32_t pe = le32(data + 0x3C);
  if ((uint64_t)pe + 24 > size || data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] || data[pe + 3]) {
    snprintf(error, 200, "not a Windows executable (no PE header)");
    return -1;
  }
  uint32_t opt = pe + 24;
  uint16_t optSize = le16(data + pe + 20);
  if ((uint64_t)opt + optSize > size || optSize < 2) {
    snprintf(error, 200, "truncated optional header");
    return -1;
  }
  uint16_t magic = le16(data + opt);
  uint32_t dirs, countField;
  if (magic == 0x10B) {
    dirs = opt + 96;
    countField = opt + 92;
  } else if (magic == 0x20B) {
    dirs = opt + 112;
    countField = opt + 108;
  } else {
    snprintf(error, 200, "unknown optional header magic 0x%x", magic);
    return -1;
  }
  if (countField + 4 > opt + optSize || le32(data + countField) <= securityDirectoryIndex ||
      dirs + 8 * (securityDirectoryIndex + 1) > opt + optSize) {
    snprintf(error, 200, "no certificate table directory entry");
    return -1;
  }
  info->checksumOffset = opt + 64;
  info->securityEntry = dirs + 8 * securityDirectoryIndex;
  info->certOffset = le32(data + info->securityEntry);
  info->certSize = le32(data + info->securityEntry + 4);
  if (info->certSize == 0) {
    info->certOffset = 0;
    return 0;
  }
  if ((uint64_t)info->certOffset + info->certSize != size) {
    snprintf(error, 200, "the certificate table (%u bytes at %u) does not end the file (%zu bytes)", info->certSize,
             info->certOffset, size);
    return -1;
  }
  if (info->certOffset % 8) {
    snprintf(error, 200, "the certificate table is not 8-byte aligned");
    return -1;
  }
  return 0;
}

uint32_t pePaddingFor(const PeInfo* info, uint64_t archiveSize) {
  if (!info->certSize) return 0;
  return (uint32_t)((8 - (info->certSize + archiveSize) % 8) % 8);
}

// The table and its last entry both grow over the appended bytes: verifiers
// require the entries' lengths to add up to the table's size, and the
// signature blob's DER length still says where the signature itself ends.
int peExtendCertificateTable(uint8_t* data, const PeInfo* info, uint64_t extra) {
  uint64_t size = (uint64_t)info->certSize + extra;
  if (size > 0xFFFFFFFFu) return -1;
  uint32_t last = info->certOffset, pos = info->certOffset;
  const uint32_t end = info->certOffset + info->certSize;
  while (pos + 8 <= end) {
    uint32_t length = le32(data + pos);
    if (length < 8) return -1;
    last = pos;
    pos += (length + 7) & ~7u;
  }
  if (pos != end) return -1;
  put32(data + last, (uint32_t)(end + extra - last));
  put32(data + info->securityEntry + 4, (uint32_t)size);
  return 0;
}

void peChecksumInit(PeChecksum* c, uint32_t checksumOffset) {
  c->sum = 0;
  c->length = 0;
  c->skipOffset = checksumOffset;
  c->pendingByte = -1;
}

// Sums the file as little-endian 16-bit words with the CheckSum field taken
// as zero; carries are folded at the end.
void peChecksumUpdate(PeChecksum* c, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; i++) {
    uint64_t pos = c->length++;
    uint8_t b = (pos >= c->skipOffset && pos < (uint64_t)c->skipOffset + 4) ? 0 : data[i];
    if (c->pendingByte < 0) {
      c->pendingByte = b;
    } else {
      c->sum += (uint32_t)c->pendingByte | (uint32_t)b << 8;
      c->pendingByte = -1;
      c->sum = (c->sum & 0xFFFF) + (c->sum >> 16);
    }
  }
}

uint32_t peChecksumFinal(PeChecksum* c) {
  if (c->pendingByte >= 0) c->sum += (uint32_t)c->pendingByte;
  uint64_t s = (c->sum & 0xFFFF) + (c->sum >> 16);
  s = (s & 0xFFFF) + (s >> 16);
  return (uint32_t)(s + c->length);
}

void peSetChecksum(uint8_t* data, const PeInfo* info, uint32_t value) { put32(data + info->checksumOffset, value); }
