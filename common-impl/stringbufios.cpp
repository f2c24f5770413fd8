// StringBuffer and streams: appending what a stream delivers, and the
// "StringBufferIoStream" type that reads from and writes to buffers.
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "stringbuf.h"

namespace {

// Private state of a "StringBufferIoStream" level. The buffers stay the
// caller's.
struct SbIoState {
  StringBuffer* readBuffer;   // source of reads, or null (write-only)
  StringBuffer* writeBuffer;  // target of writes, or null (read-only); may be readBuffer
  uint32_t readOffset;        // offset of the next byte to read
};

constexpr uint32_t readStep = 8192;

SbIoState* stateOf(void* state) { return static_cast<SbIoState*>(state); }

// Unread bytes of the read buffer (0 when the buffer shrank under the offset).
uint32_t unread(const SbIoState* s) {
  uint32_t length = s->readBuffer->length;
  return s->readOffset < length ? length - s->readOffset : 0;
}

bool readable(const SbIoState* s) {
  if (s->readBuffer) return true;
  logError(logCatStringBuf, "Cannot read from write-only IoStream\n");
  return false;
}

int sbIoRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  SbIoState* s = stateOf(level->state);
  if (!readable(s)) return -1;
  uint32_t n = unread(s);
  if (n > len) n = len;
  if (n) memcpy(buf, s->readBuffer->data + s->readOffset, n);
  s->readOffset += n;
  if (got) *got = n;
  return 0;
}

int sbIoWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  SbIoState* s = stateOf(state);
  if (!s->writeBuffer) {
    logError(logCatStringBuf, "Cannot write to read-only IoStream\n");
    return -1;
  }
  if (s->writeBuffer == s->readBuffer && s->readOffset != 0) {
    uint32_t drop = s->readOffset < s->readBuffer->length ? s->readOffset : s->readBuffer->length;
    logTrace(logCatStringBuf, "Removing %u bytes from RW buffer\n", drop);
    if (drop) sbRemove(s->readBuffer, 0, drop);
    s->readOffset = 0;
  }
  if (sbAppendData(s->writeBuffer, buf, len) != 0) {
    logError(logCatStringBuf, "Unable to write %u bytes\n", len);
    return -1;
  }
  if (written) *written = len;
  return 0;
}

int sbIoClose(void* state) {
  memFree(state);
  return 0;
}

int sbIoGetc(void* state) {
  SbIoState* s = stateOf(state);
  if (!readable(s) || unread(s) == 0) return -1;
  return (unsigned char)s->readBuffer->data[s->readOffset++];
}

// Steps the read offset back over bytes already read and puts the given
// bytes there. A fixed view's bytes are not ours: there the bytes must be
// the ones originally read.
int sbIoUnget(void* state, const void* buf, uint32_t len) {
  SbIoState* s = stateOf(state);
  if (!readable(s)) return -1;
  if (s->readOffset < len || s->readOffset > s->readBuffer->length) {
    logError(logCatStringBuf, "Cannot unget more data than originally received\n");
    return -1;
  }
  char* at = s->readBuffer->data + s->readOffset - len;
  if (s->readBuffer->magic == sbMagicFixed) {
    if (memcmp(at, buf, len) != 0) {
      logError(logCatStringBuf, "Cannot unget data that differs from a fixed buffer\n");
      return -1;
    }
  } else if (len) {
    memmove(at, buf, len);
  }
  s->readOffset -= len;
  return 0;
}

int sbIoSeek(void* state, uint64_t offset) {
  SbIoState* s = stateOf(state);
  if (!s->readBuffer) {
    logError(logCatStringBuf, "Cannot seek in write-only IoStream\n");
    return -1;
  }
  if (offset >= 0x100000000ull || offset >= s->readBuffer->length) return -1;
  s->readOffset = (uint32_t)offset;
  return 0;
}

int sbIoFlush(void*) { return 0; }

