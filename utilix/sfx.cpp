// The self-extractor driver.
//
// One call, one pass: open the archive appended to the executable, read the
// options, take the installation lock when updating an install directory,
// extract what the mode asks for, run the installer script with the
// caller's arguments, copy its logs, roll back a failed installation and
// clean up on every path.
#include "sfx.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build.h"
#include "iostream.h"
#include "lock.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osenv.h"
#include "osfile.h"
#include "osinit.h"
#include "osprocess.h"
#include "osscript.h"
#include "osthread.h"
#include "osupdate.h"
#include "progress.h"
#include "sfxdigest.h"
#include "stringbuf.h"
#include "strutil.h"
#include "undolog.h"
#include "zip.h"

namespace {

const char copyrightLine[] = "Copyright (c) 2025 The job-scheduling agent authors. All rights reserved.";

// Working state of one call.
struct SfxRun {
  ZipInfo* zip;            // the archive, released by zipExit
  const char* unpackDir;   // --unpack value (borrowed)
  bool autoUpdate;         // --auto-update seen
  const char* installDir;  // -d value after --auto-update (borrowed)
  char* lockDir;           // the install directory as a full path, for the lock (owned)
  int verbosity;           // -verbose value, -1 until given
  const char* pattern;     // selection of the extracting walk
  StringBuffer script;     // installer script met by the extracting walk
  StringBuffer probeName;  // installer script met by the probe walk
  char* startDir;          // working directory on entry (owned)
  SfxTempDir temp;         // temporary installer directory, when made
  char* scriptPath;        // absolute script path (owned)
  IoStream* scriptHeld;    // the script checked, held open while it runs, or null
  char* stdoutLog;         // "stdout.log" in the temporary directory (owned)
  bool lockTaken;          // the installation lock is ours
  char* patternText;       // owned text behind `pattern` in installer mode
  char* installDirAbs;     // installDir resolved against startDir (owned)
  char* unpackDirAbs;      // unpackDir resolved against startDir (owned)
};

// The extracting walk of every mode but unpack.
int extractingWalk(SfxRun* r, int verbosity) {
  const ZipWalkMode mode = r->autoUpdate ? zipWalkUpdate : zipWalkJournal;
  return zipWalk(&r->zip, &r->script, r->pattern, mode, verbosity, nullptr) == 0 ? 0 : -1;
}

// The installer's argument vector: script, the caller's arguments, then
// "-f" and "-l" unless the caller gave them. The strings are borrowed.
const char** buildInstallerArgs(SfxRun* r, const OsScriptCommand* command, int argc, char** argv, int* slots) {
  const char** v = memNewArray(const char*, argc + 5 + SFX_ARRAY_SIZE(command->words));
  int n = 0;
  bool fSeen = false, lSeen = false;
  for (int i = 0; i < command->count; i++) v[n++] = command->words[i];
  v[n++] = r->scriptPath;
  for (int i = 1; i < argc; i++) {
    v[n++] = argv[i];
    if (strEqualsIgnoreCase(argv[i], "-f")) fSeen = true;
    if (strEqualsIgnoreCase(argv[i], "-l")) lSeen = true;
  }
  if (!fSeen && r->stdoutLog) {
    v[n++] = "-f";
    v[n++] = r->stdoutLog;
  }
  if (!lSeen) {
    v[n++] = "-l";
    v[n++] = logGetLevelSpec();
  }
  v[n++] = nullptr;
  *slots = n;
  return v;
}

// Runs the installer script and reacts to its result.
int runInstaller(SfxRun* r, int argc, char** argv) {
  if (r->temp.path) {
    char* base = nullptr;
    if (osFileJoinPath(r->temp.path, "stdout.log", &r->stdoutLog) != 0) return 2;
    if (osDirRealPath(r->temp.path, sbGet(&r->script), &base) != 0) return 2;
    r->scriptPath = base;
  } else {
    r->scriptPath = memStrDup(sbGet(&r->script));
  }
  int slots = 0;
  OsScriptCommand command;
  osScriptCommand(r->scriptPath, r->scriptHeld, &command);
  const char** args = buildInstallerArgs(r, &command, argc, argv, &slots);
  logDebug(logCatSfx, "Executing %s with %d arguments\n", r->scriptPath, slots);
  for (int i = 0; i < slots; i++) logDebug(logCatSfx, "[%d] = '%s'\n", i, args[i] ? args[i] : "(null)");

  int rc = osRunArgv(args, nullptr, nullptr, nullptr, nullptr);
  memFree(args);
  iosClose(r->scriptHeld);
  r->scriptHeld = nullptr;
  int result;
  if (rc == 0) {
    sfxDumpLogs(&r->temp);
    logInfo(logCatSfx, r->autoUpdate ? "Auto-update installer succeeded\n" : "Installation succeeded\n");
    result = 0;
  } else {
    // The script's logs sit in directories the walk created: copy them
    // before the rollback removes those.
    sfxDumpLogs(&r->temp);
    zipRollback(&r->zip);
    logError(logCatSfx, r->autoUpdate ? "Auto-update installer failed\n" : "Installation failed\n");
    result = 2;
  }
  memFree(r->stdoutLog);
  r->stdoutLog = nullptr;
  return result;
}

// The update journal's place: inside the installation lock, where only the
// lock's holder writes. A new block, or null.
char* updateJournalPath(const char* installDir) {
  char* lock = nullptr;
  char* out = nullptr;
  if (lockPath(installDir, &lock) == 0) osFileJoinPath(lock, "journal", &out);
  memFree(lock);
  return out;
}

// Undoes an update that a run left unfinished (killed, power cut, the
// machine restarted): its journal is still in the lock that this run took
// over. An interrupted update is as if it never happened. 0, or -1 when
// something could not be undone (the journal stays for the next run).
int recoverInterruptedUpdate(const char* installDir) {
  char* journal = updateJournalPath(installDir);
  if (!journal) return -1;
  int rc = 0;
  if (osFileIsPresent(journal)) {
    logWarn(logCatSfx, "Found the journal of an interrupted update %s\n", journal);
    uint32_t restored = 0, removed = 0;
    if (ulRecover(journal, installDir, &restored, &removed) != 0) {
      logError(logCatSfx, "Could not undo the interrupted update recorded in %s; it is kept for the next run\n",
               journal);
      rc = -1;
    } else {
      logWarn(logCatSfx, "Recovered from the interrupted update: restored %u previous versions, removed %u files\n",
              restored, removed);
    }
  }
  memFree(journal);
  return rc;
}

// Appends n bytes of text to a pattern, each matching only itself: a
// script named with wildcard characters ("b[1]/bin/installer.sh") or with
// a leading "!" must still select itself.
void appendLiteral(StringBuffer* pattern, const char* text, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    if (strchr("*?[]\\", text[i]) || (i == 0 && text[i] == '!')) sbAppendChar(pattern, '\\');
    sbAppendChar(pattern, text[i]);
  }
}

