// The self-extractor driver: options, modes, extraction and the hand-over
// to the installer script found in the archive.
#pragma once

#include "compiler.h"
#include "osdirhandle.h"

// Runs the driver on the argument vector left by logging; 0 or 2. A run
// that failed before the archive was found says so at FATAL.
int sfxRun(int argc, char** argv);
// The driver's work; *contentFound is set once the archive is located.
int sfxMain(int argc, char** argv, bool* contentFound);
// The temporary installer directory: its path (owned), a handle of the
// directory it was made in, and its identity there. Whoever may write into
// that parent may put something else at its name meanwhile (a link to
// another directory, say); what the run does there afterwards goes only to
// the directory it made.
struct SfxTempDir {
  char* path;
  OsDirHandle* parent;
  OsFileId id;
};
// Creates and enters a fresh temporary installer directory
// "installer-<tag>-<pid>-<n>.tmp" that only this user can write into, and
// remembers which directory it is; 0, or -1 with *out empty.
int sfxCreateTempDir(SfxTempDir* out);
// Copies every *.log file below the temporary directory into the log, when
// its name still holds the directory made.
void sfxDumpLogs(const SfxTempDir* temp);
// Removes the temporary directory with everything in it, below its
// parent's handle and never through a link, when its name still holds the
// directory made (otherwise what is there stays, and an error says so);
// then releases *temp.
void sfxRemoveTempDir(SfxTempDir* temp);
// Directory enumeration callback: copies every *.log file (a plain file, not
// a link or a device) below `dir` into the program's log between dashed
// lines, at most sfxLogDepth directories down (context: the depth, an int*).
// Always 0.
int sfxDumpLogFile(const char* dir, const char* name, int type, void* context);
constexpr int sfxLogDepth = 32;
// Body of "dummy-thread".
void sfxDummyThread(void* argument);
