// Fuzz target: an archive made of the input bytes is opened, listed and extracted (journalled, so every failed walk is
// rolled back) into a scratch directory (SFX_FUZZ_SCRATCH, else the system's temporary directory).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "stringbuf.h"
#include "zip.h"

namespace {

std::string scratch;

// Writes the bytes to a file; 0 on success.
int writeAll(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return -1;
  const size_t n = fwrite(data, 1, size, f);
  return fclose(f) == 0 && n == size ? 0 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memInit();
  osDateInit();
  const char* env = getenv("SFX_FUZZ_SCRATCH");
  const char* tmp = getenv("TMPDIR");
  scratch = std::string(env && *env ? env : tmp && *tmp ? tmp : "/tmp") + "/fuzz_zip";
  osDirCreate(scratch.c_str(), osDirTypeInherit, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;  // bounds what deflate can expand to
  const std::string archive = scratch + "/input.zip", out = scratch + "/out";
  if (writeAll(archive, data, size) != 0) return 0;
  ZipInfo* zip = nullptr;
  if (zipOpen(&zip, archive.c_str(), false) == 0) {
    StringBuffer installer;
    sbInitHere(&installer);
    zipWalk(&zip, &installer, nullptr, zipWalkList, zipQuiet, nullptr);
    zipWalk(&zip, nullptr, nullptr, zipWalkJournal, zipQuiet, out.c_str());
    zipRollback(&zip);
    sbClean(&installer);
    zipExit(&zip);
  }
  osDirRemoveContents(out.c_str(), false);
  osDirRemove(out.c_str(), nullptr);
  return 0;
}