// Resolves the directories given relative to the starting directory, and
// for an installation directory takes its lock, recovers an interrupted
// update and checks the installed release; 0 or the exit code 2.
int prepareTarget(SfxRun* r) {
  // Resolved before the working directory changes, so that the lock and
  // the installed-release check look where the caller meant.
  if (r->installDir) {
    if (osDirRealPath(r->startDir, r->installDir, &r->installDirAbs) != 0) return 2;
    r->installDir = r->installDirAbs;
  }
  if (r->unpackDir) {
    if (osDirRealPath(r->startDir, r->unpackDir, &r->unpackDirAbs) != 0) return 2;
    r->unpackDir = r->unpackDirAbs;
  }
  if (!r->installDir) return 0;
  // The lock is named by full path: the working directory changes back
  // before the lock is released.
  r->lockDir = osFileFullPath(r->installDir);
  if (!r->lockDir || osDirSetWorking(r->installDir) != 0) return 2;
  if (lockObtain(r->lockDir) != 0) return 2;
  r->lockTaken = true;
  if (recoverInterruptedUpdate(r->lockDir) != 0) return 2;
  return sfxCheckInstalledVersion(r->installDir) != 0 ? 2 : 0;
}

// Installer mode: the archive's script found by a listing selects what is
// extracted (every entry named like it) into a new temporary directory;
// without a script everything goes into the working directory. 0 or -1.
int chooseInstallerEntries(SfxRun* r, int* verbosity) {
  if (zipWalk(&r->zip, &r->probeName, nullptr, zipWalkList, zipQuiet, nullptr) != 0) return -1;
  const char* b = sbGet(&r->probeName);
  const char* dot = strrchr(b, '.');
  if (sbGetLength(&r->probeName) && dot && dot > b) {
    StringBuffer pat;
    sbInitHere(&pat);
    appendLiteral(&pat, b, (uint32_t)(dot - b));
    sbAppendString(&pat, "*.*");
    r->patternText = sbTakeString(&pat);
    sbClean(&pat);
    r->pattern = r->patternText;
    if (sfxCreateTempDir(&r->temp) != 0) return -1;
    logDebug(logCatSfx, "Found an installer script, installing install scripts %s into '%s'\n", r->pattern,
             r->temp.path);
    logDebug(logCatSfx, "Unzipping only %s\n", r->pattern);
    *verbosity = r->verbosity;
    return 0;
  }
  char* cwd = osDirCurrent();
  logInfo(logCatSfx, "Unzipping all files into directory %s\n", cwd ? cwd : ".");
  memFree(cwd);
  logDebug(logCatSfx, "Unzipping all files\n");
  *verbosity = r->verbosity >= 0 ? r->verbosity : 1;
  return 0;
}

