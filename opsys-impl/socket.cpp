// The socket layer shared by both backends: the "socket:" address syntax,
// address texts, and the "Socket" and "ServerSocket" stream levels over the
// backend's non-blocking socket primitives (socketprim.h).
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "oserror.h"
#include "ossocket.h"
#include "socketprim.h"

namespace {

// Longest host text accepted (a DNS name has at most 253 characters).
constexpr uint32_t socketMaxHost = 255;
constexpr char socketPrefix[] = "socket:";
constexpr uint32_t socketPrefixLength = sizeof socketPrefix - 1;

// State of a "Socket" or "ServerSocket" level. Each open level holds a
// start-up reference of the system's socket layer (Winsock counts them), so
// a connection that outlives osExit's shut-down, such as the log target
// that is closed only when logging ends, keeps working until it is closed.
struct SocketState {
  SocketPrimHandle handle;             // the system socket
  uint8_t broken;                      // a write failed: later writes fail at once
  char peer[osSocketAddressTextSize];  // the other end (the local end for a listener)
};

void rejectAddress(const char* value, const char* reason) {
  logError(logCatSocket, "Invalid socket address '%s': %s\n", value, reason);
}

// True when [text, end) reads as an IPv6 address: hex digits, dots and at
// least two colons.
bool looksLikeIPv6(const char* text, const char* end) {
  uint32_t colons = 0;
  for (const char* p = text; p < end; p++) {
    if (*p == ':')
      colons++;
    else if (!isxdigit((unsigned char)*p) && *p != '.')
      return false;
  }
  return colons >= 2;
}

// Splits "socket:<host>:<port>" into the host text and the port number.
// ipv6Literal tells whether the host was bracketed. 0, or -1 after
// logging the reason.
int splitAddress(const char* value, char* host, bool* ipv6Literal, uint16_t* port) {
  if (strncmp(value, socketPrefix, socketPrefixLength) != 0) {
    rejectAddress(value, "it does not start with socket:");
    return -1;
  }
  const char* p = value + socketPrefixLength;
  const char* hostStart = p;
  const char* hostEnd = nullptr;
  *ipv6Literal = *p == '[';
  if (*ipv6Literal) {
    hostStart = p + 1;
    hostEnd = strchr(hostStart, ']');
    if (!hostEnd) {
      rejectAddress(value, "missing ] after the IPv6 address");
      return -1;
    }
    p = hostEnd + 1;
  } else {
    const char* lastColon = strrchr(hostStart, ':');
    if (lastColon && looksLikeIPv6(hostStart, lastColon)) {
      rejectAddress(value, "an IPv6 address needs brackets");
      return -1;
    }
    hostEnd = strchr(hostStart, ':');
    if (!hostEnd) hostEnd = hostStart + strlen(hostStart);
    p = hostEnd;
  }
  size_t hostLength = (size_t)(hostEnd - hostStart);
  if (hostLength == 0) {
    rejectAddress(value, "empty host");
    return -1;
  }
  if (hostLength > socketMaxHost) {
    rejectAddress(value, "host name too long");
    return -1;
  }
  if (*p != ':' || !(p[1] >= '0' && p[1] <= '9')) {
    // Text after "]" that is not ":<digits>" is junk rather than a port.
    bool missing = *p == '\0' || (*p == ':' && p[1] == '\0');
    rejectAddress(value, missing ? "missing port" : "unexpected text where the port belongs");
    return -1;
  }
  uint32_t number = 0;
  for (p++; *p >= '0' && *p <= '9'; p++) {
    if (number <= 65535) number = number * 10 + (uint32_t)(*p - '0');
  }
  if (*p != '\0') {
    rejectAddress(value, "unexpected text after the port");
    return -1;
  }
  if (number == 0 || number > 65535) {
    rejectAddress(value, "port out of range 1..65535");
    return -1;
  }
  memcpy(host, hostStart, hostLength);
  host[hostLength] = '\0';
  *port = (uint16_t)number;
  return 0;
}

// The IPv6 text of 16 bytes: lower-case groups, the longest run of two or
// more zero groups written as "::".
void formatIPv6(const uint8_t* a, char* text, uint32_t size) {
  uint16_t groups[8];
  for (int i = 0; i < 8; i++) groups[i] = (uint16_t)(a[2 * i] << 8 | a[2 * i + 1]);
  int bestStart = -1, bestLength = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) j++;
    if (j - i > bestLength && j - i >= 2) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  uint32_t n = 0;
  for (int i = 0; i < 8 && n < size; i++) {
    if (i == bestStart) {
      n += (uint32_t)snprintf(text + n, size - n, "::");
      i += bestLength - 1;
      continue;
    }
    bool afterGap = bestStart >= 0 && i == bestStart + bestLength;
    n += (uint32_t)snprintf(text + n, size - n, "%s%x", i == 0 || afterGap ? "" : ":", groups[i]);
  }
}

