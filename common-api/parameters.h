// Process parameters: a fixed table of named settings with defaults.
#pragma once

#include "compiler.h"

int parInit();
void parExit();
