// mksfx: builds an installer from the stub and a directory or a ZIP file,
// keeping an Authenticode signature of the stub valid, and optionally ties
// the payload to the signature through the stub's digest block.
#include "mksfx.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "iostream.h"
#include "memory.h"
#include "mksfxcrc.h"
#include "mksfxverify.h"
#include "osenv.h"
#include "osfile.h"
#include "payloadcheck.h"
#include "pefile.h"
#include "sfxdigest.h"
#include "sha256.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"
#include "zip.h"
#include "zipint.h"
#include "zipwriter.h"

namespace {

const char usageText[] =
    "usage: mksfx --stub STUB (--dir DIR | --zip ARCHIVE) -o INSTALLER [options]\n"
    "       mksfx --verify INSTALLER\n"
    "\n"
    "  --stub FILE      the self-extractor executable (sfx.exe, or sfx on POSIX)\n"
    "  --dir DIR        pack this directory (top directory named after the build,\n"
    "                   register.properties at its root)\n"
    "  --zip FILE       append this existing ZIP archive (made by any tool)\n"
    "  -o FILE          the installer to write\n"
    "  --digest         write the archive's SHA-256 into the stub's digest block;\n"
    "                   do this before signing the stub\n"
    "  --stub-only      write only the (digest-carrying) stub to -o, for signing\n"
    "  --zip-out FILE   also keep the archive built from --dir in FILE\n"
    "  --store          store entries instead of deflating them\n"
    "  --level N        deflate level 1 (fastest) .. 12 (smallest), default 9\n"
    "  --force          pack a tree with names only POSIX systems take, several\n"
    "                   installer scripts or no build directory with etc/branch;\n"
    "                   an archive given with --zip that holds several scripts;\n"
    "                   an installer script the stub's system does not run\n"
    "  --verify FILE    open FILE the way the stub does, list its archive and\n"
    "                   check every entry's CRC-32\n"
    "  --verbose        list what is packed\n"
    "\n"
    "With SOURCE_DATE_EPOCH set (seconds since 1970), no entry of --dir is\n"
    "dated later than it, and the same tree gives the same installer.\n";

struct Options {
  const char* stub = nullptr;
  const char* dir = nullptr;
  const char* zip = nullptr;
  const char* out = nullptr;
  const char* zipOut = nullptr;
  const char* verify = nullptr;
  bool digest = false;
  bool stubOnly = false;
  bool store = false;
  bool verbose = false;
  bool force = false;
  int level = 9;
};

int fail(const char* fmt, const char* arg = "") {
  fprintf(stderr, "mksfx: ");
  fprintf(stderr, fmt, arg);
  fprintf(stderr, "\n");
  return 2;
}

// Reads a whole (small) file into a vector.
int readFile(const char* path, std::vector<uint8_t>* out) {
  uint64_t size = 0;
  if (osFileGetSize(path, &size) != 0) return -1;
  if (size > 0x7FFFFFFF) return -1;
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return -1;
  out->resize(size);
  int rc = size ? iosReadFully(in, out->data(), (uint32_t)size) : 0;
  iosClose(in);
  return rc;
}

// Copies `path` (a large file) into `out` in chunks, feeding the checksum
// and the digest when given.
int copyFileInto(const char* path, IoStream* out, PeChecksum* sum, Sha256* digest) {
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return -1;
  std::vector<uint8_t> buf(1 << 20);
  int rc = 0;
  for (;;) {
    uint32_t got = 0;
    rc = iosRead(in, buf.data(), (uint32_t)buf.size(), &got);
    if (rc != 0 || got == 0) break;
    if (sum) peChecksumUpdate(sum, buf.data(), got);
    if (digest) sha256Update(digest, buf.data(), got);
    if (out && iosWrite(out, buf.data(), got, nullptr) != 0) {
      rc = -1;
      break;
    }
  }
  iosClose(in);
  return rc;
}

// The offset of the digest block's marker in the stub, or -1 when the stub
// has none or more than one.
long findDigestBlock(const std::vector<uint8_t>& stub) {
  long found = -1;
  for (size_t i = 0; i + 64 <= stub.size(); i++) {
    if (stub[i] == sfxDigestMarker[0] && memcmp(&stub[i], sfxDigestMarker, 32) == 0) {
      if (found >= 0) return -2;
      found = (long)i;
    }
  }
  return found;
}

// With `given` (an archive made by another tool), the installer scripts it
// holds, as a tree's are checked; `force` lets several through.
int checkScripts(ZipInfo* info, const char* zip, bool force) {
  std::vector<std::string> names;
  const char* key = nullptr;
  for (void* v = smFirst(info->directory, &key); v; v = smNext(info->directory, &key)) {
    const ZipEntry* e = static_cast<const ZipEntry*>(v);
    names.emplace_back(zipEntryName(e), e->fileNameLength);
  }
  std::vector<PayloadEntry> entries;
  for (const std::string& n : names) entries.push_back(PayloadEntry{n.c_str(), !n.empty() && n.back() == '/'});
  if (payloadCheckScripts(entries.data(), entries.size(), force) == 0) return 0;
  fprintf(stderr, "mksfx: %s is refused\n", zip);
  return 2;
}

// The installer script the stub will run (the last it meets, as --verify
// shows) must be one its system runs: installer.cmd or installer.exe under
// Windows, installer.sh elsewhere. With `force`, a warning.
int checkScriptPlatform(ZipInfo** info, bool windowsStub, bool force) {
  StringBuffer script;
  sbInitHere(&script);
  int rc =
      zipWalk(info, &script, nullptr, zipWalkList, zipQuiet, nullptr) == 0 ? 0 : fail("the archive cannot be listed");
  const char* name = sbGet(&script);
  if (rc == 0 && *name && strEndsWith(name, "installer.sh") == windowsStub) {
    fprintf(stderr, "mksfx: %s%s: is the installer script, which a %s stub does not run (it runs %s)\n",
            force ? "warning: " : "", name, windowsStub ? "Windows" : "POSIX",
            windowsStub ? "installer.cmd or installer.exe" : "installer.sh");
    if (!force) {
      fprintf(stderr, "mksfx: the installer is refused and not written (--force packs it all the same)\n");
      rc = 2;
    }
  }
  sbClean(&script);
  return rc;
}

int checkArchive(const char* zip, uint64_t* size, bool given, bool windowsStub, bool force) {
  if (osFileGetSize(zip, size) != 0) return fail("cannot read %s", zip);
  IoStream* in = osFileOpen(zip, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return fail("cannot open %s", zip);
  uint8_t tail[66000];
  uint32_t n = *size < sizeof tail ? (uint32_t)*size : (uint32_t)sizeof tail;
  int rc = iosSeek(in, *size - n) == 0 ? iosReadFully(in, tail, n) : -1;
  iosClose(in);
  if (rc != 0) return fail("cannot read %s", zip);
  char error[200];
  if (zipCheckProbeTail(tail, n, *size, error) != 0) {
    fprintf(stderr, "mksfx: %s cannot be used: %s\n", zip, error);
    return 2;
  }
  // Every entry name as the installer will judge it.
  ZipInfo* info = nullptr;
  if (zipOpen(&info, zip, false) != 0) return fail("cannot read the directory of %s", zip);
  const int bad = mksfxCheckNames(info, zip, windowsStub);
  int scripts = bad || !given ? 0 : checkScripts(info, zip, force);
  if (!bad && scripts == 0) scripts = checkScriptPlatform(&info, windowsStub, force);
  zipExit(&info);
  if (bad) {
    fprintf(stderr, "mksfx: %s: %d entr%s would not extract; nothing was written\n", zip, bad, bad == 1 ? "y" : "ies");
    return 2;
  }
  return scripts;
}

// SOURCE_DATE_EPOCH, when set: the latest time an entry may carry.
int sourceDateEpoch(bool* set, uint64_t* seconds) {
  const char* v = osGetEnv("SOURCE_DATE_EPOCH");
  *set = v && *v;
  if (!*set) return 0;
  char* end = nullptr;
  unsigned long long n = strtoull(v, &end, 10);
  if (*v < '0' || *v > '9' || *end || n > 0xFFFFFFFFull)
    return fail("SOURCE_DATE_EPOCH must be seconds since 1970 (0 to 4294967295), not \"%s\"", v);
  *seconds = n;
  return 0;
}

int build(const Options& o) {
  std::vector<uint8_t> stub;
  if (readFile(o.stub, &stub) != 0) return fail("cannot read the stub %s", o.stub);
  PeInfo pe{};
  char error[200];
  const bool isPe = stub.size() >= 2 && stub[0] == 'M' && stub[1] == 'Z';
  if (isPe && peParse(stub.data(), stub.size(), &pe, error) != 0) {
    fprintf(stderr, "mksfx: the stub %s cannot be used: %s\n", o.stub, error);
    return 2;
  }

  // The archive: built from the directory into a temporary file, or given.
  std::string tempZip;
  const char* zip = o.zip;
  if (o.dir) {
    tempZip = o.zipOut ? o.zipOut : std::string(o.out) + ".zip.tmp";
    ZipWriterOptions zo{o.store, o.level, o.verbose, o.force, false, 0};
    if (sourceDateEpoch(&zo.clampTime, &zo.latestTime) != 0) return 2;
    uint64_t entries = 0;
    if (zipWriteTree(o.dir, tempZip.c_str(), &zo, &entries) != 0) return 2;
    printf("mksfx: packed %llu entries from %s%s\n", (unsigned long long)entries, o.dir,
           zo.store ? " (stored)" : " (deflated)");
    zip = tempZip.c_str();
  }
  auto cleanup = [&](int rc) {
    if (o.dir && !o.zipOut) osFileDelete(tempZip.c_str());
    return rc;
  };
  uint64_t zipSize = 0;
  if (int rc = checkArchive(zip, &zipSize, o.zip != nullptr, isPe, o.force)) return cleanup(rc);

  Sha256 digestCtx;
  sha256Init(&digestCtx);
  if (copyFileInto(zip, nullptr, nullptr, &digestCtx) != 0) return cleanup(fail("cannot read %s", zip));
  uint8_t digest[32];
  sha256Final(&digestCtx, digest);

  long block = findDigestBlock(stub);
  if (o.digest) {
    if (block == -1) return cleanup(fail("the stub %s has no payload digest block", o.stub));
    if (block == -2) return cleanup(fail("the stub %s has more than one payload digest block", o.stub));
    if (pe.certSize) return cleanup(fail("the stub %s is already signed: write the digest before signing it", o.stub));
    memcpy(&stub[(size_t)block + 32], digest, 32);
  } else if (block >= 0) {
    static const uint8_t zero[32] = {};
    if (memcmp(&stub[(size_t)block + 32], zero, 32) != 0 && memcmp(&stub[(size_t)block + 32], digest, 32) != 0)
      return cleanup(fail("the stub %s carries the digest of another payload", o.stub));
  }

  const uint32_t pad = o.stubOnly ? 0 : pePaddingFor(&pe, zipSize);
  if (!o.stubOnly && pe.certSize && peExtendCertificateTable(stub.data(), &pe, pad + zipSize) != 0)
    return cleanup(fail("the payload is too large for the certificate table of %s", o.stub));

  // The image checksum covers the whole file, archive included.
  PeChecksum sum;
  if (isPe) {
    peSetChecksum(stub.data(), &pe, 0);
    peChecksumInit(&sum, pe.checksumOffset);
    peChecksumUpdate(&sum, stub.data(), stub.size());
    const uint8_t zeros[8] = {};
    if (pad) peChecksumUpdate(&sum, zeros, pad);
    if (!o.stubOnly && copyFileInto(zip, nullptr, &sum, nullptr) != 0) return cleanup(fail("cannot read %s", zip));
    peSetChecksum(stub.data(), &pe, peChecksumFinal(&sum));
  }

  std::string tmpOut = std::string(o.out) + ".tmp";
  IoStream* out = osFileOpen(tmpOut.c_str(), osFileModeWrite, osFileTypePlain, nullptr, false, false);
  if (!out) return cleanup(fail("cannot create %s", tmpOut.c_str()));
  int rc = iosWrite(out, stub.data(), (uint32_t)stub.size(), nullptr);
  const uint8_t zeros[8] = {};
  if (rc == 0 && pad) rc = iosWrite(out, zeros, pad, nullptr);
  if (rc == 0 && !o.stubOnly) rc = copyFileInto(zip, out, nullptr, nullptr);
  if (iosClose(out) != 0) rc = -1;
  if (rc == 0) rc = osFileMove(tmpOut.c_str(), o.out);
  if (rc != 0) {
    osFileDelete(tmpOut.c_str());
    return cleanup(fail("cannot write %s", o.out));
  }
  osFileSetAttributes(o.out, 0100755u << 16);
  if (o.stubOnly)
    printf("mksfx: wrote stub %s with the payload digest; sign it, then append the archive with --zip\n", o.out);
  else
    printf("mksfx: wrote %s (%llu-byte archive%s)\n", o.out, (unsigned long long)zipSize,
           pe.certSize ? ", certificate table extended over it" : "");
  return cleanup(0);
}

}  // namespace

int mksfxRun(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    auto value = [&](const char** slot) {
      if (i + 1 >= argc) return false;
      *slot = argv[++i];
      return true;
    };
    bool ok = true;
    if (strcmp(a, "--stub") == 0)
      ok = value(&o.stub);
    else if (strcmp(a, "--dir") == 0)
      ok = value(&o.dir);
    else if (strcmp(a, "--zip") == 0)
      ok = value(&o.zip);
    else if (strcmp(a, "-o") == 0)
      ok = value(&o.out);
    else if (strcmp(a, "--zip-out") == 0)
      ok = value(&o.zipOut);
    else if (strcmp(a, "--verify") == 0)
      ok = value(&o.verify);
    else if (strcmp(a, "--digest") == 0)
      o.digest = true;
    else if (strcmp(a, "--stub-only") == 0)
      o.stubOnly = true;
    else if (strcmp(a, "--store") == 0)
      o.store = true;
    else if (strcmp(a, "--verbose") == 0)
      o.verbose = true;
    else if (strcmp(a, "--force") == 0)
      o.force = true;
    else if (strcmp(a, "--level") == 0) {
      const char* v = nullptr;
      ok = value(&v);
      char* end = nullptr;
      long n = ok ? strtol(v, &end, 10) : 0;
      if (ok && (end == v || *end || n < 1 || n > 12)) return fail("--level takes 1 to 12, not \"%s\"", v);
      if (ok) o.level = (int)n;
    } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      fputs(usageText, stdout);
      return 0;
    } else {
      fprintf(stderr, "mksfx: unknown option %s\n%s", a, usageText);
      return 2;
    }
    if (!ok) return fail("%s needs a value", a);
  }
  if (o.verify) return mksfxVerify(o.verify);
  if (!o.stub || !o.out || (!o.dir == !o.zip)) {
    fputs(usageText, stderr);
    return 2;
  }
  if (o.zipOut && !o.dir) return fail("--zip-out goes with --dir");
  return build(o);
}
