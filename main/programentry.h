// The system's entry point of a program: hands the arguments, as the system
// gives them (UTF-16 on Windows), to the program's portable entry function.
#pragma once

#ifdef _WIN32
#include <windows.h>

// Loads DLLs only from the system directory, so that a planted DLL beside a
// downloaded installer, or in its temporary directory, is never used.
// SetDefaultDllDirectories is bound at run time: Windows 7 without its
// update (KB2533623) lacks it, and a static import would stop the program
// from starting there. There the current directory is at least taken out
// of the search order.
inline void winEntryRestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                 reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
                           : nullptr;
  if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

#define SFX_PROGRAM_ENTRY(entry)                                    \
  int wmain(int argc, wchar_t** argv) {                             \
    winEntryRestrictDllSearch();                                    \
    return entry(argc, reinterpret_cast<const void* const*>(argv)); \
  }
#else
#include <fcntl.h>
#include <unistd.h>

// Opens /dev/null on each of the standard descriptors the program was
// started without: otherwise the first file or pipe the program opens
// takes that number, and what is meant for standard output or error (log
// records, say) is written into it.
inline void posixEntryOpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) _exit(3);
}

#define SFX_PROGRAM_ENTRY(entry)                                    \
  int main(int argc, char** argv) {                                 \
    posixEntryOpenStandardDescriptors();                            \
    return entry(argc, reinterpret_cast<const void* const*>(argv)); \
  }
#endif
