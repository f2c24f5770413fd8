// POSIX backend only: shell scripts run with /bin/sh, so that a script
// extracted without its execute bit still runs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "logging.h"
#include "osscript.h"
#include "posixsys.h"

void osScriptCommand(const char* scriptPath, IoStream* held, OsScriptCommand* out) {
  memset(out, 0, sizeof *out);
  size_t n = strlen(scriptPath);
  if (n < 3 || strcmp(scriptPath + n - 3, ".sh") != 0) return;
  out->words[out->count++] = "/bin/sh";
  // Nothing stops a rename over a held file here: the shell reads the held
  // file itself, through the descriptor the child inherits (as /dev/fd/N,
  // else /proc/self/fd/N), and the path is still the script's $0. A
  // descriptor among the child's standard ones (this process was started
  // with them closed) would be replaced in the child by its stream.
  const int fd = held ? posixFileDescriptor(held) : -1;
  const int flags = fd > 2 ? fcntl(fd, F_GETFD) : -1;
  const char* dirs[] = {"/dev/fd", "/proc/self/fd"};
  const char* through = nullptr;
  for (const char* d : dirs) {
    char probe[48];
    snprintf(probe, sizeof probe, "%s/%d", d, fd);
    if (!through && flags >= 0 && access(probe, R_OK) == 0) through = d;
  }
  // Where the name shares the descriptor's offset, the shell starts reading
  // where the check left off: the offset goes back to the start.
  if (!through || lseek(fd, 0, SEEK_SET) != 0 || fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) != 0) {
    logWarn(logCatProcess, "The shell reads %s by its name\n", scriptPath);
    return;
  }
  snprintf(out->source, sizeof out->source, ". %s/%d", through, fd);
  out->words[out->count++] = "-c";
  out->words[out->count++] = out->source;
}
