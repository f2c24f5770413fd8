// Windows backend only: directories, their access lists, enumeration and
// the case-sensitivity probe.
#include <aclapi.h>

#include <cstring>

#include "dirprim.h"
#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "oserror.h"
#include "osfile.h"
#include "ospath.h"
#include "stringbuf.h"
#include "winsupport.h"

const char osPathSeparator = '\\';
const char osPathSeparatorString[2] = "\\";
const OsPathStyle osPathStyleNative = osPathStyleWindows;

// ---- Access lists ----

int winSecurityBuild(WinSecurity* sec, const WinAceSpec* specs, uint32_t count, PACL base, PSID owner, uint32_t cat) {
  memset(sec, 0, sizeof *sec);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  EXPLICIT_ACCESSW* ea = memNewArray(EXPLICIT_ACCESSW, count ? count : 1);
  int rc = 0;
  for (uint32_t i = 0; i < count && rc == 0; i++) {
    ea[i].grfAccessPermissions = specs[i].rights;
    ea[i].grfAccessMode = GRANT_ACCESS;
    ea[i].grfInheritance = specs[i].inheritance;
    switch (specs[i].trustee) {
      case winTrusteeCurrentUser:
        ea[i].Trustee.TrusteeForm = TRUSTEE_IS_NAME;
        ea[i].Trustee.TrusteeType = TRUSTEE_IS_USER;
        ea[i].Trustee.ptstrName = const_cast<wchar_t*>(L"CURRENT_USER");
        break;
      case winTrusteeNamed:
        ea[i].Trustee.TrusteeForm = TRUSTEE_IS_NAME;
        ea[i].Trustee.TrusteeType = TRUSTEE_IS_USER;
        ea[i].Trustee.ptstrName = const_cast<wchar_t*>(specs[i].name);
        break;
      case winTrusteeAdmins:
        if (!sec->admins && !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                                      0, 0, 0, 0, 0, &sec->admins)) {
          osErrorReport(cat, GetLastError(), "AllocateAndInitializeSid failed");
          rc = -1;
          break;
        }
        ea[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        ea[i].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        ea[i].Trustee.ptstrName = static_cast<wchar_t*>(sec->admins);
        break;
      case winTrusteeEveryone:
        if (!sec->everyone &&
            !AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sec->everyone)) {
          osErrorReport(cat, GetLastError(), "AllocateAndInitializeSid failed");
          rc = -1;
          break;
        }
        ea[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        ea[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        ea[i].Trustee.ptstrName = static_cast<wchar_t*>(sec->everyone);
        break;
    }
  }
  if (rc == 0) {
    const DWORD err = SetEntriesInAclW(count, ea, base, &sec->acl);
    if (err != ERROR_SUCCESS) {
      osErrorReport(cat, err, "SetEntriesInAclW failed");
      rc = -1;
    }
  }
  memFree(ea);
  if (rc == 0 && !InitializeSecurityDescriptor(&sec->sd, SECURITY_DESCRIPTOR_REVISION)) {
    osErrorReport(cat, GetLastError(), "InitializeSecurityDescriptor failed");
    rc = -1;
  }
  if (rc == 0 && !SetSecurityDescriptorDacl(&sec->sd, TRUE, sec->acl, FALSE)) {
    osErrorReport(cat, GetLastError(), "SetSecurityDescriptorDacl failed");
    rc = -1;
  }
  // The list is the whole list: protected, so that a new object does not
  // also take the inheritable entries of its parent (under the system's
  // Temp folder those would let other users add files).
  if (rc == 0 && !SetSecurityDescriptorControl(&sec->sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    osErrorReport(cat, GetLastError(), "SetSecurityDescriptorControl failed");
    rc = -1;
  }
  if (rc == 0 && owner && !SetSecurityDescriptorOwner(&sec->sd, owner, FALSE)) {
    osErrorReport(cat, GetLastError(), "SetSecurityDescriptorOwner failed");
    rc = -1;
  }
  if (rc != 0) {
    winSecurityFree(sec);
    return -1;
  }
  sec->attributes.nLength = sizeof sec->attributes;
  sec->attributes.lpSecurityDescriptor = &sec->sd;
  sec->attributes.bInheritHandle = FALSE;
  return 0;
}

void winSecurityFree(WinSecurity* sec) {
  if (sec->everyone) FreeSid(sec->everyone);
  if (sec->admins) FreeSid(sec->admins);
  if (sec->acl) LocalFree(sec->acl);
  memset(sec, 0, sizeof *sec);
}

// ---- Current directory and presence ----

char* osDirCurrent() {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  wchar_t* buf = n ? memNewArray(wchar_t, n + 1) : nullptr;
  char* out = nullptr;
  if (buf && GetCurrentDirectoryW(n + 1, buf) > 0) out = winWideToUtf8(buf);
  memFree(buf);
  if (!out) logFatal(logCatDir, "Current directory cannot be determined\n");
  return out;
}

char* osDirGetCwd() {
  wchar_t* w = _wgetcwd(nullptr, 0);
  char* out = w ? winWideToUtf8(w) : nullptr;
  free(w);  // allocated by the runtime's getcwd
  if (!out) logFatal(logCatDir, "Unable to determine current directory\n");
  return out;
}

int osDirSetWorking(const char* path) {
  wchar_t* wide = path ? winUtf8ToWide(path) : nullptr;
  const bool ok = wide && SetCurrentDirectoryW(wide);
  memFree(wide);
  if (!ok) {
    logError(logCatDir, "Failed to set working directory to %s\n", path ? path : "<null>");
    return -1;
  }
  logDebug(logCatDir, "Working directory set to %s\n", path);
  return 0;
}

// With the long-path prefix the system takes 32767 UTF-16 units, less the
// prefix itself ("\\?\UNC\"); without it, MAX_PATH less the terminator.
uint32_t osPathMaxLength() { return winLongPaths() ? 32767 - 8 : MAX_PATH - 1; }

bool osIsDirPresent(const char* path) {
  const DWORD a = winAttributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    logDebug(logCatDir, "osIsDirPresent(%s): No\n", path ? path : "<null>");
    return false;
  }
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    logDebug(logCatDir, "osIsDirPresent(%s): No (is File)\n", path);
    return false;
  }
  logDebug(logCatDir, "osIsDirPresent(%s): Yes\n", path);
  return true;
}

