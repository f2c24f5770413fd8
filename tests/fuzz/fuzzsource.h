// Shared by the inflate fuzz targets: a source level that hands out the fuzz input in reads of at most `maxRead` bytes,
// and the one-time set-up with logging silenced.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"

struct FuzzSource {
  const uint8_t* data;
  size_t size;
  size_t pos;
  uint32_t maxRead;  // bytes per read at most
};

inline int fuzzSourceRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  FuzzSource* s = static_cast<FuzzSource*>(level->state);
  const size_t n = std::min({s->size - s->pos, (size_t)len, (size_t)s->maxRead});
  memcpy(buf, s->data + s->pos, n);
  s->pos += n;
  *got = (uint32_t)n;
  return 0;
}

inline const IoStreamOps fuzzSourceOps = {.name = "FuzzSource", .read = fuzzSourceRead};

inline void fuzzInitSilently() {
  static int calls = 0;
  if (calls++) return;
  memInit();
  for (uint32_t c = 0; c < logCatCount; c++) logLevels[c] = logLevelNone;
}
