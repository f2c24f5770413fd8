// Writing a ZIP archive from a directory tree, and checking that an
// existing archive ends the way the stub's probe expects.
#pragma once

#include "compiler.h"

struct IoStream;

// Options of an archive build.
struct ZipWriterOptions {
  bool store;           // store every entry instead of deflating
  int level;            // libdeflate level: 1 fastest .. 12 smallest
  bool verbose;         // print each entry
  bool force;           // pack a tree whose names or layout the checks refuse, where that is safe
  bool clampTime;       // no entry time later than latestTime
  uint64_t latestTime;  // seconds since 1970 (SOURCE_DATE_EPOCH)
};

// Writes every file, directory and symbolic link below `root` into a new
// archive at `outPath`: names relative to the root, '/' separated,
// directories ending in '/', in byte order of these names; times and
// attributes from the files, with no time later than latestTime when
// clampTime is set, and nothing else that depends on the time or the
// machine. The tree is checked first (payloadcheck.h), and links that lead
// out of it are refused: a refused tree writes nothing. 0, or -1 with a
// message on stderr (a half-written archive is deleted).
int zipWriteTree(const char* root, const char* outPath, const ZipWriterOptions* options, uint64_t* entries);
// Checks the last bytes of an archive (`tail`, the final `tailSize` bytes of
// a file of `fileSize` bytes): the end-of-central-directory record must be
// its last 22 bytes, with no comment. 0, or -1 with a reason in `error`
// (200 bytes).
int zipCheckProbeTail(const uint8_t* tail, size_t tailSize, uint64_t fileSize, char* error);
