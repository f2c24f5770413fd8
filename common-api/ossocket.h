// Socket layer: start-up and shut-down of the system's sockets, the
// "socket:" address syntax of the log target, and TCP connections as
// streams.
//
// Address syntax (the value of QZR_LOG_PIPE that sends the log to a TCP
// listener):
//
//   socket:<host>:<port>
//
//   <host>  an IPv4 literal ("127.0.0.1"), a host name ("loghost"), or an
//           IPv6 literal in brackets ("[::1]"); names are resolved with the
//           system resolver and the first address it gives is used
//   <port>  decimal digits only, 1..65535
//
// Examples: "socket:127.0.0.1:5140", "socket:loghost:5140",
// "socket:[::1]:5140". The prefix is case-sensitive. Everything is rejected
// with a logged error that lacks a port, has port 0 or above 65535, has
// anything after the port digits, has an empty host or an IPv6 literal
// without brackets, or names a host that does not resolve.
//
// Stream types:
// - "Socket": a connected TCP socket. read, write, close, canRead,
//   urgentRead and urgentWrite (urgent = TCP out-of-band data, of which
//   the peer sees one byte at a time). A read of 0 bytes with result 0 is
//   the peer's orderly close. Writes wait at most osSocketIoTimeoutMs for
//   room in the send buffer; a write failure (peer gone, time-out) marks
//   the connection broken, and later writes fail at once without waiting.
//   A peer that has gone away never raises SIGPIPE.
// - "ServerSocket": a listening TCP socket. accept and close; iosAccept
//   takes (IoStream** accepted, server, const uint32_t* timeoutMs or null
//   for osSocketIoTimeoutMs, null) and gives a "Socket" stream.
//
// Messages go to the category "opsys.socket"; system failures carry the
// system's error text.
#pragma once

#include "compiler.h"

struct IoStream;
struct IoStreamOps;

// Address families of the address record.
enum : uint16_t {
  osSocketFamilyNone = 0,  // the all-zero record: no address
  osSocketFamilyIPv4 = 4,
  osSocketFamilyIPv6 = 6,
};

// A parsed and resolved socket address, 32 bytes, all zero when empty.
struct OsSocketAddress {
  uint16_t family;      // osSocketFamily*
  uint16_t port;        // the port number (host order)
  uint32_t scopeId;     // IPv6 scope (interface index); 0 otherwise
  uint8_t address[16];  // network order; IPv4 uses the first 4 bytes
  uint8_t reserved[8];  // zero
};
static_assert(sizeof(OsSocketAddress) == 32, "the address record is 32 bytes");

// Time-out of a connection attempt, so that an unreachable host never holds
// the program up for long.
constexpr uint32_t osSocketConnectTimeoutMs = 5000;
// Longest wait for room to send (and iosCanRead's default wait).
constexpr uint32_t osSocketIoTimeoutMs = 30000;
// Room for osSocketFormatAddress: "[" IPv6 "%" scope "]:" port.
constexpr uint32_t osSocketAddressTextSize = 72;

extern const IoStreamOps osSocketStreamOps;        // "Socket"
extern const IoStreamOps osServerSocketStreamOps;  // "ServerSocket"

// Starts the system's socket layer (Windows: Winsock 2.2; elsewhere there
// is nothing to start). 0, or -1 after logging. Each successful call is
// paired with osSocketExit. Every open socket stream holds a start-up of
// its own until it is closed, so a connection that outlives osExit (the log
// target, closed when logging ends) keeps working.
int osSocketInit();
// Stops what osSocketInit started. 0, or -1 after logging.
int osSocketExit();

// Parses a "socket:<host>:<port>" value (syntax above) into *address,
// resolving a host name. 0, or -1 after logging with *address all zero.
int osSocketParseAddress(const char* value, OsSocketAddress* address);
// Writes "a.b.c.d:port" or "[v6]:port" into text (osSocketAddressTextSize
// bytes); "<none>" for an empty record.
void osSocketFormatAddress(const OsSocketAddress* address, char* text, uint32_t size);

// Opens a TCP connection to the address, waiting at most timeoutMs. On
// success *out is a new "Socket" stream owned by the caller (iosClose); on
// failure *out is null and the reason was logged. 0 or -1.
int osSocketConnect(const OsSocketAddress* address, uint32_t timeoutMs, IoStream** out);
// Listens on the address (port 0: a free port the system picks) with a
// backlog of `backlog`. *out is a new "ServerSocket" stream, or null on
// failure. 0 or -1.
int osSocketListen(const OsSocketAddress* address, uint32_t backlog, IoStream** out);
// The local address of a "Socket" or "ServerSocket" stream (the port a
// listener on port 0 got). 0 or -1.
int osSocketLocalAddress(IoStream* stream, OsSocketAddress* address);
