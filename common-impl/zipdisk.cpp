// The disk writer of extraction (see zipdisk.h): path confinement, the
// kind of what already stands at a path, free temporary and old names,
// write-then-rename with the previous version moved aside, directory
// creation, and the journal record before each change.
#include "zipdisk.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "iostream.h"
#include "lock.h"
#include "logging.h"
#include "memory.h"
#include "osdate.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "osfile.h"
#include "sortmap.h"
#include "undolog.h"
#include "zipint.h"

namespace {

constexpr int zipMaxNameProbes = 1000;                              // attempts to find unused temporary names
constexpr size_t zipMaxNameBytes = 255;                             // longest name of one file the systems take
constexpr const char* zipRegistrationFile = "register.properties";  // an installation's own, kept by updates

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// True when the entry name stays inside the base directory: not absolute
// (leading separator, or a drive letter and colon) and no ".." climbing above
// the start. *depth receives the depth the name resolves to.
bool nameIsConfined(const char* name, int* depth) {
  if (isSeparator(name[0])) return false;
  if (isalpha((unsigned char)name[0]) && name[1] == ':') return false;
  int d = 0;
  const char* p = name;
  while (*p) {
    const char* s = p;
    while (*p && !isSeparator(*p)) p++;
    const size_t n = (size_t)(p - s);
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      if (--d < 0) return false;
    } else if (n != 0 && !(n == 1 && s[0] == '.')) {
      d++;
    }
    if (*p) p++;
  }
  *depth = d;
  return true;
}

// True when the n bytes at s name a Windows device whatever the extension
// and the spaces before it (CON, PRN, AUX, NUL, CONIN$, CONOUT$, CLOCK$,
// COM and LPT with a digit or a superscript 1, 2 or 3; any case).
bool isDeviceName(const char* s, size_t n) {
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$", "COM#", "LPT#"};
  const char* dot = static_cast<const char*>(memchr(s, '.', n));
  size_t stem = dot ? (size_t)(dot - s) : n;
  while (stem > 0 && s[stem - 1] == ' ') stem--;
  for (const char* d : devices) {
    size_t i = 0;
    bool same = true;
    for (const char* q = d; same && *q; q++) {
      const uint8_t c = i < stem ? (uint8_t)s[i] : 0, next = i + 1 < stem ? (uint8_t)s[i + 1] : 0;
      if (*q != '#') {
        same = c && toupper(c) == *q;
        i++;
      } else if (c && isdigit(c)) {
        i++;
      } else {
        same = c == 0xC2 && (next == 0xB9 || next == 0xB2 || next == 0xB3);  // superscript 1, 2, 3 in UTF-8
        i += 2;
      }
    }
    if (same && i == stem) return true;
  }
  return false;
}

// True when a component of the name would name another file on Windows
// than it says: a trailing dot or space is dropped there, and a ':' names a
// stream of a file ("register.properties." and "register.properties::$DATA"
// are the registration file itself). "." and ".." are components of their own.
bool nameAliasesAnother(const char* name) {
  for (const char* p = name; *p;) {
    const char* s = p;
    while (*p && !isSeparator(*p)) p++;
    const size_t n = (size_t)(p - s);
    const bool dots = (n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.');
    if (memchr(s, ':', n) || (n > 0 && !dots && (s[n - 1] == '.' || s[n - 1] == ' '))) return true;
    if (isDeviceName(s, n)) return true;
    if (*p) p++;
  }
  return false;
}

const char* const aliasFault =
    "has a component ending with a dot or a space, holding ':', or naming a device (CON, NUL, COM1, ...), which names "
    "another file or a device on Windows";

// ASCII case-insensitive test that path is link or lies below it. Case is
// ignored so that the test also holds on case-insensitive file systems.
bool isAtOrBelow(const char* path, const char* link) {
  const size_t n = strlen(link);
  for (size_t i = 0; i < n; i++) {
    if (!path[i] || tolower((unsigned char)path[i]) != tolower((unsigned char)link[i])) return false;
  }
  return path[n] == 0 || isSeparator(path[n]);
}

// True when pathName is, or lies below, a link created by this walk.
bool throughCreatedLink(SortMap* links, const char* pathName) {
  if (!links) return false;
  for (uint32_t i = 0; i < links->count; i++)
    if (isAtOrBelow(pathName, links->entries[i].key)) return true;
  return false;
}

// True when a file exists at path. Moving the new file into place replaces
// whatever is there, so absence is confirmed by a second, independent query:
// one failing query must not cost the previous version.
bool targetExists(const char* path) {
  if (osFileIsPresent(path)) return true;
  bool isDir = false;
  return osFileGetInfo(path, nullptr, nullptr, nullptr, &isDir, nullptr, nullptr, nullptr) == 0 && !isDir;
}

// Moves an existing file at pathName aside to oldName (journalled before the
// move, so a rollback finds it) and records pathName as created. Without
// journals the caller deletes oldName once the new file is in place.
int moveAside(ZipInfo* info, const char* pathName, const char* oldName) {
  if (zipAddReplacement(info, pathName, oldName, nullptr) != 0) return -1;
  // Never over an existing file: the name was probed as free, but a failed
  // probe reads as "absent", and a file there may be another entry's kept
  // previous version.
  if (osFileMoveNoReplace(pathName, oldName) != 0) {
    zipDropLastReplacement(info);
    return -1;
  }
  return 0;
}

// Deletes the previous version at once when no journal keeps it.
void dropOldWithoutJournal(ZipInfo* info, const char* oldName) {
  if (info->replaced) return;
  if (osFileDeleteEx(oldName, nullptr, osFileDeleteAtReboot) != 0)
    logWarn(logCatZip, "Failed to remove existing file now named %s\n", oldName);
}

// True when `path` is `dir` or lies below it; both resolved by the system,
// so they are compared exactly.
bool liesWithin(const char* path, const char* dir) {
  const size_t n = strlen(dir);
  if (strncmp(path, dir, n) != 0) return false;
  return path[n] == 0 || isSeparator(path[n]) || (n > 0 && isSeparator(dir[n - 1]));
}

// Length of the root of an absolute path ("/", "C:\\", "\\\\host\\share\\"),
// which is never tested or created; 0 for a relative path.
size_t rootLength(const char* p) {
  if (isSeparator(p[0]) && isSeparator(p[1])) {
    size_t i = 2, seps = 0;
    for (; p[i] && seps < 2; i++)
      if (isSeparator(p[i])) seps++;
    return i;
  }
  if (isSeparator(p[0])) return 1;
  if (isalpha((unsigned char)p[0]) && p[1] == ':') return isSeparator(p[2]) ? 3 : 2;
  return 0;
}

// Length of the deepest ancestor of buf (or buf itself) for which exists()
// holds, 0 when none does. Found by bisection over the places where the path
// can be cut: a deeper name exists only below one that does, so a deep name
// costs a few queries, not one per component (each query itself walks the
// whole path). buf is cut in place and restored.
size_t deepestExisting(char* buf, bool (*exists)(const char*)) {
  const size_t len = strlen(buf);
  uint32_t* cuts = memNewArray(uint32_t, len + 1);
  uint32_t n = 0;
  for (size_t i = rootLength(buf); i < len; i++)
    if (isSeparator(buf[i]) && i > 0 && !isSeparator(buf[i - 1])) cuts[n++] = (uint32_t)i;
  if (len > 0 && !isSeparator(buf[len - 1])) cuts[n++] = (uint32_t)len;
  uint32_t lo = 0, hi = n;  // cuts[0..lo) exist, cuts[hi..n) do not
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const char saved = buf[cuts[mid]];
    buf[cuts[mid]] = 0;
    const bool there = exists(buf);
    buf[cuts[mid]] = saved;
    if (there)
      lo = mid + 1;
    else
      hi = mid;
  }
  const size_t have = lo > 0 ? cuts[lo - 1] : 0;
  memFree(cuts);
  return have;
}

