// IoStream core: dispatch of the generic operations through the level stack,
// stacking and unstacking, closing, the convenience operations, and the two
// small level types "FileIO" (a stdio FILE) and "CopyOutputStream" (a tee).
//
// 64-bit file offsets for stdio on every platform this builds for.
#define _FILE_OFFSET_BITS 64

#include "iostream.h"

#include <sys/types.h>

#include <cstdio>
#include <cstring>

#include "iosbuffered.h"
#include "iosinternal.h"
#include "logging.h"
#include "memory.h"
#include "stringbuf.h"

static_assert(sizeof(off_t) == 8, "stdio offsets must be 64-bit");

namespace {

constexpr uint32_t copyChunkSize = 0x80000;
constexpr uint32_t readLineChunk = 256;

const char* typeNameOf(const IoStream* level) {
  return level && level->ops && level->ops->name ? level->ops->name : "<NULL>";
}

// The first level from the top whose table fills `slot`, or null.
template <typename Fn>
IoStream* findSlot(IoStream* stream, Fn IoStreamOps::*slot) {
  IoStream* level = stream;
  while (level && !(level->ops && level->ops->*slot) && level->next) level = level->next;
  return level && level->ops && level->ops->*slot ? level : nullptr;
}

// Logs that no level of the stack has the mechanism an operation needs,
// naming the handle's own type, then the stack.
void reportMissing(IoStream* stream, const char* operation, const char* mechanism) {
  logError(logCatIoStream, "Performing %s operation on %s IoStream without %s mechanism\n", operation,
           iosTypeName(stream), mechanism);
  iosLogStack(logLevelError, logCatIoStream, stream);
}

// Null handles are a caller's bug; say so once instead of crashing.
bool invalid(const IoStream* stream) {
  if (stream) return false;
  logError(logCatIoStream, "Invalid IoStream\n");
  return true;
}

// ---- FileIO ----

int fileIoRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  FILE* f = static_cast<FILE*>(level->state);
  size_t n = fread(buf, 1, len, f);
  if (got) *got = (uint32_t)n;
  // End of file is end of data (count 0, result 0); only an error fails.
  if (n == 0 && len != 0 && ferror(f)) return -1;
  return 0;
}

int fileIoWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  size_t n = fwrite(buf, 1, len, static_cast<FILE*>(state));
  if (written) *written = (uint32_t)n;
  return n < len ? -1 : 0;
}

int fileIoClose(void* state) { return fclose(static_cast<FILE*>(state)) != 0 ? -1 : 0; }

int fileIoGetc(void* state) { return fgetc(static_cast<FILE*>(state)); }

int fileIoSeek(void* state, uint64_t offset) {
  return fseeko(static_cast<FILE*>(state), (off_t)offset, SEEK_SET) != 0 ? -1 : 0;
}

int fileIoFlush(void* state) { return fflush(static_cast<FILE*>(state)) != 0 ? -1 : 0; }

int fileIoGetSeek(void* state, uint64_t* pos) {
  off_t at = ftello(static_cast<FILE*>(state));
  if (at < 0) return -1;
  *pos = (uint64_t)at;
  return 0;
}

// ---- CopyOutputStream ----

struct CopyState {
  IoStream* inner;   // the level below
  IoStream* second;  // receives a copy of every write; not owned
};

// Writes the whole block to one side of the tee; a short write is a failure.
int copyWriteOne(IoStream* target, const void* buf, uint32_t len, uint32_t* written) {
  uint32_t n = 0;
  if (iosWrite(target, buf, len, &n) != 0) {
    if (written) *written = n;
    return -1;
  }
  if (written) *written = n;
  if (n < len) {
    logError(logCatIoStream, "Unable to write all bytes\n");
    return -1;
  }
  return 0;
}

int copyWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  CopyState* st = static_cast<CopyState*>(state);
  if (copyWriteOne(st->second, buf, len, written) != 0) return -1;
  return copyWriteOne(st->inner, buf, len, written);
}

