// Windows backend only: CreateProcess starts .cmd and .exe scripts itself.
#include "osscript.h"

const char* osScriptInterpreter(const char*) { return nullptr; }
