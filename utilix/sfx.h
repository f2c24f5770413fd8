// The self-extractor driver: options, modes, extraction and the hand-over
// to the installer script found in the archive.
#pragma once

#include "compiler.h"

// Runs the driver on the argument vector left by logging; 0 or 2. A run
// that failed before the archive was found says so at FATAL.
int sfxRun(int argc, char** argv);
// The driver's work; *contentFound is set once the archive is located.
int sfxMain(int argc, char** argv, bool* contentFound);
// Creates and enters a fresh temporary installer directory
// "installer-<tag>-<pid>-<n>.tmp" that only this user can write into.
// 0 with the owned path in *path, or -1.
int sfxCreateTempDir(char** path);
// Directory enumeration callback: copies every *.log file below `dir` into
// the program's log between dashed lines. Always 0.
int sfxDumpLogFile(const char* dir, const char* name, int type, void* context);
// Body of "dummy-thread".
void sfxDummyThread(void* argument);
