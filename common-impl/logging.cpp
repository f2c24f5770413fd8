// Logging: the category and level tables, the log call, the level syntax,
// logInit and logExit. Record output to log files lives in logfile.cpp.
#include "logging.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "logoutput.h"
#include "memory.h"
#include "osdate.h"
#include "osenv.h"
#include "osinit.h"
#include "osthread.h"
#include "stringbuf.h"

const char* const logLevelNames[9] = {"NONE", "FATAL", "ERROR", "WARN", "INFO", "INFO", "DEBUG", "NET", "TRACE"};

const char* const logCategoryNames[logCatCount] = {
#include "logcategories.inc"
};
static_assert(SFX_ARRAY_SIZE(logCategoryNames) == 207, "the category table has 207 rows");

// Row 0 matches any process; 3 is the unit-test runner of the library.
const char* const processTypeNames[processTypeCount] = {
    "*", "agent", "manager", "cunit", "utilix", "jobexec", "service", "sfx", "runner", "jobrunner", "switcher",
};

uint32_t logLevels[logCatCount] = {
#define L4 4, 4, 4, 4, 4, 4, 4, 4, 4, 4
    L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, L4, 4, 4, 4, 4, 4, 4, 4,
#undef L4
};
static_assert(SFX_ARRAY_SIZE(logLevels) == 207);

uint32_t processType = processTypeSfx;

namespace {

// Process-wide logging state.
struct LogState {
  bool enabled = true;             // master switch
  bool enabledLocked = false;      // master switch frozen
  char* levelSetting = nullptr;    // --loglevel / -l
  char* logFileSetting = nullptr;  // --logfile / -f / -u / "stderr"
  char* levelSpec = nullptr;       // normalised text of the last parse
  StringBuffer childLevels{};      // elements handed to child processes
  uint32_t bufferSize = 0;         // buffer=<n>
  const char* errLevelEnvName = "QZR_ERR_LOGLEVEL";
  bool pipeRequested = false;
};
LogState logState;

// logCategoryLevelFor lends this row of the table another name for one parse.
constexpr uint32_t logSpareCategory = logCatUnknown;
const char* logSpareCategoryName = nullptr;

bool asciiEqualNoCase(const char* a, size_t alen, const char* b) {
  size_t blen = strlen(b);
  if (alen != blen) return false;
  for (size_t i = 0; i < alen; i++) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = (char)(x - 32);
    if (y >= 'a' && y <= 'z') y = (char)(y - 32);
    if (x != y) return false;
  }
  return true;
}

// Case-insensitive prefix test over `len` bytes of `a` against `b`.
bool asciiPrefixNoCase(const char* a, size_t len, const char* b) {
  for (size_t i = 0; i < len; i++) {
    char x = a[i], y = b[i];
    if (!y) return false;
    if (x >= 'a' && x <= 'z') x = (char)(x - 32);
    if (y >= 'a' && y <= 'z') y = (char)(y - 32);
    if (x != y) return false;
  }
  return true;
}

void replaceOwned(char** slot, const char* value) {
  char* old = *slot;
  *slot = value ? memStrDup(value) : nullptr;
  memFree(old);
}

// Writes a record straight to standard error: the path used before a log
// stream is open and after logExit. A dump variant writes no dump here.
void logToStderr(uint32_t level, uint32_t cat, const char* fmt, va_list ap, bool dump) {
  char prefix[1024];
  logFormatPrefix(prefix, sizeof prefix, level, cat);
  if (*fmt == '-' && dump) fmt++;
  StringBuffer body;
  sbInitHere(&body);
  sbAppendString(&body, prefix);
  sbVPrintf(&body, fmt, ap);
  if (dump) sbAppendChar(&body, '\n');
  fwrite(sbGet(&body), 1, sbGetLength(&body), stderr);
  fflush(stderr);
  sbClean(&body);
}

// The error-forwarding hook of mode 2 and 3: this program forwards nothing.
int logForwardError(StringBuffer* errorBuffer, const char* text) {
  (void)errorBuffer;
  (void)text;
  return -1;
}

// Hands the record text, trimmed of white space, to the forwarding hook.
void logForwardRecord(StringBuffer* record) {
  const char* t = sbGet(record);
  uint32_t len = sbGetLength(record);
  uint32_t start = 0;
  while (start < len && isspace((unsigned char)t[start])) start++;
  while (len > start && isspace((unsigned char)t[len - 1])) len--;
  char* trimmed = memStrDupN(t + start, len - start);
  logForwardError(osThreadErrorBuffer(), trimmed);
  memFree(trimmed);
}

