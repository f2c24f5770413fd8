// Private helpers of the Windows backend: windows.h, UTF-8 <-> UTF-16.
#pragma once

#include <windows.h>

#include "compiler.h"

// Converts UTF-8 to a new UTF-16 block (memFree it), or null on failure.
wchar_t* winUtf8ToWide(const char* text);
// Converts UTF-16 to a new UTF-8 block (memFree it), or null on failure.
char* winWideToUtf8(const wchar_t* text);

// ---- Console ----

// Allocates a console and registers the control handler with it again.
void winAllocConsole();
// Hides the console window, if there is one. USER32 is bound at run time and
// loaded only then: a static import would have the system deliver Logoff
// and Shutdown as window messages instead of console control events.
void winHideConsoleWindow();

// ---- Paths ----

// Converts a UTF-8 path for a system call: UTF-16, with the long-path prefix
// when long paths are on (decided once: Windows 6 or later, unless
// QZR_LONG_PATH says otherwise). A new block (memFree it), or null when the
// text is not valid UTF-8.
wchar_t* winPathToWide(const char* path);
// Whether paths get the long-path prefix (decides on the first call).
bool winLongPaths();
// Forgets the long-path decision so that the next conversion decides again
// (tests switch QZR_LONG_PATH).
void winResetLongPaths();

// ---- System calls of the file and directory layer ----

// Every file-system call of the file and directory modules goes through this
// table. The default entries pass the fault-injection counter (ostest.h)
// first; tests may replace entries and restore winSysDefault afterwards.
struct WinSyscalls {
  HANDLE(WINAPI* createFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* closeHandle)(HANDLE);
  BOOL(WINAPI* setFilePointerEx)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);
  BOOL(WINAPI* flushFileBuffers)(HANDLE);
  BOOL(WINAPI* setEndOfFile)(HANDLE);
  BOOL(WINAPI* deleteFile)(LPCWSTR);
  BOOL(WINAPI* moveFileEx)(LPCWSTR, LPCWSTR, DWORD);
  BOOL(WINAPI* setFileAttributes)(LPCWSTR, DWORD);
  BOOL(WINAPI* getFileAttributesEx)(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID);
  BOOL(WINAPI* setFileTime)(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*);
  BOOL(WINAPI* createDirectory)(LPCWSTR, LPSECURITY_ATTRIBUTES);
  BOOL(WINAPI* removeDirectory)(LPCWSTR);
  HANDLE(WINAPI* findFirstFile)(LPCWSTR, LPWIN32_FIND_DATAW);
  BOOL(WINAPI* setFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
};
extern WinSyscalls winSys;
extern const WinSyscalls winSysDefault;

// Attributes of `path` through the call table, or INVALID_FILE_ATTRIBUTES
// (also for a null path or one that does not convert).
DWORD winAttributesOf(const char* path);

// ---- Access lists ----

// Who an access entry is for.
enum WinTrustee : uint32_t {
  winTrusteeCurrentUser = 0,  // the trustee name "CURRENT_USER"
  winTrusteeAdmins = 1,       // BUILTIN\Administrators
  winTrusteeEveryone = 2,     // the world SID
  winTrusteeNamed = 3,        // an account by name
};

// One access entry to build.
struct WinAceSpec {
  WinTrustee trustee;
  DWORD rights;         // access mask granted
  DWORD inheritance;    // 0 or SUB_CONTAINERS_AND_OBJECTS_INHERIT
  const wchar_t* name;  // the account for winTrusteeNamed
};

// A security descriptor under construction and everything it holds.
struct WinSecurity {
  PSID everyone;                   // the world SID, when used
  PSID admins;                     // the Administrators SID, when used
  PACL acl;                        // the combined list (LocalFree)
  SECURITY_DESCRIPTOR sd;          // points at acl
  SECURITY_ATTRIBUTES attributes;  // for CreateFile / CreateDirectory
};

// Builds a descriptor granting the entries (merged into `base` when given,
// with `owner` as its owner when given). Failures are reported under `cat`
// with the name of the failed call. 0 or -1; release with winSecurityFree.
int winSecurityBuild(WinSecurity* sec, const WinAceSpec* specs, uint32_t count, PACL base, PSID owner, uint32_t cat);
void winSecurityFree(WinSecurity* sec);

struct IoStream;
// A file stream over the handle h (taken over), named path in messages.
IoStream* winFileStream(HANDLE h, const char* path);
// The handle under the file level of stream, or INVALID_HANDLE_VALUE (logged)
// when it has none (file.cpp).
HANDLE winFileHandle(IoStream* stream);
// True when the base name of path starts with "." (such files are hidden).
bool winIsDotName(const char* path);
