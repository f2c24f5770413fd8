// Buffered levels: "BufferedInputStream" (read-ahead, push-back nodes and the
// bit reader of the inflate decoder) and "BufferedOutputStream" (block writes
// with line-start and line-end decoration).
#include "iosbuffered.h"

#include <cstring>

#include "iosinternal.h"
#include "logging.h"
#include "memory.h"

namespace {

constexpr uint32_t maxBits = 24;

IosBufferNode* newNode() {
  IosBufferNode* node = memNew(IosBufferNode);
  sbInitHere(&node->data);
  return node;
}

void freeNode(IosBufferNode* node) {
  sbClean(&node->data);
  memFree(node);
}

// True when no unread byte is buffered (bits in the bit buffer not counted).
bool noBufferedBytes(const IosBufferedInputState* st) {
  return !st->head || (st->head->remaining == 0 && !st->head->nextNode);
}

// The state of a "BufferedInputStream" level, or null (logged) for anything else.
IosBufferedInputState* bisStateOf(IoStream* stream, const char* operation) {
  if (!stream || stream->ops != &iosBufferedInputStreamOps || !stream->state) {
    logError(logCatIoStream, "%s needs a BufferedInputStream, not %s\n", operation, iosTypeName(stream));
    return nullptr;
  }
  return static_cast<IosBufferedInputState*>(stream->state);
}

// Replaces the head node's bytes with one read of up to refillSize bytes from
// the level below, straight into the node's buffer. Bytes read, or -1.
int refill(IosBufferedInputState* st) {
  IosBufferNode* head = st->head;
  sbEmpty(&head->data);
  head->remaining = 0;
  if (sbEnsureCapacity(&head->data, st->refillSize) != 0) return -1;
  uint32_t n = 0;
  if (iosRead(st->inner, head->data.data, st->refillSize, &n) != 0) return -1;
  if (n > st->refillSize) n = st->refillSize;
  // The read went into the buffer's spare capacity; account for it here.
  head->data.length = n;
  head->data.data[n] = 0;
  head->readPos = reinterpret_cast<const uint8_t*>(head->data.data);
  head->remaining = n;
  st->innerPos += n;
  st->headIsRead = st->innerKnown && !head->nextNode;
  return (int)n;
}

// Puts bytes in front of everything buffered, followed by the whole bytes of
// the bit buffer. The old head's data is never copied: it moves to a node
// behind a fresh head.
int bisUnget(void* state, const void* buf, uint32_t len) {
  IosBufferedInputState* st = static_cast<IosBufferedInputState*>(state);
  if (!st->head) return -1;
  if (st->bitCount % 8 != 0) {
    logError(logCatIoStream, "Attempting to unget data with non-aligned byte data present\n");
    return -1;
  }
  IosBufferNode* head = st->head;
  st->headIsRead = 0;
  if (sbGetLength(&head->data) != 0) {
    IosBufferNode* moved = newNode();
    moved->nextNode = head->nextNode;
    moved->readPos = head->readPos;
    moved->remaining = head->remaining;
    moved->data = head->data;
    head->nextNode = moved;
    sbInitHere(&head->data);
  }
  if (sbAppendData(&head->data, buf, len) != 0) return -1;
  while (st->bitCount >= 8) {
    uint8_t b = (uint8_t)(st->bitBuffer & 0xFF);
    logTrace(logCatIoStream, "Appending byte %02X out of bitbuffer\n", b);
    if (sbAppendChar(&head->data, (char)b) != 0) return -1;
    st->bitBuffer >>= 8;
    st->bitCount -= 8;
  }
  head->readPos = reinterpret_cast<const uint8_t*>(sbGet(&head->data));
  head->remaining = sbGetLength(&head->data);
  return 0;
}

// Moves the read position inside the head's bytes when they are one read of
// the level below that covers `offset`: the next entry of an archive mostly
// lies in the bytes last read, and reading them again costs a system call
// and a copy per entry. True when it did; bits held are dropped as by a seek.
bool seekWithinHead(IosBufferedInputState* st, uint64_t offset) {
  IosBufferNode* head = st->head;
  const uint64_t length = sbGetLength(&head->data);
  if (!st->headIsRead || head->nextNode || offset > st->innerPos || st->innerPos - offset > length) return false;
  head->readPos = reinterpret_cast<const uint8_t*>(sbGet(&head->data)) + (length - (st->innerPos - offset));
  head->remaining = (uint32_t)(st->innerPos - offset);
  st->bitBuffer = 0;
  st->bitCount = 0;
  st->rawRead = 0;
  logTrace(logCatIoStream, "Seeking to offset %" PRIu64 " within the buffered bytes\n", offset);
  return true;
}

// Drops everything buffered and seeks the level below, unless the offset
// lies in the bytes of its last read.
int bisSeek(void* state, uint64_t offset) {
  IosBufferedInputState* st = static_cast<IosBufferedInputState*>(state);
  if (seekWithinHead(st, offset)) return 0;
  uint32_t dropped = 0;
  while (st->head) {
    IosBufferNode* next = st->head->nextNode;
    dropped += st->head->remaining;
    freeNode(st->head);
    st->head = next;
  }
  if (dropped != 0)
    logTrace(logCatIoStream, "Seeking to offset %" PRIu64 " caused flush of %u buffered bytes\n", offset, dropped);
  st->bitBuffer = 0;
  st->bitCount = 0;
  st->rawRead = 0;
  st->head = newNode();
  const int r = iosSeek(st->inner, offset);
  st->innerKnown = r == 0;
  st->headIsRead = 0;
  st->innerPos = offset;
  return r;
}

int bisCanRead(void* state, uint64_t timeoutMs) {
  IosBufferedInputState* st = static_cast<IosBufferedInputState*>(state);
  if (st->bitCount >= 8) return 0;
  for (IosBufferNode* node = st->head; node; node = node->nextNode)
    if (node->remaining) return 0;
  return iosCanRead(st->inner, timeoutMs);
}

int bisClose(void* state) {
  IosBufferedInputState* st = static_cast<IosBufferedInputState*>(state);
  int r = iosClose(st->inner);
  iosBufferedInputFree(st);
  return r;
}

// One byte for the bit reader: straight from the head node when it has one,
// else through the level's own read with the bit buffer bypassed.
int fetchRawByte(IoStream* stream, IosBufferedInputState* st) {
  IosBufferNode* head = st->head;
  if (head && head->remaining) {
    uint8_t b = *head->readPos++;
    head->remaining--;
    return b;
  }
  uint8_t b = 0;
  uint32_t n = 0;
  st->rawRead = 1;
  int r = iosBufferedInputRead(stream, &b, 1, &n);
  st->rawRead = 0;
  return r != 0 || n != 1 ? -1 : b;
}

// ---- BufferedOutputStream ----

// Writes the collected bytes to the level below; a short write is a failure.
int bosWriteOut(IosBufferedOutputState* st) {
  uint32_t len = sbGetLength(&st->buffer);
  uint32_t n = 0;
  if (iosWrite(st->inner, sbGet(&st->buffer), len, &n) != 0 || n != len) return -1;
  return 0;
}

// A line end: the line-end text instead of "\n", and the buffer handed on
// when it has grown past the flush size.
int bosEndLine(IosBufferedOutputState* st) {
  if (sbAppendStringBuffer(&st->buffer, &st->lineEnd) != 0) return -1;
  if (sbGetLength(&st->buffer) > st->flushSize) {
    if (bosWriteOut(st) != 0) return -1;
    sbEmpty(&st->buffer);
  }
  st->atLineStart = 1;
  return 0;
}

// Hands the buffer on in the middle of a line that has outgrown the line
// limit: a line without end (a log of one line, say) would else grow the
// buffer until memory or the text buffer's limit runs out.
int bosHandOnLongLine(IosBufferedOutputState* st) {
  const uint32_t limit = st->flushSize > iosBufferLineLimit ? st->flushSize : iosBufferLineLimit;
  if (sbGetLength(&st->buffer) < limit) return 0;
  const int r = bosWriteOut(st);
  sbEmpty(&st->buffer);
  return r;
}

int bosPutc(void* state, int byte) {
  IosBufferedOutputState* st = static_cast<IosBufferedOutputState*>(state);
  if (st->atLineStart) {
    if (sbAppendStringBuffer(&st->buffer, &st->lineStart) != 0) return -1;
    st->atLineStart = 0;
  }
  if ((byte & 0xFF) == '\n') return bosEndLine(st);
  return sbAppendChar(&st->buffer, (char)byte) == 0 ? bosHandOnLongLine(st) : -1;
}

// Same effect as bosPutc on every byte, appending the runs between line
// ends in one piece.
int bosWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  IosBufferedOutputState* st = static_cast<IosBufferedOutputState*>(state);
  const char* p = static_cast<const char*>(buf);
  uint32_t done = 0;
  int r = 0;
  while (done < len) {
    if (st->atLineStart) {
      if (sbAppendStringBuffer(&st->buffer, &st->lineStart) != 0) {
        r = -1;
        break;
      }
      st->atLineStart = 0;
    }
    // At most the line limit at a time: a longer line is handed on in
    // pieces, each looked through once.
    const uint32_t span = len - done < iosBufferLineLimit ? len - done : iosBufferLineLimit;
    const char* nl = static_cast<const char*>(memchr(p + done, '\n', span));
    const uint32_t run = nl ? (uint32_t)(nl - (p + done)) : span;
    if (run && (sbAppendData(&st->buffer, p + done, run) != 0 || bosHandOnLongLine(st) != 0)) {
      r = -1;
      break;
    }
    done += run;
    if (!nl) continue;
    if (bosEndLine(st) != 0) {
      r = -1;
      break;
    }
    done++;
  }
  if (written) *written = done;
  return r;
}