bool anythingAt(const char* path) { return osFileKindOf(path) >= 0; }

// The directory an entry goes into: pathName itself for a directory entry,
// else its parent (a new string).
char* entryDirectory(const char* pathName, bool isDir) {
  char* way = memStrDup(pathName);
  if (!isDir) {
    size_t len = strlen(way);
    while (len > 0 && !isSeparator(way[len - 1])) len--;
    way[len > 1 ? len - 1 : len] = 0;
  }
  return way;
}

// Makes dir the writer's confirmed directory (taking it over), with real
// (taken over too; may be null) where the system says it really is.
void confirmDirectory(ZipDisk* disk, char* dir, char* real = nullptr) {
  memFree(disk->confirmedDir);
  memFree(disk->confirmedReal);
  disk->confirmedDir = dir;
  disk->confirmedReal = real;
}

// *resolved (a new string) = real followed by tail; -1 when out of memory.
int joinResolved(const char* real, const char* tail, char** resolved) {
  StringBuffer out;
  sbInitHere(&out);
  const int rc = sbAppendString(&out, real) == 0 && sbAppendString(&out, tail) == 0 ? 0 : -1;
  *resolved = rc == 0 ? sbTakeString(&out) : nullptr;
  sbClean(&out);
  return rc;
}

// True when dir is the base as given or lies below it, and no directory on
// the way from the base to it (dir included) is a link: then it is inside
// without asking the system for its final name (which some systems cannot
// give for long names).
bool plainBelowBase(const ZipDisk* disk, const char* dir) {
  return disk->lexBase && osDirNoLinkBelow(disk->lexBase, dir);
}

int openEntryDirectory(ZipDisk* disk);

const char* tailBelowBase(const ZipDisk* disk, const char* path);

// True when real, where dir really is, is where the base really is followed
// by dir's part below the base as spelled: no link below the base on the way.
bool resolvesPlainly(const ZipDisk* disk, const char* dir, const char* real) {
  const char* tail = tailBelowBase(disk, dir);
  const size_t n = strlen(disk->realBase);
  if (!tail || strncmp(real, disk->realBase, n) != 0) return false;
  const char* rest = real + n;
  while (isSeparator(*rest)) rest++;
  return strcmp(rest, tail) == 0;
}

// Refuses to write through a link that leads out of the base directory,
// whoever made it, and through one inside it that another user made: that
// may lead to any directory inside (another build, say), whose files the
// other user could not replace himself. The deepest existing directory on the way to pathName
// (pathName itself for a directory entry, else its parent) is resolved by
// the system, links and all; what the walk creates below it is plain. On
// success *resolved (owned) is where pathName really is. A directory that
// exists completely is remembered with where it really is; the next entries
// of the same directory use that while no directory on the way from the
// base has become a link (someone may swap one in meanwhile).
int checkConfined(ZipDisk* disk, const char* name, const char* pathName, bool isDir, char** resolved) {
  *resolved = nullptr;
  char* way = entryDirectory(pathName, isDir);
  const size_t full = strlen(way);
  // A file goes into the directory the writer holds open, whatever becomes
  // of the names on the way (when the writer leaves it, it asks that it is
  // still there); else no directory on the way from the base may have
  // become a link since it was confirmed.
  bool held = disk->dir && strcmp(disk->dirPath, way) == 0;
  const bool confirmed = disk->confirmedDir && strcmp(disk->confirmedDir, way) == 0;
  // A file's directory confirmed with where it really is gets opened below
  // the base now: the open refuses a link on the way, so no name on the way
  // needs asking.
  if (confirmed && !held && !isDir && disk->confirmedReal) {
    if (openEntryDirectory(disk) != 0) {
      memFree(way);
      return -1;
    }
    held = true;
  }
  if (confirmed && (held || plainBelowBase(disk, way))) {
    if (!disk->confirmedReal && osFileResolveLinks(way, &disk->confirmedReal) != 0) {
      memFree(way);
      return -1;
    }
    memFree(way);
    disk->existing = full;
    return joinResolved(disk->confirmedReal, pathName + full, resolved);
  }
  const char* realBase = disk->realBase;
  const size_t have = deepestExisting(way, anythingAt);
  disk->existing = have;
  way[have] = 0;
  char* real = nullptr;
  int rc = have > 0 ? osFileResolveLinks(way, &real) : -1;
  if (have == 0) logError(logCatZip, "Refusing to extract %s: nothing on the way to %s exists\n", name, pathName);
  if (rc == 0 && !liesWithin(real, realBase)) {
    logError(logCatZip, "Refusing to extract %s: %s leads out of %s through a link\n", name, way, realBase);
    rc = -1;
  }
  if (rc == 0 && !resolvesPlainly(disk, way, real) && osDirLinksTrusted(disk->lexBase, way) != 1) {
    logError(logCatZip, "Refusing to extract %s: a link on the way to %s may lead elsewhere\n", name, way);
    rc = -1;
  }
  if (rc == 0) rc = joinResolved(real, pathName + have, resolved);
  if (rc == 0 && have == full) {
    confirmDirectory(disk, way, real);
  } else {
    memFree(way);
    memFree(real);
  }
  return rc;
}