// Moves the record text into the thread's error buffer.
void logAppendToErrorBuffer(StringBuffer* record) {
  StringBuffer* err = osThreadErrorBuffer();
  if (err) sbAppendStringBuffer(err, record);
  sbEmpty(record);
}

// Writes a formatted record by level and error-buffer mode; true when the
// log reached its size limit.
bool logDispatch(uint32_t level, uint32_t cat, StringBuffer* record) {
  uint32_t mode = level >= logLevelInfo2 ? 0 : logErrorBufferMode();
  if (mode > 5) return false;
  bool severe = level <= logLevelError;
  if (mode == 3) {
    if (severe) logForwardRecord(record);
    return false;
  }
  if (mode == 5) {
    logAppendToErrorBuffer(record);
    return false;
  }
  char prefix[1024];
  logFormatPrefix(prefix, sizeof prefix, level, cat);
  if (mode == 2 && severe) {
    size_t n = strlen(prefix);
    snprintf(prefix + n, sizeof prefix - n, "%s", "Sending following error to server: ");
  }
  bool full = logOutputRecord(sbGet(record), sbGetLength(record), prefix);
  if (mode == 2 && severe) logForwardRecord(record);
  if (mode == 4 && level <= logLevelWarn) logAppendToErrorBuffer(record);
  return full;
}

// The common path of every log call after the caller's gate.
void logDeliver(uint32_t level, uint32_t cat, const char* fmt, va_list ap, const void* data, uint32_t len, bool dump) {
  if (!logState.enabled || !fmt || !*fmt) return;
  cat = logClampCategory(cat);
  if (level > logLevels[cat]) return;
  if (!logOutputIsOpen()) {
    logToStderr(level, cat, fmt, ap, dump);
    return;
  }
  // Threads outside the thread layer have no record buffer; their records
  // are formatted in a buffer of their own instead of being lost.
  StringBuffer local;
  StringBuffer* record = osThreadRecordBuffer();
  if (!record) record = sbInitHere(&local);
  bool full = false;
  if (logThreadSuppress() == 1) {
    sbEmpty(record);
    bool hex = false;
    if (dump && *fmt == '-') {
      hex = true;
      fmt++;
    }
    sbVPrintf(record, fmt, ap);
    if (dump) {
      sbAppendChar(record, ' ');
      logHexDump(record, hex, data, len);
    }
    full = logDispatch(level, cat, record);
  }
  logThreadUnsuppress();
  if (record == &local) sbClean(&local);
  if (full) logSwitchFile(true);
}

}  // namespace

void logSuppress() { osThreadSuppressIncrement(); }
void logUnsuppress() { osThreadSuppressDecrement(); }
int32_t logThreadSuppress() { return osThreadSuppressIncrement(); }
int32_t logThreadUnsuppress() { return osThreadSuppressDecrement(); }
uint32_t logErrorBufferMode() { return osThreadGetErrorMode(); }
void logSetErrorBufferMode(uint32_t mode) { osThreadSetErrorMode(mode); }

#define LOG_VARIADIC(name, level, flush)                \
  void name(uint32_t cat, const char* fmt, ...) {       \
    va_list ap;                                         \
    va_start(ap, fmt);                                  \
    logDeliver(level, cat, fmt, ap, nullptr, 0, false); \
    va_end(ap);                                         \
    if (flush) logFlush();                              \
  }
#define LOG_VARIADIC_STR(name, level, flush)                                      \
  void name(uint32_t cat, const char* fmt, const void* data, uint32_t len, ...) { \
    va_list ap;                                                                   \
    va_start(ap, len);                                                            \
    logDeliver(level, cat, fmt, ap, data, len, true);                             \
    va_end(ap);                                                                   \
    if (flush) logFlush();                                                        \
  }

