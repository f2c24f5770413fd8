// OS error reports: the part of the error module that is the same on every
// platform. The description of a code comes from the backend (osErrorText).
#include <cstdarg>

#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "ospath.h"
#include "stringbuf.h"

namespace {

// How a report shows the code: ": <code>: <text>" or just ": <text>".
enum class CodeShown { withNumber, textOnly };

// Formats the caller's message, appends the system's description of `code`
// and logs the line at `level`. The thread's last system error survives the
// report, so callers can still pass it on. When the message itself cannot
// be formatted, `fallback` stands in for it.
void report(uint32_t level, uint32_t category, const char* moduleName, uint32_t code, CodeShown shown,
            const char* fallback, const char* format, va_list ap) {
  const uint32_t saved = osErrorLast();
  StringBuffer sb;
  sbInitHere(&sb);
  if (sbVPrintf(&sb, format, ap) != 0) {
    sbEmpty(&sb);
    sbPrintf(&sb, fallback, code);
  }
  const char* text = osErrorText(moduleName, code);
  if (shown == CodeShown::withNumber)
    sbPrintf(&sb, ": %d: %s", (int)code, text);
  else
    sbPrintf(&sb, ": %s", text);
  logAt(level, category, "%s\n", sbGet(&sb));
  if (level <= logLevelInfo) logFlush();  // as the level macros do
  sbClean(&sb);
  osErrorSetLast(saved);
}

}  // namespace

void osErrorReport(uint32_t category, uint32_t code, const char* format, ...) {
  if (!format || !*format) return;
  if (!logGate(logCatError, logLevelError) || !logGate(category, logLevelError)) return;
  va_list ap;
  va_start(ap, format);
  report(logLevelError, category, nullptr, code, CodeShown::withNumber, "OS error", format, ap);
  va_end(ap);
}

void osErrorReportModule(uint32_t category, const char* moduleName, uint32_t code, const char* format, ...) {
  if (!format || !*format) return;
  if (!logGate(logCatError, logLevelError) || !logGate(category, logLevelError)) return;
  va_list ap;
  va_start(ap, format);
  report(logLevelError, category, moduleName, code, CodeShown::textOnly, "OS error: %u", format, ap);
  va_end(ap);
}

void osErrorLog(uint32_t level, uint32_t category, uint32_t code, const char* format, ...) {
  if (!format || !*format) return;
  if (!logGate(category, level)) return;
  va_list ap;
  va_start(ap, format);
  report(level, category, nullptr, code, CodeShown::textOnly, "OS error: %d", format, ap);
  va_end(ap);
}
