// Logging: categories, levels, the log call family and the level syntax.
//
// A call names a category (an index into a fixed table of 207 area.module
// names) and a level; it is written only when its level is not above the
// category's current level. Callers use the macros below, which test the gate
// before evaluating any argument:
//
//   logError(logCatZip, "Cannot open %s\n", name);
//
// Formats end with "\n"; 64-bit values are written with the <cinttypes>
// macros (PRIu64 and friends).
#pragma once

#include <cstdarg>

#include "compiler.h"
#include "osdirhandle.h"

struct StringBuffer;

// Levels, as numbers; 5 prints as "INFO" and no name selects it.
enum : uint32_t {
  logLevelNone = 0,
  logLevelFatal = 1,
  logLevelError = 2,
  logLevelWarn = 3,
  logLevelInfo = 4,
  logLevelInfo2 = 5,
  logLevelDebug = 6,
  logLevelNet = 7,
  logLevelTrace = 8,
};

// Categories this program writes to (indices into the 207-row table).
enum : uint32_t {
  logCatUnknown = 0,
  logCatInflate = 25,
  logCatLock = 29,
  logCatIoStream = 31,
  logCatLogging = 33,
  logCatMemory = 35,
  logCatParameters = 41,
  logCatSearch = 47,
  logCatSortMap = 50,
  logCatStatistics = 51,
  logCatStringBuf = 53,
  logCatStrUtil = 55,
  logCatUtf = 62,
  logCatZip = 64,
  logCatMain = 126,
  logCatConv = 155,
  logCatDate = 157,
  logCatDir = 160,
  logCatDump = 163,
  logCatEnv = 165,
  logCatError = 167,
  logCatExeName = 169,
  logCatFile = 170,
  logCatInit = 172,
  logCatLibrary = 176,
  logCatProcess = 181,
  logCatService = 184,
  logCatSocket = 185,
  logCatThread = 190,
  logCatUpdate = 192,
  logCatSfx = 205,
  logCatUnknownUnknown = 206,
  logCatCount = 207,
};

// Process types (indices into the 11-row table).
enum : uint32_t {
  processTypeAny = 0,
  processTypeUtilix = 4,
  processTypeSfx = 7,
  processTypeCount = 11,
};

extern const char* const logLevelNames[9];
extern const char* const logCategoryNames[logCatCount];
extern const char* const processTypeNames[processTypeCount];

// The per-category level table: the gate every caller reads first.
extern uint32_t logLevels[logCatCount];
// Which kind of program is running; 7 (sfx) at start.
extern uint32_t processType;

// The gate: true when category `cat` admits `level`. Constant categories fold.
#define logGate(cat, level) \
  (logLevels[(uint32_t)(cat) < logCatCount ? (uint32_t)(cat) : logCatUnknownUnknown] >= (uint32_t)(level))

#define logFatal(cat, ...)                                             \
  do {                                                                 \
    if (logGate(cat, logLevelFatal)) logFatalFunc((cat), __VA_ARGS__); \
  } while (0)
#define logError(cat, ...)                                             \
  do {                                                                 \
    if (logGate(cat, logLevelError)) logErrorFunc((cat), __VA_ARGS__); \
  } while (0)
#define logWarn(cat, ...)                                            \
  do {                                                               \
    if (logGate(cat, logLevelWarn)) logWarnFunc((cat), __VA_ARGS__); \
  } while (0)
#define logInfo(cat, ...)                                            \
  do {                                                               \
    if (logGate(cat, logLevelInfo)) logInfoFunc((cat), __VA_ARGS__); \
  } while (0)
#define logDebug(cat, ...)                                             \
  do {                                                                 \
    if (logGate(cat, logLevelDebug)) logDebugFunc((cat), __VA_ARGS__); \
  } while (0)
#define logNet(cat, ...)                                           \
  do {                                                             \
    if (logGate(cat, logLevelNet)) logNetFunc((cat), __VA_ARGS__); \
  } while (0)
#define logTrace(cat, ...)                                             \
  do {                                                                 \
    if (logGate(cat, logLevelTrace)) logTraceFunc((cat), __VA_ARGS__); \
  } while (0)
