// What each backend supplies to the shared socket layer (socket.cpp): the
// system calls on one socket, non-blocking throughout. Private to
// opsys-impl.
#pragma once

#include <cstdint>

#include "compiler.h"
#include "ossocket.h"

// A system socket: a SOCKET on Windows, a descriptor elsewhere.
using SocketPrimHandle = intptr_t;
constexpr SocketPrimHandle socketPrimInvalid = -1;

// Results of the transfer and accept calls.
enum : int {
  socketPrimFailed = -1,     // failed; *error holds the system code
  socketPrimDone = 0,        // done (for transfers: *count bytes moved)
  socketPrimWouldBlock = 1,  // nothing possible now; wait and call again
};

// Events to wait for; socketPrimWait returns those that are ready.
enum : uint32_t {
  socketPrimReadable = 1,  // data, a connection to accept, or the peer's close
  socketPrimWritable = 2,  // room to send, or a connection attempt ended
  socketPrimUrgent = 4,    // out-of-band data arrived
};
// A wait without time-out.
constexpr uint32_t socketPrimForever = 0xFFFFFFFF;

// Starts and stops the system's socket layer. 0, or -1 after logging.
int socketPrimStart();
int socketPrimStop();
// A new TCP socket of the family, non-blocking, not inherited by children,
// never raising SIGPIPE. 0 or -1 (*error).
int socketPrimOpen(uint16_t family, SocketPrimHandle* out, uint32_t* error);
// Starts connecting: 0 connected, 1 in progress (wait writable, then
// socketPrimPendingError), -1 failed (*error).
int socketPrimConnect(SocketPrimHandle h, const OsSocketAddress* address, uint32_t* error);
// The error a finished connection attempt left (0: connected).
uint32_t socketPrimPendingError(SocketPrimHandle h);
// Waits up to timeoutMs for the events: the ready ones (a failed socket
// counts as ready for all), 0 on time-out, -1 on failure (*error).
int socketPrimWait(SocketPrimHandle h, uint32_t events, uint32_t timeoutMs, uint32_t* error);
// Sends (urgent: out-of-band) or receives up to len bytes into *count.
// socketPrimDone, socketPrimWouldBlock or socketPrimFailed (*error). A
// receive of 0 bytes with socketPrimDone is the peer's orderly close.
int socketPrimSend(SocketPrimHandle h, const void* buf, uint32_t len, bool urgent, uint32_t* count, uint32_t* error);
int socketPrimRecv(SocketPrimHandle h, void* buf, uint32_t len, bool urgent, uint32_t* count, uint32_t* error);
void socketPrimClose(SocketPrimHandle h);
// Binds to the address (with address reuse) and listens. 0 or -1 (*error).
int socketPrimListen(SocketPrimHandle h, const OsSocketAddress* address, uint32_t backlog, uint32_t* error);
// Takes a waiting connection as a socket set up like socketPrimOpen's:
// socketPrimDone, socketPrimWouldBlock or socketPrimFailed (*error).
int socketPrimAccept(SocketPrimHandle h, SocketPrimHandle* out, uint32_t* error);
// The local address of the socket. 0 or -1 (*error).
int socketPrimLocalAddress(SocketPrimHandle h, OsSocketAddress* address, uint32_t* error);
// Resolves a host (ipv6Literal: the text of a bracketed IPv6 literal) to
// the first address the system gives; family, address and scope into
// *address. 0, or -1 after logging under opsys.socket.
int socketPrimResolve(const char* host, bool ipv6Literal, OsSocketAddress* address);
