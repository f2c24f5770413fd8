// Private to the socket backends: conversion between the address record
// and the system's socket addresses. The structures and byte-order
// functions are the same in BSD sockets and Winsock, so each backend
// includes this after its own socket headers.
#pragma once

#include <cstring>

#include "ossocket.h"

namespace {

// Fills *ss from the record; the length of the address written.
inline int toSockaddr(const OsSocketAddress* a, sockaddr_storage* ss) {
  memset(ss, 0, sizeof *ss);
  if (a->family == osSocketFamilyIPv4) {
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(a->port);
    memcpy(&in->sin_addr, a->address, 4);
    return (int)sizeof *in;
  }
  sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(ss);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(a->port);
  in6->sin6_scope_id = a->scopeId;
  memcpy(&in6->sin6_addr, a->address, 16);
  return (int)sizeof *in6;
}

// 0, or -1 for a family other than IPv4 and IPv6.
inline int fromSockaddr(const sockaddr* sa, OsSocketAddress* a) {
  memset(a, 0, sizeof *a);
  if (sa->sa_family == AF_INET) {
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(sa);
    a->family = osSocketFamilyIPv4;
    a->port = ntohs(in->sin_port);
    memcpy(a->address, &in->sin_addr, 4);
    return 0;
  }
  if (sa->sa_family == AF_INET6) {
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    a->family = osSocketFamilyIPv6;
    a->port = ntohs(in6->sin6_port);
    a->scopeId = (uint32_t)in6->sin6_scope_id;
    memcpy(a->address, &in6->sin6_addr, 16);
    return 0;
  }
  return -1;
}

}  // namespace
