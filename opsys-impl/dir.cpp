// Directory operations built on the backends' enumeration, removal and
// file information: recursive removal, the glob search over a tree and the
// diagnosis of a directory that cannot be written or read. The same on every
// platform.
#include <cstring>

#include "dirprim.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "ospath.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"

const char* const osDirEntryTypeNames[osDirEntryTypeCount] = {"Any", "File", "Directory", "Symlink", "Other"};

namespace {

struct RemoveContext {
  bool filesOnly;
};

// Removes one entry: files and links are deleted, directories emptied and
// removed. A directory that is really a link (junction or symbolic link) is
// removed as a link, never entered, so its target stays untouched.
int removeEntry(const char* directory, const char* name, int type, void* context) {
  const RemoveContext* ctx = static_cast<const RemoveContext*>(context);
  if (type == osDirEntryDirectory && ctx->filesOnly) return 0;
  char* full = nullptr;
  if (osFileJoinPath(directory, name, &full) != 0) return -1;
  int rc = 0;
  if (type == osDirEntryDirectory) {
    if (!osDirIsLink(full)) rc = osDirRemoveContents(full, false);
    StringBuffer err;
    sbInitHere(&err);
    if (osDirRemove(full, &err) != 0) {
      logWarn(logCatDir, "Unable to delete directory %s: %s\n", full, sbGetLength(&err) ? sbGet(&err) : "not empty");
      rc = -1;
    }
    sbClean(&err);
  } else if (osFileDelete(full) != 0) {
    rc = -1;
  }
  memFree(full);
  return rc;
}

struct MatchContext {
  const char* pattern;  // what is left of the pattern at this depth
  SortMap* map;         // full paths found (copied keys)
  bool recursive;       // a "**" component was passed: match at any depth
  bool caseSensitive;   // names of this directory compare case-sensitively
};

// Where the first component of a pattern ends: its first slash, or without
// one its first backslash; null for a single component.
const char* firstSeparator(const char* pattern) {
  const char* s = strchr(pattern, '/');
  return s ? s : strchr(pattern, '\\');
}

int matchEntry(const char* directory, const char* name, int type, void* context) {
  const MatchContext* ctx = static_cast<const MatchContext*>(context);
  const char* pattern = ctx->pattern;
  bool recursive = ctx->recursive;
  while (pattern[0] == '*' && pattern[1] == '*' && osPathIsSep(pattern[2])) {
    pattern += 3;
    recursive = true;
  }
  const char* sep = firstSeparator(pattern);
  if (type == osDirEntryDirectory && (sep || recursive)) {
    MatchContext child = *ctx;
    child.pattern = pattern;
    child.recursive = recursive;
    bool enter = true;
    if (sep) {
      char* first = memStrDupN(pattern, sep - pattern);
      if (strMatchWildcard(first, name, ctx->caseSensitive)) {
        child.pattern = sep + 1;
        child.recursive = false;
      } else if (!recursive) {
        enter = false;
      }
      memFree(first);
    }
    if (enter) {
      char* full = nullptr;
      if (osFileJoinPath(directory, name, &full) != 0) return -1;
      child.caseSensitive = osDirIsCaseSensitive(full);
      const int rc = osDirEnumerateEntries(full, matchEntry, &child, osDirEntryAny,
                                           osDirFlagDeniedIsEmpty | osDirFlagStopOnFailure);
      memFree(full);
      if (rc != 0) return -1;
    }
  }
  if (sep) return 0;
  if (strMatchWildcard(pattern, name, ctx->caseSensitive)) {
    char* full = nullptr;
    if (osFileJoinPath(directory, name, &full) != 0) return -1;
    const int rc = smPut(ctx->map, full, (void*)1);
    memFree(full);
    if (rc != 0) return -1;
  }
  return 0;
}

int collectDrive(const char*, const char* name, int, void* context) {
  return smPut(static_cast<SortMap*>(context), name, (void*)1);
}

}  // namespace

namespace {

// How many links deep the way of a link is judged, as far as the system
// itself follows links.
constexpr int linkDepthMax = 40;

int visitLinksBelow(const char* base, const char* path, int (*visit)(const char* link), int depth);

// Judges, after the link at `link` itself, the way it leads: where it leads
// followed by `rest` (the rest of the way it was met on), so that a link it
// leads through is judged too. A relative target comes joined as written
// (osFileLinkLeadsTo), not shortened by its "..": the system takes "x/.."
// where x really leads.
// 1 with *plain when the link leads to itself (a mount point, as some
// systems show one): the walk goes on past it.
int visitWayOfLink(const char* link, const char* rest, int (*visit)(const char* link), int depth, bool* plain) {
  *plain = false;
  char* to = nullptr;
  int rc = depth < linkDepthMax ? osFileLinkLeadsTo(link, &to) : -1;
  if (depth >= linkDepthMax) logError(logCatDir, "Cannot judge the way of %s: too many links\n", link);
  StringBuffer next;
  sbInitHere(&next);
  if (rc == 0 && sbPrintf(&next, "%s%s", to, rest) != 0) rc = -1;
  size_t toLen = rc == 0 ? strlen(to) : 0;
  while (toLen > 1 && osPathIsSep(to[toLen - 1])) toLen--;
  *plain = rc == 0 && toLen == strlen(link) && strncmp(to, link, toLen) == 0;
  rc = rc != 0 ? -1 : *plain ? 1 : visitLinksBelow("", sbGet(&next), visit, depth + 1);
  sbClean(&next);
  memFree(to);
  return rc;
}

// Calls visit with each name on the way from base to path (path included)
// that is a link, until one answers other than 1, and returns that answer
// (1 when none did); -2 when path is not spelled below base. With a depth
// (0 and up), the way of each link that visit accepts is judged as well.
int visitLinksBelow(const char* base, const char* path, int (*visit)(const char* link), int depth) {
  const size_t n = strlen(base);
  if (strncmp(path, base, n) != 0) return -2;
  if (n > 0 && path[n] && !osPathIsSep(path[n]) && !osPathIsSep(base[n - 1])) return -2;
  char* way = memStrDup(path);
  int rc = 1;
  for (size_t i = n + 1; rc == 1 && way[i - 1]; i++) {
    // A name ends here; an empty one (doubled separators) was judged before.
    if ((way[i] && !osPathIsSep(way[i])) || osPathIsSep(way[i - 1])) continue;
    const char c = way[i];
    way[i] = 0;
    bool plain = true;
    if (!(i == 2 && way[1] == ':') && osDirIsLink(way)) {  // a drive ("C:") is no link
      rc = visit(way);
      if (rc == 1 && depth >= 0) rc = visitWayOfLink(way, path + i, visit, depth, &plain);
    }
    way[i] = c;
    if (!plain) break;  // the rest of the way was judged where the link leads
  }
  memFree(way);
  return rc;
}

int anyLink(const char*) { return 0; }

int linkOfTrustedOwner(const char* link) {
  const int trusted = osFileLinkOwnerTrusted(link);
  if (trusted == 0) logWarn(logCatDir, "%s is a link that another user made\n", link);
  return trusted;
}

}  // namespace

