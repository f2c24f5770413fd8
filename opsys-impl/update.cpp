// The installed-release check: the algorithm is the same on every
// platform; the service executables' names and the command interpreter
// come from the backend.
#include <cstdio>
#include <cstring>

#include "build.h"
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "osprocess.h"
#include "osupdate.h"
#include "secure.h"
#include "stringbuf.h"

namespace {

// Context of one search.
struct ReleaseSearch {
  bool found;           // a complete installation was met
  char* name;           // its subdirectory name (owned)
  const char* release;  // release text looked for
};

// Reads etc/branch as a token list: "#" starts a comment to the end of the
// line; blanks, line ends and commas separate tokens; tokens are joined with
// single commas.
int readBranchTokens(const char* path, StringBuffer* out) {
  IoStream* in = osFileOpen(path, osFileModeRead, osFileTypePlain, nullptr, false, false);
  if (!in) return -1;
  char buf[4096];
  uint32_t got = 0;
  bool comment = false, inToken = false;
  int rc = 0;
  for (;;) {
    if (iosRead(in, buf, sizeof buf, &got) != 0) {
      rc = -1;
      break;
    }
    if (got == 0) break;
    for (uint32_t i = 0; i < got; i++) {
      char c = buf[i];
      if (c == '\n') comment = false;
      if (comment) continue;
      if (c == '#') {
        comment = true;
        inToken = false;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',') {
        inToken = false;
        continue;
      }
      if (!inToken && sbGetLength(out)) sbAppendChar(out, ',');
      inToken = true;
      sbAppendChar(out, c);
    }
  }
  iosClose(in);
  return rc;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// Lines of `text` that start with one of `names`, each without the white
// space at its end (a CR of a CR/LF line end) and followed by "\n".
void pickLines(const char* text, const char* const* names, StringBuffer* out) {
  const char* p = text;
  size_t left = strlen(text);
  while (left >= 4) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', left));
    size_t len = nl ? (size_t)(nl - p) : left;
    for (const char* const* n = names; *n; n++) {
      size_t k = strlen(*n);
      if (len >= k && strncmp(p, *n, k) == 0) {
        size_t kept = len;
        while (kept > k && isBlank(p[kept - 1])) kept--;
        sbAppendData(out, p, (uint32_t)kept);
        sbAppendChar(out, '\n');
        break;
      }
    }
    if (!nl) break;
    left -= len + 1;
    p = nl + 1;
  }
}

// Cuts white space (blanks and line ends) off both ends of the buffer's
// text; returns the text.
const char* trimBlanks(StringBuffer* sb) {
  char* t = sbGet(sb);
  size_t n = strlen(t);
  while (n && isBlank(t[n - 1])) t[--n] = 0;
  while (isBlank(*t)) t++;
  return t;
}

uint64_t versionNumber(int a, int b, int c, int d) {
  auto clamp = [](int v) { return (uint64_t)(v < 0 ? 0 : v > 65535 ? 65535 : v); };
  return clamp(a) << 48 | clamp(b) << 32 | clamp(c) << 16 | clamp(d);
}

}  // namespace

int sfxCheckInstalledVersion(const char* installDir) {
  if (updateFindInstalledRelease(installDir, releaseVersion)) {
    logError(logCatUpdate,
             "Auto-update to version %s requested but there is already a valid installation for that version\n",
             releaseVersion);
    return -1;
  }
  return 0;
}

bool updateFindInstalledRelease(const char* dir, const char* release) {
  if (!dir) return false;
  ReleaseSearch search{false, nullptr, release};
  osDirEnumerateEntries(dir, updateCheckReleaseDir, &search, osDirEntryDirectory, osDirFlagStopOnFailure);
  if (search.found) logDebug(logCatUpdate, "Release %s is installed in %s\n", release, search.name);
  memFree(search.name);
  return search.found;
}

