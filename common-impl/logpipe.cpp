// The log pipe: when QZR_LOG_PIPE begins with "Y", every thread writes its
// finished lines into one anonymous pipe and the "logging" thread alone
// writes the log file. In the byte stream, byte 2 asks for a flush and byte
// 3 for a re-open of the log (logFlush, logReopen).
#include <cstring>
#include <thread>

#include "iostream.h"
#include "logging.h"
#include "logoutput.h"
#include "ospipe.h"
#include "osthread.h"

thread_local bool logOnPipeThread = false;
std::atomic<int32_t> logPipeWriters{0};

namespace {

constexpr uint32_t logPipeBufferSize = 32768;
constexpr uint32_t logPipeChunk = 1024;
constexpr uint8_t logPipeFlush = 2;
constexpr uint8_t logPipeReopen = 3;

// Set while the pipe thread has not finished its final drain.
std::atomic<bool> logPipeThreadRunning{false};

// Waits until no thread is inside a pipe write.
void logPipeWaitForWriters() {
  while (logPipeWriters.load() != 0) std::this_thread::yield();
}

// Drains what is left in the pipe after its write end was closed (or a read
// failed), then closes it. Writers have gone back to the log stream before.
void logPipeDrain() {
  logOut.pipeActive.store(false);
  logPipeWaitForWriters();
  bool locked = logLock() == 0;
  uint8_t buf[logPipeChunk];
  while (logOut.pipe && osPipeHasData(logOut.pipe, 1)) {
    uint32_t got = 0;
    if (iosRead(logOut.pipe, buf, sizeof buf, &got) != 0 || got == 0) break;
    logWriteBytes(buf, got, false);
  }
  IoStream* pipe = logOut.pipe;
  logOut.pipe = nullptr;
  iosClose(pipe);
  if (logOut.stream) iosFlush(logOut.stream);
  if (locked) logUnlock();
}

// The "logging" thread: copies the pipe into the log until its write end is
// closed by logStopPipe. An unfinished last line of a chunk waits for the
// next chunk, so that records this thread writes itself (command messages,
// switch announcements) never land inside another thread's line.
void logPipeThread(void*) {
  logOnPipeThread = true;
  logOut.pipeActive.store(true);
  uint8_t buf[2 * logPipeChunk];
  uint32_t carry = 0;
  for (;;) {
    uint32_t got = 0;
    if (iosRead(logOut.pipe, buf + carry, logPipeChunk, &got) != 0 || got == 0) break;
    uint32_t n = carry + got;
    uint32_t cut = n;
    while (cut > 0 && buf[cut - 1] != '\n' && buf[cut - 1] != logPipeFlush && buf[cut - 1] != logPipeReopen) cut--;
    if (cut == 0 && n >= logPipeChunk) cut = n;  // no line end in a whole line's length: pass it on
    logPipeConsume(buf, cut, true);
    memmove(buf, buf + cut, n - cut);
    carry = n - cut;
  }
  if (carry) logPipeConsume(buf, carry, true);
  logPipeDrain();
  logOnPipeThread = false;
  logPipeThreadRunning.store(false);
}

}  // namespace

void logPipeConsume(const uint8_t* data, uint32_t length, bool commands) {
  // Threads that found the pipe not yet active write to the stream directly
  // under the mutex, so the pipe thread takes it as well.
  bool locked = logLock() == 0;
  uint32_t start = 0;
  for (uint32_t i = 0; commands && i < length; i++) {
    uint8_t c = data[i];
    if (c != logPipeFlush && c != logPipeReopen) continue;
    // The bytes before a command end with a whole line (each line is one
    // pipe write), so the thread's own record cannot split a line.
    if (i > start) logWriteBytes(data + start, i - start, false);
    logDebug(logCatLogging, "Processing log-pipe command #%d at index %u\n", (int)c, i);
    start = i + 1;
    if (c == logPipeReopen)
      logSwitchFile(false);
    else if (logOut.stream)
      iosFlush(logOut.stream);
  }
  bool full = length > start && logWriteBytes(data + start, length - start, true);
  if (locked) logUnlock();
  if (full) logSwitchFile(true);
}

// Sends one line or command into the pipe; false when the pipe is not (or no
// longer) the way to the log. Writers are counted so that logStopPipe closes
// the write end only when no write is under way.
bool logPipeSend(const void* data, uint32_t length) {
  if (logOnPipeThread || !logOut.pipeActive.load()) return false;
  logPipeWriters.fetch_add(1);
  bool sent = false;
  if (logOut.pipeActive.load() && logOut.pipe) {
    iosWrite(logOut.pipe, data, length, nullptr);
    sent = true;
  }
  logPipeWriters.fetch_sub(1);
  return sent;
}

// Called at every thread creation: makes the "Logging" mutex and, when the
// pipe was asked for, the pipe and its thread.
void logStartPipe() {
  if (!logOut.mutex) logOut.mutex = osThreadMakeMutex("Logging");
  if (!logPipeRequested() || logOut.pipe) return;
  logOut.pipe = osPipeCreate(logPipeBufferSize);
  if (!logOut.pipe) return;
  logDebug(logCatLogging, "Logging via pipe thread is activating\n");
  logPipeThreadRunning.store(true);
  if (osThreadCreate("logging", logPipeThread, nullptr, nullptr, nullptr) != 0) {
    logPipeThreadRunning.store(false);
    IoStream* pipe = logOut.pipe;
    logOut.pipe = nullptr;
    iosClose(pipe);
  }
}

// Ends pipe mode: writers go back to the log stream, the write end closes
// and the pipe thread drains the rest. Waits (bounded) for that drain unless
// called on the pipe thread itself.
void logStopPipe() {
  bool locked = logLock() == 0;
  bool wasActive = logOut.pipeActive.exchange(false);
  if (locked) logUnlock();
  if (!wasActive) return;
  logPipeWaitForWriters();
  locked = logLock() == 0;
  if (logOut.pipe) osPipeCloseWrite(logOut.pipe);
  if (locked) logUnlock();
  if (logOnPipeThread) return;
  for (int i = 0; i < 10000 && logPipeThreadRunning.load(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
