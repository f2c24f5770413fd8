// Internal seam between the stream core (iostream.cpp) and the buffered
// levels (iosbuffered.cpp): what unwrapping needs to know about a
// "BufferedInputStream" below the level it removes.
#pragma once

#include "iosbuffered.h"

// True when the level holds fewer than 8 bits and no unread buffered bytes,
// so that it may go with the level above it.
bool iosBufferedInputDrained(const IosBufferedInputState* st);
// Frees the state with all its nodes (the level below is left alone).
void iosBufferedInputFree(IosBufferedInputState* st);
// Pops the level held in `level` in place: the level below is copied into it
// and its object freed; a drained "BufferedInputStream" below goes too. The
// popped level's state is not touched.
int iosPopLevel(IoStream* level);
