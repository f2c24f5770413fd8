// The installed-release check of auto-updates: is this release already
// completely installed in an install directory?
#pragma once

#include "compiler.h"

// The two service executables an installation's bin directory must hold
// (platform file names).
extern const char* const osUpdateServiceExecutables[2];
// The characters that the command interpreter still acts on inside a
// double-quoted path (POSIX sh: " $ ` \; Windows cmd: " %).
extern const char* const osUpdateShellActive;

// 0 when `releaseVersion` is not installed in installDir, -1 (ERROR) when
// it is.
int sfxCheckInstalledVersion(const char* installDir);
// True when a subdirectory of `dir` other than "latest" holds the release:
// etc/branch names it and both service executables answer with it.
bool updateFindInstalledRelease(const char* dir, const char* release);
// Enumeration callback for one subdirectory; -1 stops at a match.
int updateCheckReleaseDir(const char* dir, const char* name, int type, void* context);
// True when the executable answers its version query with the release.
bool updateVerifyExecutable(const char* path, const char* release);
// The version option for a release: "--secureversion" or "-v".
const char* updateVersionOption(const char* release);
