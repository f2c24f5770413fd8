// StringBuffer helpers shared by the tests: a growable buffer cleaned on
// scope exit, and a buffer's bytes as a std::string.
#pragma once

#include <string>

#include "stringbuf.h"

// The buffer's bytes, NULs included.
inline std::string sbText(StringBuffer* sb) { return std::string(sbGet(sb), sbGetLength(sb)); }

// A growable buffer, holding `s` if not empty (else no block yet), cleaned on scope exit.
struct Sb {
  StringBuffer b;
  explicit Sb(const char* s = "") {
    sbInitHere(&b);
    if (*s) sbAppendString(&b, s);
  }
  ~Sb() { sbClean(&b); }
  Sb(const Sb&) = delete;
  Sb& operator=(const Sb&) = delete;
  StringBuffer* operator&() { return &b; }
  StringBuffer* ptr() { return &b; }
  std::string str() { return sbText(&b); }
};