// Checks, right before a link is made by its name, that its directory
// still lies inside the base: it may have been swapped for a link since the
// entry was checked.
int checkParentStillInside(ZipDisk* disk, const char* pathName) {
  char* dir = entryDirectory(pathName, false);
  char* real = nullptr;
  const bool inside =
      plainBelowBase(disk, dir) || (osFileResolveLinks(dir, &real) == 0 && real && liesWithin(real, disk->realBase));
  if (!inside)
    logError(logCatZip, "Refusing to place %s: %s no longer lies inside %s\n", pathName, dir, disk->realBase);
  memFree(real);
  memFree(dir);
  return inside ? 0 : -1;
}

// True when the first n bytes of a and b are the same name, in ASCII case
// unless caseSensitive.
bool sameBytes(const char* a, const char* b, size_t n, bool caseSensitive) {
  for (size_t i = 0; i < n; i++) {
    if (!a[i] || !b[i]) return a[i] == b[i];
    if (caseSensitive ? a[i] != b[i] : tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  }
  return true;
}

// True when path is `dir` (resolved, as the system spells it) or, with
// below, lies below it.
bool isPathOf(const char* path, const char* dir, bool below, bool caseSensitive) {
  const size_t n = strlen(dir);
  if (!sameBytes(path, dir, n, caseSensitive)) return false;
  return path[n] == 0 || (below && isSeparator(path[n]));
}

// Keeps an update out of the installation's own files, judged where the
// entry really goes (resolved) and, when something stands there, where
// that leads (links followed; on Windows also the long name behind a short
// one): the registration file is left as it is, and nothing enters the
// installation lock.
ZipDiskVerdict checkInstallationFiles(ZipDisk* disk, const char* name, const char* pathName, const char* resolved) {
  char* lock = nullptr;
  char* registration = nullptr;
  char* final = nullptr;
  if (lockPath(disk->realBase, &lock) != 0 || osFileJoinPath(disk->realBase, zipRegistrationFile, &registration) != 0) {
    memFree(lock);
    return zipDiskRefuse;
  }
  if (osFileKindOf(pathName) >= 0 && osFileResolveLinks(pathName, &final) != 0) final = nullptr;
  ZipDiskVerdict verdict = zipDiskWrite;
  const char* const places[] = {resolved, final};
  for (const char* p : places) {
    if (!p) continue;
    if (isPathOf(p, lock, true, disk->caseSensitive)) {
      logError(logCatZip, "Refusing to extract %s: it lies in the installation lock %s\n", name, lock);
      verdict = zipDiskRefuse;
      break;
    }
    if (isPathOf(p, registration, false, disk->caseSensitive)) {
      logInfo(logCatZip, "Keeping %s: the update does not replace it (entry %s)\n", registration, name);
      verdict = zipDiskKeep;
    }
  }
  memFree(final);
  memFree(registration);
  memFree(lock);
  return verdict;
}

// What may stand where an entry goes: nothing, or the same kind. A file
// entry may replace a file (or a link to a file), which is moved aside; a
// directory entry may meet a directory. Anything else stays as it is and
// fails the entry: a rollback must never remove what was there before.
int checkExisting(const char* name, const char* pathName, bool isDir, int* kindOut) {
  const int kind = osFileKindOf(pathName);
  *kindOut = kind;
  if (kind < 0) return 0;
  if (isDir ? osIsDirPresent(pathName) : (kind != osDirEntryOther && osFileIsPresent(pathName))) return 0;
  logError(logCatZip, "Cannot extract %s: %s exists and is not a %s\n", name, pathName, isDir ? "directory" : "file");
  return -1;
}

// What stands at pathName is asked only when needed: for a file when the
// move into place finds the name taken, for a link before it is made. The
// answer is kept for the rest of the entry.
int checkExistingNow(ZipDisk* disk);

// A file that is to be moved aside must be the file at its own name: one
// that the system opens as another file (a link it does not show as one, or
// a short name for a longer one) would be moved and deleted in the other
// file's place. resolved is where pathName really is, its directory's links
// resolved; kind is what checkExisting found at pathName.
int checkAlias(const char* name, const char* pathName, const char* resolved, bool caseSensitive, int kind) {
  if (kind != osDirEntryFile) return 0;
  char* final = nullptr;
  int rc = osFileResolveLinks(pathName, &final);
  if (rc == 0 && !isPathOf(final, resolved, false, caseSensitive)) {
    logError(logCatZip, "Cannot extract %s: %s is another file's name (it opens %s)\n", name, pathName, final);
    rc = -1;
  }
  memFree(final);
  return rc;
}

int checkExistingNow(ZipDisk* disk) {
  if (disk->kind != zipDiskNotAsked) return 0;
  const char* path = sbGet(&disk->pathName);
  if (checkExisting(disk->entry, path, false, &disk->kind) != 0) return -1;
  return checkAlias(disk->entry, path, disk->resolved, disk->caseSensitive, disk->kind);
}

// The name beside path that holds its data while it is written (what
// "zip") or its previous version (what "old"): D "." S "-" what "-" stamp
// ".tmp", where D is the directory part up to and including the last
// separator, and S the base name up to the first "." after its leading dots,
// cut (at a character) where the name would grow beyond the 255 bytes a
// file system takes in one name: a long file name must not fail for its
// side names alone.
int sideName(const char* path, const char* what, uint64_t stamp, StringBuffer* out) {
  const char* base = path;
  for (const char* p = path; *p; p++)
    if (isSeparator(*p)) base = p + 1;
  const char* s = base;
  while (*s == '.') s++;
  while (*s && *s != '.') s++;
  // Built piece by piece: a formatted print costs more than the rest of
  // naming an entry, and every file needs two of these names.
  char digits[24];
  char* d = digits + sizeof digits;
  do *--d = (char)('0' + stamp % 10);
  while ((stamp /= 10) != 0);
  const size_t added = 1 + 1 + strlen(what) + 1 + (size_t)(digits + sizeof digits - d) + 4;
  if ((size_t)(s - base) + added > zipMaxNameBytes) {
    s = base + (zipMaxNameBytes - added);
    while (s > base && ((uint8_t)*s & 0xC0) == 0x80) s--;  // not inside a character
  }
  sbEmpty(out);
  const bool ok = sbAppendData(out, path, (uint32_t)(base - path)) == 0 && sbAppendChar(out, '.') == 0 &&
                  sbAppendData(out, base, (uint32_t)(s - base)) == 0 && sbAppendChar(out, '-') == 0 &&
                  sbAppendString(out, what) == 0 && sbAppendChar(out, '-') == 0 &&
                  sbAppendData(out, d, (uint32_t)(digits + sizeof digits - d)) == 0 && sbAppendString(out, ".tmp") == 0;
  return ok ? 0 : -1;
}

// Moves the writer's stamp on after a taken name. The step grows with each
// try, so that a block of names someone made in advance is left behind
// after a few tries, not one per name.
void nextStamp(ZipDisk* disk, int tries) { disk->stamp += (uint64_t)tries; }

// The part of path below the base, as path spells it; null when path is
// not spelled below the base.
const char* tailBelowBase(const ZipDisk* disk, const char* path) {
  const char* bases[] = {disk->lexBase, disk->realBase};
  for (const char* b : bases) {
    size_t n = b ? strlen(b) : 0;
    if (n > 0 && strncmp(path, b, n) == 0 && (path[n] == 0 || isSeparator(path[n]))) {
      while (isSeparator(path[n])) n++;
      return path + n;
    }
  }
  return nullptr;
}

// Opens the directory at path, which must lie inside the base, below the
// base handle one component at a time along where it really is: a link
// swapped in on the way fails the open. real is where path really is, or
// null when not known yet. *viaLink tells that a link inside the base lies
// on path's way there.
int openInside(ZipDisk* disk, const char* path, const char* real, OsDirHandle** out, bool* viaLink) {
  *viaLink = false;
  // Below the base as given, with no link on the way, the path itself
  // leads there (and some systems cannot resolve a long one).
  char* resolved = nullptr;
  const char* tail = nullptr;
  if (!real && plainBelowBase(disk, path)) {
    tail = path + strlen(disk->lexBase);
  } else {
    if (!real && osFileResolveLinks(path, &resolved) != 0) return -1;
    if (!real) real = resolved;
    if (!liesWithin(real, disk->realBase)) {
      logError(logCatZip, "Refusing to write into %s: it leads out of %s\n", path, disk->realBase);
      memFree(resolved);
      return -1;
    }
    tail = real + strlen(disk->realBase);
  }
  while (isSeparator(*tail)) tail++;
  const char* spelled = tailBelowBase(disk, path);
  *viaLink = !spelled || strcmp(spelled, tail) != 0;
  const int rc = osDirHandleOpenBelow(disk->base, tail, out);
  if (rc != 0) logError(logCatZip, "Refusing to write into %s: it no longer lies inside %s\n", path, disk->realBase);
  memFree(resolved);
  return rc;
}

void closeEntryDirectory(ZipDisk* disk) {
  osDirHandleClose(disk->dir);
  disk->dir = nullptr;
  memFree(disk->dirPath);
  disk->dirPath = nullptr;
  memFree(disk->dirReal);
  disk->dirReal = nullptr;
}

// Closes the directory the last files went into, after asking that it is
// still where it was opened, reached from the base without following a
// link: one moved away meanwhile (and a link left at its name, say) took
// the files with it, and they do not count as placed.
int leaveEntryDirectory(ZipDisk* disk) {
  if (!disk->dir) return 0;
  const char* path = osDirHandlePath(disk->dir);
  const char* basePath = osDirHandlePath(disk->base);
  const size_t n = strlen(basePath);
  bool there = strncmp(path, basePath, n) == 0;
  if (there) {
    const char* tail = path + n;
    while (isSeparator(*tail)) tail++;
    OsDirHandle* again = nullptr;
    OsFileId id = {};
    there = osDirHandleId(disk->dir, &id) == 0 && osDirHandleOpenBelow(disk->base, tail, &again) == 0 &&
            osDirHandleHasId(again, &id) == 1;
    osDirHandleClose(again);
  }
  if (!there)
    logError(logCatZip, "Not keeping the files written into %s: the directory was moved while they were written\n",
             path);
  closeEntryDirectory(disk);
  return there ? 0 : -1;
}

// Makes disk->dir the open handle of the directory the current file goes
// into (confirmedDir): each later step of the entry happens in this very
// directory, whatever becomes of the names on the way. When a link inside
// the base leads there, the journal names the files by where they really
// are: the rollback, the commit and a recovery then find them without
// following a link, which may lead elsewhere by then.
int openEntryDirectory(ZipDisk* disk) {
  if (disk->dir && strcmp(disk->dirPath, disk->confirmedDir) == 0) return 0;
  if (leaveEntryDirectory(disk) != 0) return -1;
  bool viaLink = false;
  if (openInside(disk, disk->confirmedDir, disk->confirmedReal, &disk->dir, &viaLink) != 0) return -1;
  disk->dirPath = memStrDup(disk->confirmedDir);
  // Remembered under the name its records carry: a name with a link on the
  // way may lead to another directory for the next file.
  if (viaLink) disk->dirReal = memStrDup(osDirHandlePath(disk->dir));
  zipRememberDirectory(disk->info, viaLink ? disk->dirReal : disk->dirPath, disk->dir);
  return 0;
}

// The name under which the journal records `name`, a file in the open
// directory: name itself, or where it really is when a link led there.
const char* journalNameOf(ZipDisk* disk, const char* name) {
  if (!disk->dirReal) return name;
  const char* leaf = ulLeafOf(name);
  const char sep = leaf > name ? leaf[-1] : '/';
  if (sbSetPrintf(&disk->journalName, "%s%c%s", disk->dirReal, sep, leaf) == 0) return sbGet(&disk->journalName);
  logError(logCatZip, "Cannot name %s by where it really is; the journal names it as given\n", name);
  return name;
}

// Moves the file at pathName aside to a free old name in the open
// directory, journalled before the move so that a rollback finds it.
int moveAsideIn(ZipDisk* disk) {
  const char* pathName = sbGet(&disk->pathName);
  // With a journal on disk, which file is moved aside, so that a recovery
  // after a crash never takes another file at the old name for it.
  // Nor is the log this run writes ever replaced, however its name is
  // spelled.
  OsFileId id = {};
  const bool identify = disk->info->undoLog != nullptr;
  if ((identify || disk->hasLogId) && osDirHandleIdOf(disk->dir, ulLeafOf(pathName), &id) != 0) {
    logError(logCatZip, "Cannot query %s before moving it aside\n", pathName);
    return -1;
  }
  if (disk->hasLogId && osFileIdSame(&id, &disk->logId)) {
    logError(logCatZip, "Refusing to extract %s: %s is the log of this run\n", disk->entry, pathName);
    return -1;
  }
  for (int tries = 1; tries <= zipMaxNameProbes; tries++) {
    const char* oldName = sbGet(&disk->oldName);
    char* journalled = memStrDup(journalNameOf(disk, pathName));
    const char* oldJournalled = journalNameOf(disk, oldName);
    int noted = identify ? zipAddIdentity(disk->info, journalled, &id) : 0;
    if (noted == 0)
      noted = zipAddReplacement(disk->info, journalled, oldJournalled, identify || disk->hasLogId ? &id : nullptr);
    memFree(journalled);
    if (noted != 0) return -1;
    bool taken = false;
    if (osDirHandleMove(disk->dir, ulLeafOf(pathName), ulLeafOf(oldName), &taken) == 0) return 0;
    zipDropLastReplacement(disk->info);
    if (!taken) return -1;
    nextStamp(disk, tries);
    if (sideName(pathName, "old", disk->stamp, &disk->oldName) != 0) return -1;
    logDebug(logCatZip, "%s is taken; the previous version goes to %s\n", oldName, sbGet(&disk->oldName));
  }
  logError(logCatZip, "No free name to keep the previous version of %s\n", pathName);
  return -1;
}

}  // namespace

