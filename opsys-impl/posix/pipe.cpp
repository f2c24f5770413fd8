// POSIX backend only: the "Pipe" stream over pipe(2) descriptors.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "ospipe.h"

namespace {

struct PipeState {
  int readFd;   // -1 when closed
  int writeFd;  // -1 when closed
};

int pipeRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  PipeState* st = static_cast<PipeState*>(level->state);
  *got = 0;
  if (st->readFd < 0) return -1;
  for (;;) {
    ssize_t n = read(st->readFd, buf, len);
    if (n >= 0) {
      *got = (uint32_t)n;
      return 0;
    }
    if (errno != EINTR) return -1;
  }
}

int pipeWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  PipeState* st = static_cast<PipeState*>(state);
  if (written) *written = 0;
  if (st->writeFd < 0) return -1;
  for (;;) {
    ssize_t n = write(st->writeFd, buf, len);
    if (n >= 0) {
      if (written) *written = (uint32_t)n;
      return 0;
    }
    if (errno != EINTR) return -1;
  }
}

int pipeClose(void* state) {
  PipeState* st = static_cast<PipeState*>(state);
  if (st->readFd >= 0) close(st->readFd);
  if (st->writeFd >= 0) close(st->writeFd);
  memFree(st);
  return 0;
}

}  // namespace

const IoStreamOps osPipeStreamOps = {.name = "Pipe", .read = pipeRead, .write = pipeWrite, .close = pipeClose};

IoStream* osPipeCreate(uint32_t bufferSize) {
  int fds[2];
  if (pipe(fds) != 0) {
    osErrorReport(logCatLogging, (uint32_t)errno, "Cannot create log pipe");
    return nullptr;
  }
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#ifdef F_SETPIPE_SZ
  fcntl(fds[1], F_SETPIPE_SZ, (int)bufferSize);
#else
  (void)bufferSize;
#endif
  PipeState* st = memNew(PipeState);
  st->readFd = fds[0];
  st->writeFd = fds[1];
  return iosNewLevel(st, &osPipeStreamOps);
}

int osPipeCloseWrite(IoStream* pipe) {
  if (!pipe || pipe->ops != &osPipeStreamOps || !pipe->state) return -1;
  PipeState* st = static_cast<PipeState*>(pipe->state);
  if (st->writeFd < 0) return -1;
  int rc = close(st->writeFd);
  st->writeFd = -1;
  return rc == 0 ? 0 : -1;
}

bool osPipeHasData(IoStream* pipe, uint32_t milliseconds) {
  if (!pipe || pipe->ops != &osPipeStreamOps || !pipe->state) return false;
  PipeState* st = static_cast<PipeState*>(pipe->state);
  if (st->readFd < 0) return false;
  struct pollfd p = {.fd = st->readFd, .events = POLLIN, .revents = 0};
  return poll(&p, 1, (int)milliseconds) == 1 && (p.revents & POLLIN);
}
