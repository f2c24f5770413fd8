// Path splitting, parent directories and lexical resolution: the part of the
// OS layer's path handling that is the same on every platform. The backends
// pick the rules of their platform with an OsPathStyle.
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "ospath.h"

namespace {

struct PathPart {
  const char* text;
  uint32_t len;
};

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool hasDrive(const char* p) { return isDriveLetter(p[0]) && p[1] == ':'; }

// True for the device and long-path prefixes "\\.\" and "\\?\" (either
// separator): the system takes what follows as it is, so they are kept.
bool hasNamespacePrefix(const char* p) {
  return osPathIsSep(p[0]) && osPathIsSep(p[1]) && (p[2] == '.' || p[2] == '?') && osPathIsSep(p[3]);
}

// Appends the components of `text` to `parts`, applying "." and "..";
// `floor` parts at the start can never be removed by "..".
void addComponents(const char* text, PathPart* parts, uint32_t* count, uint32_t floor) {
  const char* p = text;
  while (*p) {
    while (osPathIsSep(*p)) p++;
    const char* start = p;
    while (*p && !osPathIsSep(*p)) p++;
    const uint32_t len = (uint32_t)(p - start);
    if (len == 0 || (len == 1 && start[0] == '.')) continue;
    if (len == 2 && start[0] == '.' && start[1] == '.') {
      if (*count > floor) (*count)--;
      continue;
    }
    parts[(*count)++] = {start, len};
  }
}

}  // namespace

bool osPathIsAbsolute(OsPathStyle style, const char* path) {
  if (!path) return false;
  if (osPathIsSep(path[0])) return true;
  return style == osPathStyleWindows && hasDrive(path);
}

// The root of the first text decides the shape of the result: "C:\" (a
// drive), "\\host\share\" (a share, whose two names cannot be climbed out
// of), "\" or "/" (rooted), or nothing (relative). After the root come the
// components of the directory (when the path is relative) and of the path.
int osPathResolve(OsPathStyle style, const char* dir, const char* path, char** out) {
  const char sep = style == osPathStyleWindows ? '\\' : '/';
  const bool absolute = osPathIsAbsolute(style, path);
  if (!absolute && (!dir || !*dir)) return -1;
  const char* first = absolute ? path : dir;
  const size_t total = strlen(path) + (absolute ? 0 : strlen(dir)) + 8;

  char root[4] = {0};
  uint32_t rootLen = 0, floor = 0;
  const char* rest = first;
  if (style == osPathStyleWindows && hasNamespacePrefix(first)) {
    // The drive (or device) after the prefix is not climbed out of.
    root[0] = root[1] = root[3] = sep, root[2] = first[2];
    rootLen = 4, rest = first + 4, floor = 1;
  } else if (style == osPathStyleWindows && hasDrive(first)) {
    root[0] = first[0], root[1] = ':', root[2] = sep;
    rootLen = 3, rest = first + 2;
  } else if (osPathIsSep(first[0])) {
    const bool share = style == osPathStyleWindows && osPathIsSep(first[1]);
    root[0] = sep;
    if (share) root[1] = sep;
    rootLen = share ? 2 : 1;
    floor = share ? 2 : 0;
  }

  PathPart* parts = memNewArray(PathPart, total);
  uint32_t count = 0;
  addComponents(rest, parts, &count, floor);
  if (!absolute) addComponents(path, parts, &count, floor);

  char* result = static_cast<char*>(memAlloc(total + rootLen));
  uint32_t n = 0;
  memcpy(result, root, rootLen);
  n = rootLen;
  for (uint32_t i = 0; i < count; i++) {
    if (i > 0) result[n++] = sep;
    memcpy(result + n, parts[i].text, parts[i].len);
    n += parts[i].len;
  }
  if (n == 0) result[n++] = '.';
  result[n] = 0;
  memFree(parts);
  *out = result;
  return 0;
}

// The part before the last separator. A drive root keeps its separator
// ("C:\" for "C:\x"); on POSIX "/" is the parent of "/x". A root itself, a
// name without separator and one whose only separator is its first
// character (Windows) have none.
int osPathParent(OsPathStyle style, const char* path, char** out) {
  const char* last = nullptr;
  for (const char* p = path; *p; p++)
    if (osPathIsSep(*p)) last = p;
  if (!last) return -1;
  const size_t at = (size_t)(last - path);
  if (style == osPathStyleWindows && at == 2 && hasDrive(path)) {
    if (!last[1]) return -1;
    *out = memStrDupN(path, 3);
    return 0;
  }
  if (at == 0) {
    if (style == osPathStyleWindows || !last[1]) return -1;
    *out = memStrDupN(path, 1);
    return 0;
  }
  *out = memStrDupN(path, at);
  return 0;
}

int osDirCopyParentDirectory(const char* path, char** parent) {
  if (!path || !parent) {
    logTrace(logCatDir, "osDirCopyParentDirectory(%p, %p) -> POSIX_FAILURE\n", (const void*)path, (void*)parent);
    return -1;
  }
  if (osPathParent(osPathStyleNative, path, parent) != 0) {
    logTrace(logCatDir, "osDirCopyParentDirectory('%s') has no parent\n", path);
    return -1;
  }
  return 0;
}

