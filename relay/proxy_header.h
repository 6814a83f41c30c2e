// The header that tells a server which client a datagram came from and which address and port
// of the relay it was sent to, ahead of every datagram a link sends (PROXY protocol version 2,
// command PROXY, UDP): servers that read it take the client's address from it, not from the
// datagram's source, which is the link's own socket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"

namespace tavorin {

// The longest header: the one of an IPv6 client (16 fixed bytes, 36 of addresses and
// ports); an IPv4 client's is 28 bytes.
inline constexpr size_t kProxyHeaderMax = 52;

struct ProxyHeader {
  unsigned char bytes[kProxyHeaderMax];
  size_t length;
};

// The header for datagrams from `client` that it sent to `destination` (address and port),
// both of the client's family: an IPv4 address in IPv6 form is taken as the IPv4 one. A
// destination of the other family, or none, goes as the unspecified address of the client's
// family with the destination's port.
ProxyHeader MakeProxyHeader(const Endpoint& client, const Endpoint& destination);

}  // namespace tavorin
