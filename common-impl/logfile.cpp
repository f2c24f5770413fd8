// Log output: the record prefix, lines and dumps, the single log stream
// shared by all threads, log file names with their ${...} variables,
// switching, numbered rotation and removal of old logs.
#include <cstdio>
#include <cstring>

#include "build.h"
#include "iosbuffered.h"
#include "iostream.h"
#include "logging.h"
#include "logoutput.h"
#include "memory.h"
#include "osconv.h"
#include "osdate.h"
#include "osdir.h"
#include "osdirhandle.h"
#include "osdump.h"
#include "osenv.h"
#include "osfile.h"
#include "osinit.h"
#include "osprocess.h"
#include "ossocket.h"
#include "osthread.h"
#include "parameters-get-gen.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"

LogOutput logOut = {
    .stream = nullptr,
    .currentFile = nullptr,
    .previousFile = nullptr,
    .lastPattern = nullptr,
    .currentSize = 0,
    .maxSize = 0,
    .keepCount = 0,
    .records = 0,
    .bytes = 0,
    .nextFlush = 0,
    .switching = true,
    .switchAllowed = true,
    .targetLostNote = false,
    .mutex = nullptr,
    .pipe = nullptr,
    .pipeActive = false,
    .crashLogName = {0},
    .openFailureWarned = false,
};

namespace {

// Longest prefix a line carries, so that every line has room for text.
constexpr uint32_t logMaxLinePrefix = 767;
// A line: prefix and text, at most 1023 bytes, then "\n".
constexpr uint32_t logLineSize = 1024;
// Dumps show this many bytes in full, else the first and last half of it.
constexpr uint32_t logDumpLimit = 4096;
constexpr uint64_t logFlushInterval = 60000;

// Product flavour named in the log's start-up line.
const char* const logFlavor = "windows-x86";

// The run mode of the process ("standalone" or "service <name>").
char* logProcessDescription() { return osGetProcessDescription(); }

// A process parameter as a new text, or null when it is not set.
char* logParameter(const char* name) {
  if (strcmp(name, "TraceDirectory") == 0) return parGetTraceDirectory();
  if (strcmp(name, "ProcessServer") == 0) return parGetProcessServer();
  return nullptr;
}

void replaceOwned(char** slot, char* value) {
  memFree(*slot);
  *slot = value;
}

}  // namespace

int logLock() {
  if (!logOut.mutex) return -1;
  logThreadSuppress();
  osThreadLockMutex(logOut.mutex);
  logThreadUnsuppress();
  return 0;
}

void logUnlock() {
  logThreadSuppress();
  osThreadUnlockMutex(logOut.mutex);
  logThreadUnsuppress();
}

bool logOutputIsOpen() { return logOut.stream != nullptr || logOut.pipeActive.load(); }

void logOutputStatistics(uint64_t* records, uint64_t* bytes) {
  *records = logOut.records;
  *bytes = logOut.bytes;
}

// The prefix "LEVEL DATE [pid-thread] category - " (level cut to five).
void logFormatPrefix(char* buf, size_t size, uint32_t level, uint32_t cat) {
  char date[80];
  if (!osDateFormatNow(date)) strcpy(date, "?");
  snprintf(buf, size, "%-5.5s %s [%" PRIu64 "-%s] %s - ", logLevelNames[level < 9 ? level : 8], date,
           (uint64_t)osProcessId(), osThreadCurrentName(), logCategoryNames[logClampCategory(cat)]);
}

