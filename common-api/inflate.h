// Inflate: the deflate decoder (optionally inside the zlib wrapper) as an
// IoStream level named "InflateInputStream".
//
// inflateWrapInputStream pushes the level on top of a readable stream; every
// read of the stream then returns decompressed bytes. When the compressed
// data ends the level removes itself, so the stream continues with the bytes
// that follow the compressed data. The decoder is resumable: a read that runs
// out of input returns what it has (possibly 0 bytes, result 0) and a later
// read continues at the same place. Messages go to common.inflate.
#pragma once

#include "compiler.h"

struct IoStream;
struct IoStreamOps;

// Formats accepted by inflateWrapInputStream.
enum : int {
  INFLATE_FORMAT_ZLIB = 0,         // zlib wrapper; a short final code decodes from the bits held
  INFLATE_FORMAT_RAW = 1,          // raw deflate, no wrapper (ZIP method 8)
  INFLATE_FORMAT_ZLIB_STRICT = 2,  // zlib wrapper; end of input inside a code fails the symbol
};

// The level's table: name "InflateInputStream", read and close slots only.
extern const IoStreamOps inflateInputStreamOps;

// Pushes the inflate level onto `stream` (a "BufferedInputStream" goes in
// between when the top level is none). `endFlag` (may be null) is set to 1
// when the compressed data has ended; when it is null, closing the level
// first drains the compressed data still unread. `closeSource`: closing the
// level also closes the levels below (else they stay open, positioned at the
// byte after what was consumed). 0, or -1 when the stream cannot read.
int inflateWrapInputStream(IoStream* stream, int format, int* endFlag, bool closeSource);