LOG_VARIADIC(logFatalFunc, logLevelFatal, true)
LOG_VARIADIC(logErrorFunc, logLevelError, true)
LOG_VARIADIC(logWarnFunc, logLevelWarn, true)
LOG_VARIADIC(logInfoFunc, logLevelInfo, true)
LOG_VARIADIC(logDebugFunc, logLevelDebug, false)
LOG_VARIADIC(logNetFunc, logLevelNet, false)
LOG_VARIADIC(logTraceFunc, logLevelTrace, false)
LOG_VARIADIC_STR(logErrorStrFunc, logLevelError, true)
LOG_VARIADIC_STR(logInfoStrFunc, logLevelInfo, true)
LOG_VARIADIC_STR(logDebugStrFunc, logLevelDebug, false)
LOG_VARIADIC_STR(logNetStrFunc, logLevelNet, false)
LOG_VARIADIC_STR(logTraceStrFunc, logLevelTrace, false)

void logAt(uint32_t level, uint32_t cat, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  logDeliver(level, cat, fmt, ap, nullptr, 0, false);
  va_end(ap);
}

void logV(uint32_t level, uint32_t cat, const char* fmt, va_list ap) {
  logDeliver(level, cat, fmt, ap, nullptr, 0, false);
}

// Both formats share the arguments; the thread's error-buffer mode decides
// which of them is written.
void logErrorServer(uint32_t cat, const char* logFmt, const char* serverFmt, ...) {
  if (!logFmt || !*logFmt || !serverFmt || !*serverFmt) return;
  va_list ap;
  uint32_t mode = logErrorBufferMode();
  if (mode == 2) {
    logSetErrorBufferMode(3);
    va_start(ap, serverFmt);
    logDeliver(logLevelError, cat, serverFmt, ap, nullptr, 0, false);
    va_end(ap);
    logSetErrorBufferMode(1);
    va_start(ap, serverFmt);
    logDeliver(logLevelError, cat, logFmt, ap, nullptr, 0, false);
    va_end(ap);
    logSetErrorBufferMode(2);
  } else {
    va_start(ap, serverFmt);
    logDeliver(logLevelError, cat, mode == 3 ? serverFmt : logFmt, ap, nullptr, 0, false);
    va_end(ap);
  }
  logFlush();
}

int logLevelFromName(const char* name, size_t len) {
  for (int i = 0; i < 9; i++)
    if (asciiEqualNoCase(name, len, logLevelNames[i])) return i;
  return -1;
}

void logSetLogFile(const char* name) { replaceOwned(&logState.logFileSetting, name); }
void logSetLogLevel(const char* levels) { replaceOwned(&logState.levelSetting, levels); }

const char* logGetLogFileSetting() {
  if (logState.logFileSetting) return logState.logFileSetting;
  return osGetEnv("QZR_LOGFILE");
}

const char* logGetLevelSetting() {
  if (logState.levelSetting) return logState.levelSetting;
  const char* env = osGetEnv("QZR_LOGLEVEL");
  if (env && *env) return env;
  return "info";
}

const char* logGetLevelSpec() { return logState.levelSpec ? logState.levelSpec : logGetLevelSetting(); }

const char* logGetChildLevel() {
  const char* text = sbGetLength(&logState.childLevels) ? sbGet(&logState.childLevels) : nullptr;
  logTrace(logCatLogging, "childLogLevel='%s'\n", text ? text : "<null>");
  return text;
}

void logSetErrLevelEnvName(bool toStdout) {
  logState.errLevelEnvName = toStdout ? "QZR_OUT_LOGLEVEL" : "QZR_ERR_LOGLEVEL";
}
uint32_t logGetBufferSize() { return logState.bufferSize; }
bool logPipeRequested() { return logState.pipeRequested; }
void logSetPipeRequested(bool on) { logState.pipeRequested = on; }
bool logFileSettingGiven() { return logState.logFileSetting != nullptr; }
const char* logGetErrLevelEnvName() { return logState.errLevelEnvName; }

void logListLevels(bool toStderr) {
  for (uint32_t i = 0; i < logCatCount; i++) {
    const char* name = logCategoryNames[i];
    size_t n = strlen(name);
    if (n >= 4 && strcmp(name + n - 4, "test") == 0) continue;
    if (toStderr)
      fprintf(stderr, " %-20s = %s\n", name, logLevelNames[logLevels[i] < 9 ? logLevels[i] : 8]);
    else
      logInfo(logCatLogging, "%-20s = %s\n", name, logLevelNames[logLevels[i] < 9 ? logLevels[i] : 8]);
  }
}

void logSetEnabled(bool on) {
  if (!logState.enabledLocked) logState.enabled = on;
}
bool logIsEnabled() { return logState.enabled; }