// Appends "%u bytes: " and every byte, or for more than 4096 bytes the
// first and last 2048 with " ... <skipped> ... " between, then "\n". Hex
// mode writes two lower-case digits a byte; text mode escapes what is not
// printable (and '%' and '\') so the dump stays on one line.
void logHexDump(StringBuffer* sb, bool hex, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (!p) {
    length = 0;
  } else if (length == 0) {
    length = (uint32_t)strlen(static_cast<const char*>(data));
  }
  uint32_t head = length, tailStart = length;
  if (length > logDumpLimit) {
    sbPrintf(sb, "%u bytes (%u skipped): ", length, length - logDumpLimit);
    head = logDumpLimit / 2;
    tailStart = length - logDumpLimit / 2;
  } else {
    sbPrintf(sb, "%u bytes: ", length);
  }
  static const char digits[] = "0123456789abcdef";
  auto one = [&](uint8_t c) {
    char out[4];
    uint32_t n = 0;
    if (hex) {
      out[n++] = digits[c >> 4];
      out[n++] = digits[c & 15];
    } else if (c >= 32 && c <= 126 && c != '%' && c != '\\') {
      out[n++] = (char)c;
    } else if (c == '\\' || (c >= 9 && c <= 13)) {
      static const char esc[] = "tnvfr";
      out[n++] = '\\';
      out[n++] = c == '\\' ? '\\' : esc[c - 9];
    } else {
      out[n++] = '%';
      out[n++] = digits[c >> 4];
      out[n++] = digits[c & 15];
    }
    sbAppendData(sb, out, n);
  };
  for (uint32_t i = 0; i < head; i++) one(p[i]);
  if (tailStart < length) {
    sbAppendString(sb, " ... <skipped> ... ");
    for (uint32_t i = tailStart; i < length; i++) one(p[i]);
  }
  sbAppendChar(sb, '\n');
}

// A log that goes to a socket and cannot be written any more (the listener
// went away) continues on standard error, with the record that found it
// broken, so that the rest of the run is not lost. File targets keep the
// usual behaviour: their write errors are reported by the file layer.
//
// The socket layer reports the failure through the log while the log
// stream is still writing, so the switch waits until the outermost write or
// flush has returned: the stream is never closed under its own feet.
namespace {
uint32_t logStreamBusy = 0;  // nesting of writes and flushes of logOut.stream
bool logStreamFailed = false;
}  // namespace

static void logTargetLost(const void* data, uint32_t length) {
  logStreamFailed = false;
  if (logOut.switchAllowed || !logOut.stream) return;
  IoStream* err = osFileOpen("stderr", osFileModeWrite, osFileTypeLog, nullptr, false, false);
  if (!err) return;
  IoStream* old = logOut.stream;
  logOut.stream = err;
  logOut.currentSize = 0;
  logStreamBusy++;  // what closing the socket reports goes to the new stream
  iosClose(old);
  logStreamBusy--;
  logStreamFailed = false;
  if (data && length) iosWrite(err, data, length, nullptr);
  // Told by the next flush: inside a record the message would be dropped.
  logOut.targetLostNote = true;
}

// Writes to the log stream with counting, the periodic flush and the size
// check; true when the size limit was reached and a switch is now pending.
bool logWriteBytes(const void* data, uint32_t length, bool checkSize) {
  uint64_t now = osDateNow();
  logOut.records++;
  if (logOut.stream) {
    logStreamBusy++;
    int rc = iosWrite(logOut.stream, data, length, nullptr);
    if (rc == 0 && logStreamBusy == 1 && now >= logOut.nextFlush) {
      rc = iosFlush(logOut.stream);
      logOut.nextFlush = now + logFlushInterval;
    }
    logStreamBusy--;
    if (rc != 0) logStreamFailed = true;
    if (logStreamFailed && logStreamBusy == 0) logTargetLost(data, length);
  }
  logOut.bytes += length;
  logOut.currentSize += length;
  if (!checkSize || !logOut.stream || !logFileSettingGiven() || logOut.maxSize == 0 || logOut.switching) return false;
  if (logOut.currentSize < logOut.maxSize) return false;
  logOut.switching = true;
  logInfo(logCatLogging,
          "Switching to new log file as current file size %" PRIu64 " is bigger than maximum of %" PRIu64 "\n",
          logOut.currentSize, logOut.maxSize);
  return true;
}

// Writes one finished line: into the pipe in pipe mode, else to the stream
// under the logging mutex (taken once per record, at its first line), with
// the progress line erased from the console first.
static bool logEmitLine(const char* line, uint32_t n, bool checkSize, bool* locked, bool* hid) {
  if (logPipeSend(line, n)) return false;
  if (!*locked) *locked = logLock() == 0;
  if (!*hid) *hid = progressHideForRecord();
  return logWriteBytes(line, n, checkSize);
}

