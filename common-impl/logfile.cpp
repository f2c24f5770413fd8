// Log output. Until log files are opened, records go to standard error and
// switching the log only re-reads the level settings.
#include "logging.h"
#include "logoutput.h"

bool logOutputIsOpen() { return false; }

void logOutputRecord(uint32_t, uint32_t, const char*, va_list, const void*, uint32_t, bool) {}

void logOutputStopPipe() {}

void logOutputStatistics(uint64_t* records, uint64_t* bytes) {
  *records = 0;
  *bytes = 0;
}

void logOutputClose() {}
void logOutputRelease() {}

const char* logThreadName() { return processTypeNames[processType < processTypeCount ? processType : 0]; }

namespace {
thread_local uint32_t errorBufferMode = 0;
}

uint32_t logErrorBufferMode() { return errorBufferMode; }
void logSetErrorBufferMode(uint32_t mode) { errorBufferMode = mode; }

void logSwitchFile(bool) { logParseLevels(logGetLevelSetting()); }
void logFlush() {}
void logConnectSocket() {}
