// Reading and patching the parts of a PE image that an installer build
// touches: the certificate table's directory entry and the image checksum.
// All functions work on the file's bytes in memory.
#pragma once

#include "compiler.h"

// What mksfx needs to know about a stub image.
struct PeInfo {
  uint32_t checksumOffset;  // file offset of the optional header's CheckSum
  uint32_t securityEntry;   // file offset of the certificate table's directory entry
  uint32_t certOffset;      // certificate table file offset (0 when unsigned)
  uint32_t certSize;        // certificate table size (0 when unsigned)
};

// Parses the headers; -1 (with a message in `error`, 200 bytes) for a file
// that is not a PE image or has a certificate table that is not at its end.
int peParse(const uint8_t* data, size_t size, PeInfo* info, char* error);
// Zero bytes to put between a signed stub and an appended archive of
// `archiveSize` bytes so that the extended certificate table stays a
// multiple of 8 bytes long.
uint32_t pePaddingFor(const PeInfo* info, uint64_t archiveSize);
// Extends the certificate table's directory entry by `extra` bytes (the
// padding and the archive behind the table). -1 when the size would overflow.
int peExtendCertificateTable(uint8_t* data, const PeInfo* info, uint64_t extra);
// The PE image checksum of a whole file whose first `headerSize` bytes are
// `head` (the patched headers) and whose remaining bytes are fed through
// peChecksumUpdate; the CheckSum field itself counts as zero.
struct PeChecksum {
  uint64_t sum;         // running 16-bit word sum
  uint64_t length;      // bytes fed so far
  uint32_t skipOffset;  // the CheckSum field's offset
  int pendingByte;      // odd byte waiting for its partner, or -1
};
void peChecksumInit(PeChecksum* c, uint32_t checksumOffset);
void peChecksumUpdate(PeChecksum* c, const uint8_t* data, size_t size);
uint32_t peChecksumFinal(PeChecksum* c);
// Writes `value` into the CheckSum field.
void peSetChecksum(uint8_t* data, const PeInfo* info, uint32_t value);
