// OS error reports: the part of the error module that is the same on every
// platform. The description of a code comes from the backend (osErrorText).
#include <cstdarg>

#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "ospath.h"
#include "stringbuf.h"

namespace {

// Formats the caller's message into `sb`; false when formatting failed.
bool formatMessage(StringBuffer* sb, const char* format, va_list ap) { return sbVPrintf(sb, format, ap) == 0; }

}  // namespace

void osErrorReport(uint32_t category, uint32_t code, const char* format, ...) {
  if (!format || !*format) return;
  if (!logGate(logCatError, logLevelError) || !logGate(category, logLevelError)) return;
  const uint32_t saved = osErrorLast();
  StringBuffer sb;
  sbInitHere(&sb);
  va_list ap;
  va_start(ap, format);
  const bool ok = formatMessage(&sb, format, ap);
  va_end(ap);
  if (!ok) {
    sbEmpty(&sb);
    sbAppendString(&sb, "OS error");
  }
  const char* text = osErrorText(nullptr, code);
  sbPrintf(&sb, ": %d: %s", (int)code, text);
  logErrorFunc(category, "%s\n", sbGet(&sb));
  sbClean(&sb);
  osErrorSetLast(saved);
}

void osErrorReportModule(uint32_t category, const char* moduleName, uint32_t code, const char* format, ...) {
  if (!format || !*format) return;
  if (!logGate(logCatError, logLevelError) || !logGate(category, logLevelError)) return;
  const uint32_t saved = osErrorLast();
  StringBuffer sb;
  sbInitHere(&sb);
  va_list ap;
  va_start(ap, format);
  const bool ok = formatMessage(&sb, format, ap);
  va_end(ap);
  if (!ok) {
    sbEmpty(&sb);
    sbPrintf(&sb, "OS error: %u", (unsigned)code);
  }
  const char* text = osErrorText(moduleName, code);
  sbPrintf(&sb, ": %s", text);
  logErrorFunc(category, "%s\n", sbGet(&sb));
  sbClean(&sb);
  osErrorSetLast(saved);
}

void osErrorLog(uint32_t level, uint32_t category, uint32_t code, const char* format, ...) {
  if (!format || !*format) return;
  if (!logGate(category, level)) return;
  const uint32_t saved = osErrorLast();
  StringBuffer sb;
  sbInitHere(&sb);
  va_list ap;
  va_start(ap, format);
  const bool ok = formatMessage(&sb, format, ap);
  va_end(ap);
  if (!ok) {
    sbEmpty(&sb);
    sbPrintf(&sb, "OS error: %d", (int)code);
  }
  const char* text = osErrorText(nullptr, code);
  sbPrintf(&sb, ": %s", text);
  logAt(level, category, "%s\n", sbGet(&sb));
  sbClean(&sb);
  osErrorSetLast(saved);
}