uint32_t logSetCategoryLevel(uint32_t cat, uint32_t level) {
  cat = logClampCategory(cat);
  uint32_t old = logLevels[cat];
  logLevels[cat] = level;
  return old;
}

static void setAllLevels(uint32_t level) {
  for (uint32_t& l : logLevels) l = level;
}

// Applies one name=level element; returns whether it counts as recognised.
static bool applyCategoryElement(const char* name, size_t nameLen, uint32_t level, const char* elem, size_t elemLen) {
  uint32_t proc = 0;
  const char* pattern = name;
  size_t patLen = nameLen;
  for (uint32_t p = 0; p < processTypeCount; p++) {
    size_t pn = strlen(processTypeNames[p]);
    if (pn + 1 <= nameLen && asciiPrefixNoCase(name, pn, processTypeNames[p]) && name[pn] == '.') {
      proc = p;
      pattern = name + pn + 1;
      patLen = nameLen - pn - 1;
      break;
    }
  }
  bool wildcard = patLen > 0 && pattern[patLen - 1] == '*';
  if (wildcard) patLen--;
  bool recognised = proc == 8 || proc == 9;
  if ((processType == 1 || processType == 2) && (proc == 4 || proc == 8 || proc == 9)) {
    sbAppendChar(&logState.childLevels, ',');
    sbAppendData(&logState.childLevels, elem, (uint32_t)elemLen);
  }
  for (uint32_t c = 0; c < logCatCount; c++) {
    const char* cn = c == logSpareCategory && logSpareCategoryName ? logSpareCategoryName : logCategoryNames[c];
    bool match = wildcard ? (strlen(cn) >= patLen && asciiPrefixNoCase(pattern, patLen, cn))
                          : asciiEqualNoCase(pattern, patLen, cn);
    if (!match) continue;
    if (proc == 0 || proc == processType) {
      logLevels[c] = level;
      recognised = true;
    }
  }
  return recognised;
}

namespace {

// A level text being parsed: the default level so far, the level an
// unrecognised element falls back to, the normalised text, and whether
// "help" was asked for.
struct LevelParse {
  uint32_t d, r;
  StringBuffer* n;
  bool help;
};

// Applies one element of a level text ("help", a level, "buffer=<n>" or
// "[<process>.]<category>=<level>") and adds it to the normalised text;
// false when it is not recognised.
bool applyLevelElement(LevelParse* lp, const char* p, size_t len) {
  const char* eq = (const char*)memchr(p, '=', len);
  if (!eq) {
    int lvl = logLevelFromName(p, len);
    if (len == 4 && asciiEqualNoCase(p, 4, "help")) return lp->help = true;
    if (lvl < 0) return false;
    if (sbGetLength(lp->n) == 0) {
      if ((uint32_t)lvl > lp->d) lp->d = (uint32_t)lvl;
    } else {
      lp->d = (uint32_t)lvl;
      sbAppendChar(lp->n, ',');
    }
    sbAppendString(lp->n, logLevelNames[lp->d]);
    setAllLevels(lp->d);
    lp->r = lp->d;
    return true;
  }
  size_t nameLen = (size_t)(eq - p);
  const char* value = eq + 1;
  size_t valueLen = len - nameLen - 1;
  int lvl = logLevelFromName(value, valueLen);
  if (asciiPrefixNoCase(p, nameLen, "buffer")) {
    uint32_t v = 0;
    for (size_t i = 0; i < valueLen && value[i] >= '0' && value[i] <= '9'; i++) v = v * 10 + (uint32_t)(value[i] - '0');
    logState.bufferSize = v;
    sbAppendChar(lp->n, ',');
    sbAppendData(lp->n, p, (uint32_t)len);
    return true;
  }
  if (lvl < 0) return false;
  const bool recognised = applyCategoryElement(p, nameLen, (uint32_t)lvl, p, len);
  sbAppendChar(lp->n, ',');
  sbAppendData(lp->n, p, (uint32_t)(nameLen + 1));
  sbAppendString(lp->n, logLevelNames[lvl]);
  return recognised;
}

// The answer to "help": the syntax, the process names and every
// category's current level, on stderr.
void printLevelHelp() {
  fprintf(stderr,
          " Log level format: <element>,...\n <element> :== [[<process>.]<category>=]<level> | buffer=<n>\n "
          "<process> :== { ");
  const char* sep = "";
  for (uint32_t i = 1; i < processTypeCount; i++) {
    if (strncmp(processTypeNames[i], "cunit", 5) == 0) continue;
    fprintf(stderr, "%s%s", sep, processTypeNames[i]);
    sep = " | ";
  }
  fprintf(stderr,
          "}\n <level> :== { none | fatal | error | warn | info | debug | net | trace }\n <category> can contain '*' "
          "at end to indicate any matching string.\n <category> is one of (with current log level):\n");
  logListLevels(true);
}

// Puts `level` in front of sb when its text is empty or starts with an
// element: a level text always starts with its default level.
void prependDefaultLevel(StringBuffer* sb, uint32_t level) {
  if (sbGetLength(sb) != 0 && sbGet(sb)[0] != ',') return;
  StringBuffer fixed;
  sbInitHere(&fixed);
  sbAppendString(&fixed, logLevelNames[level]);
  sbAppendStringBuffer(&fixed, sb);
  sbEmpty(sb);
  sbAppendStringBuffer(sb, &fixed);
  sbClean(&fixed);
}

}  // namespace

