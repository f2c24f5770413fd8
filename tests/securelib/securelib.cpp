// A stand-in secure library for the binding tests: it checks the table it is handed and logs
// through it. Built with SECURE_NO_CERT it lacks the mandatory GetCertificateInfo.
#include <cstdint>
#include <cstring>

namespace {

struct Symbol {
  const char* name;
  void* pointer;
  uint32_t reserved;
};

using LogFn = void (*)(uint32_t cat, const char* fmt, ...);
LogFn logInfo = nullptr;

void* find(Symbol* table, int count, const char* name) {
  for (int i = 0; i < count; i++)
    if (strcmp(table[i].name, name) == 0) return table[i].pointer;
  return nullptr;
}

}  // namespace

// The build names the way a module exports its entries: dllexport where
// modules are DLLs, default visibility elsewhere.
#ifdef SECURE_DLLEXPORT
#define SECURE_EXPORT extern "C" __declspec(dllexport)
#else
#define SECURE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Accepts only the full table with the allocator rows filled.
SECURE_EXPORT int secureInit(Symbol* table, int count) {
  if (count != 61 || strcmp(table[0].name, "logLevels") != 0 || strcmp(table[60].name, "utf8CaseCmp") != 0) return 7;
  if (!find(table, count, "memCallocPtr") || !find(table, count, "memFreePtr")) return 8;
  logInfo = reinterpret_cast<LogFn>(find(table, count, "logInfoFunc"));
  return 0;
}

SECURE_EXPORT void secureExit() {}

SECURE_EXPORT int secureUsage(int arg) {
  if (logInfo && arg) logInfo(126, "Secure library: test build\n");
  return 0;
}

SECURE_EXPORT int secureWrapIoStream(void*) { return 0; }
SECURE_EXPORT void secureParseArguments(int*, char***) {}
SECURE_EXPORT int secureGetProtocolName(int protocol) { return protocol + 1000; }
#ifndef SECURE_NO_CERT
SECURE_EXPORT int secureGetCertificateInfo(void*) { return 42; }
#endif
SECURE_EXPORT int secureSsh(int, char**) { return 5; }
