// Progress line of an extraction on an interactive console.
//
// While a walk extracts, one line on the console shows entries done and
// total, megabytes done and total, percent and the current rate, redrawn in
// place at most five times a second. It is shown only where a person sees
// it: standard error is a console (a terminal on POSIX), the log goes to
// that console (not to a file, standard output, a pipe thread or a socket),
// the run is not unattended, and QZR_PROGRESS does not turn it off. Log
// records written to the console erase the line first and redraw it after,
// so they are never torn; the line is erased for good when the walk ends.
// Nothing of it ever reaches a file, a pipe or a redirected stream.
#pragma once

#include "compiler.h"

// Turns the line off (or back on) for the rest of the run; an unattended
// run turns it off.
void progressSetEnabled(bool on);

// Starts the line for a walk that is about to extract `entries` entries
// holding `bytes` bytes, when the conditions above hold; otherwise the
// other calls do nothing until the next begin.
void progressBegin(uint64_t entries, uint64_t bytes);
// Adds extracted bytes.
void progressAdvance(uint64_t bytes);
// Sets the number of entries done so far.
void progressEntriesDone(uint64_t entries);
// Erases the line for good.
void progressEnd();

// Counters of a walk, as shown.
struct ProgressCounts {
  uint64_t entriesDone, entriesTotal;  // entries extracted so far, and to extract
  uint64_t bytesDone, bytesTotal;      // bytes extracted so far, and to extract
  uint64_t bytesPerSecond;             // current rate
};
// Formats the line into buf (at most `width` - 1 characters so that it never
// wraps on a console `width` columns wide, and at most size - 1); returns
// its length.
uint32_t progressFormat(char* buf, uint32_t size, const ProgressCounts* counts, uint32_t width);

// Seams that tests replace: the clock of the redraw limit and the rate (ms),
// and the width of standard error (columns; 0 when it is not a console).
extern uint64_t (*progressClock)();
extern uint32_t (*progressConsoleWidth)();
