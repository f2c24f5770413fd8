// Progress line of an extraction on an interactive console (see progress.h).
//
// The line is written to the log stream itself, under the logging mutex, so
// that it keeps its place among the records: the log output erases it before
// a record and draws it again after (progressHideForRecord and
// progressShowAfterRecord). It is drawn with a carriage return and erased
// with blanks, which every console understands (no escape sequences), and it
// is kept one column short of the console's width so that it never wraps.
#include "progress.h"

#include <cstdio>
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "logoutput.h"
#include "osdate.h"
#include "osenv.h"
#include "osfile.h"
#include "strutil.h"

namespace {

constexpr uint64_t progressRedrawMs = 200;     // at most five drawings a second
constexpr uint64_t progressRateMs = 1000;      // the rate is measured over about a second
constexpr uint32_t progressLineMax = 160;      // longest line drawn
constexpr uint32_t progressDefaultWidth = 80;  // when the console does not say
constexpr int progressStdError = 2;

// State of the line. Changed under the logging mutex once a walk shows it.
struct ProgressState {
  bool disabled;                 // turned off for the run (unattended, or the setting)
  bool active;                   // the current walk shows the line
  bool shown;                    // the line is on the console now
  bool settingChecked;           // QZR_PROGRESS was read
  bool settingOff;               // QZR_PROGRESS turns the line off
  ProgressCounts counts;         // what the line shows
  uint32_t width;                // console columns
  uint64_t lastDraw;             // clock of the last drawing (the begin at first)
  uint64_t markTime, markBytes;  // start of the current rate measurement
  char text[progressLineMax];    // the line as last formatted
  uint32_t textLength;           // its length
  uint32_t covered;              // columns the line covers on the console now
};
ProgressState progress = {};

// Reads QZR_PROGRESS once: "off", "no" or "0" turn the line off, "on",
// "yes" or "1" leave it on; other values are reported and leave it on.
bool progressSettingOff() {
  if (progress.settingChecked) return progress.settingOff;
  progress.settingChecked = true;
  const char* value = osGetEnv("QZR_PROGRESS");
  if (!value || !*value) return false;
  static const char* const off[] = {"off", "no", "0"};
  static const char* const on[] = {"on", "yes", "1"};
  for (const char* word : off)
    if (strEqualsIgnoreCase(value, word)) return progress.settingOff = true;
  for (const char* word : on)
    if (strEqualsIgnoreCase(value, word)) return false;
  logWarn(logCatLogging, "Unrecognised QZR_PROGRESS value '%s'; use off or on\n", value);
  return false;
}

// True when the log writes to standard error from this thread's writes
// only: no log file, no standard output, no pipe thread, no socket.
bool progressLogIsStdError() {
  if (!logIsEnabled() || !logOut.stream || !logOut.currentFile) return false;
  if (!strEqualsIgnoreCase(logOut.currentFile, "stderr")) return false;
  return logOut.switchAllowed && !logPipeRequested() && !logOut.pipeActive.load();
}

// Columns of standard error when it is an interactive console, else 0.
uint32_t progressStdErrorWidth() {
  if (!osFileStdIsConsole(progressStdError)) return 0;
  const uint32_t width = osFileConsoleColumns(progressStdError);
  return width ? width : progressDefaultWidth;
}

// Writes to the console through the log stream. The suppression depth is
// raised, so what the file layer reports about a failed write is dropped
// instead of coming back here as a record; a failed write ends the line for
// this walk (the log's own write errors are not reported either).
void progressWrite(const char* data, uint32_t length) {
  logThreadSuppress();
  if (!logOut.stream || iosWrite(logOut.stream, data, length, nullptr) != 0 || iosFlush(logOut.stream) != 0)
    progress.active = false;
  logThreadUnsuppress();
}

// Draws the formatted text over the line, blanking what a longer text drawn
// before left on the console. Logging mutex held.
void progressDrawLocked() {
  char out[2 * progressLineMax + 2];
  uint32_t n = 0;
  out[n++] = '\r';
  memcpy(out + n, progress.text, progress.textLength);
  n += progress.textLength;
  for (uint32_t i = progress.textLength; i < progress.covered; i++) out[n++] = ' ';
  progress.covered = progress.textLength;
  progress.shown = true;
  progressWrite(out, n);
}

// Blanks the line and puts the cursor back at its start. Logging mutex held.
void progressEraseLocked() {
  if (!progress.shown) return;
  char out[progressLineMax + 2];
  uint32_t n = 0;
  out[n++] = '\r';
  memset(out + n, ' ', progress.covered);
  n += progress.covered;
  out[n++] = '\r';
  progress.shown = false;
  progress.covered = 0;
  progressWrite(out, n);
}

// Updates the rate and draws the line, unless it was drawn less than the
// redraw interval ago.
void progressUpdate() {
  if (!progress.active) return;
  const uint64_t now = progressClock();
  if (now >= progress.lastDraw && now - progress.lastDraw < progressRedrawMs) return;
  bool locked = logLock() == 0;
  ProgressCounts* c = &progress.counts;
  // The rate over the last second or so; in the first second, since begin.
  if (now < progress.markTime) {
    progress.markTime = now;
    progress.markBytes = c->bytesDone;
  } else if (now > progress.markTime) {
    const uint64_t ms = now - progress.markTime;
    if (ms >= progressRateMs || c->bytesPerSecond == 0)
      c->bytesPerSecond = (c->bytesDone - progress.markBytes) * 1000 / ms;
    if (ms >= progressRateMs) {
      progress.markTime = now;
      progress.markBytes = c->bytesDone;
    }
  }
  progress.lastDraw = now;
  // A console made narrower since the last drawing must not wrap the line.
  const uint32_t width = progressConsoleWidth();
  if (width) progress.width = width;
  progress.textLength = progressFormat(progress.text, sizeof progress.text, c, progress.width);
  progressDrawLocked();
  if (locked) logUnlock();
}

}  // namespace