SocketState* newState(SocketPrimHandle handle, const OsSocketAddress* address) {
  SocketState* st = memNew(SocketState);
  st->handle = handle;
  osSocketFormatAddress(address, st->peer, sizeof st->peer);
  return st;
}

// Sends all bytes (urgent: as out-of-band data), waiting for room at most
// osSocketIoTimeoutMs at a time. A failure marks the connection broken
// before it is logged: the log may be this very socket, and the record of
// the failure must find the write already failed instead of waiting again.
int sendAll(SocketState* st, const void* buf, uint32_t len, bool urgent, uint32_t* written) {
  uint32_t done = 0;
  if (written) *written = 0;
  if (st->broken) return -1;
  const char* p = static_cast<const char*>(buf);
  while (done < len) {
    uint32_t n = 0, error = 0;
    int r = socketPrimSend(st->handle, p + done, len - done, urgent, &n, &error);
    if (r == socketPrimDone) {
      done += n;
      if (written) *written = done;
      continue;
    }
    if (r == socketPrimWouldBlock) {
      int ready = socketPrimWait(st->handle, socketPrimWritable, osSocketIoTimeoutMs, &error);
      if (ready > 0) continue;
      st->broken = 1;
      if (ready == 0)
        logError(logCatSocket, "Timed out after %u ms sending to %s\n", osSocketIoTimeoutMs, st->peer);
      else
        osErrorReport(logCatSocket, error, "Cannot wait to send to %s", st->peer);
      return -1;
    }
    st->broken = 1;
    osErrorReport(logCatSocket, error, "Cannot send to %s", st->peer);
    return -1;
  }
  return 0;
}

// Receives up to len bytes (urgent: out-of-band), waiting up to timeoutMs
// when none are there. Urgent data is waited for once: a system that
// signals it and then has none to give must not make this spin.
int receive(SocketState* st, void* buf, uint32_t len, bool urgent, uint32_t timeoutMs, uint32_t* got) {
  *got = 0;
  for (bool waited = false;; waited = true) {
    uint32_t n = 0, error = 0;
    int r = socketPrimRecv(st->handle, buf, len, urgent, &n, &error);
    if (r == socketPrimDone) {
      *got = n;
      return 0;
    }
    if (r == socketPrimWouldBlock && urgent && waited) {
      logError(logCatSocket, "No urgent data from %s\n", st->peer);
      return -1;
    }
    if (r == socketPrimWouldBlock) {
      int ready = socketPrimWait(st->handle, urgent ? socketPrimUrgent : socketPrimReadable, timeoutMs, &error);
      if (ready > 0) continue;
      if (ready == 0) {
        logError(logCatSocket, "Timed out after %u ms waiting for %sdata from %s\n", timeoutMs, urgent ? "urgent " : "",
                 st->peer);
      } else {
        osErrorReport(logCatSocket, error, "Cannot wait for data from %s", st->peer);
      }
      return -1;
    }
    osErrorReport(logCatSocket, error, "Cannot receive %sdata from %s", urgent ? "urgent " : "", st->peer);
    return -1;
  }
}

int socketRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  return receive(static_cast<SocketState*>(level->state), buf, len, false, socketPrimForever, got);
}

// Urgent data: waits up to osSocketIoTimeoutMs for it to arrive.
int socketUrgentRead(IoStream* level, void* buf, uint32_t len, uint32_t* got) {
  return receive(static_cast<SocketState*>(level->state), buf, len, true, osSocketIoTimeoutMs, got);
}

int socketWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  return sendAll(static_cast<SocketState*>(state), buf, len, false, written);
}

int socketUrgentWrite(void* state, const void* buf, uint32_t len, uint32_t* written) {
  return sendAll(static_cast<SocketState*>(state), buf, len, true, written);
}

