// The payload digest block and its check.
#include "sfxdigest.h"

#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osfile.h"
#include "sha256.h"
#include "zip.h"

// The block as it sits in the image: marker, then the digest. Volatile, so
// that the compiler reads the bytes the builder wrote, not the zeros it saw.
extern "C" {
extern volatile const uint8_t sfxPayloadDigestBlock[64];
volatile const uint8_t sfxPayloadDigestBlock[64] = {
    0x89, 'S', 'F', 'X', '-', 'P', 'A', 'Y', 'L', 'O',  'A',  'D',  '-',  'S',  'H',  'A',
    '2',  '5', '6', '-', 'B', 'L', 'O', 'C', 'K', 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x01, 0x7E,
};
}
static_assert(sizeof sfxDigestMarker == 32);

bool sfxDigestPresent() {
  for (int i = 32; i < 64; i++)
    if (sfxPayloadDigestBlock[i]) return true;
  return false;
}

int sfxDigestStream(IoStream* in, uint64_t start, uint8_t digest[32], uint64_t* total) {
  Sha256 ctx;
  sha256Init(&ctx);
  const uint32_t chunk = 256 * 1024;
  uint8_t* buf = static_cast<uint8_t*>(memAlloc(chunk));
  int rc = iosSeek(in, start);
  uint64_t count = 0;
  while (rc == 0) {
    uint32_t got = 0;
    rc = iosRead(in, buf, chunk, &got);
    if (rc != 0 || got == 0) break;
    sha256Update(&ctx, buf, got);
    count += got;
  }
  memFree(buf);
  sha256Final(&ctx, digest);
  if (total) *total = count;
  return rc;
}

int sfxDigestFileTail(const char* path, uint64_t start, uint8_t digest[32], uint64_t* total) {
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypeArchive, nullptr, false, false);
  if (!in) return -1;
  const int rc = sfxDigestStream(in, start, digest, total);
  iosClose(in);
  return rc;
}

int sfxCheckPayload(ZipInfo* zip, const char* exePath, const uint8_t expected[32]) {
  uint8_t digest[32];
  uint64_t total = 0;
  // Through the open that the extraction reads: a file swapped in by path
  // after the archive was opened is never what gets checked.
  if (sfxDigestStream(zip->stream, zip->prefix, digest, &total) != 0) {
    logFatal(logCatSfx, "Cannot read the installer payload of %s\n", exePath);
    return -1;
  }
  if (memcmp(digest, expected, sizeof digest) != 0) {
    logFatal(logCatSfx,
             "The installer payload of %s (%" PRIu64 " bytes from offset %" PRIu64
             ") does not match the digest signed into the installer; refusing to extract anything\n",
             exePath, total, zip->prefix);
    return -1;
  }
  logDebug(logCatSfx, "Installer payload matches its signed digest (%" PRIu64 " bytes)\n", total);
  return 0;
}

int sfxVerifyPayload(ZipInfo* zip, const char* exePath) {
  if (!sfxDigestPresent()) return 0;
  uint8_t expected[32];
  for (int i = 0; i < 32; i++) expected[i] = sfxPayloadDigestBlock[32 + i];
  return sfxCheckPayload(zip, exePath, expected);
}