// Parses "elem,elem,..." (see the level syntax in the README) and rewrites
// the level table; levelSpec gets the normalised text.
void logParseLevels(const char* levels) {
  uint32_t start = logLevelInfo;
  const char* env = osGetEnv(logState.errLevelEnvName);
  if (env && *env) {
    int l = logLevelFromName(env, strlen(env));
    if (l >= 0) start = (uint32_t)l;
  }
  setAllLevels(start);
  if (!logState.childLevels.file) sbInitHere(&logState.childLevels);
  sbEmpty(&logState.childLevels);
  StringBuffer nb;
  LevelParse lp = {.d = start, .r = start, .n = sbInitHere(&nb), .help = false};
  for (const char* p = levels; p && *p;) {
    const char* e = strchr(p, ',');
    size_t len = e ? (size_t)(e - p) : strlen(p);
    if (!applyLevelElement(&lp, p, len)) {
      if (logGate(logCatLogging, logLevelWarn))
        logWarnFunc(logCatLogging, "Unrecognised loglevel argument '%.*s'\n", (int)len, p);
      lp.d = lp.r;
    }
    if (!e) break;
    p = e + 1;
  }
  if (lp.help) printLevelHelp();
  prependDefaultLevel(lp.n, lp.d);
  prependDefaultLevel(&logState.childLevels, lp.d);
  memFree(logState.levelSpec);
  logState.levelSpec = sbTakeString(lp.n);
  sbClean(lp.n);
  logDebug(logCatLogging, "logParseLevels('%s',QZR_XXX_LOGLEVEL='%s') -> '%s'\n", levels ? levels : "<null>",
           logLevelNames[lp.r], logState.levelSpec);
}

static bool argIs(const char* a, const char* b) { return asciiEqualNoCase(a, strlen(a), b); }

static bool missedOptionValue = false;  // logInit met -l, -f, --loglevel or --logfile without value

bool logMissedOptionValue() { return missedOptionValue; }

void logInit(int* argc, char*** argv) {
  logSuppress();
  const char* missingLevel = nullptr;
  const char* missingFile = nullptr;
  char** v = *argv;
  int i = 1;
  while (i < *argc) {
    const char* a = v[i];
    if (strcmp(a, "--") == 0) break;
    bool isLevel = argIs(a, "-l") || argIs(a, "--loglevel");
    bool isFile = argIs(a, "-f") || argIs(a, "--logfile");
    if (isLevel || isFile) {
      if (i + 1 < *argc) {
        if (isLevel)
          logSetLogLevel(v[i + 1]);
        else
          logSetLogFile(v[i + 1]);
        memmove(&v[i], &v[i + 2], sizeof(char*) * (size_t)(*argc - i - 1));
        *argc -= 2;
        continue;
      }
      if (isLevel)
        missingLevel = a;
      else
        missingFile = a;
    } else if (i == 1) {
      if (processType == 4 && argIs(a, "-n") && i + 1 < *argc && argIs(v[i + 1], "runner")) processType = 8;
      if (processType == 1 && strcmp(a, "--switch") == 0) processType = 10;
    }
    i++;
  }
  logUnsuppress();
  logSwitchFile(false);
  missedOptionValue = missingLevel || missingFile;
  if (missingLevel) logFatal(logCatLogging, "%s option to set log level needs argument\n", missingLevel);
  if (missingFile) logFatal(logCatLogging, "%s option to set log file needs argument\n", missingFile);
  logDebug(logCatLogging, "Logging initialized\n");
  const char* pipe = osGetEnv("QZR_LOG_PIPE");
  if (pipe && (pipe[0] == 'Y' || pipe[0] == 'y')) logState.pipeRequested = true;
  osThreadLogStartPipe = logStartPipe;
  osThreadLogStopPipe = logStopPipe;
}