int copyFlush(void* state) {
  CopyState* st = static_cast<CopyState*>(state);
  int r = iosFlush(st->second) != 0 ? -1 : 0;
  if (iosFlush(st->inner) != 0) r = -1;
  return r;
}

int copyGetSeek(void* state, uint64_t* pos) {
  if (copyFlush(state) != 0) return -1;
  return iosGetSeek(static_cast<CopyState*>(state)->inner, pos);
}

int copyClose(void* state) {
  CopyState* st = static_cast<CopyState*>(state);
  int r = iosClose(st->inner);
  memFree(st);
  return r;
}

int copyPreallocate(IoStream* level, uint64_t size) {
  return iosPreallocate(static_cast<CopyState*>(level->state)->second, size);
}

}  // namespace

const IoStreamOps iosFileIOOps = {
    .name = "FileIO",
    .read = fileIoRead,
    .write = fileIoWrite,
    .close = fileIoClose,
    .getc = fileIoGetc,
    .seek = fileIoSeek,
    .flush = fileIoFlush,
    .getseek = fileIoGetSeek,
};

const IoStreamOps iosCopyOutputStreamOps = {
    .name = "CopyOutputStream",
    .write = copyWrite,
    .close = copyClose,
    .flush = copyFlush,
    .getseek = copyGetSeek,
    .preallocate = copyPreallocate,
};

// ---- Construction and stacking ----

IoStream* iosNewLevel(void* state, const IoStreamOps* ops) {
  IoStream* level = memNew(IoStream);
  level->state = state;
  level->ops = ops;
  return level;
}

IoStream* iosNewFileIO(FILE* file) { return iosNewLevel(file, &iosFileIOOps); }

int iosWrap(IoStream* stream, void* state, const IoStreamOps* ops) {
  IoStream* moved = memNew(IoStream);
  *moved = *stream;
  stream->state = state;
  stream->ops = ops;
  stream->next = moved;
  logTrace(logCatIoStream, "IoStream wrapped %s around %s\n", typeNameOf(stream), typeNameOf(moved));
  return 0;
}

int iosPopLevel(IoStream* level) {
  IoStream* below = level->next;
  if (!below) {
    logError(logCatIoStream, "Cannot unwrap %s IoStream: no level below\n", typeNameOf(level));
    return -1;
  }
  logTrace(logCatIoStream, "IoStream unwrapping %s around %s\n", typeNameOf(level), typeNameOf(below));
  if (below->ops == &iosBufferedInputStreamOps && below->next && below->state &&
      iosBufferedInputDrained(static_cast<IosBufferedInputState*>(below->state))) {
    IoStream* under = below->next;
    logTrace(logCatIoStream, "IoStream unwrapping %s around %s\n", typeNameOf(below), typeNameOf(under));
    iosBufferedInputFree(static_cast<IosBufferedInputState*>(below->state));
    memFree(below);
    below = under;
  }
  uint8_t dirty = level->dirty;
  *level = *below;
  level->dirty = dirty;
  memFree(below);
  return 0;
}

int iosUnwrap(IoStream* stream) {
  if (invalid(stream)) return -1;
  return iosPopLevel(stream);
}

int iosUnwrapType(IoStream* stream, const char* typeName) {
  if (invalid(stream)) return -1;
  for (IoStream* level = stream; level && level->ops; level = level->next) {
    if (level->ops->name && strcmp(level->ops->name, typeName) == 0) return iosPopLevel(level);
  }
  return 0;
}

int iosCloseThisLevel(IoStream* stream) {
  if (!stream || !stream->ops) return 0;
  iosFlush(stream);
  logTrace(logCatIoStream, "iosCloseThisLevel %s\n", typeNameOf(stream));
  int r = 0;
  if (stream->ops->close && stream->state) {
    r = stream->ops->close(stream->state);
    stream->state = nullptr;
  }
  IoStream* below = stream->next;
  logTrace(logCatIoStream, "IoStream unwrapping %s around %s\n", typeNameOf(stream), typeNameOf(below));
  if (below) {
    uint8_t dirty = stream->dirty;
    *stream = *below;
    stream->dirty = dirty;
    memFree(below);
  } else {
    // The only level is gone: what is left is an empty handle for iosClose.
    stream->ops = nullptr;
  }
  return r;
}

