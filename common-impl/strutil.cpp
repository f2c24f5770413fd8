// String utilities.
#include "strutil.h"

#include <cctype>

bool strCaseEquals(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (tolower((unsigned char)*a) != tolower((unsigned char)*b)) return false;
  return *a == *b;
}