// 0 when a read would not wait (data, or the peer's close), 1 when nothing
// arrived in time, -1 when the wait failed.
int socketCanRead(void* state, uint64_t timeoutMs) {
  SocketState* st = static_cast<SocketState*>(state);
  uint32_t wait = timeoutMs == iosDefaultTimeout   ? osSocketIoTimeoutMs
                  : timeoutMs >= socketPrimForever ? socketPrimForever - 1
                                                   : (uint32_t)timeoutMs;
  uint32_t error = 0;
  int ready = socketPrimWait(st->handle, socketPrimReadable, wait, &error);
  if (ready < 0) {
    osErrorReport(logCatSocket, error, "Cannot wait for data from %s", st->peer);
    return -1;
  }
  return ready > 0 ? 0 : 1;
}

// Closes the socket and gives back the start-up reference it held.
int socketClose(void* state) {
  SocketState* st = static_cast<SocketState*>(state);
  socketPrimClose(st->handle);
  logDebug(logCatSocket, "Closed connection with %s\n", st->peer);
  memFree(st);
  return socketPrimStop();
}

// iosAccept on a listener: result is an IoStream** for the accepted
// "Socket" stream, arg1 an optional const uint32_t* time-out in ms.
int serverAccept(void* result, void* state, void* arg1, void*) {
  SocketState* st = static_cast<SocketState*>(state);
  IoStream** out = static_cast<IoStream**>(result);
  uint32_t timeoutMs = arg1 ? *static_cast<const uint32_t*>(arg1) : osSocketIoTimeoutMs;
  *out = nullptr;
  for (;;) {
    SocketPrimHandle h = socketPrimInvalid;
    uint32_t error = 0;
    int r = socketPrimAccept(st->handle, &h, &error);
    if (r == socketPrimDone && socketPrimStart() != 0) {
      socketPrimClose(h);
      return -1;
    }
    if (r == socketPrimDone) {
      OsSocketAddress peer = {};
      SocketState* client = newState(h, &peer);
      snprintf(client->peer, sizeof client->peer, "client of %.60s", st->peer);
      *out = iosNewLevel(client, &osSocketStreamOps);
      logDebug(logCatSocket, "Accepted a connection on %s\n", st->peer);
      return 0;
    }
    if (r == socketPrimWouldBlock) {
      int ready = socketPrimWait(st->handle, socketPrimReadable, timeoutMs, &error);
      if (ready > 0) continue;
      if (ready == 0) {
        logError(logCatSocket, "No connection on %s within %u ms\n", st->peer, timeoutMs);
      } else {
        osErrorReport(logCatSocket, error, "Cannot wait for a connection on %s", st->peer);
      }
      return -1;
    }
    osErrorReport(logCatSocket, error, "Cannot accept a connection on %s", st->peer);
    return -1;
  }
}

}  // namespace

const IoStreamOps osSocketStreamOps = {
    .name = "Socket",
    .read = socketRead,
    .write = socketWrite,
    .close = socketClose,
    .canRead = socketCanRead,
    .urgentRead = socketUrgentRead,
    .urgentWrite = socketUrgentWrite,
};

const IoStreamOps osServerSocketStreamOps = {
    .name = "ServerSocket",
    .accept = serverAccept,
    .close = socketClose,
};

int osSocketInit() { return socketPrimStart(); }

int osSocketExit() { return socketPrimStop(); }

int osSocketParseAddress(const char* value, OsSocketAddress* address) {
  memset(address, 0, sizeof *address);
  if (!value) {
    logError(logCatSocket, "No socket address given\n");
    return -1;
  }
  char host[socketMaxHost + 1];
  bool ipv6Literal = false;
  uint16_t port = 0;
  if (splitAddress(value, host, &ipv6Literal, &port) != 0) return -1;
  if (socketPrimStart() != 0) return -1;
  int resolved = socketPrimResolve(host, ipv6Literal, address);
  socketPrimStop();
  if (resolved != 0) {
    memset(address, 0, sizeof *address);
    return -1;
  }
  address->port = port;
  char text[osSocketAddressTextSize];
  osSocketFormatAddress(address, text, sizeof text);
  logDebug(logCatSocket, "Socket address %s is %s\n", value, text);
  return 0;
}