// Runs the script the walk extracted, and only that very file: one of that
// name that was there before (the pattern left the archive's out) or was
// put there since (another directory put at its directory's path, say) is
// not run.
int runExtractedScript(SfxRun* r, int argc, char** argv) {
  char* extracted = nullptr;
  const int written = osDirRealPath(nullptr, sbGet(&r->script), &extracted) == 0
                          ? zipCheckWrittenScript(r->zip, extracted, &r->scriptHeld)
                          : -1;
  memFree(extracted);
  if (written == 0 && !r->patternText) {
    logInfo(logCatSfx, "Installer script %s was not extracted; nothing to run\n", sbGet(&r->script));
    return 0;
  }
  if (written != 1) {
    // Installing selects the script it found: not having it is a failure.
    if (written == 0) logError(logCatSfx, "Installer script %s was not extracted\n", sbGet(&r->script));
    logError(logCatSfx, "Not running installer script %s\n", sbGet(&r->script));
    zipRollback(&r->zip);
    return 2;
  }
  return runInstaller(r, argc, argv);
}

// Everything after the archive is open and the options are read.
int runMode(SfxRun* r, int argc, char** argv) {
  if (const int rc = prepareTarget(r)) return rc;
  // From the first thread on, a console interrupt is a stop request rather
  // than an immediate exit: an extraction stopped half-way is rolled back
  // (with the user's previous versions put back), and an interrupt during
  // the script lets the driver clean up.
  osThreadCreate("dummy-thread", sfxDummyThread, nullptr, nullptr, nullptr);
  if (r->unpackDir) {
    // A pattern given as well selects what is unpacked: unpacking all of
    // it would write files the caller left out on purpose.
    logInfo(logCatSfx, "Unzipping files in %s\n", r->unpackDir);
    if (r->pattern) logDebug(logCatSfx, "Unzipping only %s\n", r->pattern);
    return zipWalk(&r->zip, nullptr, r->pattern, zipWalkJournal, r->verbosity, r->unpackDir) == 0 ? 0 : 2;
  }
  int verbosity = r->verbosity;
  if (r->autoUpdate) {
    if (r->pattern) logWarn(logCatSfx, "An auto-update installs every file: the pattern %s is not used\n", r->pattern);
    logInfo(logCatSfx, "Self-extracting files for auto-update\n");
    r->pattern = "!register.properties";
    logDebug(logCatSfx, "Unzipping only %s\n", r->pattern);
    verbosity = r->verbosity >= 0 ? r->verbosity : 1;
  } else if (r->pattern) {
    logDebug(logCatSfx, "Unzipping only %s\n", r->pattern);
  } else if (chooseInstallerEntries(r, &verbosity) != 0) {
    return 2;
  }
  if (r->autoUpdate && r->lockTaken) {
    char* journal = updateJournalPath(r->lockDir);
    const int kept = journal ? zipKeepJournalOnDisk(r->zip, journal) : -1;
    memFree(journal);
    if (kept != 0) return 2;
  }
  if (extractingWalk(r, verbosity) != 0) return 2;
  // The walk names the archive's script even when the pattern left it out.
  return sbGetLength(&r->script) == 0 ? 0 : runExtractedScript(r, argc, argv);
}