int updateCheckReleaseDir(const char* dir, const char* name, int, void* context) {
  ReleaseSearch* search = static_cast<ReleaseSearch*>(context);
  if (strcmp(name, "latest") == 0) return 0;
  const char* branchParts[] = {name, "etc", "branch", nullptr};
  char* branch = osFileBuildPath(dir, branchParts);
  if (!branch) return 0;
  int result = 0;
  StringBuffer tokens;
  sbInitHere(&tokens);
  if (osFileIsPresent(branch) && readBranchTokens(branch, &tokens) == 0 && sbGetLength(&tokens) &&
      strcmp(sbGet(&tokens), search->release) == 0) {
    // Every executable is checked, so that each missing one is reported.
    bool all = true;
    for (const char* exe : osUpdateServiceExecutables) {
      const char* exeParts[] = {name, "bin", exe, nullptr};
      char* path = osFileBuildPath(dir, exeParts);
      if (!path || !updateVerifyExecutable(path, search->release)) all = false;
      memFree(path);
    }
    if (all) {
      search->found = true;
      search->name = memStrDup(name);
      result = -1;
    }
  }
  sbClean(&tokens);
  memFree(branch);
  return result;
}

const char* updateVersionOption(const char* release) {
  int a = 0, b = 0, c = 0, d = 0;
  bool newSyntax = false;
  if (sscanf(release, "%d.%d.%d", &a, &b, &c) == 3 && versionNumber(a, b, c, 0) >= versionNumber(9, 0, 11, 0))
    newSyntax = true;
  else if (sscanf(release, "%d.%d.%d.%d", &a, &b, &c, &d) == 4 &&
           versionNumber(a, b, c, d) >= versionNumber(9, 0, 10, 5))
    newSyntax = true;
  if (!newSyntax) {
    logTrace(logCatUpdate, "Looking for %s with old syntax\n", release);
    return "-v";
  }
  if (secureBind(secureBindQuiet) == 0) {
    logTrace(logCatUpdate, "Looking for %s with new syntax, must have secure library\n", release);
    return "--secureversion";
  }
  logTrace(logCatUpdate, "Looking for %s with new syntax\n", release);
  return "-v";
}

bool updateVerifyExecutable(const char* path, const char* release) {
  const char* option = updateVersionOption(release);
  if (!osFileIsPresent(path)) {
    logError(logCatUpdate, "%s is not complete: %s does not exist\n", release, path);
    return false;
  }
  // Asking runs the program as this account (an administrator, or root):
  // one that another user could have put there or can change would run
  // their code, and could stop every update by answering with the release.
  if (osFileIsTrusted(path) != 1) {
    logError(logCatUpdate, "%s is not complete: not asking %s, which another user could have put there or can change\n",
             release, path);
    return false;
  }
  // The path goes to the command interpreter in double quotes; what it
  // would still act on there would run as this account too.
  if (strpbrk(path, osUpdateShellActive)) {
    logError(logCatUpdate, "%s is not complete: not asking %s, whose path the command interpreter would change\n",
             release, path);
    return false;
  }
  StringBuffer command, output;
  sbInitHere(&command);
  sbInitHere(&output);
  sbPrintf(&command, "\"%s\" %s", path, option);
  bool ok = osRunShellCommand(sbGet(&command), nullptr, &output) == 0 && strstr(sbGet(&output), release) != nullptr;
  if (!ok) {
    StringBuffer picked;
    sbInitHere(&picked);
    static const char* const severe[] = {"ERROR", "FATAL", nullptr};
    static const char* const any[] = {"INFO", "WARN", "ERROR", "FATAL", nullptr};
    const char* trimmed = trimBlanks(&output);
    pickLines(trimmed, severe, &picked);
    if (sbGetLength(&picked)) {
      logError(logCatUpdate, "%s is not complete: %s reports the following error(s)\n%s\n", release, path,
               sbGet(&picked));
    } else {
      pickLines(trimmed, any, &picked);
      if (sbGetLength(&picked))
        logError(logCatUpdate,
                 "%s is not complete: %s exists but it is not executable or not the expected version of the "
                 "executable\n%s\n",
                 release, path, sbGet(&picked));
      else
        logError(logCatUpdate, "%s is not complete: %s outputs a garbled response\n%s\n", release, path, trimmed);
    }
    sbClean(&picked);
  }
  sbClean(&command);
  sbClean(&output);
  return ok;
}