const char* zipEntryPathFault(const char* name) {
  int depth = 0;
  if (const char* fault = zipEntryNameFault(name)) return fault;
  if (!nameIsConfined(name, &depth)) return "leaves the target directory";
  return nameAliasesAnother(name) ? aliasFault : nullptr;
}

bool zipPathIsAtOrBelow(const char* path, const char* top) { return isAtOrBelow(path, top); }

int zipMakeNames(const char* baseDir, const char* name, uint64_t stamp, StringBuffer* pathName, StringBuffer* tempName,
                 StringBuffer* oldName, bool* isDirectory) {
  if (!name || !*name) return -1;
  if (const char* fault = zipEntryPathFault(name)) {
    zipReportNameFault(name, fault);
    return -1;
  }
  int depth = 0;
  nameIsConfined(name, &depth);
  const size_t len = strlen(name);
  *isDirectory = name[len - 1] == '/';
  if (depth == 0 && !*isDirectory) return -1;
  char* real = nullptr;
  if (osDirRealPath(baseDir, name, &real) != 0 || !real) return -1;
  const size_t realLen = strlen(real);
  if (realLen > osPathMaxLength()) {
    logError(logCatZip, "Entry %.200s... is too long: its path has %u bytes, this system takes %u\n", name,
             (unsigned)realLen, osPathMaxLength());
    memFree(real);
    return -1;
  }
  sbEmpty(pathName);
  const int rc = sbAppendString(pathName, real);
  memFree(real);
  if (rc != 0) return -1;
  sbEmpty(tempName);
  sbEmpty(oldName);
  if (*isDirectory) return 0;

  if (sideName(sbGet(pathName), "zip", stamp, tempName) != 0) return -1;
  return sideName(sbGet(pathName), "old", stamp, oldName);
}