// Ends the run's work on every path; -1 when an update could not be
// committed: its files are not all on the disk, and the next run undoes it
// from the journal, so the run must not report success.
int cleanUp(SfxRun* r) {
  int rc = 0;
  if (r->startDir) osDirSetWorking(r->startDir);
  if (r->lockTaken) {
    // The journal ends (and leaves the lock directory) before the lock goes.
    if (zipCommit(&r->zip) != 0) {
      logError(logCatSfx, "Could not commit the update; the next run undoes it\n");
      rc = -1;
    }
    lockRelease(r->lockDir);
  }
  iosClose(r->scriptHeld);
  r->scriptHeld = nullptr;
  // The archive's journals end before the temporary directory goes: what
  // the walk wrote there is finished with, not looked for after it is gone.
  zipExit(&r->zip);
  sfxRemoveTempDir(&r->temp);
  sbClean(&r->script);
  sbClean(&r->probeName);
  memFree(r->scriptPath);
  memFree(r->startDir);
  memFree(r->lockDir);
  memFree(r->patternText);
  memFree(r->installDirAbs);
  memFree(r->unpackDirAbs);
  return rc;
}

}  // namespace

void sfxDummyThread(void*) { logDebug(logCatSfx, "installer dummy thread\n"); }

namespace {

// base (taken over), or where it really is, when no other user may rename
// or replace it or a directory above it; else the system's shared
// temporary directory. Someone who could would put a directory of their
// own where the installer's was made, and the script, which finds its
// companions beside itself, would load theirs. Null (logged) when neither
// will do. Where the system offers no shared directory, base as it is.
char* trustedTempBase(char* base) {
  const char* shared = osDirSharedTemp();
  if (!shared) return base;
  char* real = nullptr;
  const bool present = osIsDirPresent(base);
  if (present && osFileResolveLinks(base, &real) == 0 && osDirIsTrusted(real) == 1) {
    memFree(base);
    return real;
  }
  // Why not, when the trust check has not said it already.
  const char* why = !present ? ": it is not a directory" : !real ? ": where it really is cannot be found" : "";
  memFree(real);
  if (osDirIsTrusted(shared) == 1) {
    logWarn(logCatSfx, "The temporary installer directory goes below %s, not below %s%s\n", shared, base, why);
    memFree(base);
    return memStrDup(shared);
  }
  logError(logCatSfx, "No safe directory for the temporary installer directory: neither %s nor %s\n", base, shared);
  memFree(base);
  return nullptr;
}

// The base directory of temporary installer directories: TEMP, TMP or
// TMPDIR, else the executable's directory (owned; null, logged, when none).
char* tempBase() {
  char* base = nullptr;
  const char* env = osGetEnv("TEMP");
  if (!env || !*env) env = osGetEnv("TMP");
  if (!env || !*env) env = osGetEnv("TMPDIR");
  if (env && *env)
    osDirRealPath(nullptr, env, &base);  // absolute and normalised
  else
    base = osCopyExecutableDirectory();
  if (!base) logError(logCatSfx, "No directory for the temporary installer directory\n");
  return base ? trustedTempBase(base) : nullptr;
}

// 1 when `name` in parent is a directory of identity id (not a link, not
// another directory), 0 when not, -1 when it cannot be asked.
int holdsDirectory(const OsDirHandle* parent, const char* name, const OsFileId& id) {
  OsFileId now = {};
  if (osDirHandleKindOf(parent, name) != osDirEntryDirectory) return 0;
  if (osDirHandleIdOf(parent, name, &now) != 0) return -1;
  return osFileIdSame(&now, &id) ? 1 : 0;
}

// Takes the temporary directory just made at `name` in parent for the
// run's: its identity, and that the working directory entered is it.
int pinTempDir(OsDirHandle* parent, const char* name, SfxTempDir* out) {
  OsDirHandle* here = nullptr;
  if (osDirHandleKindOf(parent, name) != osDirEntryDirectory || osDirHandleIdOf(parent, name, &out->id) != 0 ||
      osDirHandleOpen(".", &here) != 0 || osDirHandleHasId(here, &out->id) != 1) {
    logError(logCatSfx, "The temporary installer directory %s was replaced as it was made\n", out->path);
    osDirHandleClose(here);
    return -1;
  }
  osDirHandleClose(here);
  out->parent = parent;
  return 0;
}

// Makes the temporary directory `name` in base and enters it: 0, 1 when
// the name is taken (the next one is tried), -1 on failure.
int makeTempDirAt(const char* base, OsDirHandle* parent, const char* name, SfxTempDir* out) {
  char* candidate = nullptr;
  if (osDirJoinPath(base, name, &candidate) != 0) return -1;
  // Anything at the name, a dangling link included, is somebody else's:
  // take the next counter.
  if (osIsDirPresent(candidate) || osFileKindOf(candidate) >= 0) {
    memFree(candidate);
    return 1;
  }
  // A private class: creation fails when the name exists, so a directory
  // planted by someone else is never used, and other users cannot write
  // into ours before the script runs.
  if (osDirCreate(candidate, osDirTypeTraverse, nullptr) != 0) {
    const bool planted = osFileKindOf(candidate) >= 0;
    memFree(candidate);
    return planted ? 1 : -1;
  }
  out->path = candidate;
  if (osDirSetWorking(candidate) == 0 && pinTempDir(parent, name, out) == 0) return 0;
  // Made but not usable: only the very directory made goes again.
  if (holdsDirectory(parent, name, out->id) == 1) osDirHandleRemoveEmpty(parent, name);
  memFree(out->path);
  out->path = nullptr;
  return -1;
}

}  // namespace

