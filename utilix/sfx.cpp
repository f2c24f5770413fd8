// The self-extractor driver: options, modes, extraction and the installer
// hand-over.
#include "sfx.h"

#include <cstdio>
#include <cstring>

#include "build.h"
#include "logging.h"

int sfxRun(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "-v") == 0) {
    printf("%s\n", buildId);
    fflush(stdout);
    return 0;
  }
  logFatal(logCatSfx, "No installation content found in %s\n", argv[0]);
  return 2;
}