int iosClose(IoStream* stream) {
  if (!stream) return 0;
  if (!stream->ops) {
    memFree(stream);
    return 0;
  }
  int r = 0;
  if (strcmp(typeNameOf(stream), "EventSocket") != 0) r = iosFlush(stream);
  if (stream->ops->close) {
    if (stream->state) r |= stream->ops->close(stream->state);
  } else if (stream->next) {
    // A level without close has nothing of its own to release, but the
    // levels below it must not leak.
    r |= iosClose(stream->next);
  }
  stream->state = nullptr;
  memFree(stream);
  return r;
}

int iosWrapCopyOutputStream(IoStream* stream, IoStream* second) {
  if (invalid(stream)) return -1;
  if (!stream->ops || !stream->ops->write) {
    logError(logCatIoStream, "Performing operation on IoStream without write mechanism\n");
    iosLogStack(logLevelError, logCatIoStream, stream);
    return -1;
  }
  CopyState* st = memNew(CopyState);
  st->second = second;
  iosWrap(stream, st, &iosCopyOutputStreamOps);
  st->inner = stream->next;
  return 0;
}

// ---- Generic operations ----

int iosRead(IoStream* stream, void* buf, uint32_t len, uint32_t* got) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::read);
  if (!buf) return level ? 0 : -1;
  if (!level) {
    reportMissing(stream, "iosRead", "read");
    return -1;
  }
  uint32_t n = 0;
  int r = level->ops->read(level, buf, len, &n);
  if (got) *got = n;
  return r;
}

int iosWrite(IoStream* stream, const void* buf, uint32_t len, uint32_t* written) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::write);
  if (!buf) {
    if (!level) return -1;
    stream->dirty = 1;
    return 0;
  }
  if (!level) {
    if (written) *written = 0;
    reportMissing(stream, "iosWrite", "write");
    return -1;
  }
  stream->dirty = 1;
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  uint32_t total = 0;
  uint32_t rest = len;
  int r;
  uint32_t n;
  do {
    n = 0;
    r = level->ops->write(level->state, p, rest, &n);
    if (n > rest) n = rest;
    total += n;
    p += n;
    rest -= n;
  } while (r == 0 && n > 0 && rest > 0);
  if (written) *written = total;
  return r;
}

int iosGetByte(IoStream* stream) {
  if (invalid(stream) || !stream->ops) return -1;
  if (stream->ops->getc) return (stream->ops->getc)(stream->state);
  uint8_t b;
  uint32_t n = 0;
  if (iosRead(stream, &b, 1, &n) != 0 || n != 1) return -1;
  return b;
}

int iosPutByte(IoStream* stream, int byte) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::putc);
  if (level) {
    stream->dirty = 1;
    return (level->ops->putc)(level->state, byte & 0xFF);
  }
  uint8_t b = (uint8_t)byte;
  uint32_t n = 0;
  if (iosWrite(stream, &b, 1, &n) != 0 || n != 1) {
    reportMissing(stream, "iosPutByte", "putc");
    return -1;
  }
  return 0;
}

int iosUnGetData(IoStream* stream, const void* buf, uint32_t len) {
  if (invalid(stream)) return -1;
  if (len == 0) return 0;
  IoStream* level = findSlot(stream, &IoStreamOps::ungetdata);
  if (!level) {
    logTrace(logCatIoStream, "Make ios %s %s capable by wrapping iosBufferedInputStream\n", iosTypeName(stream),
             "unget");
    if (iosWrapBufferedInputStream(stream, 0) != 0) {
      reportMissing(stream, "iosUnGetData", "ungetdata");
      return -1;
    }
    static_cast<IosBufferedInputState*>(stream->state)->automatic = 1;
    level = stream;
  }
  return level->ops->ungetdata(level->state, buf, len);
}

