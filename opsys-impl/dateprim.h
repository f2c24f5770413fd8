// Private to the OS layer: the hooks each backend supplies to the clock
// module's shared code.
#pragma once

#include <cstdint>

// Backend: the system's wall clock in milliseconds since 1970 UTC.
uint64_t datePrimNow();
// Backend: the file time (100 ns units since 1601 UTC) of 1970-01-01 00:00
// UTC, from the calendar. 0, or -1 with the system error set.
int datePrimEpochBase(uint64_t* base);
