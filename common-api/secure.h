// Binding of the separate "secure" library (encryption and transfers):
// loaded on first need from beside the executable, its entries looked up
// by name, handed a table of the program's functions.
#pragma once

#include "compiler.h"

struct IoStream;

// One row of the table handed to the library's Init.
struct SecureSymbol {
  const char* name;   // the program's name for it
  void* pointer;      // function or data
  uint32_t reserved;  // 0
};
constexpr uint32_t secureSymbolCount = 61;
extern SecureSymbol secureSymbols[secureSymbolCount];

// Binds a library: a bare name is looked up beside the executable
// ("secure" -> secure.dll / libsecure.so), a name with a directory is used
// as given. report=true reports a missing library as FATAL. 0 when bound,
// else -1 or the result of Init.
int osLibraryBind(const char* name, bool report);
// How secureBind tells of a missing library.
enum SecureBindReport : int {
  secureBindQuiet = 0,   // only a debug line: the caller copes without it
  secureBindReport = 1,  // FATAL: the caller needs the library
};
// 0 when the library is bound, else -1 or the result of Init.
int secureBind(SecureBindReport report);
bool secureIsBound();
int secureUsage(int arg);
void secureExit();
int secureGetProtocolName(int protocol);
void secureParseArguments(int* argc, char*** argv);
int secureGetCertificateInfo(void* info);
int secureWrapIoStream(IoStream* stream);
int secureSftp(int argc, char** argv);
int secureScp(int argc, char** argv);
int secureSsh(int argc, char** argv);
// Unloads (unless memory debugging keeps libraries mapped) and clears the
// handle and every entry.
void secureUnload();