int iosUnGetByte(IoStream* stream, int byte) {
  uint8_t b = (uint8_t)byte;
  return iosUnGetData(stream, &b, 1);
}

int iosSeek(IoStream* stream, uint64_t offset) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::seek);
  if (!level) {
    reportMissing(stream, "iosSeek", "seek");
    return -1;
  }
  return level->ops->seek(level->state, offset);
}

int iosGetSeek(IoStream* stream, uint64_t* pos) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::getseek);
  if (!level) {
    reportMissing(stream, "iosGetSeek", "seek");
    return -1;
  }
  return level->ops->getseek(level->state, pos);
}

int iosFlush(IoStream* stream) {
  if (!stream || !stream->dirty) return 0;
  IoStream* level = findSlot(stream, &IoStreamOps::flush);
  if (!level) return 0;
  stream->dirty = 0;
  return level->ops->flush(level->state);
}

int iosCanRead(IoStream* stream, uint64_t timeoutMs) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::canRead);
  if (!level) {
    reportMissing(stream, "iosCanRead", "canRead");
    return -1;
  }
  return level->ops->canRead(level->state, timeoutMs);
}

int iosAccept(void* result, IoStream* stream, void* arg1, void* arg2) {
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::accept);
  if (!level) {
    reportMissing(stream, "iosAccept", "accept");
    return -1;
  }
  return level->ops->accept(result, level->state, arg1, arg2);
}

int iosPreallocate(IoStream* stream, uint64_t size) {
  int r = 0;
  for (IoStream* level = stream; level; level = level->next) {
    if (level->ops && level->ops->preallocate) r |= level->ops->preallocate(level, size);
  }
  return r;
}

int iosUrgentRead(IoStream* stream, void* buf, uint32_t len, uint32_t* got) {
  IoStream* level = findSlot(stream, &IoStreamOps::urgentRead);
  if (!level) return iosRead(stream, buf, len, got);
  return level->ops->urgentRead(level, buf, len, got);
}

int iosUrgentWrite(IoStream* stream, const void* buf, uint32_t len, uint32_t* written) {
  IoStream* level = findSlot(stream, &IoStreamOps::urgentWrite);
  if (!level) return iosWrite(stream, buf, len, written);
  stream->dirty = 1;
  return level->ops->urgentWrite(level->state, buf, len, written);
}

int iosWriteStringBuffer(IoStream* stream, StringBuffer* sb) {
  if (!sb || sbGetLength(sb) == 0) return 0;
  if (invalid(stream)) return -1;
  IoStream* level = findSlot(stream, &IoStreamOps::writeStringBuffer);
  if (level) {
    stream->dirty = 1;
    return level->ops->writeStringBuffer(level->state, sb);
  }
  uint32_t len = sbGetLength(sb);
  uint32_t n = 0;
  if (iosWrite(stream, sbGet(sb), len, &n) != 0 || n != len) return -1;
  sbEmpty(sb);
  return 0;
}

int iosReserved13(IoStream* stream) {
  IoStream* level = findSlot(stream, &IoStreamOps::reserved13);
  return level ? level->ops->reserved13(level->state) : 0;
}

// ---- Convenience operations ----

int iosReadFully(IoStream* stream, void* buf, uint32_t len) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  uint32_t have = 0;
  while (have < len) {
    uint32_t n = 0;
    if (iosRead(stream, p + have, len - have, &n) != 0) return -1;
    if (n == 0) {
      logDebug(logCatIoStream, "Unable to read full %u bytes from %s\n", len, iosTypeName(stream));
      return -1;
    }
    have += n;
  }
  return 0;
}

