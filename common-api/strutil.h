// String utilities: UTF-8 aware comparison, wildcards, variables, numbers.
#pragma once

#include "compiler.h"

// Case-insensitive equality (UTF-8 simple case folding).
bool strCaseEquals(const char* a, const char* b);
