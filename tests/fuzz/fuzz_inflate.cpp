// Fuzz target: arbitrary bytes decoded through the real stream stack (a source level, the buffered level and the
// inflate level) in every format, with read sizes taken from the input. Nothing may crash, leak, read out of bounds or
// produce more than a bounded amount of output per input byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzzsource.h"
#include "inflate.h"
#include "inflateint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInitSilently();
  if (size < 2 || size > 65536) return 0;
  // First byte: format and read pattern; second: source chunk size.
  uint32_t readSize = 1u + ((data[0] >> 2) * 977u) % 70000u;
  FuzzSource src = {data + 2, size - 2, 0, 1u + data[1] * 257u};
  inflateNarrowBits = data[1] & 1;  // either direct loop (32-bit hosts take the narrow one)
  IoStream* s = iosNewLevel(&src, &fuzzSourceOps);
  int end = 0;
  if (inflateWrapInputStream(s, data[0] % 3, (data[0] & 0x80) ? &end : nullptr, false) != 0) __builtin_trap();
  std::vector<uint8_t> buf(readSize);
  uint64_t total = 0;
  // A match of 258 bytes costs at least one bit (a 1-bit length code and a distance code that takes no bits), so 2064
  // bytes per input byte bound any output; invalid input must not loop.
  const uint64_t bound = (uint64_t)size * 2064 + 1024;
  while (s->ops == &inflateInputStreamOps) {
    uint32_t got = 0;
    int r = iosRead(s, buf.data(), readSize, &got);
    total += got;
    if (total > bound) __builtin_trap();
    if (r != 0 || got == 0) break;
  }
  if (s->ops == &inflateInputStreamOps) iosCloseThisLevel(s);
  iosClose(s);
  return 0;
}
