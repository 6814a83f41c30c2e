// An IPv4 UDP endpoint: the system's own 16-byte socket-address record.
#pragma once

#include <cstdint>

#include "platform/socket_api.h"

namespace tavorin {

// family, port (network order), address (network order), 8 bytes of padding.
using Endpoint = sockaddr_in;
static_assert(sizeof(Endpoint) == 16, "an IPv4 socket address is 16 bytes");

// An endpoint with family AF_INET and zero padding. Both values in network byte order.
inline Endpoint MakeEndpoint(uint32_t address_net, uint16_t port_net) {
  Endpoint e{};
  e.sin_family = AF_INET;
  e.sin_port = port_net;
  e.sin_addr.s_addr = address_net;
  return e;
}

// Clients are told apart by address and port only: family and padding are not compared.
inline bool SameAddressAndPort(const Endpoint& a, const Endpoint& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// 127.0.0.0/8, which is this host's whatever its interfaces, and 0.0.0.0, which a send takes
// as this host too. `address` in network order.
inline bool IsLoopbackOrUnspecified(uint32_t address) {
  return (ntohl(address) >> 24) == 127 || address == 0;
}

}  // namespace tavorin