// Hands the buffer on and flushes the level below. The buffer is emptied
// even when the write fails.
int bosFlush(void* state) {
  IosBufferedOutputState* st = static_cast<IosBufferedOutputState*>(state);
  int r = 0;
  if (sbGetLength(&st->buffer) != 0) r = bosWriteOut(st);
  sbEmpty(&st->buffer);
  // Also when nothing was buffered: a line end may have handed bytes on
  // that still wait in the level below.
  if (r == 0) r = iosFlush(st->inner);
  return r;
}

int bosGetSeek(void* state, uint64_t* pos) {
  if (bosFlush(state) != 0) return -1;
  return iosGetSeek(static_cast<IosBufferedOutputState*>(state)->inner, pos);
}

int bosClose(void* state) {
  IosBufferedOutputState* st = static_cast<IosBufferedOutputState*>(state);
  int r = bosFlush(st);
  r |= iosClose(st->inner);
  sbClean(&st->buffer);
  sbClean(&st->lineStart);
  sbClean(&st->lineEnd);
  memFree(st);
  return r;
}

// Replaces the line-start or line-end text of the top "BufferedOutputStream",
// wrapping one first when needed.
int setLineText(IoStream* stream, const char* text, bool end) {
  const char* msg = end ? "iosSetLineEnd only supported on iosBufferedOutput\n"
                        : "iosSetLineStart only supported on iosBufferedOutput\n";
  if (stream && stream->ops != &iosBufferedOutputStreamOps && iosWrapBufferedOutputStream(stream, 0) != 0) return -1;
  if (!stream || stream->ops != &iosBufferedOutputStreamOps) {
    logError(logCatIoStream, "%s", msg);
    return -1;
  }
  IosBufferedOutputState* st = static_cast<IosBufferedOutputState*>(stream->state);
  StringBuffer* target = end ? &st->lineEnd : &st->lineStart;
  sbEmpty(target);
  return text ? sbAppendString(target, text) : 0;
}

}  // namespace