bool osDirIsLink(const char* path) {
  const DWORD a = winAttributesOf(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A folder a volume is mounted on is a reparse point, which osDirIsLink
// reports and no walk enters.
bool osDirIsMountPoint(const char*) { return false; }

// ---- Creation ----

namespace {

const DWORD inherit = SUB_CONTAINERS_AND_OBJECTS_INHERIT;

// The access entries of directory class `dirType` (without the owner's).
// Returns the count, 0 for the inheriting classes, -1 for an unknown class.
int classEntries(uint32_t dirType, WinAceSpec* specs) {
  int n = 0;
  switch (dirType) {
    case 11:
    case 13:
      return 0;
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 12:
      specs[n++] = {winTrusteeCurrentUser, GENERIC_ALL, inherit, nullptr};
      specs[n++] = {winTrusteeAdmins, GENERIC_ALL, inherit, nullptr};
      if (dirType == 0) specs[n++] = {winTrusteeEveryone, 0x100062, 0, nullptr};
      if (dirType == 1) specs[n++] = {winTrusteeEveryone, 0x100022, 0, nullptr};
      if (dirType >= 2 && dirType <= 8) specs[n++] = {winTrusteeEveryone, 0x20, inherit, nullptr};
      return n;
    default:
      return -1;
  }
}

}  // namespace

int osDirCreate(const char* path, uint32_t dirType, const OsDirOwner* owner) {
  logDebug(logCatDir, "Creating %s\n", path ? path : "NULL");
  if (!path || !*path) {
    logError(logCatDir, "Empty directory name passed to osDirCreate\n");
    return -1;
  }
  WinAceSpec specs[4];
  const int count = classEntries(dirType, specs);
  if (count < 0) {
    logError(logCatDir, "Internal: osDirCreate() unhandled dirType %d\n", (int)dirType);
    return -1;
  }
  // The parent ends at the last separator that has a name after it.
  size_t parentLen = 0;
  for (size_t i = 0; path[i]; i++)
    if (osPathIsSep(path[i]) && path[i + 1] && !osPathIsSep(path[i + 1])) parentLen = i;
  char* parent = parentLen > 0 ? memStrDupN(path, parentLen) : nullptr;
  if (parent) {
    logDebug(logCatDir, "check parent directory %s\n", parent);
    if (!osIsDirPresent(parent) && osDirCreate(parent, osDirTypeInherit, nullptr) != 0) {
      memFree(parent);
      return -1;
    }
  }
  WinSecurity sec;
  memset(&sec, 0, sizeof sec);
  bool haveSecurity = false;
  wchar_t* qualified = nullptr;
  PSECURITY_DESCRIPTOR parentSd = nullptr;
  int rc = 0;
  if (count > 0) {
    uint32_t n = (uint32_t)count;
    PACL base = nullptr;
    const bool owned = dirType == 9 || dirType == 10 || dirType == 12;
    if (owned && owner && owner->name) {
      StringBuffer q;
      sbInitHere(&q);
      char* d = owner->domain ? winWideToUtf8(owner->domain) : nullptr;
      char* u = winWideToUtf8(owner->name);
      sbPrintf(&q, "%s\\%s", d ? d : "", u ? u : "");
      logDebug(logCatDir, "Setting FILE_ALL_ACCESS for %s\n", sbGet(&q));
      qualified = winUtf8ToWide(sbGet(&q));
      memFree(d);
      memFree(u);
      sbClean(&q);
      specs[n++] = {winTrusteeNamed, GENERIC_ALL, inherit, qualified};
    }
    if (owned && parent) {
      wchar_t* wParent = winPathToWide(parent);
      logTrace(logCatDir, "GetNamedSecurityInfo(%ls)\n", wParent ? wParent : L"");
      const DWORD err = wParent ? GetNamedSecurityInfoW(wParent, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                        nullptr, &base, nullptr, &parentSd)
                                : (DWORD)ERROR_NO_UNICODE_TRANSLATION;
      logTrace(logCatDir, "GetNamedSecurityInfo(%s) pACL=%p psd=%p\n", parent, (void*)base, parentSd);
      memFree(wParent);
      if (err != ERROR_SUCCESS) {
        osErrorReport(logCatDir, err, "GetNamedSecurityInfo");
        rc = -1;
      }
    }
    if (rc == 0) {
      if (winSecurityBuild(&sec, specs, n, base, owned && owner ? owner->sid : nullptr, logCatDir) != 0)
        rc = -1;
      else
        haveSecurity = true;
    }
  } else {
    logDebug(logCatDir, "Directory %s inherits ACL from parent\n", path);
  }
  if (rc == 0) {
    wchar_t* wide = winPathToWide(path);
    if (!wide || !winSys.createDirectory(wide, haveSecurity ? &sec.attributes : nullptr)) {
      const DWORD err = wide ? GetLastError() : (DWORD)ERROR_NO_UNICODE_TRANSLATION;
      if (err == ERROR_ALREADY_EXISTS && dirType == osDirTypeInherit && osIsDirPresent(path)) {
        logDebug(logCatDir, "Creating parent directory %s not necessary, it already exists\n", path);
      } else {
        osErrorReport(logCatDir, err, "Unable to create directory %s", path);
        osDirDiagnoseAccess(path, true);
        SetLastError(err);
        rc = -1;
      }
    }
    memFree(wide);
  }
  if (haveSecurity) winSecurityFree(&sec);
  if (parentSd) LocalFree(parentSd);
  memFree(qualified);
  memFree(parent);
  return rc;
}

int osDirCreateNew(const char* path, bool* taken) {
  *taken = false;
  wchar_t* wide = winPathToWide(path);
  const BOOL ok = wide && winSys.createDirectory(wide, nullptr);
  const DWORD err = ok ? 0 : wide ? GetLastError() : (DWORD)ERROR_NO_UNICODE_TRANSLATION;
  memFree(wide);
  if (ok) {
    logDebug(logCatDir, "Created %s\n", path);
    return 0;
  }
  if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) {
    logDebug(logCatDir, "Not creating %s: something is already there\n", path);
    *taken = true;
    return -1;
  }
  osErrorReport(logCatDir, err, "Unable to create directory %s", path);
  osDirDiagnoseAccess(path, true);
  SetLastError(err);
  return -1;
}

// ---- Removal ----

int osDirRemove(const char* path, StringBuffer* error) {
  wchar_t* wide = path ? winPathToWide(path) : nullptr;
  const BOOL ok = wide && winSys.removeDirectory(wide);
  const DWORD err = ok ? 0 : wide ? GetLastError() : (DWORD)ERROR_INVALID_NAME;
  memFree(wide);
  logDebug(logCatDir, "RemoveDirectory(%s) = %s error=%d\n", path ? path : "<null>", ok ? "true" : "false", (int)err);
  if (ok) return 0;
  if (err == ERROR_DIR_NOT_EMPTY || err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION) {
    logDebug(logCatDir, "Directory %s not empty (error %d)\n", path, (int)err);
    return -1;
  }
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
    logDebug(logCatDir, "Directory %s already deleted\n", path);
    return 0;
  }
  if (error)
    sbAppendString(error, osErrorText(nullptr, err));
  else
    logDebug(logCatDir, "Directory %s not deleted: %d\n", path, (int)err);
  return -1;
}

