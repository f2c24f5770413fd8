// Start-up and shut-down shared by the programs' entry functions: memory,
// the converted arguments, logging and the OS layer come up in that order and
// go down in the reverse one.
#pragma once

#include "compiler.h"

// The arguments of a running program.
struct EntryArgs {
  int argc;     // the converted arguments, as the system gave them
  char** argv;  // UTF-8, owned by the OS layer
  int count;    // the arguments left after logging took its options
  char** args;  // tracked copy of argv without the logging options
};

// Brings memory up and converts the system's arguments to UTF-8. 0, or -1
// when they do not convert (the program ends with 3).
int entryConvertArguments(int wargc, const void* const* wargv, EntryArgs* a);
// Copies the arguments and starts logging, which takes its options out of
// the copy.
void entryStartLogging(EntryArgs* a);
// Starts the OS layer. 0, or -1 after taking the OS layer and memory down
// again (the program ends with 3).
int entryStartOs(EntryArgs* a);
// Frees the argument copy and takes logging, the OS layer and memory down.
void entryShutDown(EntryArgs* a);