const uint32_t iosBitMask[32] = {
    0x0,      0x1,       0x3,       0x7,       0xF,       0x1F,       0x3F,       0x7F,
    0xFF,     0x1FF,     0x3FF,     0x7FF,     0xFFF,     0x1FFF,     0x3FFF,     0x7FFF,
    0xFFFF,   0x1FFFF,   0x3FFFF,   0x7FFFF,   0xFFFFF,   0x1FFFFF,   0x3FFFFF,   0x7FFFFF,
    0xFFFFFF, 0x1FFFFFF, 0x3FFFFFF, 0x7FFFFFF, 0xFFFFFFF, 0x1FFFFFFF, 0x3FFFFFFF, 0x7FFFFFFF,
};
static_assert(SFX_ARRAY_SIZE(iosBitMask) == 32, "one mask per bit count 0..31");

const IoStreamOps iosBufferedInputStreamOps = {
    .name = "BufferedInputStream",
    .read = iosBufferedInputRead,
    .close = bisClose,
    .ungetdata = bisUnget,
    .seek = bisSeek,
    .canRead = bisCanRead,
};

const IoStreamOps iosBufferedOutputStreamOps = {
    .name = "BufferedOutputStream",
    .write = bosWrite,
    .close = bosClose,
    .flush = bosFlush,
    .getseek = bosGetSeek,
    .putc = bosPutc,
};

