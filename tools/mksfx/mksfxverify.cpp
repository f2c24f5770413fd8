// mksfx --verify: the stub's own view of an installer.
#include "mksfxverify.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "iostream.h"
#include "logging.h"
#include "mksfxcrc.h"
#include "osfile.h"
#include "sfxdigest.h"
#include "stringbuf.h"
#include "zip.h"

namespace {

// Reads the digest block of the installer's stub part, if any: 1 when a
// filled block was found (digest copied), 0 when none or empty.
int readStubDigest(const char* path, uint64_t stubEnd, uint8_t digest[32]) {
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return 0;
  std::vector<uint8_t> buf(stubEnd);
  int rc = stubEnd ? iosReadFully(in, buf.data(), (uint32_t)stubEnd) : -1;
  iosClose(in);
  if (rc != 0) return 0;
  for (size_t i = 0; i + 64 <= buf.size(); i++) {
    if (buf[i] == sfxDigestMarker[0] && memcmp(&buf[i], sfxDigestMarker, 32) == 0) {
      static const uint8_t zero[32] = {};
      if (memcmp(&buf[i + 32], zero, 32) == 0) return 0;
      memcpy(digest, &buf[i + 32], 32);
      return 1;
    }
  }
  return 0;
}

// True when the installer is a Windows executable ("MZ").
bool isWindowsExecutable(const char* path) {
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  uint8_t magic[2] = {};
  const int rc = in ? iosReadFully(in, magic, sizeof magic) : -1;
  if (in) iosClose(in);
  return rc == 0 && magic[0] == 'M' && magic[1] == 'Z';
}

}  // namespace

int mksfxVerify(const char* installer) {
  // The stub's own call: the probe finds the end record (and its ZIP64
  // records) only at the very end of the file, whatever the stub's size.
  ZipInfo* zip = nullptr;
  if (zipOpen(&zip, installer, true) != 0) {
    fprintf(stderr, "mksfx: %s: the stub would not find an archive (it must end the file, without a comment)\n",
            installer);
    return 2;
  }
  printf("mksfx: %s: archive of %llu entries at offset %llu\n", installer, (unsigned long long)zipCount(zip),
         (unsigned long long)zip->prefix);
  uint32_t saved = logSetCategoryLevel(logCatZip, logLevelInfo);
  StringBuffer script;
  sbInitHere(&script);
  int rc = zipWalk(&zip, &script, nullptr, zipWalkList, zipSummary, nullptr);
  logSetCategoryLevel(logCatZip, saved);
  if (rc == 0)
    printf("mksfx: installer script: %s\n", sbGetLength(&script) ? sbGet(&script) : "(none: everything is unpacked)");
  sbClean(&script);
  int bad =
      rc == 0 ? mksfxCheckNames(zip, installer, isWindowsExecutable(installer)) + mksfxCheckEntries(zip, installer) : 0;
  uint64_t start = zip->prefix;
  zipExit(&zip);
  if (rc != 0) {
    fprintf(stderr, "mksfx: %s: the archive cannot be listed\n", installer);
    return 2;
  }
  if (bad) {
    fprintf(stderr, "mksfx: %s: %d entr%s would not extract\n", installer, bad, bad == 1 ? "y" : "ies");
    return 2;
  }
  printf("mksfx: every entry's CRC-32 matches\n");
  uint8_t want[32];
  if (readStubDigest(installer, start, want)) {
    uint8_t have[32];
    int r = sfxDigestFileTail(installer, start, have, nullptr);
    if (r != 0 || memcmp(have, want, 32) != 0) {
      fprintf(stderr, "mksfx: %s: the archive does not match the payload digest in the stub\n", installer);
      return 2;
    }
    printf("mksfx: payload digest matches\n");
  }
  return 0;
}