#define logErrorStr(cat, fmt, data, len, ...)                                               \
  do {                                                                                      \
    if (logGate(cat, logLevelError)) logErrorStrFunc((cat), fmt, data, len, ##__VA_ARGS__); \
  } while (0)
#define logInfoStr(cat, fmt, data, len, ...)                                              \
  do {                                                                                    \
    if (logGate(cat, logLevelInfo)) logInfoStrFunc((cat), fmt, data, len, ##__VA_ARGS__); \
  } while (0)
#define logDebugStr(cat, fmt, data, len, ...)                                               \
  do {                                                                                      \
    if (logGate(cat, logLevelDebug)) logDebugStrFunc((cat), fmt, data, len, ##__VA_ARGS__); \
  } while (0)
#define logNetStr(cat, fmt, data, len, ...)                                             \
  do {                                                                                  \
    if (logGate(cat, logLevelNet)) logNetStrFunc((cat), fmt, data, len, ##__VA_ARGS__); \
  } while (0)
#define logTraceStr(cat, fmt, data, len, ...)                                               \
  do {                                                                                      \
    if (logGate(cat, logLevelTrace)) logTraceStrFunc((cat), fmt, data, len, ##__VA_ARGS__); \
  } while (0)

// The log call family. Each tests the gate again, so an ungated call is still
// correct. The Str variants append a blank and a dump of `data` (length 0:
// NUL-terminated); a format starting with "-" dumps in hexadecimal.
void logFatalFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logErrorFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logErrorServer(uint32_t cat, const char* logFmt, const char* serverFmt, ...);
void logErrorStrFunc(uint32_t cat, const char* fmt, const void* data, uint32_t len, ...);
void logWarnFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logInfoFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logInfoStrFunc(uint32_t cat, const char* fmt, const void* data, uint32_t len, ...);
void logDebugFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logDebugStrFunc(uint32_t cat, const char* fmt, const void* data, uint32_t len, ...);
void logNetFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logNetStrFunc(uint32_t cat, const char* fmt, const void* data, uint32_t len, ...);
void logTraceFunc(uint32_t cat, const char* fmt, ...) SFX_PRINTF(2, 3);
void logTraceStrFunc(uint32_t cat, const char* fmt, const void* data, uint32_t len, ...);
void logAt(uint32_t level, uint32_t cat, const char* fmt, ...) SFX_PRINTF(3, 4);
void logV(uint32_t level, uint32_t cat, const char* fmt, va_list ap);

// Consumes "--loglevel"/"-l" and "--logfile"/"-f" with their values from
// the vector (in place, up to "--") and opens the log.
void logInit(int* argc, char*** argv);
// True when logInit met a logging option without its value (which it
// reported): the caller fails the run rather than going on without the
// log that was asked for.
bool logMissedOptionValue();
void logExit();

void logSetLogFile(const char* name);
void logSetLogLevel(const char* levels);
const char* logGetLogFileSetting();
const char* logGetLevelSetting();
const char* logGetLevelSpec();
const char* logGetChildLevel();
// Parses a level setting and rewrites the level table.
void logParseLevels(const char* levels);
void logListLevels(bool toStderr);
void logSetEnabled(bool on);
bool logIsEnabled();
uint32_t logSetCategoryLevel(uint32_t cat, uint32_t level);
// Clamps a category number into the table.
inline uint32_t logClampCategory(uint32_t cat) { return cat < logCatCount ? cat : logCatUnknownUnknown; }
// Level number for a level name (whole, case-insensitive), or -1.
int logLevelFromName(const char* name, size_t len);

// Error-buffer modes 0..5 of the calling thread.
void logEnableErrorBuffer(uint32_t mode);
char* logGetErrorBuffer();
void logTakeErrorBuffer(StringBuffer* dst);
int logFilterLines(StringBuffer* out, StringBuffer* text, uint32_t maxLevel);
bool logCategoryLevelFor(uint32_t processType, const char* categoryName, uint32_t level);

// Suppression depth of the calling thread: log calls made while it is above 0
// are dropped (used while logging configures itself or takes its mutex).
void logSuppress();
void logUnsuppress();

// ---- Records and log files ----

struct IoStream;

// Record prefix "LEVEL DATE [pid-thread] category - " into buf (1024 bytes):
// level name cut to five, date format 10, process id, thread name.
void logFormatPrefix(char* buf, size_t size, uint32_t level, uint32_t cat);
// Appends the dump of a data block ("%u bytes: ..." with at most 4096 bytes
// shown, then "\n"); hex: two digits a byte, else escaped text. Length 0:
// the data is a NUL-terminated text.
void logHexDump(StringBuffer* sb, bool hex, const void* data, uint32_t length);
// Writes a record text as lines of at most 1023 bytes plus "\n", each led by
// `prefix`; true when the log file reached its size limit.
bool logWriteLines(const char* text, uint32_t length, const char* prefix, bool checkSize);
// Writes bytes to the log stream with counting, the once-a-minute flush and
// the size check; true when the size limit was reached.
bool logWriteBytes(const void* data, uint32_t length, bool checkSize);

// Opens the configured log (logGetLogFileSetting, "stderr" when there is none
// or it cannot be expanded), continues in the same file, or with forceNew
// rotates it; parses the levels again. 0 or -1.
int logSwitchFile(bool forceNew);
// Re-opens the log after logSetLogFile (through the pipe thread in pipe mode).
int logReopen();
// Flushes the log stream (in pipe mode: asks the pipe thread to).
void logFlush();
void logSetKeepCount(uint32_t n);
void logSetMaxSize(uint64_t megabytes);
// Closes and forgets the log stream; records then go to standard error.
void logCloseStream();
// The open log stream (borrowed), or null: for writing raw text into the log
// without record prefixes.
IoStream* logGetStream();
// The identity of the log file this process writes, when it writes one (not
// standard error or a pipe): true then. What the program writes must never
// replace or remove its own log.
bool logGetFileId(OsFileId* id);
const char* logGetCrashLogName();
char* logCopyCrashLogName();
// True when path lies in the directory of the current log; then logging is
// turned off until someone turns it on again.
bool logIsLogDirectory(const char* path);
// Moves `current` to the numbered name of `path` ("x.log" -> "x-<n>.log"),
// shifting existing numbered files up; past the keep count they are deleted.
void logRotateFile(const char* path, const char* current, int n);
// Removes all but the newest keep-count logs of the configured pattern and
// crash dumps ("*.dmp") in the log directory.
void logCleanupOldLogs();

// Context of the log file name variables (${ProcessId} etc.).
struct LogNameContext {
  bool wildcard;    // variables that vary between runs become "*"
  bool failed;      // an unknown variable or an absent value was met
  char value[256];  // the last value handed out
};
// Lookup function of the ${name} expansion of log file patterns.
const char* logResolveVariable(const char* name, void* context);
// Expands a log file pattern; *out is a new text. -1 when a variable is
// unknown or has no value.
int logExpandPattern(const char* pattern, bool wildcard, char** out);

// Log pipe: started with the first thread when QZR_LOG_PIPE begins with "Y";
// every line then goes through one pipe to the "logging" thread.
void logStartPipe();
void logStopPipe();
// Socket log target (QZR_LOG_PIPE "socket:...").
void logConnectSocket();
