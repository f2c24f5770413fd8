// Writing a ZIP archive from a directory tree, and checking that an
// existing archive ends the way the stub's probe expects.
#pragma once

#include "compiler.h"

struct IoStream;

// Options of an archive build.
struct ZipWriterOptions {
  bool store;    // store every entry instead of deflating
  int level;     // deflate level 1..12 (where the build has a compressor)
  bool verbose;  // print each entry
};

// True when this build can deflate (otherwise entries are stored).
bool zipWriterCanDeflate();
// Writes every file and directory below `root` (names relative to it, '/'
// separated, sorted) into `out`. 0 or -1 with a message on stderr.
int zipWriteTree(const char* root, IoStream* out, const ZipWriterOptions* options, uint64_t* entries);
// Checks the last bytes of an archive (`tail`, the final `tailSize` bytes of
// a file of `fileSize` bytes): the end-of-central-directory record must be
// its last 22 bytes, with no comment. 0, or -1 with a reason in `error`
// (200 bytes).
int zipCheckProbeTail(const uint8_t* tail, size_t tailSize, uint64_t fileSize, char* error);
