// Windows backend only: the socket primitives of the shared socket layer on
// Winsock 2.2. Every socket is non-blocking (FIONBIO) and not inherited by
// child processes; error codes are Winsock codes, whose texts the system
// message table holds.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "sockaddrconv.h"
#include "socketprim.h"
#include "winsupport.h"

namespace {

SOCKET asSocket(SocketPrimHandle h) { return (SOCKET)h; }

// Non-blocking and not inherited. 0 or -1 (*error).
int prepare(SOCKET s, uint32_t* error) {
  u_long on = 1;
  if (!SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
    *error = (uint32_t)GetLastError();
    return -1;
  }
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    *error = (uint32_t)WSAGetLastError();
    return -1;
  }
  return 0;
}

}  // namespace

int socketPrimStart() {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) {
    osErrorReport(logCatSocket, (uint32_t)rc, "WSAStartup");
    return -1;
  }
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    logError(logCatSocket, "Windows sockets 2.2 are not available (version %u.%u)\n", LOBYTE(data.wVersion),
             HIBYTE(data.wVersion));
    WSACleanup();
    return -1;
  }
  return 0;
}

int socketPrimStop() {
  if (WSACleanup() != 0) {
    osErrorReport(logCatSocket, (uint32_t)WSAGetLastError(), "WSACleanup");
    return -1;
  }
  return 0;
}

int socketPrimOpen(uint16_t family, SocketPrimHandle* out, uint32_t* error) {
  SOCKET s = socket(family == osSocketFamilyIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *error = (uint32_t)WSAGetLastError();
    return -1;
  }
  if (prepare(s, error) != 0) {
    closesocket(s);
    return -1;
  }
  *out = (SocketPrimHandle)s;
  return 0;
}

