// The system's entry point of a program: hands the arguments, as the system
// gives them (UTF-16 on Windows), to the program's portable entry function.
// On Windows DLLs load only from the system directory, so a planted DLL
// beside a downloaded program, or in its temporary directory, is never used.
#pragma once

#ifdef _WIN32
#include <windows.h>

#define SFX_PROGRAM_ENTRY(entry)                                    \
  int wmain(int argc, wchar_t** argv) {                             \
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);         \
    return entry(argc, reinterpret_cast<const void* const*>(argv)); \
  }
#else
#define SFX_PROGRAM_ENTRY(entry) \
  int main(int argc, char** argv) { return entry(argc, reinterpret_cast<const void* const*>(argv)); }
#endif
