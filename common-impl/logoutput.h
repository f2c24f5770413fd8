// Internal seam between the log call (logging.cpp), the log output
// (logfile.cpp) and the log pipe (logpipe.cpp): the process-wide output
// state, the logging mutex and the per-thread logging state.
#pragma once

#include <atomic>
#include <cstdarg>

#include "compiler.h"

struct IoStream;
struct OsMutex;
struct StringBuffer;

// Log output state, shared by every thread. Changed under the logging mutex
// or by the pipe thread only.
struct LogOutput {
  IoStream* stream;              // the open log; null until the first successful switch
  char* currentFile;             // full name of the open log ("stderr", "stdout", "-" for a standard stream)
  char* previousFile;            // the log that currentFile replaced
  char* lastPattern;             // unexpanded name pattern of the last switch
  uint64_t currentSize;          // bytes in the current log file
  uint64_t maxSize;              // size limit in bytes; 0: none
  uint32_t keepCount;            // numbered or old log files that may remain
  uint64_t records;              // writes to the log since start
  uint64_t bytes;                // bytes written to the log since start
  uint64_t nextFlush;            // time of the next periodic flush (ms since 1970)
  bool switching;                // a switch is in progress or pending; suppresses size checks
  bool switchAllowed;            // false once a socket target is in use
  bool targetLostNote;           // the socket target failed: say so at the next flush
  OsMutex* mutex;                // "Logging"; made when the first thread is created
  IoStream* pipe;                // the log pipe (both ends), pipe mode only
  std::atomic<bool> pipeActive;  // the pipe thread runs and writers send through the pipe
  char crashLogName[1024];       // copy of currentFile for crash handling
  bool openFailureWarned;        // a failed open of a log file was reported as a warning
};
extern LogOutput logOut;

// Takes the logging mutex with the suppression depth raised around the
// operation: 0 when locked, -1 when there is no mutex (nothing to unlock).
int logLock();
void logUnlock();

// Delivers one record text (no prefix) to the log as lines led by `prefix`;
// true when the log reached its size limit.
bool logOutputRecord(const char* text, uint32_t length, const char* prefix);
// True once a log stream is open (after the first successful logSwitchFile).
bool logOutputIsOpen();
void logOutputStatistics(uint64_t* records, uint64_t* bytes);
// Releases the stored names and the logging mutex.
void logOutputRelease();

// The progress line on the console (progress.cpp), around a record written
// to the log stream, with the logging mutex held: erases the line when it is
// shown (true then), and draws it again after the record.
bool progressHideForRecord();
void progressShowAfterRecord();

// Per-thread logging state: the thread record of the thread layer.
int32_t logThreadSuppress();
int32_t logThreadUnsuppress();
uint32_t logErrorBufferMode();
void logSetErrorBufferMode(uint32_t mode);

// Logging settings read by the output side.
void logSetErrLevelEnvName(bool toStdout);
const char* logGetErrLevelEnvName();
uint32_t logGetBufferSize();
bool logPipeRequested();
void logSetPipeRequested(bool on);
bool logFileSettingGiven();

// True on the "logging" thread, which writes the log file itself.
extern thread_local bool logOnPipeThread;
// Threads inside a pipe write; the write end closes only when none is.
extern std::atomic<int32_t> logPipeWriters;
// Sends a line or a command byte into the pipe; false when the pipe is not
// the way to the log (not active, or on the pipe thread itself).
bool logPipeSend(const void* data, uint32_t length);

// Writes `length` bytes of pipe content to the log, acting on the command
// bytes 2 (flush) and 3 (reopen) when `commands` is set.
void logPipeConsume(const uint8_t* data, uint32_t length, bool commands);
