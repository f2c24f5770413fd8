// How the platform runs an installer script.
#pragma once

struct IoStream;

// The words a script's command line starts with, before the script's own
// path (its $0) and its arguments; they may point into `source`.
struct OsScriptCommand {
  const char* words[3];
  int count;
  char source[32];
};

// Fills *out for the script at scriptPath. None where the system starts the
// script itself (Windows starts .cmd files through its command interpreter,
// and the held script cannot be changed or renamed there). A shell script
// on POSIX runs with /bin/sh; when it is held open (held, or null), the
// shell reads the very file held, through its descriptor, so that a file
// renamed over its name after the check is not what runs.
void osScriptCommand(const char* scriptPath, IoStream* held, OsScriptCommand* out);
