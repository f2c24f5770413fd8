// Checks of a payload tree before it is packed: names the installer could not
// create on Windows (or would read differently), several installer scripts,
// and a missing build directory or etc/branch.
#pragma once

#include "compiler.h"

// One entry of the tree: its name relative to the root, '/' separated,
// without a trailing '/'.
struct PayloadEntry {
  const char* name;  // borrowed
  bool directory;    // a directory (links and files are not)
};

// Checks every entry and the tree's layout, printing one line on stderr per
// problem, naming the entry. With `force`, problems that only matter on
// Windows or to the agent's layout are printed as warnings and let through;
// a name the installer would misplace on every platform is always refused.
// 0 when the tree may be packed, -1 when it is refused.
int payloadCheck(const PayloadEntry* entries, size_t count, bool force);
// Only the check for several installer scripts, for an archive made by
// another tool (whose layout is its maker's), with the same `force`.
int payloadCheckScripts(const PayloadEntry* entries, size_t count, bool force);
