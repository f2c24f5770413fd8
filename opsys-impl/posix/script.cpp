// POSIX backend only: shell scripts run with /bin/sh, so that a script
// extracted without its execute bit still runs.
#include <cstring>

#include "osscript.h"

const char* osScriptInterpreter(const char* scriptPath) {
  size_t n = strlen(scriptPath);
  return n >= 3 && strcmp(scriptPath + n - 3, ".sh") == 0 ? "/bin/sh" : nullptr;
}
