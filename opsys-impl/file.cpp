// The file module's code that does not depend on the system: standard
// stream names, finding the file level of a stack, the console conversion
// wrapper and the reporting wrappers around the backend's operations.
#include <cinttypes>
#include <cstring>

#include "fileprim.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "osfile.h"
#include "ostest.h"
#include "osthread.h"
#include "stringbuf.h"
#include "threadprim.h"

const char* const fileModeWords[osFileModeCount] = {
    "reading and writing", "reading and writing", "reading", "writing", "appending", "reading", "creating", "reading"};

static bool nameIs(const char* name, const char* want) {
  size_t i = 0;
  while (want[i] && name[i] && (name[i] | 0x20) == want[i]) i++;
  return !want[i] && !name[i];
}

int fileStandardStreamOf(const char* path, uint32_t mode) {
  if (nameIs(path, "stdin") || nameIs(path, "conin$") || (strcmp(path, "-") == 0 && mode == osFileModeRead)) return 0;
  if (nameIs(path, "stdout") || nameIs(path, "conout$") || strcmp(path, "-") == 0) return 1;
  if (nameIs(path, "stderr") || nameIs(path, "conerr$")) return 2;
  return -1;
}

void fileLogClosed(const char* path, uint64_t bytesRead, uint32_t reads, uint64_t bytesWritten, uint32_t writes) {
  if (bytesRead) logDebug(logCatFile, "Closed %s; read %" PRIu64 " bytes in %u operations\n", path, bytesRead, reads);
  if (bytesWritten)
    logDebug(logCatFile, "Closed %s; written %" PRIu64 " bytes in %u operations\n", path, bytesWritten, writes);
}

// osFileOpen, plus the character-set level of the console for a standard
// stream that is a console: input is converted from the pipe data set,
// output to it. A wrapping failure closes the stream.
IoStream* osFileOpenStream(const char* path, uint32_t mode, uint32_t fileType, const char* rights) {
  IoStream* s = osFileOpen(path, mode, fileType, rights, false, false);
  const int std = s ? fileStandardStreamOf(path, mode) : -1;
  if (std < 0 || !filePrimIsConsole(std)) return s;
  const int rc = std == 0 ? iosWrapConversionInputStream(s, convPipedataToInternal)
                          : iosWrapConversionOutputStream(s, convInternalToPipedata);
  if (rc != 0) {
    iosClose(s);
    return nullptr;
  }
  return s;
}

void fileRetryWait(uint32_t* wait) {
  if (osTestClock())
    osTestClockWait(*wait);
  else
    primSleep(*wait);
  *wait = *wait * 2 > 500 ? 500 : *wait * 2;
}

bool osFileStdIsConsole(int std) { return std >= 0 && std <= 2 && filePrimIsConsole(std); }

uint32_t osFileConsoleColumns(int std) { return osFileStdIsConsole(std) ? filePrimConsoleColumns(std) : 0; }

int osFileDelete(const char* path) {
  StringBuffer reason;
  sbInitHere(&reason);
  const int rc = osFileDeleteEx(path, &reason, 0);
  if (rc != 0) logError(logCatFile, "Cannot delete file %s: %s\n", path, sbGet(&reason));
  sbClean(&reason);
  return rc;
}

int osFileGetAttributes(const char* path, uint64_t* size, uint64_t* modification, uint64_t* access, bool* isDirectory) {
  StringBuffer reason;
  sbInitHere(&reason);
  const int rc = osFileGetInfo(path, size, modification, access, isDirectory, nullptr, nullptr, &reason);
  if (rc != 0) logError(logCatFile, "Cannot get attributes for %s: %s\n", path, sbGet(&reason));
  sbClean(&reason);
  return rc;
}

void fileCloseDelay() {
  if (const uint32_t ms = osTestCloseDelay()) osSleep(ms);
}

int osSyncBatchAdd(OsSyncBatch* batch, const char* path) {
  if (batch->count == batch->capacity) {
    const uint32_t room = batch->capacity ? batch->capacity * 2 : 64;
    batch->paths = static_cast<char**>(memRealloc(batch->paths, (size_t)room * sizeof(char*)));
    batch->capacity = room;
  }
  batch->paths[batch->count++] = memStrDup(path);
  return 0;
}

void osSyncBatchClear(OsSyncBatch* batch) {
  for (uint32_t i = 0; i < batch->count; i++) memFree(batch->paths[i]);
  memFree(batch->paths);
  batch->paths = nullptr;
  batch->count = 0;
  batch->capacity = 0;
}