int sbIoGetSeek(void* state, uint64_t* pos) {
  SbIoState* s = stateOf(state);
  if (!s->readBuffer) {
    logError(logCatStringBuf, "Cannot seek in write-only IoStream\n");
    return -1;
  }
  *pos = s->readOffset;
  return 0;
}

int sbIoCanRead(void* state, uint64_t) {
  SbIoState* s = stateOf(state);
  if (!readable(s)) return -1;
  return unread(s) ? 0 : -1;
}

}  // namespace

const IoStreamOps sbIoStreamReadWriteOps = {
    .name = "StringBufferIoStream",
    .read = sbIoRead,
    .write = sbIoWrite,
    .close = sbIoClose,
    .getc = sbIoGetc,
    .ungetdata = sbIoUnget,
    .seek = sbIoSeek,
    .flush = sbIoFlush,
    .getseek = sbIoGetSeek,
    .canRead = sbIoCanRead,
};

const IoStreamOps sbIoStreamReadOps = {
    .name = "StringBufferIoStream",
    .read = sbIoRead,
    .close = sbIoClose,
    .getc = sbIoGetc,
    .ungetdata = sbIoUnget,
    .seek = sbIoSeek,
    .getseek = sbIoGetSeek,
    .canRead = sbIoCanRead,
};

const IoStreamOps sbIoStreamWriteOps = {
    .name = "StringBufferIoStream",
    .write = sbIoWrite,
    .close = sbIoClose,
    .getc = sbIoGetc,
    .ungetdata = sbIoUnget,
    .flush = sbIoFlush,
};

IoStream* sbStringBufferIoStream(StringBuffer* readBuffer, StringBuffer* writeBuffer) {
  if (!readBuffer && !writeBuffer) {
    logFatal(logCatStringBuf, "Invalid sbStringBufferIoStream()\n");
    return nullptr;
  }
  SbIoState* s = memNew(SbIoState);
  s->readBuffer = readBuffer;
  s->writeBuffer = writeBuffer;
  const IoStreamOps* ops = !writeBuffer  ? &sbIoStreamReadOps
                           : !readBuffer ? &sbIoStreamWriteOps
                                         : &sbIoStreamReadWriteOps;
  return iosNewLevel(s, ops);
}

int sbAppendInputStream(StringBuffer* sb, IoStream* stream, uint32_t count, uint32_t* got) {
  if (got) *got = 0;
  if (!sbIsGrowable(sb)) return -1;
  uint32_t total = 0;
  int result = 0;
  for (;;) {
    uint32_t want = count ? count - total : readStep;
    if (count && want == 0) break;
    if (sbEnsureCapacity(sb, sb->length + want) != 0) {
      result = -1;
      break;
    }
    uint32_t n = 0;
    if (iosRead(stream, sb->data + sb->length, want, &n) != 0) {
      result = -1;
      break;
    }
    if (n == 0) break;
    sb->length += n;
    sb->data[sb->length] = 0;
    total += n;
  }
  if (got) *got = total;
  logTrace(logCatStringBuf, "sbAppendInputStream: read %u bytes of %u from %s\n", total, count, iosTypeName(stream));
  return result;
}

int sbAppendIosRead(StringBuffer* sb, IoStream* stream, uint32_t max, uint32_t* got) {
  if (got) *got = 0;
  if (max == 0 || !sbIsGrowable(sb) || sbEnsureCapacity(sb, sb->length + max) != 0) return -1;
  uint32_t n = 0;
  int r = iosRead(stream, sb->data + sb->length, max, &n);
  if (r == 0) {
    sb->length += n;
    sb->data[sb->length] = 0;
    if (got) *got = n;
  }
  logTrace(logCatStringBuf, "sbAppendIosRead: ret=%s read %u bytes (sblen=%u) from %s\n",
           r == 0 ? "succeeded" : "failed", r == 0 ? n : 0, sb->length, iosTypeName(stream));
  return r;
}