// ---- BufferedInputStream ----

bool iosBufferedInputDrained(const IosBufferedInputState* st) { return st->bitCount < 8 && noBufferedBytes(st); }

void iosBufferedInputFree(IosBufferedInputState* st) {
  while (st->head) {
    IosBufferNode* next = st->head->nextNode;
    freeNode(st->head);
    st->head = next;
  }
  memFree(st);
}

int iosWrapBufferedInputStream(IoStream* stream, uint32_t size) {
  if (!stream) {
    logError(logCatIoStream, "Invalid IoStream\n");
    return -1;
  }
  if (stream->ops == &iosBufferedInputStreamOps) {
    IosBufferedInputState* st = static_cast<IosBufferedInputState*>(stream->state);
    uint32_t old = st->refillSize;
    st->automatic = 0;
    if (size > st->refillSize) st->refillSize = size;
    logTrace(logCatIoStream, "iosWrapBufferedInputStream: already in place, buffer %u->%u\n", old, st->refillSize);
    return 0;
  }
  if (!stream->ops || !stream->ops->read) {
    logError(logCatIoStream, "Performing wrap BufferedInputStream operation on %s IoStream without read mechanism\n",
             iosTypeName(stream));
    iosLogStack(logLevelError, logCatIoStream, stream);
    return -1;
  }
  IosBufferedInputState* st = memNew(IosBufferedInputState);
  st->head = newNode();
  iosWrap(stream, st, &iosBufferedInputStreamOps);
  st->inner = stream->next;
  st->refillSize = size > iosBufferMinSize ? size : iosBufferMinSize;
  return 0;
}

int iosBufferedInputRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  IosBufferedInputState* st = static_cast<IosBufferedInputState*>(level->state);
  uint8_t* out = static_cast<uint8_t*>(buf);
  uint32_t done = 0;
  if (!st->rawRead && st->bitCount != 0) {
    if (st->bitCount % 8 != 0) {
      logError(logCatIoStream, "Attempting to read non-aligned byte data\n");
      if (got) *got = 0;
      return -1;
    }
    while (done < len && st->bitCount >= 8) {
      out[done++] = (uint8_t)(st->bitBuffer & 0xFF);
      st->bitBuffer >>= 8;
      st->bitCount -= 8;
    }
  }
  int r = 0;
  while (done < len) {
    IosBufferNode* head = st->head;
    if (head->remaining) {
      uint32_t k = head->remaining < len - done ? head->remaining : len - done;
      memcpy(out + done, head->readPos, k);
      head->readPos += k;
      head->remaining -= k;
      done += k;
    } else if (head->nextNode) {
      st->head = head->nextNode;
      freeNode(head);
    } else {
      // Never wait for more input once something was delivered; an
      // automatic level only hands out what it holds.
      if (done > 0 || st->automatic) break;
      int n = refill(st);
      if (n < 0) r = -1;
      if (n <= 0) break;
    }
  }
  if (got) *got = done;
  // A drained automatic level leaves the stack. The bit reader's own byte
  // fetch must not pull the level away under it.
  if (r == 0 && st->automatic && !st->rawRead && st->bitCount == 0 && noBufferedBytes(st)) {
    logTrace(logCatIoStream, "iosBufferedInputRead: no buffer remaining on automatic BufferedInputStream\n");
    iosPopLevel(level);
    iosBufferedInputFree(st);
    // Nothing delivered (the level was emptied by a seek): the read goes on
    // below instead of reporting a false end of data.
    if (done == 0 && len > 0) return iosRead(level, buf, len, got);
  }
  return r;
}