// Splits a record text into lines of at most 1023 bytes plus "\n", each led
// by the prefix; a last line without "\n" gets one. The whole record is
// written under the logging mutex (in pipe mode each line is one pipe write).
bool logWriteLines(const char* text, uint32_t length, const char* prefix, bool checkSize) {
  bool locked = false;
  bool hid = false;  // the progress line was erased for this record
  bool full = false;
  char line[logLineSize];
  uint32_t prefixLen = prefix ? (uint32_t)strnlen(prefix, logMaxLinePrefix) : 0;
  memcpy(line, prefix, prefixLen);
  uint32_t n = prefixLen;
  for (uint32_t i = 0; i < length; i++) {
    line[n++] = text[i];
    if (text[i] == '\n' || n == logLineSize - 1) {
      if (text[i] != '\n') line[n++] = '\n';
      full |= logEmitLine(line, n, checkSize, &locked, &hid);
      n = prefixLen;
    }
  }
  if (n > prefixLen) {
    line[n++] = '\n';
    full |= logEmitLine(line, n, checkSize, &locked, &hid);
  }
  if (hid) progressShowAfterRecord();
  if (locked) logUnlock();
  return full;
}

bool logOutputRecord(const char* text, uint32_t length, const char* prefix) {
  return logWriteLines(text, length, prefix, true);
}

void logFlush() {
  if (!logOut.stream) return;
  static const uint8_t command = 2;
  if (logPipeSend(&command, 1)) return;
  bool locked = logLock() == 0;
  if (logOut.stream) {
    logStreamBusy++;
    if (iosFlush(logOut.stream) != 0) logStreamFailed = true;
    logStreamBusy--;
    if (logStreamFailed && logStreamBusy == 0) logTargetLost(nullptr, 0);
  }
  const bool note = logOut.targetLostNote;
  logOut.targetLostNote = false;
  if (locked) logUnlock();
  if (note) logWarn(logCatLogging, "The log connection failed; the log continues on standard error\n");
}

void logCloseStream() {
  bool locked = logLock() == 0;
  if (logOut.stream) {
    IoStream* s = logOut.stream;
    logOut.stream = nullptr;
    iosClose(s);
  }
  if (locked) logUnlock();
}

bool logGetFileId(OsFileId* id) {
  bool locked = logLock() == 0;
  const bool file = logOut.stream && logOut.currentFile && strcmp(logOut.currentFile, "stderr") != 0 &&
                    osFileStreamId(logOut.stream, id) == 0;
  if (locked) logUnlock();
  return file;
}

IoStream* logGetStream() {
  bool locked = logLock() == 0;
  IoStream* s = logOut.stream;
  if (locked) logUnlock();
  return s;
}

const char* logGetCrashLogName() { return logOut.crashLogName; }
char* logCopyCrashLogName() { return memStrDup(logOut.crashLogName); }

bool logIsLogDirectory(const char* path) {
  if (!path || !logOut.crashLogName[0]) return false;
  const char *d1 = nullptr, *d2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  osPathSplit(path, &d1, &n1, nullptr, nullptr, nullptr, nullptr);
  osPathSplit(logOut.crashLogName, &d2, &n2, nullptr, nullptr, nullptr, nullptr);
  if (n1 != n2 || (n1 && memcmp(d1, d2, n1) != 0)) return false;
  logDebug(logCatLogging, "readFile request of a logfile, temporarily logging nothing\n");
  logFlush();
  logSetEnabled(false);
  return true;
}

void logSetKeepCount(uint32_t n) { logOut.keepCount = n; }
void logSetMaxSize(uint64_t megabytes) { logOut.maxSize = megabytes << 20; }

// ---- Log file names ----

