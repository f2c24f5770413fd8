// Raw deflate (ZIP method 8) of whole buffers for the installer builder, over
// whichever library the build links: libdeflate natively, zlib in the
// Windows builds.
#pragma once

#include "compiler.h"

struct Deflater;

// Levels: 1 is the fastest, 12 the smallest output, 9 the default, in every
// build. libdeflate has all twelve; with zlib, 1 to 9 are zlib's levels and
// 10 to 12 are level 9 with ever longer match searches.
enum : int { deflaterMinLevel = 1, deflaterMaxLevel = 12, deflaterDefaultLevel = 9 };

// A compressor for `level`, or null (with a message on stderr).
Deflater* deflaterCreate(int level);
// The largest output deflaterCompress can give for `size` input bytes.
size_t deflaterBound(Deflater* d, size_t size);
// Compresses `size` bytes of `in` into `out` (`capacity` bytes); the output
// size, or 0 when it did not fit or the library failed.
size_t deflaterCompress(Deflater* d, const uint8_t* in, size_t size, uint8_t* out, size_t capacity);
// Releases the compressor; accepts null.
void deflaterFree(Deflater* d);