int zipDiskOpen(ZipDisk* disk, ZipInfo* info, const char* baseDir, uint32_t options) {
  memset(disk, 0, sizeof *disk);
  disk->info = info;
  disk->baseDir = baseDir;
  disk->links = smCreateHere(SORTMAP_COPIED_KEYS, nullptr);
  sbInitHere(&disk->pathName);
  sbInitHere(&disk->tempName);
  sbInitHere(&disk->oldName);
  sbInitHere(&disk->journalName);
  if (options & zipDiskJournal) {
    // A second journalling walk adds to the journals still open, so one
    // rollback or commit covers both.
    if (!info->created) info->created = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
    if (!info->replaced) info->replaced = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  }
  if (baseDir && !osIsDirPresent(baseDir) && zipMakeDirectories(info, baseDir) != 0) return -1;
  // Where the base really is, links resolved: nothing is written outside it.
  if (osFileResolveLinks(baseDir ? baseDir : ".", &disk->realBase) != 0) return -1;
  if (osDirRealPath(baseDir, nullptr, &disk->lexBase) != 0) disk->lexBase = nullptr;
  disk->hasLogId = logGetFileId(&disk->logId);
  disk->update = (options & zipDiskUpdate) != 0;
  disk->caseSensitive = osDirIsCaseSensitive(disk->realBase);
  if (osDirHandleOpen(disk->realBase, &disk->base) != 0) return -1;
  // A rollback undoes nothing of the walk that no longer lies inside it,
  // nor anything in another directory put where the base was.
  if ((options & zipDiskJournal) && !info->journalBase) {
    if (osDirHandleId(disk->base, &info->journalBaseId) != 0) return -1;
    info->journalBase = memStrDup(disk->realBase);
    info->journalLexBase = disk->lexBase ? memStrDup(disk->lexBase) : nullptr;
    info->journalBaseFrom = info->journalSequence;
  }
  return 0;
}

int zipDiskLeave(ZipDisk* disk) { return leaveEntryDirectory(disk); }