int iosVPrintf(IoStream* stream, const char* fmt, va_list ap) {
  StringBuffer sb;
  sbInitHere(&sb);
  int r = sbVPrintf(&sb, fmt, ap);
  if (r == 0) r = iosWrite(stream, sbGet(&sb), sbGetLength(&sb), nullptr);
  sbClean(&sb);
  return r;
}

int iosPrintf(IoStream* stream, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = iosVPrintf(stream, fmt, ap);
  va_end(ap);
  return r;
}

int iosWriteString(IoStream* stream, const char* text, uint32_t* written) {
  if (!text || !*text) {
    if (written) *written = 0;
    return 0;
  }
  return iosWrite(stream, text, (uint32_t)strlen(text), written);
}

int iosWriteInputStream(IoStream* out, IoStream* in, uint64_t count, uint64_t* total) {
  logTrace(logCatIoStream, "iosWriteInputStream: %" PRIu64 " bytes\n", count);
  uint64_t copied = 0;
  int r = 0;
  if (count > 0) {
    uint32_t size = count < copyChunkSize ? (uint32_t)count : copyChunkSize;
    uint8_t* buf = static_cast<uint8_t*>(memAlloc(size));
    uint64_t left = count;
    while (left > 0) {
      uint32_t want = left < size ? (uint32_t)left : size;
      uint32_t n = 0;
      if (iosRead(in, buf, want, &n) != 0) {
        r = -1;
        break;
      }
      if (n == 0) break;
      uint32_t w = 0;
      if (iosWrite(out, buf, n, &w) != 0) {
        copied += w;
        r = -1;
        break;
      }
      copied += w;
      if (w < n) {
        logError(logCatIoStream, "Unable to write all output\n");
        r = -1;
        break;
      }
      left -= n;
    }
    memFree(buf);
  }
  if (total) *total = copied;
  return r;
}

int iosReadLine(IoStream* stream, StringBuffer* line) {
  char buf[readLineChunk];
  bool appended = false;
  int r = -1;
  for (;;) {
    uint32_t n = 0;
    if (iosRead(stream, buf, sizeof buf, &n) != 0 || n == 0) break;
    const char* nl = static_cast<const char*>(memchr(buf, '\n', n));
    if (!nl) {
      r = sbAppendData(line, buf, n);
      appended = true;
      if (r != 0) break;
      continue;
    }
    uint32_t take = (uint32_t)(nl - buf) + 1;
    r = sbAppendData(line, buf, take);
    appended = true;
    // The bytes after the line end are the start of the next line.
    if (take < n && iosUnGetData(stream, buf + take, n - take) != 0) r = -1;
    break;
  }
  return appended ? r : -1;
}

void iosDescribeStack(StringBuffer* sb, IoStream* stream) {
  if (!stream) {
    sbAppendString(sb, "<NULL>");
    return;
  }
  sbAppendString(sb, typeNameOf(stream));
  for (IoStream* level = stream->next; level; level = level->next) sbPrintf(sb, " -> %s", typeNameOf(level));
}

void iosLogStack(uint32_t level, uint32_t cat, IoStream* stream) {
  if (!logGate(cat, level)) return;
  StringBuffer sb;
  sbInitHere(&sb);
  iosDescribeStack(&sb, stream);
  logAt(level, cat, "IoStream stack %s.\n", sbGet(&sb));
  sbClean(&sb);
}

// ---- Helpers ----

const char* iosTypeName(const IoStream* stream) { return typeNameOf(stream); }

IoStream* iosFindLevel(IoStream* stream, const IoStreamOps* ops, uint32_t cat) {
  if (!stream || !stream->ops) {
    logError(cat, "Invalid IoStream\n");
    return nullptr;
  }
  for (IoStream* level = stream; level; level = level->next) {
    if (level->ops == ops) return level;
  }
  logError(cat, "Cannot find %s on IoStream of type %s\n", ops && ops->name ? ops->name : "<NULL>", typeNameOf(stream));
  return nullptr;
}