bool osDirNoLinkBelow(const char* base, const char* path) { return visitLinksBelow(base, path, anyLink, -1) == 1; }

int osDirLinksTrusted(const char* base, const char* path) {
  const int rc = visitLinksBelow(base ? base : "", path, linkOfTrustedOwner, 0);
  if (rc == -2) logError(logCatDir, "Cannot judge the links on the way to %s: it does not lie below %s\n", path, base);
  return rc < 0 ? -1 : rc;
}

int osDirRemoveContents(const char* path, bool filesOnly) {
  if (!path) return 0;
  RemoveContext ctx = {filesOnly};
  return osDirEnumerateEntries(path, removeEntry, &ctx, osDirEntryAny, 0);
}

char** osDirListMatching(const char* directory, const char* pattern) {
  SortMap* map = smCreateHere(SORTMAP_COPIED_KEYS, nullptr);
  int rc;
  if (!directory) {
    rc = osDirEnumerateEntries(nullptr, collectDrive, map, osDirEntryAny, 0);
  } else {
    MatchContext ctx = {(pattern && *pattern) ? pattern : "*", map, false, osDirIsCaseSensitive(directory)};
    rc = osDirEnumerateEntries(directory, matchEntry, &ctx, osDirEntryAny, osDirFlagStopOnFailure);
  }
  if (rc != 0) {
    smDestroy(map);
    return nullptr;
  }
  return const_cast<char**>(smToArray(&map));
}

void osDirFreeList(char** list) {
  if (!list) return;
  for (char** p = list; *p; p++) memFree(*p);
  memFree(list);
}

// Walks up from the parent of `path` to the first ancestor that exists and
// says why it cannot be used: missing, not a directory, or its owner and
// access rights.
void osDirDiagnoseAccess(const char* path, bool writing) {
  if (!logGate(logCatDir, logLevelError) || !path) return;
  const char* prefix = writing ? "Cannot write to directory" : "Cannot read from directory";
  char* current = nullptr;
  if (osDirRealPath(nullptr, path, &current) != 0) return;
  for (;;) {
    char* parent = nullptr;
    if (osDirCopyParentDirectory(current, &parent) != 0) break;
    memFree(current);
    current = parent;
    StringBuffer owner, perms, reason;
    sbInitHere(&owner);
    sbInitHere(&perms);
    sbInitHere(&reason);
    bool isDir = false;
    const int rc = osFileGetInfo(current, nullptr, nullptr, nullptr, &isDir, &owner, &perms, &reason);
    bool stop = true;
    if (rc != 0) {
      const bool missing = !osIsFileDirectory(current) && !osFileIsPresent(current);
      logErrorFunc(logCatDir, "%s %s: %s\n", prefix, current,
                   missing ? "Does not exist" : (sbGetLength(&reason) ? sbGet(&reason) : "unknown error"));
      stop = false;
    } else if (!isDir) {
      logErrorFunc(logCatDir, "%s %s: it is not a directory\n", prefix, current);
    } else {
      logErrorFunc(logCatDir, "%s %s: Owner '%s' ACL %s\n", writing ? prefix : "Directory", current, sbGet(&owner),
                   sbGet(&perms));
    }
    sbClean(&owner);
    sbClean(&perms);
    sbClean(&reason);
    if (stop) break;
  }
  memFree(current);
}

// Lists the entries of a directory, or the roots for a null directory; the
// backend does the listing.
int osDirEnumerateEntries(const char* directory, OsDirCallback callback, void* context, int filter, uint32_t flags) {
  const char* filterName = filter >= 0 && filter < osDirEntryTypeCount ? osDirEntryTypeNames[filter] : "?";
  logTrace(logCatDir, "osDirEnumerateEntries> '%s',%p,%p,%s,0x%x\n", directory ? directory : "<<root>>",
           (void*)callback, context, filterName, (unsigned)flags);
  if (!callback) return -1;
  int count = 0;
  const int result = directory ? dirPrimEnumerate(directory, callback, context, filter, flags, &count)
                               : dirPrimEnumerateRoots(callback, context, filter, flags, &count);
  if (count >= 0)
    logTrace(logCatDir, "osDirEnumerateEntries< '%s' (%d files) = %d\n", directory ? directory : "<DiskDevices>", count,
             result);
  return result;
}