int sfxCreateTempDir(SfxTempDir* out) {
  memset(out, 0, sizeof *out);
  char* base = tempBase();
  OsDirHandle* parent = nullptr;
  if (!base || osDirHandleOpen(base, &parent) != 0) {
    memFree(base);
    return -1;
  }
  int rc = -1;
  for (int counter = 0; counter < 10000; counter++) {
    char name[128];
    snprintf(name, sizeof name, "installer-%s-%u-%d.tmp", versionTag, osProcessId(), counter);
    rc = makeTempDirAt(base, parent, name, out);
    if (rc != 1) break;
  }
  if (rc == 1) logError(logCatSfx, "No free name for the temporary installer directory in %s\n", base);
  if (rc != 0) osDirHandleClose(parent);
  memFree(base);
  return rc == 0 ? 0 : -1;
}

namespace {

// 1 when the temporary directory's name still holds the directory made, 0
// when something else is there now (logged with `what`), -1 when the query
// failed (logged).
int tempDirIsOurs(const SfxTempDir* temp, const char* what) {
  const int ours = holdsDirectory(temp->parent, ulLeafOf(temp->path), temp->id);
  if (ours == 0)
    logError(logCatSfx, "Not %s %s: it is no longer the temporary directory this run made\n", what, temp->path);
  if (ours < 0) logError(logCatSfx, "Cannot check the temporary directory %s\n", temp->path);
  return ours;
}

}  // namespace

void sfxDumpLogs(const SfxTempDir* temp) {
  int depth = 0;
  if (temp->path && tempDirIsOurs(temp, "copying the logs of") == 1)
    osDirEnumerateEntries(temp->path, sfxDumpLogFile, &depth, osDirEntryAny, 0);
}

void sfxRemoveTempDir(SfxTempDir* temp) {
  if (temp->path && tempDirIsOurs(temp, "removing") == 1) osDirHandleRemoveTree(temp->parent, ulLeafOf(temp->path));
  osDirHandleClose(temp->parent);
  memFree(temp->path);
  memset(temp, 0, sizeof *temp);
}

// Copies the log file at path into the program's log between dashed lines.
// A log whose last line has no line end gets one, so that the closing line
// stays a line of its own.
static void copyLogFile(const char* path, const char* name) {
  IoStream* in = osFileOpenStream(path, osFileModeRead, osFileTypeLog, nullptr);
  IoStream* log = logGetStream();
  if (in && log) {
    iosPrintf(log, "Content of %s:\n", name);
    iosPrintf(log, "-----------------------\n");
    char buf[8192];
    char last = '\n';
    for (;;) {
      uint32_t got = 0;
      if (iosRead(in, buf, sizeof buf, &got) != 0 || got == 0) break;
      iosWrite(log, buf, got, nullptr);
      last = buf[got - 1];
    }
    iosPrintf(log, "%s-----------------------\n", last == '\n' ? "" : "\n");
    iosFlush(log);
  }
  if (in) iosClose(in);
}