// Resolves one ${name} of a log file pattern. Unknown names and absent
// values mark the expansion as failed (context->failed).
const char* logResolveVariable(const char* name, void* context) {
  LogNameContext* ctx = static_cast<LogNameContext*>(context);
  char* owned = nullptr;
  const char* value = nullptr;
  char number[32];
  if (strEqualsIgnoreCase(name, "FileSeparator")) {
    value = osPathSeparatorString;
  } else if (strEqualsIgnoreCase(name, "ProcessId")) {
    snprintf(number, sizeof number, "%" PRIu64, (uint64_t)osProcessId());
    value = ctx->wildcard ? "*" : number;
  } else if (strEqualsIgnoreCase(name, "ProcessType")) {
    value = ctx->wildcard ? "*" : (owned = logProcessDescription());
  } else if (strEqualsIgnoreCase(name, "ProcessName")) {
    value = ctx->wildcard ? "*" : processTypeNames[processType < processTypeCount ? processType : 0];
  } else if (strEqualsIgnoreCase(name, "InstallDirectory")) {
    value = owned = osGetInstallDirectory();
  } else if (strEqualsIgnoreCase(name, "TraceDirectory")) {
    value = owned = logParameter("TraceDirectory");
  } else if (strEqualsIgnoreCase(name, "ProcessServer")) {
    value = owned = logParameter("ProcessServer");
  } else if (strEqualsIgnoreCase(name, "TimeStamp")) {
    value = ctx->wildcard ? "*" : osDateFormatLocal(osDateNow(), number, osDateFmtCompact);
  }
  if (!value) {
    ctx->failed = true;
    memFree(owned);
    return nullptr;
  }
  snprintf(ctx->value, sizeof ctx->value, "%s", value);
  memFree(owned);
  return ctx->value;
}

// Expands a log file pattern in normal or wildcard mode into *out (a new
// text); -1 when a variable is unknown or has no value.
int logExpandPattern(const char* pattern, bool wildcard, char** out) {
  *out = nullptr;
  LogNameContext ctx{};
  ctx.wildcard = wildcard;
  char* result = nullptr;
  if (strEvaluateAntExpr(pattern, logResolveVariable, &ctx, &result) != 0 || ctx.failed) {
    memFree(result);
    return -1;
  }
  *out = result;
  return 0;
}

// ---- Rotation and clean-up ----

// Makes room for `current` under the numbered name of `path` (sfx.log ->
// sfx-<n>.log), first moving an existing numbered file one number up; past
// keepCount the file is deleted instead.
void logRotateFile(const char* path, const char* current, int n) {
  const char *dir = nullptr, *base = nullptr, *ext = nullptr;
  uint32_t dirLen = 0, baseLen = 0, extLen = 0;
  osPathSplit(path, &dir, &dirLen, &base, &baseLen, &ext, &extLen);
  StringBuffer nb;
  sbInitHere(&nb);
  if (dir)
    sbPrintf(&nb, "%.*s%.*s-%d.%.*s", (int)(dirLen + 1), dir, (int)baseLen, base, n, (int)extLen, ext ? ext : "");
  else
    sbPrintf(&nb, "%.*s-%d.%.*s", (int)baseLen, base, n, (int)extLen, ext ? ext : "");
  const char* numbered = sbGet(&nb);
  if (osFileIsPresent(numbered)) logRotateFile(path, numbered, n + 1);
  if ((uint32_t)n <= logOut.keepCount) {
    if (osFileMove(current, numbered) == 0) logInfo(logCatLogging, "Renamed log file %s to %s\n", current, numbered);
  } else if (osFileDelete(current) == 0) {
    logInfo(logCatLogging, "Removed obsolete log file %s\n", current);
  }
  sbClean(&nb);
}

