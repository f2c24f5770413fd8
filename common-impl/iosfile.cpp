// Writing a whole block to a named file through a file stream. Kept apart
// from the stream core so that only its users pull in the file layer.
#include "iostream.h"
#include "osfile.h"

int iosWriteFile(const char* name, uint32_t mode, const void* data, uint32_t len) {
  IoStream* stream = osFileOpen(name, mode, osFileTypePlain, nullptr, false, false);
  if (!stream) return -1;
  uint32_t n = 0;
  int r = iosWrite(stream, data, len, &n);
  if (iosClose(stream) != 0) r = -1;
  return r == 0 && n == len ? 0 : -1;
}
