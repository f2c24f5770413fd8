// Process launching shared by both backends: command lines from argument
// vectors (with the quoting the child's argument parser undoes), the
// interpreter form, the module's mutex, and delivering child output to
// buffers or the log.
#include <cstring>

#include "logging.h"
#include "memory.h"
#include "osdir.h"
#include "osenv.h"
#include "osfile.h"
#include "osinit.h"
#include "osprocess.h"
#include "osthread.h"
#include "processprim.h"
#include "stringbuf.h"
#include "strutil.h"

OsMutex* processCreateMutex = nullptr;
uint64_t osRunCommandTimeout = 3600000;

namespace {

bool isBatchName(const char* name) {
  return strEndsWithIgnoreCase(name, ".cmd") || strEndsWithIgnoreCase(name, ".bat");
}

}  // namespace

int osProcessInit() {
  if (!processCreateMutex) processCreateMutex = osThreadMakeMutex("CreateProcess");
  return processCreateMutex ? 0 : -1;
}

void osProcessExit() {
  osThreadDestroyMutex(processCreateMutex);
  processCreateMutex = nullptr;
}

void processChildLogLevelBegin(char** saved) {
  const char* own = osGetEnv("QZR_LOGLEVEL");
  *saved = own ? memStrDup(own) : nullptr;
  const char* child = logGetChildLevel();
  if (child) osSetEnv("QZR_LOGLEVEL", child);
}

void processChildLogLevelEnd(char** saved) {
  if (logGetChildLevel()) osSetEnv("QZR_LOGLEVEL", *saved);
  memFree(*saved);
  *saved = nullptr;
}

char* osGetProcessDescription() { return memStrDup("standalone"); }

// Quotes one element so that the standard parser gives it back unchanged:
// in double quotes, a quote becomes \", backslashes before a quote or the
// closing quote are doubled; other backslashes stay single.
int osQuoteArgument(StringBuffer* out, const char* element) {
  if (sbAppendChar(out, '"') != 0) return -1;
  uint32_t backslashes = 0;
  for (const char* p = element; *p; p++) {
    if (*p == '\\') {
      backslashes++;
      continue;
    }
    uint32_t n = *p == '"' ? backslashes * 2 + 1 : backslashes;
    for (uint32_t i = 0; i < n; i++)
      if (sbAppendChar(out, '\\') != 0) return -1;
    backslashes = 0;
    if (sbAppendChar(out, *p) != 0) return -1;
  }
  for (uint32_t i = 0; i < backslashes * 2; i++)
    if (sbAppendChar(out, '\\') != 0) return -1;
  return sbAppendChar(out, '"');
}

// A batch file's line is read by the command interpreter, not by the
// standard parser: inside double quotes it still expands %variables% and
// ends the line at a line break, and a quote in the element would end the
// quoting and expose & | < > to it. Such elements are refused. Backslashes
// mean nothing to it (%~1 is exactly the text between the quotes), so the
// rest is quoted as it is; the standard escaping would double a trailing
// backslash.
int osQuoteBatchArgument(StringBuffer* out, const char* element) {
  for (const char* p = element; *p; p++) {
    unsigned char c = (unsigned char)*p;
    if (c == '"' || c == '%' || c == '\r' || c == '\n' || c < 0x20) {
      logError(logCatProcess,
               "Argument '%s' cannot be passed safely to a batch file (it holds a double quote, %%, a line "
               "break or a control character)\n",
               element);
      return -1;
    }
  }
  if (sbAppendChar(out, '"') != 0 || sbAppendString(out, element) != 0) return -1;
  return sbAppendChar(out, '"');
}

int osRunArgv(const char* const* argv, StringBuffer* input, StringBuffer* output, StringBuffer* errors,
              uint64_t* exitCode) {
  if (!argv || !argv[0]) {
    logError(logCatProcess, "No command to run\n");
    return -1;
  }
  if (logGate(logCatProcess, logLevelDebug)) {
    const char* path = osGetEnv("PATH");
    logDebug(logCatProcess, "Current PATH = %s\n", path ? path : "");
  }
  StringBuffer line;
  sbInitHere(&line);
  int result = 0;
  // A bare name of a program beside this executable runs that program.
  StringBuffer beside;
  sbInitHere(&beside);
  sbPrintf(&beside, "%s%c%s.exe", osGetExecutableDirectory(), osPathSeparator, argv[0]);
  const char* program = osGetExecutableDirectory()[0] && osFileIsPresent(sbGet(&beside)) ? sbGet(&beside) : argv[0];
  // The program name is read up to the next quote, without escapes.
  if (strchr(program, '"')) {
    logError(logCatProcess, "Program name %s cannot hold a double quote\n", program);
    result = -1;
  } else {
    sbPrintf(&line, "\"%s\"", program);
  }
  bool batch = isBatchName(program);
  for (int i = 1; result == 0 && argv[i]; i++) {
    sbAppendChar(&line, ' ');
    if ((batch ? osQuoteBatchArgument(&line, argv[i]) : osQuoteArgument(&line, argv[i])) != 0) result = -1;
  }
  if (result == 0) result = osRunCommand(sbGet(&line), input, output, errors, exitCode, nullptr);
  sbClean(&beside);
  sbClean(&line);
  return result;
}

