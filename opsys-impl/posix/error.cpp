// POSIX backend only: the description of an error code. Codes are errno
// values; the text is the C library's own (strerror_r). Module message
// tables do not exist here, so a module name is ignored.
#include <errno.h>

#include <cstdio>
#include <cstring>

#include "oserror.h"
#include "ospath.h"
#include "osthread.h"

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these pick the text from either.
[[maybe_unused]] const char* pickText(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* pickText(const char* text, const char*) { return text; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

}  // namespace

const char* osErrorText(const char*, uint32_t code, ...) {
  const int saved = errno;
  char buf[512];
  buf[0] = 0;
  const char* text = pickText(strerror_r((int)code, buf, sizeof buf), buf);
  char fallback[64];
  if (!text || !*text) {
    snprintf(fallback, sizeof fallback, "Unknown error %ld (%08x)", (long)code, (unsigned)code);
    text = fallback;
  }
  size_t len = strlen(text);
  while (len > 0 && isSpace(text[len - 1])) len--;
  while (len > 0 && isSpace(*text)) text++, len--;
  char* scratch = osThreadScratch((uint32_t)len + 1);
  errno = saved;
  if (!scratch) return "OS error occurred, unable to specify details";
  memmove(scratch, text, len);
  scratch[len] = 0;
  return scratch;
}

uint32_t osErrorLast() { return (uint32_t)errno; }

void osErrorSetLast(uint32_t code) { errno = (int)code; }
