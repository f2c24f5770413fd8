// Test helpers shared by the unit tests.
#pragma once

#include "osenv.h"

inline void testSetEnv(const char* name, const char* value) { osSetEnv(name, value); }
inline void testUnsetEnv(const char* name) { osSetEnv(name, nullptr); }
