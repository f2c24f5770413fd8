// Binding of the separate "secure" library: the ten entries looked up by
// name, the table of the program's own functions handed to its Init, and
// the forwarders. Loading itself is the library module of each backend.
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osconv.h"
#include "osdir.h"
#include "osfile.h"
#include "osinit.h"
#include "osthread.h"
#include "parameters.h"
#include "secure.h"
#include "stringbuf.h"
#include "strutil.h"

namespace {

using InitFn = int (*)(SecureSymbol* table, int count);
using ExitFn = void (*)();
using UsageFn = int (*)(int arg);
using WrapFn = int (*)(IoStream* stream);
using ParseFn = void (*)(int* argc, char*** argv);
using ProtocolFn = int (*)(int protocol);
using CertificateFn = int (*)(void* info);
using TransferFn = int (*)(int argc, char** argv);

// The library's entries, in lookup order.
struct SecureEntry {
  const char* name;  // appended to the library's name ("secureInit")
  void* slot;        // the bound function, or null
  bool optional;     // binding succeeds without it
};

SecureEntry entries[] = {
    {"Init", nullptr, false},
    {"Exit", nullptr, false},
    {"Usage", nullptr, false},
    {"WrapIoStream", nullptr, false},
    {"ParseArguments", nullptr, false},
    {"GetProtocolName", nullptr, false},
    {"GetCertificateInfo", nullptr, false},
    {"Sftp", nullptr, true},
    {"Scp", nullptr, true},
    {"Ssh", nullptr, true},
};
static_assert(SFX_ARRAY_SIZE(entries) == 10, "ten entries");
enum {
  entryInit,
  entryExit,
  entryUsage,
  entryWrap,
  entryParse,
  entryProtocol,
  entryCertificate,
  entrySftp,
  entryScp,
  entrySsh
};

void* library = nullptr;

template <typename F>
F entry(int index) {
  return reinterpret_cast<F>(entries[index].slot);
}

// The agent's configuration, compression, credential, entropy and socket
// functions are not part of this program; the library gets these
// stand-ins that report "nothing" or failure.
int agentFail() { return -1; }
void* agentNull() { return nullptr; }

// Converts a text with a conversion slot into a new block (null on failure).
char* convString(const char* text, uint32_t slot) {
  char* out = nullptr;
  if (convertRole(text, -1, &out, nullptr, slot) != 0) return nullptr;
  return out ? out : memStrDup("");
}

void* fn(auto f) { return reinterpret_cast<void*>(f); }

}  // namespace

SecureSymbol secureSymbols[secureSymbolCount] = {
    {"logLevels", logLevels, 0},
    {"b64Encode", fn(agentNull), 0},
    {"cfgGetAgentInitiatedURL", fn(agentNull), 0},
    {"cfgGetConfigPath", fn(agentNull), 0},
    {"cfgGetProcessName", fn(agentNull), 0},
    {"cfgReadConfig", fn(agentFail), 0},
    {"deflate", fn(agentFail), 0},
    {"deflateEnd", fn(agentFail), 0},
    {"deflateInit", fn(agentFail), 0},
    {"getCredential", fn(agentFail), 0},
    {"inflate", fn(agentFail), 0},
    {"inflateEnd", fn(agentFail), 0},
    {"inflateInit", fn(agentFail), 0},
    {"iosCanRead", fn(iosCanRead), 0},
    {"iosClose", fn(iosClose), 0},
    {"iosRead", fn(iosRead), 0},
    {"iosWrite", fn(iosWrite), 0},
    {"logDebugFunc", fn(logDebugFunc), 0},
    {"logDebugStrFunc", fn(logDebugStrFunc), 0},
    {"logErrorFunc", fn(logErrorFunc), 0},
    {"logFatalFunc", fn(logFatalFunc), 0},
    {"logInfoFunc", fn(logInfoFunc), 0},
    {"logNetFunc", fn(logNetFunc), 0},
    {"logNetStrFunc", fn(logNetStrFunc), 0},
    {"logTraceFunc", fn(logTraceFunc), 0},
    {"logTraceStrFunc", fn(logTraceStrFunc), 0},
    {"logV", fn(logV), 0},
    {"logWarnFunc", fn(logWarnFunc), 0},
    {"memCallocPtr", nullptr, 0},
    {"memFreePtr", nullptr, 0},
    {"memStrDupFunc", fn(memStrDupFunc), 0},
    {"osConvString", fn(convString), 0},
    {"osGetCurrentUser", fn(osGetCurrentUser), 0},
    {"osGetEntropy", fn(agentFail), 0},
    {"osGetHostName", fn(osGetHostName), 0},
    {"osIsFileDirectory", fn(osIsFileDirectory), 0},
    {"osSocketRawAddressToPresentation", fn(agentNull), 0},
    {"osSocketGetName", fn(agentNull), 0},
    {"osSocketGetPeerHostname", fn(agentNull), 0},
    {"osSocketSetTimeout", fn(agentFail), 0},
    {"osThreadDestroyMutex", fn(osThreadDestroyMutex), 0},
    {"osThreadLockMutex", fn(osThreadLockMutex), 0},
    {"osThreadMakeMutex", fn(osThreadMakeMutex), 0},
    {"osThreadUnlockMutex", fn(osThreadUnlockMutex), 0},
    {"parCopyParameter", fn(parCopyParameter), 0},
    {"sbAppendChar", fn(sbAppendChar), 0},
    {"sbAppendData", fn(sbAppendData), 0},
    {"sbAppendFile", fn(sbAppendFile), 0},
    {"sbAppendString", fn(sbAppendString), 0},
    {"sbClean", fn(sbClean), 0},
    {"sbEmpty", fn(sbEmpty), 0},
    {"sbGet", fn(sbGet), 0},
    {"sbGetLength", fn(sbGetLength), 0},
    {"sbPointer", fn(sbPointer), 0},
    {"sbTrim", fn(sbTrim), 0},
    {"sbTrimSet", fn(sbTrimSet), 0},
    {"sbZap", fn(sbZap), 0},
    {"strEquals", fn(strEquals), 0},
    {"strRemoveArgs", fn(strRemoveArgs), 0},
    {"strStartsWith", fn(strStartsWith), 0},
    {"utf8CaseCmp", fn(utf8CaseCmp), 0},
};