void zipDiskClose(ZipDisk* disk) {
  smDestroy(disk->links);
  disk->links = nullptr;
  memFree(disk->realBase);
  disk->realBase = nullptr;
  memFree(disk->lexBase);
  disk->lexBase = nullptr;
  confirmDirectory(disk, nullptr);
  memFree(disk->resolved);
  disk->resolved = nullptr;
  if (disk->temp) iosClose(disk->temp);
  disk->temp = nullptr;
  closeEntryDirectory(disk);
  osDirHandleClose(disk->base);
  disk->base = nullptr;
  sbClean(&disk->pathName);
  sbClean(&disk->tempName);
  sbClean(&disk->oldName);
  sbClean(&disk->journalName);
}

int zipDiskFreeNames(ZipDisk* disk, const char* name) {
  bool isDir = false;
  disk->stamp = osDateNow();
  return zipMakeNames(disk->baseDir, name, disk->stamp, &disk->pathName, &disk->tempName, &disk->oldName, &isDir);
}

ZipDiskVerdict zipDiskCheck(ZipDisk* disk, const char* name, bool isDirectory) {
  const char* path = sbGet(&disk->pathName);
  if (throughCreatedLink(disk->links, path)) {
    logError(logCatZip, "Skipping %s: it lies behind a symbolic link of this archive\n", name);
    return zipDiskSkip;
  }
  memFree(disk->resolved);
  disk->resolved = nullptr;
  disk->entry = name;
  disk->kind = zipDiskNotAsked;
  ZipDiskVerdict verdict =
      checkConfined(disk, name, path, isDirectory, &disk->resolved) == 0 ? zipDiskWrite : zipDiskRefuse;
  if (verdict == zipDiskWrite && disk->update) verdict = checkInstallationFiles(disk, name, path, disk->resolved);
  // A file's or link's name is checked when it turns out to be taken.
  if (verdict == zipDiskWrite && isDirectory && checkExisting(name, path, true, &disk->kind) != 0)
    verdict = zipDiskRefuse;
  return verdict;
}

namespace {

// Creates the one missing directory `leaf` in parent (buf is its path),
// journalled, and opens it as *made for the next one below. A directory
// someone else made at the name meanwhile is written into but never
// journalled: a rollback would remove it with what its owner put there.
int makeOneDirectoryIn(ZipInfo* info, const OsDirHandle* parent, const char* leaf, const char* buf,
                       OsDirHandle** made) {
  logDebug(logCatZip, "Creating directory '%s' as it does not exist yet.\n", buf);
  if (zipLogDirectory(info, buf) != 0) return -1;
  bool taken = false;
  if (osDirHandleMakeDir(parent, leaf, &taken) != 0) {
    if (!taken) return -1;
    zipVoidDirectory(info, buf);
    if (osDirHandleKindOf(parent, leaf) == osDirEntryDirectory && osDirHandleOpenBelow(parent, leaf, made) == 0) {
      logDebug(logCatZip, "Directory %s was made by someone else meanwhile; it is not undone\n", buf);
      return 0;
    }
    logError(logCatZip, "Cannot create directory %s: something else was put at its name\n", buf);
    return -1;
  }
  // The directory made is known by its identity: the rollback, and with a
  // journal on disk the recovery, empty only that very directory.
  // Someone may have exchanged it for a directory of their own at once;
  // the one made holds nothing yet, so a directory holding anything is
  // theirs and is not undone. One exchanged for a link is not entered.
  const int empty = osDirHandleOpenBelow(parent, leaf, made) != 0 ? -1
                    : info && info->created                       ? osDirHandleIsEmpty(*made)
                                                                  : 1;
  if (empty != 1) {
    zipVoidDirectory(info, buf);
    if (empty == 0) {
      logWarn(logCatZip, "Directory %s was exchanged for another as soon as it was made; it is not undone\n", buf);
      return 0;
    }
    // Not known whose it is: it goes again only if it holds nothing.
    osDirHandleClose(*made);
    *made = nullptr;
    osDirHandleRemoveEmpty(parent, leaf);
    logError(logCatZip, "Cannot tell whether directory %s is the one just made\n", buf);
    return -1;
  }
  zipRememberDirectory(info, buf, *made);
  OsFileId id = {};
  if (info && info->undoLog && (osDirHandleId(*made, &id) != 0 || zipAddIdentity(info, buf, &id) != 0)) return -1;
  if (zipAddRollback(info, buf) != 0) return -1;
  if (info && osSyncBatchAdd(&info->unsynced, buf) != 0) return -1;
  return 0;
}

// Makes the missing directories of path after its first `have` bytes, which
// name the directory open as parent (closed here), each inside the one
// made before it, never through a link.
int makeChainBelow(ZipInfo* info, OsDirHandle* parent, const char* path, size_t have) {
  const size_t len = strlen(path);
  char* buf = memStrDup(path);
  int rc = parent ? 0 : -1;
  for (size_t i = have + 1, leaf = have; i <= len && rc == 0; i++) {
    if (i < len && !isSeparator(path[i])) continue;
    while (leaf < i && isSeparator(path[leaf])) leaf++;
    if (leaf == i || (i - leaf == 1 && path[leaf] == '.')) {
      leaf = i;
      continue;
    }
    buf[i] = 0;
    OsDirHandle* made = nullptr;
    // A way back up (only a base directory the caller names has one) goes
    // where its path leads.
    if (i - leaf == 2 && path[leaf] == '.' && path[leaf + 1] == '.')
      rc = osDirHandleOpen(buf, &made);
    else
      rc = makeOneDirectoryIn(info, parent, buf + leaf, buf, &made);
    osDirHandleClose(parent);
    parent = made;
    buf[i] = path[i];
    leaf = i;
  }
  osDirHandleClose(parent);
  memFree(buf);
  return rc;
}

// Makes the missing directories of path (inside the base, spelled without
// a link on the way), whose first `have` bytes name an existing directory,
// one at a time: each inside its parent opened below the base handle,
// never through a link. A directory on the way that someone swaps for a
// link meanwhile fails the entry instead of sending a creation elsewhere.
int makeDirectoriesInside(ZipDisk* disk, const char* path, size_t have) {
  const char* tail = tailBelowBase(disk, path);
  if (!tail) {
    logError(logCatZip, "Refusing to create %s: it does not lie inside %s\n", path, disk->realBase);
    return -1;
  }
  const size_t start = (size_t)(tail - path);
  if (have >= strlen(path)) return 0;
  if (have < start) have = start;
  char* existing = memStrDupN(path, have);
  OsDirHandle* parent = nullptr;
  if (osDirHandleOpenBelow(disk->base, existing + start, &parent) != 0)
    logError(logCatZip, "Refusing to write into %s: it no longer lies inside %s\n", existing, disk->realBase);
  memFree(existing);
  return makeChainBelow(disk->info, parent, path, have);
}

// Makes the missing directories of dir (as the entry spells it) from its
// deepest part that existed at the check on. When a link inside the base
// lies on the way, they are made, and journalled, where the check found dir
// really is (realDir): a rollback or a recovery then finds them without
// following the link, which may lead elsewhere by then.
int makeEntryDirectories(ZipDisk* disk, const char* dir, const char* realDir) {
  const size_t len = strlen(dir), have = disk->existing;
  const size_t realLen = realDir ? strlen(realDir) : 0;
  const char* spelled = tailBelowBase(disk, dir);
  const char* real = realDir ? tailBelowBase(disk, realDir) : nullptr;
  const bool viaLink = real && (!spelled || strcmp(spelled, real) != 0);
  if (viaLink && have > 0 && have <= len && realLen > len - have &&
      strcmp(realDir + realLen - (len - have), dir + have) == 0)
    return makeDirectoriesInside(disk, realDir, realLen - (len - have));
  return makeDirectoriesInside(disk, dir, have);
}

// Makes the missing directories on the way to a link entry's path, where
// the check found them really to be.
int makeEntryParent(ZipDisk* disk, const char* pathName) {
  char* parent = entryDirectory(pathName, false);
  char* real = disk->resolved ? entryDirectory(disk->resolved, false) : nullptr;
  const int rc = osIsDirPresent(parent) ? 0 : makeEntryDirectories(disk, parent, real);
  memFree(real);
  memFree(parent);
  return rc;
}

}  // namespace