uint64_t (*progressClock)() = osDateNow;
uint32_t (*progressConsoleWidth)() = progressStdErrorWidth;

uint32_t progressFormat(char* buf, uint32_t size, const ProgressCounts* c, uint32_t width) {
  if (size == 0) return 0;
  uint64_t percent = 100;
  if (c->bytesTotal)
    percent = c->bytesDone * 100 / c->bytesTotal;
  else if (c->entriesTotal)
    percent = c->entriesDone * 100 / c->entriesTotal;
  if (percent > 100) percent = 100;
  const double mb = 1024.0 * 1024.0;
  int n = snprintf(buf, size, "Extracting %" PRIu64 "/%" PRIu64 " entries, %.1f/%.1f MB, %" PRIu64 "%%, %.1f MB/s",
                   c->entriesDone, c->entriesTotal, (double)c->bytesDone / mb, (double)c->bytesTotal / mb, percent,
                   (double)c->bytesPerSecond / mb);
  uint32_t length = n < 0 ? 0 : (uint32_t)n < size ? (uint32_t)n : size - 1;
  if (width && length > width - 1) length = width - 1;
  buf[length] = 0;
  return length;
}

void progressSetEnabled(bool on) { progress.disabled = !on; }

void progressBegin(uint64_t entries, uint64_t bytes) {
  progressEnd();
  if (progress.disabled || progressSettingOff() || !progressLogIsStdError()) return;
  const uint32_t width = progressConsoleWidth();
  if (width == 0) return;
  bool locked = logLock() == 0;
  progress.counts = ProgressCounts{0, entries, 0, bytes, 0};
  progress.width = width;
  progress.lastDraw = progress.markTime = progressClock();
  progress.markBytes = 0;
  progress.textLength = 0;
  progress.covered = 0;
  progress.shown = false;
  progress.active = true;
  if (locked) logUnlock();
}

void progressAdvance(uint64_t bytes) {
  if (!progress.active) return;
  progress.counts.bytesDone += bytes;
  progressUpdate();
}

void progressEntriesDone(uint64_t entries) {
  if (!progress.active) return;
  progress.counts.entriesDone = entries;
  progressUpdate();
}

void progressEnd() {
  if (!progress.active && !progress.shown) return;
  bool locked = logLock() == 0;
  progressEraseLocked();
  progress.active = false;
  if (locked) logUnlock();
}

bool progressHideForRecord() {
  if (!progress.shown) return false;
  progressEraseLocked();
  return true;
}

void progressShowAfterRecord() {
  if (progress.active && !progress.shown && progress.textLength) progressDrawLocked();
}