void osSocketFormatAddress(const OsSocketAddress* address, char* text, uint32_t size) {
  if (size == 0) return;
  text[0] = '\0';
  const uint8_t* a = address->address;
  if (address->family == osSocketFamilyIPv4) {
    snprintf(text, size, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], address->port);
  } else if (address->family == osSocketFamilyIPv6) {
    char v6[48];
    formatIPv6(a, v6, sizeof v6);
    if (address->scopeId)
      snprintf(text, size, "[%s%%%" PRIu32 "]:%u", v6, address->scopeId, address->port);
    else
      snprintf(text, size, "[%s]:%u", v6, address->port);
  } else {
    snprintf(text, size, "<none>");
  }
}

// The common start of a connect or listen: the address as text, the socket
// layer held for the new socket, and a socket of the address's family.
// 0, or -1 after logging (`verb`: "connect to", "listen on").
static int openFor(const OsSocketAddress* address, const char* verb, char text[osSocketAddressTextSize],
                   SocketPrimHandle* h) {
  osSocketFormatAddress(address, text, osSocketAddressTextSize);
  if (address->family != osSocketFamilyIPv4 && address->family != osSocketFamilyIPv6) {
    logError(logCatSocket, "Cannot %s %s: no address\n", verb, text);
    return -1;
  }
  if (socketPrimStart() != 0) return -1;
  uint32_t error = 0;
  if (socketPrimOpen(address->family, h, &error) != 0) {
    osErrorReport(logCatSocket, error, "Cannot create a socket for %s", text);
    socketPrimStop();
    return -1;
  }
  return 0;
}

int osSocketConnect(const OsSocketAddress* address, uint32_t timeoutMs, IoStream** out) {
  *out = nullptr;
  char text[osSocketAddressTextSize];
  SocketPrimHandle h = socketPrimInvalid;
  if (openFor(address, "connect to", text, &h) != 0) return -1;
  uint32_t error = 0;
  int r = socketPrimConnect(h, address, &error);
  if (r == 1) {
    int ready = socketPrimWait(h, socketPrimWritable, timeoutMs, &error);
    if (ready == 0) {
      socketPrimClose(h);
      socketPrimStop();
      logError(logCatSocket, "Cannot connect to %s: no answer within %u ms\n", text, timeoutMs);
      return -1;
    }
    if (ready > 0) {
      error = socketPrimPendingError(h);
      r = error == 0 ? 0 : -1;
    } else {
      r = -1;  // the wait itself failed; error holds its code
    }
  }
  if (r != 0) {
    socketPrimClose(h);
    socketPrimStop();
    osErrorReport(logCatSocket, error, "Cannot connect to %s", text);
    return -1;
  }
  *out = iosNewLevel(newState(h, address), &osSocketStreamOps);
  logDebug(logCatSocket, "Connected to %s\n", text);
  return 0;
}

int osSocketListen(const OsSocketAddress* address, uint32_t backlog, IoStream** out) {
  *out = nullptr;
  char text[osSocketAddressTextSize];
  SocketPrimHandle h = socketPrimInvalid;
  if (openFor(address, "listen on", text, &h) != 0) return -1;
  uint32_t error = 0;
  OsSocketAddress local = {};
  if (socketPrimListen(h, address, backlog, &error) != 0 || socketPrimLocalAddress(h, &local, &error) != 0) {
    socketPrimClose(h);
    socketPrimStop();
    osErrorReport(logCatSocket, error, "Cannot listen on %s", text);
    return -1;
  }
  *out = iosNewLevel(newState(h, &local), &osServerSocketStreamOps);
  logDebug(logCatSocket, "Listening on %s\n", static_cast<SocketState*>((*out)->state)->peer);
  return 0;
}

int osSocketLocalAddress(IoStream* stream, OsSocketAddress* address) {
  memset(address, 0, sizeof *address);
  IoStream* level = stream;
  while (level && level->ops != &osSocketStreamOps && level->ops != &osServerSocketStreamOps) level = level->next;
  if (!level) {
    iosFindLevel(stream, &osSocketStreamOps, logCatSocket);  // logs what was found instead
    return -1;
  }
  if (!level->state) {
    logError(logCatSocket, "Socket stream is closed\n");
    return -1;
  }
  uint32_t error = 0;
  if (socketPrimLocalAddress(static_cast<SocketState*>(level->state)->handle, address, &error) != 0) {
    osErrorReport(logCatSocket, error, "Cannot get the local address of %s",
                  static_cast<SocketState*>(level->state)->peer);
    return -1;
  }
  return 0;
}