// ---- Enumeration ----

namespace {

int classify(DWORD a) {
  if (a & FILE_ATTRIBUTE_DIRECTORY) return osDirEntryDirectory;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return osDirEntrySymlink;
  if (a & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL)) return osDirEntryFile;
  return osDirEntryOther;
}

const DWORD skipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_TEMPORARY |
                      0x10000 /* virtual */;

}  // namespace

int dirPrimEnumerateRoots(OsDirCallback callback, void* context, int filter, uint32_t flags, int* count) {
  wchar_t buf[512];
  const DWORD n = GetLogicalDriveStringsW(511, buf);
  if (n == 0 || n > 511) {
    osErrorReport(logCatDir, GetLastError(), "GetLogicalDriveStrings");
    return -1;
  }
  int drives = 0;
  for (const wchar_t* p = buf; *p; p += wcslen(p) + 1) drives++;
  logTrace(logCatDir, "Enumeration found %d drives.\n", drives);
  int result = 0;
  for (const wchar_t* p = buf; *p; p += wcslen(p) + 1) {
    const UINT type = GetDriveTypeW(p);
    logTrace(logCatDir, "%ls has drive-type %d\n", p, (int)type);
    if (type != DRIVE_FIXED && type != DRIVE_REMOTE) continue;
    if (filter != osDirEntryAny && filter != osDirEntryDirectory) continue;
    char* name = winWideToUtf8(p);
    if (!name) continue;
    (*count)++;
    const int rc = callback("<DiskDevices>", name, osDirEntryDirectory, context);
    memFree(name);
    if (rc != 0) {
      result = -1;
      if (flags & osDirFlagStopOnFailure) break;
    }
  }
  return result;
}

