// Whole-buffer raw deflate over libdeflate or zlib (see deflater.h).
#include "deflater.h"

#include <cstdio>

#include "memory.h"

#if defined(SFX_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#elif defined(SFX_HAVE_ZLIB)
#include <zlib.h>
#else
#error "mksfx needs libdeflate or zlib"
#endif

#if defined(SFX_HAVE_LIBDEFLATE)

struct Deflater {
  libdeflate_compressor* compressor;  // owned
};

Deflater* deflaterCreate(int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) {
    fprintf(stderr, "mksfx: cannot set up the compressor at level %d\n", level);
    return nullptr;
  }
  Deflater* d = memNew(Deflater);
  d->compressor = c;
  return d;
}

size_t deflaterBound(Deflater* d, size_t size) { return libdeflate_deflate_compress_bound(d->compressor, size); }

size_t deflaterCompress(Deflater* d, const uint8_t* in, size_t size, uint8_t* out, size_t capacity) {
  return libdeflate_deflate_compress(d->compressor, in, size, out, capacity);
}

void deflaterFree(Deflater* d) {
  if (!d) return;
  libdeflate_free_compressor(d->compressor);
  memFree(d);
}

#else

// zlib keeps one stream, reset for every buffer. Levels above 9 keep zlib's
// level 9 parameters and search longer hash chains.
struct Deflater {
  z_stream stream;  // raw deflate (negative window bits), memLevel 9
  int level;        // 1..12
};

namespace {

// Longer chains for the levels above zlib's own; a reset forgets them, so
// this follows every reset.
int tuneAboveNine(Deflater* d) {
  return d->level > 9 ? deflateTune(&d->stream, 32, 258, 258, 4096 << (d->level - 9)) : Z_OK;
}

}  // namespace

Deflater* deflaterCreate(int level) {
  Deflater* d = memNew(Deflater);
  d->level = level;
  int rc = deflateInit2(&d->stream, level > 9 ? 9 : level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) {
    fprintf(stderr, "mksfx: cannot set up the compressor at level %d (zlib %d)\n", level, rc);
    deflateEnd(&d->stream);  // safe on a stream whose set-up failed
    memFree(d);
    return nullptr;
  }
  return d;
}

size_t deflaterBound(Deflater* d, size_t size) { return deflateBound(&d->stream, (uLong)size); }

size_t deflaterCompress(Deflater* d, const uint8_t* in, size_t size, uint8_t* out, size_t capacity) {
  // Callers keep inputs below 4 GiB, so one call moves everything.
  if (size > 0xFFFFFFFFu || capacity > 0xFFFFFFFFu) return 0;
  if (deflateReset(&d->stream) != Z_OK || tuneAboveNine(d) != Z_OK) return 0;
  d->stream.next_in = const_cast<Bytef*>(in);
  d->stream.avail_in = (uInt)size;
  d->stream.next_out = out;
  d->stream.avail_out = (uInt)capacity;
  if (deflate(&d->stream, Z_FINISH) != Z_STREAM_END) return 0;
  return (size_t)d->stream.total_out;
}

void deflaterFree(Deflater* d) {
  if (!d) return;
  deflateEnd(&d->stream);
  memFree(d);
}

#endif
