// POSIX backend only: the socket primitives of the shared socket layer on
// BSD sockets. Every socket is non-blocking and close-on-exec; sends use
// MSG_NOSIGNAL (or SO_NOSIGPIPE where that is the system's way), so a peer
// that has gone away gives EPIPE instead of ending the process.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "logging.h"
#include "sockaddrconv.h"
#include "socketprim.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

uint64_t monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

// Non-blocking, close-on-exec and without SIGPIPE. 0 or -1 (errno).
int prepare(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return -1;
#ifdef SO_NOSIGPIPE
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) return -1;
#endif
  return 0;
}

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

int socketPrimStart() { return 0; }

int socketPrimStop() { return 0; }

int socketPrimOpen(uint16_t family, SocketPrimHandle* out, uint32_t* error) {
  int fd = socket(family == osSocketFamilyIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || prepare(fd) != 0) {
    *error = (uint32_t)errno;
    if (fd >= 0) close(fd);
    return -1;
  }
  *out = fd;
  return 0;
}

int socketPrimConnect(SocketPrimHandle h, const OsSocketAddress* address, uint32_t* error) {
  sockaddr_storage ss;
  socklen_t len = (socklen_t)toSockaddr(address, &ss);
  if (connect((int)h, reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
  // An interrupted connect goes on in the background, as one in progress.
  if (errno == EINPROGRESS || errno == EINTR) return 1;
  *error = (uint32_t)errno;
  return -1;
}

uint32_t socketPrimPendingError(SocketPrimHandle h) {
  int e = 0;
  socklen_t len = sizeof e;
  if (getsockopt((int)h, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return (uint32_t)errno;
  return (uint32_t)e;
}

int socketPrimWait(SocketPrimHandle h, uint32_t events, uint32_t timeoutMs, uint32_t* error) {
  struct pollfd p = {.fd = (int)h, .events = 0, .revents = 0};
  if (events & socketPrimReadable) p.events |= POLLIN;
  if (events & socketPrimWritable) p.events |= POLLOUT;
  if (events & socketPrimUrgent) p.events |= POLLPRI;
  uint64_t deadline = monotonicMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (timeoutMs != socketPrimForever) {
      uint64_t now = monotonicMs();
      wait = now >= deadline ? 0 : (int)(deadline - now);
    }
    int n = poll(&p, 1, wait);
    if (n == 0) return 0;
    if (n > 0) break;
    if (errno != EINTR) {
      *error = (uint32_t)errno;
      return -1;
    }
  }
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return (int)events;
  int ready = 0;
  if (p.revents & POLLIN) ready |= socketPrimReadable;
  if (p.revents & POLLOUT) ready |= socketPrimWritable;
  if (p.revents & POLLPRI) ready |= socketPrimUrgent;
  return ready;
}

int socketPrimSend(SocketPrimHandle h, const void* buf, uint32_t len, bool urgent, uint32_t* count, uint32_t* error) {
  *count = 0;
  for (;;) {
    ssize_t n = send((int)h, buf, len, MSG_NOSIGNAL | (urgent ? MSG_OOB : 0));
    if (n >= 0) {
      *count = (uint32_t)n;
      return socketPrimDone;
    }
    if (errno == EINTR) continue;
    if (wouldBlock(errno)) return socketPrimWouldBlock;
    *error = (uint32_t)errno;
    return socketPrimFailed;
  }
}

int socketPrimRecv(SocketPrimHandle h, void* buf, uint32_t len, bool urgent, uint32_t* count, uint32_t* error) {
  *count = 0;
  for (;;) {
    ssize_t n = recv((int)h, buf, len, urgent ? MSG_OOB : 0);
    if (n >= 0) {
      *count = (uint32_t)n;
      return socketPrimDone;
    }
    if (errno == EINTR) continue;
    // No urgent byte has arrived (yet): Linux says EINVAL.
    if (wouldBlock(errno) || (urgent && errno == EINVAL)) return socketPrimWouldBlock;
    *error = (uint32_t)errno;
    return socketPrimFailed;
  }
}

void socketPrimClose(SocketPrimHandle h) {
  if (h != socketPrimInvalid) close((int)h);
}

int socketPrimListen(SocketPrimHandle h, const OsSocketAddress* address, uint32_t backlog, uint32_t* error) {
  int on = 1;
  sockaddr_storage ss;
  socklen_t len = (socklen_t)toSockaddr(address, &ss);
  if (setsockopt((int)h, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind((int)h, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen((int)h, (int)backlog) != 0) {
    *error = (uint32_t)errno;
    return -1;
  }
  return 0;
}

int socketPrimAccept(SocketPrimHandle h, SocketPrimHandle* out, uint32_t* error) {
  for (;;) {
    int fd = accept((int)h, nullptr, nullptr);
    if (fd >= 0) {
      if (prepare(fd) != 0) {
        *error = (uint32_t)errno;
        close(fd);
        return socketPrimFailed;
      }
      *out = fd;
      return socketPrimDone;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (wouldBlock(errno)) return socketPrimWouldBlock;
    *error = (uint32_t)errno;
    return socketPrimFailed;
  }
}

int socketPrimLocalAddress(SocketPrimHandle h, OsSocketAddress* address, uint32_t* error) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getsockname((int)h, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    *error = (uint32_t)errno;
    return -1;
  }
  if (fromSockaddr(reinterpret_cast<sockaddr*>(&ss), address) != 0) {
    *error = EAFNOSUPPORT;
    return -1;
  }
  return 0;
}

int socketPrimResolve(const char* host, bool ipv6Literal, OsSocketAddress* address) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = ipv6Literal ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ipv6Literal ? AI_NUMERICHOST : 0;
  struct addrinfo* list = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &list);
  if (rc != 0) {
    logError(logCatSocket, "Cannot resolve host %s: %s\n", host, rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
    return -1;
  }
  int r = -1;
  for (struct addrinfo* ai = list; ai && r != 0; ai = ai->ai_next) r = fromSockaddr(ai->ai_addr, address);
  freeaddrinfo(list);
  if (r != 0) logError(logCatSocket, "Cannot resolve host %s: no IPv4 or IPv6 address\n", host);
  return r;
}