void processLogSinkInit(ProcessLogSink* sink) { sbInitHere(&sink->pending); }

void processLogSinkWrite(ProcessLogSink* sink, const char* data, uint32_t length) {
  sbAppendData(&sink->pending, data, length);
  const char* text = sbGet(&sink->pending);
  const char* end = nullptr;
  for (const char* p = text + sbGetLength(&sink->pending); p > text; p--)
    if (p[-1] == '\n') {
      end = p;
      break;
    }
  if (!end) return;
  uint32_t complete = (uint32_t)(end - text);
  logWriteLines(text, complete, "", true);
  uint32_t rest = sbGetLength(&sink->pending) - complete;
  memmove(sbGet(&sink->pending), end, rest);
  sbGet(&sink->pending)[rest] = 0;
  sink->pending.length = rest;
}

void processLogSinkFinish(ProcessLogSink* sink) {
  if (sbGetLength(&sink->pending)) logWriteLines(sbGet(&sink->pending), sbGetLength(&sink->pending), "", true);
  sbClean(&sink->pending);
}

int processDeliver(StringBuffer* buffer, ProcessLogSink* sink, const char* label, const char* data, uint32_t length) {
  logDebugStr(logCatProcess, label, data, length);
  if (buffer) return sbAppendData(buffer, data, length);
  if (sink) processLogSinkWrite(sink, data, length);
  return 0;
}

// The standard parser: the program name runs to the next quote (quoted) or
// blank; in arguments 2n backslashes and a quote give n backslashes and
// toggle quoting, 2n+1 give n and a literal quote, "" inside quotes is a
// literal quote, other backslashes are literal.
char** processSplitCommandLine(const char* commandLine) {
  uint32_t capacity = 8, count = 0;
  char** argv = memNewArray(char*, capacity);
  StringBuffer arg;
  sbInitHere(&arg);
  const char* p = commandLine;
  auto push = [&]() {
    if (count + 2 > capacity) {
      capacity *= 2;
      argv = static_cast<char**>(memRealloc(argv, capacity * sizeof(char*)));
    }
    argv[count++] = memStrDup(sbGet(&arg));
    argv[count] = nullptr;
    sbEmpty(&arg);
  };
  if (*p == '"') {
    for (p++; *p && *p != '"'; p++) sbAppendChar(&arg, *p);
    if (*p) p++;
  } else {
    for (; *p && *p != ' ' && *p != '\t'; p++) sbAppendChar(&arg, *p);
  }
  push();
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) break;
    bool quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '\\') {
        uint32_t n = 0;
        while (*p == '\\') {
          n++;
          p++;
        }
        if (*p == '"') {
          for (uint32_t i = 0; i < n / 2; i++) sbAppendChar(&arg, '\\');
          if (n % 2) {
            sbAppendChar(&arg, '"');
            p++;
          }
        } else {
          for (uint32_t i = 0; i < n; i++) sbAppendChar(&arg, '\\');
        }
        continue;
      }
      if (*p == '"') {
        if (quoted && p[1] == '"') {
          sbAppendChar(&arg, '"');
          p += 2;
          continue;
        }
        quoted = !quoted;
        p++;
        continue;
      }
      sbAppendChar(&arg, *p++);
    }
    push();
  }
  sbClean(&arg);
  return argv;
}

void processFreeArgv(char** argv) {
  if (!argv) return;
  for (char** a = argv; *a; a++) memFree(*a);
  memFree(argv);
}

// Runs a command line through the system's command interpreter, as
// osRunCommand does with a program.
int osRunShellCommand(const char* command, StringBuffer* input, StringBuffer* output) {
  StringBuffer interpreter;
  sbInitHere(&interpreter);
  if (osGetCommandInterpreter(&interpreter) != 0) {
    sbClean(&interpreter);
    return -1;
  }
  StringBuffer line;
  sbInitHere(&line);
  processPrimShellLine(&line, sbGet(&interpreter), command);
  int result = osRunCommand(sbGet(&line), input, output, nullptr, nullptr, nullptr);
  sbClean(&line);
  sbClean(&interpreter);
  return result;
}