void secureUnload() {
  if (library && !memDebugEnabled()) osLibraryUnload(library);
  library = nullptr;
  for (SecureEntry& e : entries) e.slot = nullptr;
}

int osLibraryBind(const char* name, bool report) {
  const char *dir, *base, *ext;
  uint32_t dirLen = 0, baseLen = 0, extLen = 0;
  osPathSplit(name, &dir, &dirLen, &base, &baseLen, &ext, &extLen);
  if (!base || baseLen == 0) {
    secureUnload();
    return -1;
  }
  // A library file named lib<name> (the POSIX convention) exports <name>...
  if (dirLen > 0 && baseLen > 3 && strncmp(base, "lib", 3) == 0) {
    base += 3;
    baseLen -= 3;
  }
  char* prefix = memStrDupN(base, baseLen);
  char* path = nullptr;
  if (dirLen > 0) {
    path = memStrDup(name);
  } else {
    path = osLibraryPathBesideExecutable(name);
    if (!path) {
      logFatal(logCatLibrary, "Unable to determine full path of network dynamic shared library '%s'\n", name);
      memFree(prefix);
      return -1;
    }
  }
  int result = 0;
  if (!osFileIsPresent(path)) {
    if (report)
      logFatal(logCatLibrary, "Shared library '%s' is missing; encryption is not available\n", path);
    else
      logDebug(logCatLibrary, "Unable to load shared library '%s'\n", path);
    result = -1;
  } else if (osFileIsTrusted(path) != 1) {
    // Whoever could put a library there would run code as this program's
    // user (an administrator, say) as soon as it is loaded.
    logFatal(logCatLibrary, "Not loading '%s': another user could have put it there or can change it\n", path);
    result = -1;
  } else if (!(library = osLibraryLoad(path))) {
    result = -1;
  } else {
    for (SecureEntry& e : entries) {
      char symbol[128];
      snprintf(symbol, sizeof symbol, "%s%s", prefix, e.name);
      e.slot = osLibrarySymbol(library, symbol);
      if (e.slot)
        logTrace(logCatLibrary, "Loaded %s\n", symbol);
      else if (!e.optional) {
        logFatal(logCatLibrary, "Cannot locate function %s() in '%s'\n", symbol, path);
        result = -1;
      } else
        logDebug(logCatLibrary, "Did not find optional function %s in %s\n", symbol, path);
    }
    // The library allocates and frees through the program's allocator mode.
    for (SecureSymbol& s : secureSymbols) {
      if (strcmp(s.name, "memCallocPtr") == 0) s.pointer = fn(memCallocPtr);
      if (strcmp(s.name, "memFreePtr") == 0) s.pointer = fn(memFreePtr);
    }
    if (result == 0) result = entry<InitFn>(entryInit)(secureSymbols, (int)secureSymbolCount);
  }
  if (result != 0) secureUnload();
  memFree(path);
  memFree(prefix);
  return result;
}

int secureBind(SecureBindReport report) { return library ? 0 : osLibraryBind("secure", report == secureBindReport); }
bool secureIsBound() { return library != nullptr; }

int secureUsage(int arg) {
  int rc = secureBind(secureBindQuiet);
  return rc == 0 ? entry<UsageFn>(entryUsage)(arg) : rc;
}

void secureExit() {
  if (library && entries[entryExit].slot) entry<ExitFn>(entryExit)();
}

int secureGetProtocolName(int protocol) {
  return secureBind(secureBindQuiet) == 0 ? entry<ProtocolFn>(entryProtocol)(protocol) : 0;
}

void secureParseArguments(int* argc, char*** argv) {
  if (secureBind(secureBindQuiet) == 0) entry<ParseFn>(entryParse)(argc, argv);
}

int secureGetCertificateInfo(void* info) {
  return secureBind(secureBindReport) == 0 ? entry<CertificateFn>(entryCertificate)(info) : -1;
}

int secureWrapIoStream(IoStream* stream) {
  if (!stream) return 0;
  return secureBind(secureBindReport) == 0 ? entry<WrapFn>(entryWrap)(stream) : -1;
}

static int transfer(int index, int argc, char** argv) {
  if (secureBind(secureBindReport) != 0) return 3;
  if (!entries[index].slot) {
    logFatal(logCatLibrary, "%s not implemented in secure library\n", entries[index].name);
    return 3;
  }
  return entry<TransferFn>(index)(argc, argv);
}

int secureSftp(int argc, char** argv) { return transfer(entrySftp, argc, argv); }
int secureScp(int argc, char** argv) { return transfer(entryScp, argc, argv); }
int secureSsh(int argc, char** argv) { return transfer(entrySsh, argc, argv); }
