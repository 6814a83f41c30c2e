// The header that tells a server which client a datagram came from and which address and port
// of the relay it was sent to, ahead of every datagram a link sends (PROXY protocol version 2,
// command PROXY, UDP): servers that read it take the client's address from it, not from the
// datagram's source, which is the link's own socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

// A datagram of a relay in front, which starts with such a header (of command PROXY and UDP
// over either family, or of command LOCAL, which names nobody; extensions after the addresses
// are skipped): the client and the address it sent to that the header names, in IPv4 form
// where they are IPv4, and what follows the header.
struct FrontedDatagram {
  Endpoint client;       // the sender itself for a LOCAL header
  Endpoint destination;  // unknown for a LOCAL header
  const unsigned char* data;
  size_t length;
};
// Nothing when `data` does not start with a whole header of that kind, or carries nothing after
// it.
std::optional<FrontedDatagram> Unwrap(const void* data, size_t length, const Endpoint& sender);

}  // namespace tavorin