int osDirRealPath(const char* directory, const char* path, char** out) {
  if (!path) path = ".";
  if (!out || !*path) {
    logError(logCatDir, "osDirRealPath has been handed insufficient information\n");
    return -1;
  }
  char* cwd = nullptr;
  if (!directory && !osPathIsAbsolute(osPathStyleNative, path)) directory = cwd = osDirGetCwd();
  char* resolved = nullptr;
  int rc = 0;
  if (!osPathIsAbsolute(osPathStyleNative, path) && (!directory || !*directory)) {
    logError(logCatDir, "Cannot determine absolute path of %s when no directory is given\n", path);
    rc = -1;
  } else {
    rc = osPathResolve(osPathStyleNative, directory, path, &resolved);
  }
  logDebug(logCatDir, "osDirRealPath: (%s) %s = %d, %s\n", directory ? directory : "<null>", path, rc,
           resolved ? resolved : "<null>");
  memFree(cwd);
  *out = resolved;
  return rc;
}

void osPathSplit(const char* path, const char** dir, uint32_t* dirLen, const char** base, uint32_t* baseLen,
                 const char** ext, uint32_t* extLen) {
  const char* last = nullptr;
  for (const char* p = path; *p; p++)
    if (osPathIsSep(*p)) last = p;
  const char* b = last ? last + 1 : path;
  uint32_t bLen = (uint32_t)strlen(b);
  if (dir) *dir = last ? path : nullptr;
  if (dirLen) *dirLen = last ? (uint32_t)(last - path) : 0;
  if (ext || extLen) {
    const char* dot = strrchr(b, '.');
    if (dot && dot != b) {
      if (ext) *ext = dot + 1;
      if (extLen) *extLen = (uint32_t)strlen(dot + 1);
      bLen = (uint32_t)(dot - b);
    } else {
      if (ext) *ext = nullptr;
      if (extLen) *extLen = 0;
    }
  }
  if (base) *base = b;
  if (baseLen) *baseLen = bLen;
}

// "directory<sep>name" as a new block; -1 (logged) for a missing argument.
static int joinPath(uint32_t cat, const char* directory, const char* name, char** out) {
  if (!directory || !name || !out) {
    logError(cat, "Cannot join path: missing directory or name\n");
    return -1;
  }
  const size_t dl = strlen(directory), nl = strlen(name);
  char* p = static_cast<char*>(memAlloc(dl + nl + 2));
  memcpy(p, directory, dl);
  p[dl] = osPathSeparator;
  memcpy(p + dl + 1, name, nl + 1);
  *out = p;
  return 0;
}

int osDirJoinPath(const char* directory, const char* name, char** out) {
  return joinPath(logCatDir, directory, name, out);
}

int osFileJoinPath(const char* directory, const char* name, char** out) {
  return joinPath(logCatFile, directory, name, out);
}

char* osFileBuildPath(const char* base, const char* const* parts) {
  if (!base) return nullptr;
  size_t total = strlen(base) + 1;
  for (const char* const* q = parts; q && *q; q++) total += strlen(*q) + 1;
  char* p = static_cast<char*>(memAlloc(total));
  size_t n = strlen(base);
  memcpy(p, base, n);
  for (const char* const* q = parts; q && *q; q++) {
    const size_t l = strlen(*q);
    p[n++] = osPathSeparator;
    memcpy(p + n, *q, l);
    n += l;
  }
  p[n] = 0;
  return p;
}

bool osFileIsStdOutputName(const char* name) {
  if (!name) return false;
  if (strcmp(name, "-") == 0) return true;
  static const char* const names[] = {"stderr", "stdout"};
  for (const char* want : names) {
    size_t i = 0;
    while (want[i] && name[i] && (name[i] | 0x20) == want[i]) i++;
    if (!want[i] && !name[i]) return true;
  }
  return false;
}

// The prefix turns the system's own normalisation off, so the path is
// resolved first: doubled and trailing separators, "/", "." and ".." would
// otherwise reach the file system as part of the name.
char* osPathLongForm(const char* path) {
  if (!path) return nullptr;
  const bool drive = hasDrive(path) && path[2] == '\\';
  const bool share =
      !drive && path[0] == '\\' && path[1] == '\\' && ((path[2] >= '0' && path[2] <= '9') || isDriveLetter(path[2]));
  if (!drive && !share) return nullptr;
  char* resolved = nullptr;
  if (osPathResolve(osPathStyleWindows, nullptr, path, &resolved) != 0) return nullptr;
  const char* prefix = drive ? "\\\\?\\" : "\\\\?\\UNC\\";
  const char* rest = drive ? resolved : resolved + 2;
  const size_t pl = strlen(prefix), n = strlen(rest);
  char* out = static_cast<char*>(memAlloc(pl + n + 1));
  memcpy(out, prefix, pl);
  memcpy(out + pl, rest, n + 1);
  memFree(resolved);
  return out;
}