// ---- Bit reader ----

int iosPeekBits(IoStream* stream, uint32_t n) {
  IosBufferedInputState* st = bisStateOf(stream, "iosPeekBits");
  if (!st) return -1;
  n &= 0xFF;
  if (n == 0) return st->bitCount;
  if (n > maxBits) {
    logError(logCatIoStream, "iosPeekBits: %u bits wanted, at most %u at once\n", n, maxBits);
    return -1;
  }
  IosBufferNode* head = st->head;
  if (head && head->remaining >= 3 && st->bitCount <= 8) {
    // Fast path: three bytes at once; at most 8 + 24 bits are then held.
    const uint8_t* p = head->readPos;
    uint32_t v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
    st->bitBuffer |= v << st->bitCount;
    st->bitCount += 24;
    head->readPos += 3;
    head->remaining -= 3;
  } else {
    while (st->bitCount < (int32_t)n) {
      int b = fetchRawByte(stream, st);
      if (b < 0) {
        logTrace(logCatIoStream, "iosPeekBits: no data, wanted %u but have only %u\n", n, (uint32_t)st->bitCount);
        return -1;
      }
      st->bitBuffer |= (uint32_t)b << st->bitCount;
      st->bitCount += 8;
    }
  }
  return (int)(st->bitBuffer & iosBitMask[n]);
}

int iosGetBits(IoStream* stream, uint32_t n) {
  IosBufferedInputState* st = bisStateOf(stream, "iosGetBits");
  if (!st) return -1;
  n &= 0xFF;
  int v;
  if (n != 0 && n <= maxBits && st->bitCount >= (int32_t)n) {
    v = (int)(st->bitBuffer & iosBitMask[n]);
  } else {
    v = iosPeekBits(stream, n);
    if (v < 0) return v;
  }
  st->bitCount -= (int32_t)n;
  st->bitBuffer >>= n;
  return v;
}

int iosSkipToNextByte(IoStream* stream) {
  if (!stream) return -1;
  if (stream->ops != &iosBufferedInputStreamOps) {
    logTrace(logCatIoStream, "Make ios %s %s capable by wrapping iosBufferedInputStream\n", iosTypeName(stream),
             "skipToNextByte");
    if (iosWrapBufferedInputStream(stream, 0) != 0) return -1;
  }
  IosBufferedInputState* st = static_cast<IosBufferedInputState*>(stream->state);
  uint32_t drop = (uint32_t)st->bitCount % 8;
  st->bitBuffer >>= drop;
  st->bitCount -= (int32_t)drop;
  logTrace(logCatIoStream, "skipped ahead to next byte, bitsInBuffer=%u\n", (uint32_t)st->bitCount);
  return 0;
}

// ---- Direct access for fast decoders ----

uint32_t iosBufferedTakeBits(IoStream* stream, uint32_t* count) {
  IosBufferedInputState* st = bisStateOf(stream, "iosBufferedTakeBits");
  if (!st) {
    *count = 0;
    return 0;
  }
  uint32_t bits = st->bitCount >= 32 ? st->bitBuffer : st->bitBuffer & iosBitMask[st->bitCount];
  *count = (uint32_t)st->bitCount;
  st->bitBuffer = 0;
  st->bitCount = 0;
  return bits;
}

uint32_t iosBufferedAvailable(IoStream* stream, const uint8_t** data) {
  IosBufferedInputState* st = bisStateOf(stream, "iosBufferedAvailable");
  *data = nullptr;
  if (!st) return 0;
  while (st->head->remaining == 0 && st->head->nextNode) {
    IosBufferNode* next = st->head->nextNode;
    freeNode(st->head);
    st->head = next;
  }
  *data = st->head->readPos;
  return st->head->remaining;
}