// Deletes the oldest files matching `wildcardPath` until keepCount remain.
static void logRemoveSurplus(const char* wildcardPath) {
  const char *dir = nullptr, *base = nullptr;
  uint32_t dirLen = 0, baseLen = 0;
  osPathSplit(wildcardPath, &dir, &dirLen, &base, &baseLen, nullptr, nullptr);
  char* dirCopy = dir ? memStrDupN(dir, dirLen ? dirLen : 1) : nullptr;
  char** list = osDirListMatching(dirCopy ? dirCopy : ".", base);
  memFree(dirCopy);
  if (!list) return;
  uint32_t count = 0;
  while (list[count]) count++;
  if (count > logOut.keepCount) {
    uint32_t surplus = count - logOut.keepCount;
    logInfo(logCatLogging, "Removing %u old logfiles\n", surplus);
    SortMap* byTime = smCreate(SORTMAP_COPIED_KEYS, nullptr, __FILE__, __LINE__);
    for (uint32_t i = 0; i < count; i++) {
      uint64_t mtime = 0;
      if (osFileGetInfo(list[i], nullptr, &mtime, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) continue;
      char key[24];
      snprintf(key, sizeof key, "%020" PRIu64, mtime);
      smPut(byTime, key, list[i]);  // equal times: the later name replaces the earlier
    }
    const char* key = nullptr;
    uint32_t removed = 0;
    for (const char* name = static_cast<const char*>(smFirst(byTime, &key)); name && removed < surplus;
         name = static_cast<const char*>(smNext(byTime, &key))) {
      removed++;
      if (osFileDelete(name) == 0) logInfo(logCatLogging, "Removed obsolete log file %s\n", name);
    }
    smDestroy(byTime);
  }
  osDirFreeList(list);
}

// Trims the logs matching the configured pattern (variables as wildcards)
// and the crash dumps in the log directory to keepCount files each.
void logCleanupOldLogs() {
  const char* pattern = logGetLogFileSetting();
  char* wild = nullptr;
  if (!pattern || !*pattern || logExpandPattern(pattern, true, &wild) != 0) return;
  logDebug(logCatLogging, "Finding old logs in %s\n", wild);
  logRemoveSurplus(wild);
  char* parent = nullptr;
  if (osDirCopyParentDirectory(wild, &parent) == 0 && parent) {
    char* dumps = nullptr;
    if (osDirJoinPath(parent, "*.dmp", &dumps) == 0) logRemoveSurplus(dumps);
    memFree(dumps);
  }
  memFree(parent);
  memFree(wild);
}

// ---- Switching ----

// Opens the configured log or switches to a new one; see the header.
namespace {

// The name the log setting gives now (null without a setting); a name that
// exists already is made again a second later, to be unique.
char* expandLogName(const char* pattern) {
  char* name = nullptr;
  if (!pattern || !*pattern) return nullptr;
  if (logExpandPattern(pattern, false, &name) != 0) {
    // Said, or the log asked for would be missing without a word.
    logWarn(logCatLogging, "Log file name %s holds a variable without a value; logging to standard error\n", pattern);
    return nullptr;
  }
  if (!osFileIsStdOutputName(name) && osFileIsPresent(name)) {
    logDebug(logCatLogging, "LogFile %s already exist\n", name);
    logInfo(logCatLogging, "Regenerating logfile name to be unique\n");
    osSleep(1000);
    char* again = nullptr;
    if (logExpandPattern(pattern, false, &again) == 0) replaceOwned(&name, again);
    logDebug(logCatLogging, "Newly generated LogFile = %s\n", name);
  }
  return name;
}

// Goes on writing the current log (a switch to the same file): only the
// levels and the buffer size are applied again.
void continueLog() {
  logInfo(logCatLogging, "Continuing logging in %s\n", logOut.currentFile);
  logParseLevels(logGetLevelSetting());
  const char* levels = logGetLevelSpec();
  logInfo(logCatLogging, "Logging at level %s\n", levels ? levels : "<null>");
  if (logOut.stream) {
    logThreadSuppress();
    iosWrapBufferedOutputStream(logOut.stream, logGetBufferSize());
    logThreadUnsuppress();
  }
  logFlush();
}

// Crash dumps go beside the log file, or into the current directory for a
// standard stream or a name without a directory.
void setDumpDirectoryFor(const char* name, bool stdName) {
  const char* dir = nullptr;
  uint32_t dirLen = 0;
  osPathSplit(name, &dir, &dirLen, nullptr, nullptr, nullptr, nullptr);
  const char* process = processTypeNames[processType < processTypeCount ? processType : 0];
  if (!dir || stdName) {
    logDebug(logCatLogging, "opsys.dump will use current dir\n");
    osDumpSetDirectory(nullptr, process);
    return;
  }
  // A file in the root directory has an empty directory part.
  char* dumpDir = dirLen ? memStrDupN(dir, dirLen) : memStrDup(osPathSeparatorString);
  osDumpSetDirectory(dumpDir, process);
  memFree(dumpDir);
}

// Makes the newly opened stream `fresh` (of the file `name`, taken over)
// the log: the old one is closed, and the new one is announced with the
// levels, build and environment.
void adoptLog(char* name, IoStream* fresh, bool stdName) {
  memFree(logOut.previousFile);
  logOut.previousFile = logOut.currentFile;
  logOut.currentFile = name;
  IoStream* old = logOut.stream;
  if (old) logInfo(logCatLogging, "Switching log to %s\n", name);
  logFlush();
  snprintf(logOut.crashLogName, sizeof logOut.crashLogName, "%s", name);
  setDumpDirectoryFor(name, stdName);
  logOut.stream = fresh;
  logOut.currentSize = 0;
  logParseLevels(logGetLevelSetting());
  if (old) {
    if (processType == 1 || processType == 2) osFileRedirectStdHandles(fresh);
    iosClose(old);
  }
  if (logOut.previousFile) logInfo(logCatLogging, "Closed logfile %s\n", logOut.previousFile);
  logThreadSuppress();
  if (!stdName) {
    uint64_t size = 0;
    if (osFileGetInfo(name, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0)
      logOut.currentSize = size;
  }
  iosWrapBufferedOutputStream(fresh, logGetBufferSize());
  logThreadUnsuppress();
  uint32_t at = processType == 1 ? logLevelInfo : logLevelDebug;
  logAt(at, logCatLogging, "Logging to %s at level %s\n", logOut.currentFile, logGetLevelSpec());
  iosLogStack(logLevelTrace, logCatLogging, fresh);
  logAt(at, logCatLogging, "Flavor %s build %s\n", logFlavor, buildId);
  if (processType == 1 && strchr(logGetLevelSpec(), ',')) logListLevels(false);
  convLogCharsets();
  osLogEnvironment();
  if (logOut.keepCount && !stdName) logCleanupOldLogs();
}

// Whether the log may be written at `name`: no link on the way that another
// user made (it may lead anywhere), and its directory, as spelled and where
// it really is, one that no other user can change (or nothing stops him
// from swapping a link in between this check and the open).
bool logPlaceTrusted(const char* name) {
  if (osDirLinksTrusted(nullptr, name) != 1) return false;
  char *dir = nullptr, *real = nullptr;
  const bool trusted = osDirCopyParentDirectory(name, &dir) == 0 && dir && osDirIsTrusted(dir) == 1 &&
                       osFileResolveLinks(dir, &real) == 0 && osDirIsTrusted(real) == 1;
  memFree(real);
  memFree(dir);
  return trusted;
}

// Opens the log file `name` (taken over) and makes it the log; a forced
// switch to the same file rotates the file first.
int openLog(char* name, bool forceNew, bool stdName) {
  if (forceNew && logOut.stream && logOut.currentFile && strcmp(logOut.currentFile, name) == 0 && !stdName) {
    logInfo(logCatLogging, "Switching log to %s\n", name);
    IoStream* old = logOut.stream;
    logOut.stream = nullptr;
    iosClose(old);
    logRotateFile(name, name, 1);
  }
  // Others may read the log while it is written, nothing more.
  IoStream* fresh = stdName || logPlaceTrusted(name)
                        ? osFileOpen(name, osFileModeAppend, osFileTypeLog, nullptr, false, false)
                        : nullptr;
  // A log file that another user made beforehand is his to read and rewrite.
  if (fresh && !stdName && !osFileStreamOwnerTrusted(fresh)) {
    logWarn(logCatLogging, "%s belongs to another user\n", name);
    iosClose(fresh);
    fresh = nullptr;
  }
  if (!fresh) {
    // The log that stays in use (standard error before the first open)
    // still gets the levels asked for; the first failure is a warning.
    logParseLevels(logGetLevelSetting());
    logAt(logOut.openFailureWarned ? logLevelInfo : logLevelWarn, logCatLogging, "Failed to switch log to %s\n", name);
    logOut.openFailureWarned = true;
    memFree(name);
    return -1;
  }
  adoptLog(name, fresh, stdName);
  return 0;
}

}  // namespace

int logSwitchFile(bool forceNew) {
  if (!logOut.switchAllowed && logOut.stream) return -1;
  const char* pattern = logGetLogFileSetting();
  char* name = expandLogName(pattern);
  if (!name) name = memStrDup("stderr");

  bool locked = logLock() == 0;
  logOut.switching = true;
  bool stdName = osFileIsStdOutputName(name);
  bool samePattern = false;
  if (stdName) {
    if (strEqualsIgnoreCase(name, "stdout")) logSetErrLevelEnvName(true);
  } else {
    samePattern = logOut.lastPattern && pattern && strcmp(logOut.lastPattern, pattern) == 0;
    char* real = nullptr;
    if (osDirRealPath(nullptr, name, &real) == 0 && real) replaceOwned(&name, real);
    logSetErrLevelEnvName(false);
  }
  replaceOwned(&logOut.lastPattern, pattern && *pattern ? memStrDup(pattern) : nullptr);

  int result = 0;
  if (logOut.currentFile && !forceNew && (strcmp(logOut.currentFile, name) == 0 || (!stdName && samePattern))) {
    continueLog();
    memFree(name);
  } else {
    result = openLog(name, forceNew, stdName);
  }
  logOut.switching = false;
  if (locked) logUnlock();
  return result;
}

int logReopen() {
  static const uint8_t command = 3;
  if (logPipeSend(&command, 1)) return 0;
  if (!logOut.switchAllowed) return -1;
  return logSwitchFile(false);
}

// The socket target: QZR_LOG_PIPE "socket:<host>:<port>" (syntax in
// ossocket.h) sends the log to a TCP listener, one send per line. The
// connection replaces the log stream under the logging mutex, and from then
// on the log is not switched or reopened. A value that
// does not parse or a host that does not answer leaves the log where it was;
// the socket layer has logged why.
void logConnectSocket() {
  const char* value = osGetEnv("QZR_LOG_PIPE");
  if (!value || strncmp(value, "socket:", 7) != 0) return;
  OsSocketAddress* address = memNew(OsSocketAddress);
  IoStream* socket = nullptr;  // the connection to the parsed address
  if (osSocketParseAddress(value, address) == 0) osSocketConnect(address, osSocketConnectTimeoutMs, &socket);
  if (socket) {
    // Unbuffered, so a lost listener costs no more than the line that finds
    // it gone, and that line goes to standard error.
    logInfo(logCatLogging, "Switching log to %s\n", value);
    bool locked = logLock() == 0;
    IoStream* old = logOut.stream;
    logOut.stream = socket;
    logOut.switchAllowed = false;
    logOut.currentSize = 0;
    logOut.nextFlush = 0;
    if (locked) logUnlock();
    iosClose(old);
    logDebug(logCatLogging, "Logging to %s\n", value);
  } else {
    logInfo(logCatLogging, "No log connection for %s; logging stays in %s\n", value,
            logOut.currentFile ? logOut.currentFile : "stderr");
  }
  memFree(address);
}

void logOutputRelease() {
  memFree(logOut.lastPattern);
  memFree(logOut.previousFile);
  memFree(logOut.currentFile);
  logOut.lastPattern = logOut.previousFile = logOut.currentFile = nullptr;
  if (logOut.mutex) {
    OsMutex* m = logOut.mutex;
    logOut.mutex = nullptr;
    osThreadDestroyMutex(m);
  }
}
