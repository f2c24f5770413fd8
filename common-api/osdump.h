// Crash dumps: a fatal fault of the process (access violation, illegal
// instruction, stack overflow, abort) leaves a dump file before the process
// ends, so a failed unattended installation can be examined afterwards.
#pragma once

// Arms the crash handler (once) and sets where dumps go: the file is
// "<directory><sep><name>-<yyyymmdd>-<hhmmss>-<pid>.dmp"; an empty or null
// directory means the current directory. `name` is the process name (null:
// "sfx"). 0, or -1 when the handler cannot be armed (logged).
int osDumpSetDirectory(const char* directory, const char* name);
// Whether a fatal fault writes a dump in this build (false under sanitizers,
// whose own reports must not be replaced).
bool osDumpSupported();
// The dump name prefix in use ("<directory><sep><name>"), for tests and the
// log; empty before the first osDumpSetDirectory.
const char* osDumpPrefix();