void logExit() {
  if (!logState.enabled) return;
  logStopPipe();
  uint64_t records = 0, bytes = 0;
  logOutputStatistics(&records, &bytes);
  if (processType == 1 || processType == 3)
    logInfo(logCatLogging, "Written %" PRIu64 " log records with %" PRIu64 " bytes\n", records, bytes);
  else
    logDebug(logCatLogging, "Written %" PRIu64 " log records with %" PRIu64 " bytes\n", records, bytes);
  logSetEnabled(false);
  logCloseStream();
  logSetErrorBufferMode(0);
  logOutputRelease();
  memFree(logState.levelSetting);
  memFree(logState.logFileSetting);
  memFree(logState.levelSpec);
  logState.levelSetting = logState.logFileSetting = logState.levelSpec = nullptr;
  if (logState.childLevels.file) sbClean(&logState.childLevels);
  logState.childLevels = StringBuffer{};
}

void logEnableErrorBuffer(uint32_t mode) {
  logTrace(logCatLogging, "logEnableErrorBuffer(%d)\n", (int)mode);
  logSetErrorBufferMode(mode);
}

// Detaches the text of the thread's error buffer (the caller frees it) and
// switches the buffer off; null when it is off.
char* logGetErrorBuffer() {
  if (logErrorBufferMode() == 0) return nullptr;
  StringBuffer* err = osThreadErrorBuffer();
  if (!err) return nullptr;
  logTrace(logCatLogging, "logGetErrorBuffer len=%u\n", sbGetLength(err));
  char* text = sbTakeString(err);
  logSetErrorBufferMode(0);
  return text;
}

void logTakeErrorBuffer(StringBuffer* dst) {
  if (logErrorBufferMode() == 0) return;
  StringBuffer* err = osThreadErrorBuffer();
  if (err && dst) {
    sbAppendStringBuffer(dst, err);
    sbEmpty(err);
  }
  logSetErrorBufferMode(0);
}

// Appends the lines of `text` that begin with a level name of 1..maxLevel
// (the records of a log text at or above a severity); 0 when out is not
// empty afterwards.
int logFilterLines(StringBuffer* out, StringBuffer* text, uint32_t maxLevel) {
  if (maxLevel > logLevelTrace) maxLevel = logLevelTrace;
  const char* t = text ? sbGet(text) : nullptr;
  uint32_t len = text ? sbGetLength(text) : 0;
  uint32_t pos = 0;
  while (t && len - pos >= 4) {
    const char* nl = static_cast<const char*>(memchr(t + pos, '\n', len - pos));
    uint32_t end = nl ? (uint32_t)(nl - t) : len;
    for (uint32_t l = 1; l <= maxLevel; l++) {
      size_t n = strlen(logLevelNames[l]);
      if (n <= end - pos && memcmp(t + pos, logLevelNames[l], n) == 0) {
        sbAppendData(out, t + pos, end - pos);
        sbAppendChar(out, '\n');
        break;
      }
    }
    pos = nl ? end + 1 : len;
  }
  return out && sbGetLength(out) ? 0 : -1;
}

// Would `level` be enabled for a category called categoryName in a process
// of the given type? Asked by giving a spare row of the table that name and
// the process type that value for one parse, then restoring both.
bool logCategoryLevelFor(uint32_t type, const char* categoryName, uint32_t level) {
  uint32_t savedType = processType;
  logSuppress();
  processType = type;
  logSpareCategoryName = categoryName;
  logParseLevels(logGetLevelSetting());
  bool enabled = logLevels[logSpareCategory] >= level;
  logSpareCategoryName = nullptr;
  processType = savedType;
  logParseLevels(logGetLevelSetting());
  logUnsuppress();
  return enabled;
}
