// Windows backend only: CreateProcess starts .cmd and .exe scripts itself.
#include <cstring>

#include "osscript.h"

void osScriptCommand(const char*, IoStream*, OsScriptCommand* out) { memset(out, 0, sizeof *out); }