int zipDiskMakeDirectory(ZipDisk* disk, bool* created) {
  const char* path = sbGet(&disk->pathName);
  *created = false;
  // The check found what stands there: a directory (or a link to one), or
  // nothing; from the deepest part of the way that existed on, the rest is
  // made (what someone puts there meanwhile is found by the creation).
  if (disk->kind >= 0) {
    logDebug(logCatZip, "Directory %s already exists\n", path);
    return 0;
  }
  if (makeEntryDirectories(disk, path, disk->resolved) != 0) return -1;
  *created = true;
  // Made plain, below a checked directory: it really is where the check
  // resolved it.
  confirmDirectory(disk, memStrDup(path), disk->resolved ? memStrDup(disk->resolved) : nullptr);
  return 0;
}

int zipDiskCreateTemp(ZipDisk* disk, const char* name, IoStream** out) {
  *out = nullptr;
  // The parent checked just before is known to exist; else it is made here
  // (plain, below a checked directory) and remembered.
  char* parent = entryDirectory(sbGet(&disk->pathName), false);
  if (!disk->confirmedDir || strcmp(disk->confirmedDir, parent) != 0) {
    char* real = disk->resolved ? entryDirectory(disk->resolved, false) : nullptr;
    if (makeEntryDirectories(disk, parent, real) != 0) {
      memFree(real);
      memFree(parent);
      return -1;
    }
    confirmDirectory(disk, parent, real);
    parent = nullptr;
  }
  memFree(parent);
  if (openEntryDirectory(disk) != 0) return -1;
  for (int tries = 1; tries <= zipMaxNameProbes; tries++) {
    const char* tempName = sbGet(&disk->tempName);
    // The temporary file is journalled before it exists, so that a rollback
    // removes it even when the clean-up after a failure cannot.
    const char* tempJournalled = journalNameOf(disk, tempName);
    if (zipAddRollback(disk->info, tempJournalled) != 0) return -1;
    // Created new: something at the name (a link to another file, say) is
    // neither written through nor, being not ours, removed.
    bool taken = false;
    disk->temp = osDirHandleCreateFile(disk->dir, ulLeafOf(tempName), osFileTypeExtracted, &taken);
    if (disk->temp) {
      disk->tempMade = true;
      *out = disk->temp;
      // With a journal on disk, which file was made: a recovery removes
      // only that one at the name.
      if (disk->info->undoLog && (osFileStreamId(disk->temp, &disk->tempId) != 0 ||
                                  zipAddIdentity(disk->info, journalNameOf(disk, tempName), &disk->tempId) != 0))
        return -1;
      // Its data reaches the disk with all the others, before the walk
      // succeeds or the update commits; not one flush per file.
      return osFileDeferFlush(*out);
    }
    zipDropLastCreation(disk->info);
    if (!taken) {
      logError(logCatZip, "Unable to write ZIP component %s to %s\n", name, tempName);
      return -1;
    }
    nextStamp(disk, tries);
    if (sideName(sbGet(&disk->pathName), "zip", disk->stamp, &disk->tempName) != 0) return -1;
    logDebug(logCatZip, "%s is taken; %s is written to %s\n", tempName, name, sbGet(&disk->tempName));
  }
  logError(logCatZip, "No free temporary name for %s\n", sbGet(&disk->pathName));
  return -1;
}

int zipDiskCloseTemp(ZipDisk* disk, IoStream** out) {
  const int rc = disk->temp ? iosClose(disk->temp) : -1;
  disk->temp = nullptr;
  *out = nullptr;
  return rc;
}

