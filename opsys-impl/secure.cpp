// Binding of the separate "secure" library.
// Until the library loader exists every binding reports the library as
// missing, the way a build without the library behaves.
#include "logging.h"
#include "secure.h"

int secureBind(int report) {
  if (report)
    logFatal(logCatLibrary, "Shared library '%s' is missing; encryption is not available\n", "secure");
  else
    logDebug(logCatLibrary, "Unable to load shared library '%s'\n", "secure");
  return -1;
}

int secureUsage(int) { return secureBind(0); }
void secureExit() {}
void secureUnload() {}