int socketPrimConnect(SocketPrimHandle h, const OsSocketAddress* address, uint32_t* error) {
  sockaddr_storage ss;
  int len = toSockaddr(address, &ss);
  if (connect(asSocket(h), reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
  int e = WSAGetLastError();
  if (e == WSAEWOULDBLOCK || e == WSAEINPROGRESS) return 1;
  *error = (uint32_t)e;
  return -1;
}

uint32_t socketPrimPendingError(SocketPrimHandle h) {
  int e = 0;
  int len = sizeof e;
  if (getsockopt(asSocket(h), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len) != 0)
    return (uint32_t)WSAGetLastError();
  return (uint32_t)e;
}

// select on one socket. A failed connection attempt shows in the exception
// set, as does urgent data.
int socketPrimWait(SocketPrimHandle h, uint32_t events, uint32_t timeoutMs, uint32_t* error) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  SOCKET s = asSocket(h);
  if (events & socketPrimReadable) FD_SET(s, &readSet);
  if (events & socketPrimWritable) FD_SET(s, &writeSet);
  if (events & (socketPrimWritable | socketPrimUrgent)) FD_SET(s, &exceptSet);
  timeval tv = {.tv_sec = (long)(timeoutMs / 1000), .tv_usec = (long)(timeoutMs % 1000) * 1000};
  int n = select(0, &readSet, &writeSet, &exceptSet, timeoutMs == socketPrimForever ? nullptr : &tv);
  if (n == SOCKET_ERROR) {
    *error = (uint32_t)WSAGetLastError();
    return -1;
  }
  if (n == 0) return 0;
  int ready = 0;
  if (FD_ISSET(s, &readSet)) ready |= socketPrimReadable;
  if (FD_ISSET(s, &writeSet)) ready |= socketPrimWritable;
  if (FD_ISSET(s, &exceptSet)) ready |= (int)(events & (socketPrimWritable | socketPrimUrgent));
  return ready;
}

int socketPrimSend(SocketPrimHandle h, const void* buf, uint32_t len, bool urgent, uint32_t* count, uint32_t* error) {
  *count = 0;
  int chunk = len > 0x40000000u ? 0x40000000 : (int)len;
  int n = send(asSocket(h), static_cast<const char*>(buf), chunk, urgent ? MSG_OOB : 0);
  if (n != SOCKET_ERROR) {
    *count = (uint32_t)n;
    return socketPrimDone;
  }
  int e = WSAGetLastError();
  if (e == WSAEWOULDBLOCK) return socketPrimWouldBlock;
  *error = (uint32_t)e;
  return socketPrimFailed;
}

int socketPrimRecv(SocketPrimHandle h, void* buf, uint32_t len, bool urgent, uint32_t* count, uint32_t* error) {
  *count = 0;
  int chunk = len > 0x40000000u ? 0x40000000 : (int)len;
  int n = recv(asSocket(h), static_cast<char*>(buf), chunk, urgent ? MSG_OOB : 0);
  if (n != SOCKET_ERROR) {
    *count = (uint32_t)n;
    return socketPrimDone;
  }
  int e = WSAGetLastError();
  // No urgent byte has arrived (yet): some stacks say WSAEINVAL.
  if (e == WSAEWOULDBLOCK || (urgent && e == WSAEINVAL)) return socketPrimWouldBlock;
  *error = (uint32_t)e;
  return socketPrimFailed;
}

void socketPrimClose(SocketPrimHandle h) {
  if (h != socketPrimInvalid) closesocket(asSocket(h));
}

int socketPrimListen(SocketPrimHandle h, const OsSocketAddress* address, uint32_t backlog, uint32_t* error) {
  sockaddr_storage ss;
  int len = toSockaddr(address, &ss);
  if (bind(asSocket(h), reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(asSocket(h), (int)backlog) != 0) {
    *error = (uint32_t)WSAGetLastError();
    return -1;
  }
  return 0;
}

int socketPrimAccept(SocketPrimHandle h, SocketPrimHandle* out, uint32_t* error) {
  SOCKET s = accept(asSocket(h), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAECONNRESET) return socketPrimWouldBlock;
    *error = (uint32_t)e;
    return socketPrimFailed;
  }
  if (prepare(s, error) != 0) {
    closesocket(s);
    return socketPrimFailed;
  }
  *out = (SocketPrimHandle)s;
  return socketPrimDone;
}

int socketPrimLocalAddress(SocketPrimHandle h, OsSocketAddress* address, uint32_t* error) {
  sockaddr_storage ss;
  int len = sizeof ss;
  if (getsockname(asSocket(h), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    *error = (uint32_t)WSAGetLastError();
    return -1;
  }
  if (fromSockaddr(reinterpret_cast<sockaddr*>(&ss), address) != 0) {
    *error = WSAEAFNOSUPPORT;
    return -1;
  }
  return 0;
}

// Host names are UTF-8 inside the program and UTF-16 for the resolver.
int socketPrimResolve(const char* host, bool ipv6Literal, OsSocketAddress* address) {
  wchar_t* wide = winUtf8ToWide(host);
  if (!wide) {
    logError(logCatSocket, "Cannot resolve host %s: not valid UTF-8\n", host);
    return -1;
  }
  ADDRINFOW hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = ipv6Literal ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ipv6Literal ? AI_NUMERICHOST : 0;
  ADDRINFOW* list = nullptr;
  int rc = GetAddrInfoW(wide, nullptr, &hints, &list);
  memFree(wide);
  if (rc != 0) {
    logError(logCatSocket, "Cannot resolve host %s: %s\n", host, osErrorText(nullptr, (uint32_t)rc));
    return -1;
  }
  int r = -1;
  for (ADDRINFOW* ai = list; ai && r != 0; ai = ai->ai_next) r = fromSockaddr(ai->ai_addr, address);
  FreeAddrInfoW(list);
  if (r != 0) logError(logCatSocket, "Cannot resolve host %s: no IPv4 or IPv6 address\n", host);
  return r;
}
