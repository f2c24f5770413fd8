// "LimitedIoStream": a level that allows a given number of read calls and
// write calls and then reports end of data; used to cut streams short.
#include <cstring>

#include "iosbuffered.h"
#include "logging.h"
#include "memory.h"

namespace {

int limitedRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  IosLimitedState* st = static_cast<IosLimitedState*>(level->state);
  if (st->readsLeft == 0) {
    logTrace(logCatIoStream, "iosLimitedIoRead, EOF on limited inputstream\n");
    if (got) *got = 0;
    return 0;
  }
  if (st->readsLeft > 0) {
    logTrace(logCatIoStream, "iosLimitedIoRead, %d reads to go\n", st->readsLeft);
    st->readsLeft--;
  }
  return iosRead(st->inner, buf, len, got);
}

int limitedWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  IosLimitedState* st = static_cast<IosLimitedState*>(state);
  if (st->writesLeft == 0) {
    logTrace(logCatIoStream, "iosLimitedIoWrite, EOF on limited outputstream\n");
    if (written) *written = 0;
    return 0;
  }
  if (st->writesLeft > 0) {
    logTrace(logCatIoStream, "iosLimitedIoWrite, %d writes to go\n", st->writesLeft);
    st->writesLeft--;
  }
  return iosWrite(st->inner, buf, len, written);
}

int limitedClose(void* state) {
  IosLimitedState* st = static_cast<IosLimitedState*>(state);
  IoStream* inner = st->inner;
  memFree(st);
  return iosClose(inner);
}

}  // namespace

const IoStreamOps iosLimitedIoStreamOps = {
    .name = "LimitedIoStream",
    .read = limitedRead,
    .write = limitedWrite,
    .close = limitedClose,
};

int iosWrapLimitedIoStream(IoStream* stream, int32_t reads, int32_t writes) {
  if (!stream) {
    logError(logCatIoStream, "Invalid IoStream\n");
    return -1;
  }
  IosLimitedState* st = memNew(IosLimitedState);
  iosWrap(stream, st, &iosLimitedIoStreamOps);
  st->inner = stream->next;
  st->readsLeft = reads;
  st->writesLeft = writes;
  logTrace(logCatIoStream, "wrapped limit for %d reads and %d writes\n", reads, writes);
  return 0;
}