int sfxDumpLogFile(const char* dir, const char* name, int type, void* context) {
  logTrace(logCatSfx, "Looking for *.log at %s file %s\n", dir, name);
  int* depth = static_cast<int*>(context);
  char* path = nullptr;
  if (osFileJoinPath(dir, name, &path) != 0) return 0;
  // Links are not followed, devices not read, and mounted directories and
  // files not entered: the script's logs are plain files in its own
  // directories.
  const bool isLog = type == osDirEntryFile && strEndsWithIgnoreCase(name, ".log");
  if ((type == osDirEntryDirectory || isLog) && osDirIsMountPoint(path)) {
    logWarn(logCatSfx, "Not looking for *.log files in %s: it is mounted from elsewhere\n", path);
  } else if (type == osDirEntryDirectory) {
    if (*depth < sfxLogDepth) {
      ++*depth;
      osDirEnumerateEntries(path, sfxDumpLogFile, depth, osDirEntryAny, 0);
      --*depth;
    } else {
      logWarn(logCatSfx, "Not looking for *.log files below %s: it is more than %d directories down\n", path,
              sfxLogDepth);
    }
  } else if (isLog) {
    copyLogFile(path, name);
  }
  memFree(path);
  return 0;
}

int sfxMain(int argc, char** argv, bool* contentFound) {
  *contentFound = false;
  SfxRun r{};
  r.verbosity = -1;
  sbInitHere(&r.script);
  sbInitHere(&r.probeName);
  r.startDir = osDirCurrent();
  const char* exe = osGetExecutableName();
  int result = 0;

  if (argc == 2 && strcmp(argv[1], "-v") == 0) {
    printf("%s\n", buildId);
    fflush(stdout);
    cleanUp(&r);
    return 0;
  }
  if (zipOpen(&r.zip, exe, true) != 0) {
    cleanUp(&r);
    return 2;
  }
  *contentFound = true;
  logDebug(logCatSfx, "Located ZIP files argc=%d\n", argc);
  // A signed installer carries the digest of its archive: check it before
  // anything is read from the archive.
  if (sfxVerifyPayload(r.zip, exe) != 0) {
    cleanUp(&r);
    return 2;
  }

  // A logging option without its value was reported at start-up: the run
  // would go on without the log that was asked for.
  if (logMissedOptionValue()) {
    cleanUp(&r);
    return 2;
  }
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    bool hasValue = i + 1 < argc;
    logTrace(logCatSfx, "arg #%d = '%s'\n", i, a);
    if (strcmp(a, "--") == 0) break;  // the rest is the script's
    if (strEqualsIgnoreCase(a, "--unpack")) {
      if (!hasValue) {
        logError(logCatSfx, "No unpack directory argument given\n");
        cleanUp(&r);
        return 2;
      }
      r.unpackDir = argv[++i];
    } else if (strEqualsIgnoreCase(a, "--auto-update")) {
      r.autoUpdate = true;
    } else if (r.autoUpdate && strEqualsIgnoreCase(a, "-d")) {
      // Without its value the update would go into whatever directory it
      // was started in.
      if (!hasValue) {
        logError(logCatSfx, "No install directory argument given\n");
        cleanUp(&r);
        return 2;
      }
      r.installDir = argv[++i];
      logDebug(logCatSfx, "Parsed installDir = %s\n", r.installDir);
    } else if (strEqualsIgnoreCase(a, "-verbose") && hasValue) {
      r.verbosity = (int)strtol(argv[++i], nullptr, 10);
      logDebug(logCatSfx, "Parsed verbose = %d\n", r.verbosity);
    } else if (strEqualsIgnoreCase(a, "-copyright")) {
      printf("%s\n%s\n", copyrightLine, releaseVersion);
      fflush(stdout);
      cleanUp(&r);
      return 0;
    } else if (strEqualsIgnoreCase(a, "--pattern") && hasValue) {
      r.pattern = argv[++i];
      logDebug(logCatSfx, "Parsed pattern = %s\n", r.pattern);
    } else if (strEqualsIgnoreCase(a, "-u")) {
      if (!hasValue) {
        logError(logCatSfx, "No log file argument given\n");
        cleanUp(&r);
        return 2;
      }
      const char* file = argv[++i];
      logDebug(logCatSfx, "Unattended install with logging to %s\n", file);
      progressSetEnabled(false);
      logSetLogFile(file);
      logReopen();
    }
  }
  result = runMode(&r, argc, argv);
  if (cleanUp(&r) != 0) result = -1;
  return result == 0 ? 0 : 2;
}

int sfxRun(int argc, char** argv) {
  bool contentFound = false;
  int rc = sfxMain(argc, argv, &contentFound);
  if (rc != 0 && !contentFound) logFatal(logCatSfx, "No installation content found in %s\n", argv[0]);
  return rc;
}
