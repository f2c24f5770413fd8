// Windows backend only: the "Pipe" stream over an anonymous pipe.
#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "ospipe.h"
#include "winsupport.h"

namespace {

struct PipeState {
  HANDLE readHandle;   // INVALID_HANDLE_VALUE when closed
  HANDLE writeHandle;  // INVALID_HANDLE_VALUE when closed
};

int pipeRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  PipeState* st = static_cast<PipeState*>(level->state);
  *got = 0;
  if (st->readHandle == INVALID_HANDLE_VALUE) return -1;
  DWORD n = 0;
  if (!ReadFile(st->readHandle, buf, len, &n, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  *got = n;
  return 0;
}

int pipeWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  PipeState* st = static_cast<PipeState*>(state);
  if (written) *written = 0;
  if (st->writeHandle == INVALID_HANDLE_VALUE) return -1;
  DWORD n = 0;
  if (!WriteFile(st->writeHandle, buf, len, &n, nullptr)) return -1;
  if (written) *written = n;
  return 0;
}

int pipeClose(void* state) {
  PipeState* st = static_cast<PipeState*>(state);
  if (st->readHandle != INVALID_HANDLE_VALUE) CloseHandle(st->readHandle);
  if (st->writeHandle != INVALID_HANDLE_VALUE) CloseHandle(st->writeHandle);
  memFree(st);
  return 0;
}

}  // namespace

const IoStreamOps osPipeStreamOps = {.name = "Pipe", .read = pipeRead, .write = pipeWrite, .close = pipeClose};

IoStream* osPipeCreate(uint32_t bufferSize) {
  HANDLE r = INVALID_HANDLE_VALUE, w = INVALID_HANDLE_VALUE;
  if (!CreatePipe(&r, &w, nullptr, bufferSize)) {
    osErrorReport(logCatLogging, (uint32_t)GetLastError(), "Cannot create log pipe");
    return nullptr;
  }
  PipeState* st = memNew(PipeState);
  st->readHandle = r;
  st->writeHandle = w;
  return iosNewLevel(st, &osPipeStreamOps);
}

int osPipeCloseWrite(IoStream* pipe) {
  if (!pipe || pipe->ops != &osPipeStreamOps || !pipe->state) return -1;
  PipeState* st = static_cast<PipeState*>(pipe->state);
  if (st->writeHandle == INVALID_HANDLE_VALUE) return -1;
  BOOL ok = CloseHandle(st->writeHandle);
  st->writeHandle = INVALID_HANDLE_VALUE;
  return ok ? 0 : -1;
}

bool osPipeHasData(IoStream* pipe, uint32_t milliseconds) {
  if (!pipe || pipe->ops != &osPipeStreamOps || !pipe->state) return false;
  PipeState* st = static_cast<PipeState*>(pipe->state);
  if (st->readHandle == INVALID_HANDLE_VALUE) return false;
  ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(st->readHandle, nullptr, 0, nullptr, &avail, nullptr)) return false;
    if (avail > 0) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(1);
  }
}