void iosBufferedConsume(IoStream* stream, uint32_t n) {
  IosBufferedInputState* st = bisStateOf(stream, "iosBufferedConsume");
  if (!st) return;
  if (n > st->head->remaining) n = st->head->remaining;
  st->head->readPos += n;
  st->head->remaining -= n;
}

int iosBufferedFill(IoStream* stream, const uint8_t** data, uint32_t* avail) {
  *data = nullptr;
  *avail = 0;
  IosBufferedInputState* st = bisStateOf(stream, "iosBufferedFill");
  if (!st) return -1;
  *avail = iosBufferedAvailable(stream, data);
  if (*avail) return 0;
  if (refill(st) < 0) return -1;
  *data = st->head->readPos;
  *avail = st->head->remaining;
  return 0;
}

int iosBufferedPosition(const IoStream* level, uint64_t* pos) {
  if (level->ops != &iosBufferedInputStreamOps || !level->state) return -1;
  const IosBufferedInputState* st = static_cast<const IosBufferedInputState*>(level->state);
  if (!st->innerKnown) return -1;
  uint64_t ahead = (uint64_t)st->bitCount / 8;
  for (const IosBufferNode* node = st->head; node; node = node->nextNode) ahead += node->remaining;
  *pos = st->innerPos - ahead;
  return 0;
}

int iosBufferedGiveBack(IoStream* stream, uint64_t bits, uint32_t count) {
  IosBufferedInputState* st = bisStateOf(stream, "iosBufferedGiveBack");
  if (!st) return -1;
  if (count > 64 || st->bitCount != 0) {
    logError(logCatIoStream, "iosBufferedGiveBack: cannot take %u bits with %d bits held\n", count, st->bitCount);
    return -1;
  }
  uint32_t keep = count;
  if (count > 32) {
    // The first bits go to the bit buffer; whole bytes after them go in
    // front of the buffered bytes.
    uint32_t nbytes = (count - 32 + 7) / 8;
    keep = count - 8 * nbytes;
    uint8_t bytes[8];
    for (uint32_t i = 0; i < nbytes; i++) bytes[i] = (uint8_t)(bits >> (keep + 8 * i));
    IosBufferNode* head = st->head;
    const uint8_t* start = reinterpret_cast<const uint8_t*>(sbGet(&head->data));
    if ((uint32_t)(head->readPos - start) >= nbytes && memcmp(head->readPos - nbytes, bytes, nbytes) == 0) {
      head->readPos -= nbytes;
      head->remaining += nbytes;
    } else if (bisUnget(st, bytes, nbytes) != 0) {
      return -1;
    }
  }
  st->bitBuffer = keep >= 32 ? (uint32_t)bits : (uint32_t)bits & iosBitMask[keep];
  st->bitCount = (int32_t)keep;
  return 0;
}

// ---- BufferedOutputStream ----

int iosWrapBufferedOutputStream(IoStream* stream, uint32_t size) {
  if (!stream) {
    logError(logCatIoStream, "Invalid IoStream\n");
    return -1;
  }
  uint32_t flushSize = size > iosBufferMinSize ? size : iosBufferMinSize;
  if (stream->ops == &iosBufferedOutputStreamOps) {
    static_cast<IosBufferedOutputState*>(stream->state)->flushSize = flushSize;
    return 0;
  }
  if (!stream->ops || !stream->ops->write) {
    logError(logCatIoStream, "Performing open buffer operation on IoStream without write mechanism\n");
    iosLogStack(logLevelError, logCatIoStream, stream);
    return -1;
  }
  IosBufferedOutputState* st = memNew(IosBufferedOutputState);
  iosWrap(stream, st, &iosBufferedOutputStreamOps);
  st->inner = stream->next;
  st->flushSize = flushSize;
  sbInitHere(&st->buffer);
  sbInitHere(&st->lineStart);
  sbInitHere(&st->lineEnd);
  st->atLineStart = 1;
  if (sbEnsureCapacity(&st->buffer, flushSize) != 0 || sbAppendString(&st->lineEnd, "\r\n") != 0) return -1;
  return 0;
}

int iosSetLineStart(IoStream* stream, const char* text) { return setLineText(stream, text, false); }

int iosSetLineEnd(IoStream* stream, const char* text) { return setLineText(stream, text, true); }