namespace {

// Moves the temporary file to pathName, journalled as created first (the
// record goes again when nothing was moved).
OsPlaceResult placeTemp(ZipDisk* disk) {
  ZipInfo* info = disk->info;
  const char* pathName = sbGet(&disk->pathName);
  const char* journalled = journalNameOf(disk, pathName);
  // With a journal on disk, which file goes there: a recovery removes only
  // that one, never another put at the name.
  if (info->undoLog && zipAddIdentity(info, journalled, &disk->tempId) != 0) return osPlaceFailed;
  if (zipAddRollback(info, journalled) != 0) return osPlaceFailed;
  const OsPlaceResult placed =
      osFileStreamPlaceIn(disk->temp, disk->dir, ulLeafOf(sbGet(&disk->tempName)), ulLeafOf(pathName));
  if (placed != osPlaceDone && placed != osPlaceSwapped) zipDropLastCreation(info);
  return placed;
}

// Checks what stands at pathName (the previous version of a file, nothing
// else) and moves it aside, journalled.
int makeRoom(ZipDisk* disk) {
  return checkExistingNow(disk) == 0 && (disk->kind < 0 || moveAsideIn(disk) == 0) ? 0 : -1;
}

// Moves the file into place, never over anything. A free name is found
// free by the move itself; a taken one is made room at, and the move is
// made once more. With a journal on disk, where voiding the record of a
// move that found its name taken costs a flush, the name is asked first.
OsPlaceResult placeOverPrevious(ZipDisk* disk) {
  const bool askFirst = disk->info->undoLog != nullptr;
  if (askFirst && makeRoom(disk) != 0) return osPlaceFailed;
  OsPlaceResult placed = placeTemp(disk);
  if (placed == osPlaceTaken && !askFirst) {
    if (makeRoom(disk) != 0) return osPlaceFailed;
    placed = placeTemp(disk);
  }
  if (placed != osPlaceTaken) return placed;
  logError(logCatZip, "Not placing %s: something was put at its name meanwhile\n", sbGet(&disk->pathName));
  return osPlaceFailed;
}

}  // namespace

int zipDiskPlace(ZipDisk* disk) {
  ZipInfo* info = disk->info;
  const char* pathName = sbGet(&disk->pathName);
  const char* tempName = sbGet(&disk->tempName);
  if (!disk->temp || !disk->dir) return -1;
  // Each journal record is made before the step it describes, so a
  // rollback after any failure finds everything.
  const OsPlaceResult placed = placeOverPrevious(disk);
  if (placed == osPlaceFailed) return -1;
  if (placed == osPlaceRefused) {
    // What is at the temporary name is not ours: it is left alone (on some
    // systems removing a link removes what it leads to).
    logError(logCatZip, "Not placing %s: it is not the file that was written; something was put at its name\n",
             tempName);
    zipDropLastCreation(info);
    disk->tempMade = false;
    return -1;
  }
  disk->tempMade = false;
  if (placed == osPlaceSwapped) {
    // Something exchanged for the file was moved in its place and could not
    // be moved back. It stays recorded, so the rollback removes it (a link
    // itself, never what it leads to).
    logError(logCatZip, "Not keeping %s: it is not the file that was written; something was put at %s\n", pathName,
             tempName);
    return -1;
  }
  if (disk->kind >= 0 && !info->replaced) {
    const char* oldName = sbGet(&disk->oldName);
    if (osDirHandleDelete(disk->dir, ulLeafOf(oldName)) != 0)
      logWarn(logCatZip, "Failed to remove existing file now named %s\n", oldName);
  }
  return osSyncBatchAdd(&info->unsynced, pathName);
}

void zipDiskDiscardTemp(ZipDisk* disk) {
  if (disk->temp && disk->tempMade && disk->dir) {
    const char* tempName = sbGet(&disk->tempName);
    // Only the file written is removed: what else stands at the name is
    // left alone (on some systems removing a link removes what it leads to).
    const int gone = osFileStreamDiscardIn(disk->temp, disk->dir, ulLeafOf(tempName));
    if (gone == 0) {
      logError(logCatZip, "Not removing %s: it is not the file that was written\n", tempName);
      zipDropLastCreation(disk->info);
    }
  }
  if (disk->temp) iosClose(disk->temp);
  disk->temp = nullptr;
  disk->tempMade = false;
}

int zipDiskLink(ZipDisk* disk, const char* target) {
  ZipInfo* info = disk->info;
  const char* pathName = sbGet(&disk->pathName);
  const char* oldName = sbGet(&disk->oldName);
  if (checkExistingNow(disk) != 0 || makeEntryParent(disk, pathName) != 0 ||
      checkParentStillInside(disk, pathName) != 0)
    return -1;
  bool replaced = false;
  confirmDirectory(disk, nullptr);
  if (targetExists(pathName)) {
    if (moveAside(info, pathName, oldName) != 0) return -1;
    replaced = true;
  }
  if (zipAddRollbackLink(info, pathName) != 0) return -1;
  if (osFileCreateSymlink(target, pathName, nullptr) != 0) return -1;
  if (replaced) dropOldWithoutJournal(info, oldName);
  if (osSyncBatchAdd(&info->unsynced, pathName) != 0) return -1;
  return smPut(disk->links, pathName, (void*)disk->links);
}

int zipDiskApplyAttributesOpen(const ZipEntry* e, IoStream* file) {
  int rc = 0;
  if (e->externalAttributes && osFileStreamSetAttributes(file, e->externalAttributes) != 0) rc = -1;
  if (osFileStreamSetTimes(file, (int64_t)e->modificationTime, (int64_t)e->accessTime, (int64_t)e->changeTime) != 0)
    rc = -1;
  return rc;
}

int zipDiskApplyDirectory(ZipDisk* disk, const ZipEntry* e, const char* path) {
  OsDirHandle* dir = nullptr;
  bool viaLink = false;
  if (openInside(disk, path, nullptr, &dir, &viaLink) != 0) return -1;
  IoStream* s = osDirHandleStream(dir);
  int rc = s ? zipDiskApplyAttributesOpen(e, s) : -1;
  if (s && iosClose(s) != 0) rc = -1;
  osDirHandleClose(dir);
  return rc;
}

int zipMakeDirectories(ZipInfo* info, const char* path) {
  // One copy of the path, cut at a separator to name an ancestor: unless
  // known, the deepest existing directory is found by bisection, then each
  // missing one below it is created. Linear in the depth, however deep the
  // name.
  const size_t len = strlen(path);
  if (len > osPathMaxLength()) {
    logError(logCatZip, "Directory %.200s... is too long: %u bytes, this system takes %u\n", path, (unsigned)len,
             osPathMaxLength());
    return -1;
  }
  char* buf = memStrDup(path);
  size_t have = deepestExisting(buf, osIsDirPresent);
  // Nothing on the way exists: the root, or the current directory, does.
  const size_t root = rootLength(path);
  if (have < root) have = root;
  buf[have] = 0;
  OsDirHandle* parent = nullptr;
  osDirHandleOpen(have > 0 ? buf : ".", &parent);
  memFree(buf);
  return makeChainBelow(info, parent, path, have);
}
