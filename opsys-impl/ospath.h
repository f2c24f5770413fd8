// Private to the OS layer: path handling shared by both backends, and the
// few backend hooks the shared directory code needs.
#pragma once

#include "compiler.h"

// Which platform's rules a path follows. Windows: "\" joins, a drive letter
// with ":" or a leading separator makes a path absolute, "C:\" is a root.
// POSIX: "/" joins, a leading separator makes it absolute, "/" is the root.
// Both treat slash and backslash as separators when splitting.
enum OsPathStyle : uint32_t { osPathStyleWindows = 0, osPathStylePosix = 1 };

// The style of the platform the program was built for (set by the backend).
extern const OsPathStyle osPathStyleNative;

inline bool osPathIsSep(char c) { return c == '/' || c == '\\'; }
// True when `path` is absolute in `style`.
bool osPathIsAbsolute(OsPathStyle style, const char* path);
// Lexical resolution of `path` (relative ones against `dir`) into a new
// block in *out. Never climbs above a root. -1 when a relative path has no
// directory; nothing is logged.
int osPathResolve(OsPathStyle style, const char* dir, const char* path, char** out);
// The parent of `path` in `style` as a new block, or -1 when it has none.
int osPathParent(OsPathStyle style, const char* path, char** out);

// Backend: sets the calling thread's last system error (errno or the Win32
// last error), so reports can keep it for their callers.
void osErrorSetLast(uint32_t code);

// The long-path form of a Windows path, resolved lexically first (the
// prefix turns the system's normalisation off): "\\?\" before a drive path
// ("C:\..."), "\\?\UNC\" instead of the two backslashes of a share path
// ("\\host\..."); a new block, or null when the path keeps its form.
char* osPathLongForm(const char* path);