int dirPrimEnumerate(const char* directory, OsDirCallback callback, void* context, int filter, uint32_t flags,
                     int* count) {
  int result = 0;
  StringBuffer pattern;
  sbInitHere(&pattern);
  sbPrintf(&pattern, "%s\\*", directory);
  wchar_t* wide = winPathToWide(sbGet(&pattern));
  sbClean(&pattern);
  WIN32_FIND_DATAW data;
  HANDLE find = wide ? winSys.findFirstFile(wide, &data) : INVALID_HANDLE_VALUE;
  const DWORD openErr = find == INVALID_HANDLE_VALUE ? (wide ? GetLastError() : (DWORD)ERROR_INVALID_NAME) : 0;
  memFree(wide);
  if (find == INVALID_HANDLE_VALUE) {
    *count = -1;
    if (openErr == ERROR_FILE_NOT_FOUND || openErr == ERROR_PATH_NOT_FOUND) {
      logTrace(logCatDir, "directory %s not present)\n", directory);
      return 0;
    }
    if (openErr == 13 && (flags & osDirFlagDeniedIsEmpty)) return 0;
    osErrorReport(logCatDir, openErr, "Cannot read directory %s: ", directory);
    return -1;
  }
  do {
    const wchar_t* w = data.cFileName;
    if (w[0] == L'.' && (w[1] == 0 || (w[1] == L'.' && w[2] == 0))) continue;
    if (data.dwFileAttributes & (flags & osDirFlagHidden ? skipped & ~FILE_ATTRIBUTE_HIDDEN : skipped)) continue;
    const int type = classify(data.dwFileAttributes);
    if (filter != osDirEntryAny && filter != type) continue;
    char* name = winWideToUtf8(w);
    if (!name) continue;
    (*count)++;
    const int rc = callback(directory, name, type, context);
    memFree(name);
    if (rc != 0) {
      result = -1;
      if (flags & osDirFlagStopOnFailure) break;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return result;
}

// ---- Case sensitivity ----

namespace {

struct IoStatusBlock {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using NtQueryInformationFileFn = LONG(WINAPI*)(HANDLE, IoStatusBlock*, void*, ULONG, ULONG);

NtQueryInformationFileFn queryInformationFile() {
  static bool resolved = false;
  static NtQueryInformationFileFn fn = nullptr;
  if (!resolved) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll)
      fn = reinterpret_cast<NtQueryInformationFileFn>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationFile")));
    resolved = true;
  }
  return fn;
}

}  // namespace

bool osDirIsCaseSensitive(const char* path) {
  NtQueryInformationFileFn query = queryInformationFile();
  wchar_t* wide = path ? winPathToWide(path) : nullptr;
  HANDLE h = wide ? CreateFileW(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                  : INVALID_HANDLE_VALUE;
  memFree(wide);
  if (h == INVALID_HANDLE_VALUE) {
    logTrace(logCatDir, "Cannot open '%s'; assume it is case-insensitive\n", path ? path : "<null>");
    return false;
  }
  ULONG flags = 0;
  IoStatusBlock io = {};
  const LONG status = query ? query(h, &io, &flags, sizeof flags, 71) : -1;
  CloseHandle(h);
  const bool sensitive = status >= 0 && (flags & 1);
  logTrace(logCatDir, "osDirIsCaseSensitive(\"%s\") = %d (status %d/%x)\n", path, sensitive ? 1 : 0, (int)status,
           (unsigned)status);
  return sensitive;
}

int osDirIsTrusted(const char*) { return 1; }

const char* osDirSharedTemp() { return nullptr; }
