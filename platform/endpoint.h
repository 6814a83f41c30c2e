// A UDP endpoint of either family: the system's own socket-address record, IPv4 or IPv6.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/socket_api.h"

namespace tavorin {

// sockaddr_in (16 bytes) or sockaddr_in6 (28), told apart by the family both begin with; their
// ports lie in the same place. Zero bytes, family 0, stand for no endpoint.
struct Endpoint {
  union {
    sockaddr_in v4;
    sockaddr_in6 v6;
  };
  Endpoint() : v6{} {}

  bool known() const { return v4.sin_family != 0; }
  bool is_v6() const { return v4.sin_family == AF_INET6; }
  uint16_t port_net() const { return v4.sin_port; }
  void set_port_net(uint16_t port) { v4.sin_port = port; }
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&v6); }
  sockaddr* address() { return reinterpret_cast<sockaddr*>(&v6); }
  // The length of the record its family has.
  int size() const { return is_v6() ? int{sizeof v6} : int{sizeof v4}; }
};
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port),
              "the port lies in the same place in both families");

// An IPv4 endpoint. Both values in network byte order.
inline Endpoint MakeEndpoint(uint32_t address_net, uint16_t port_net) {
  Endpoint e;
  e.v4.sin_family = AF_INET;
  e.v4.sin_port = port_net;
  e.v4.sin_addr.s_addr = address_net;
  return e;
}

// An IPv6 endpoint; `scope` is the interface of a link-local address.
inline Endpoint MakeEndpoint6(const in6_addr& address, uint16_t port_net, uint32_t scope = 0) {
  Endpoint e;
  e.v6.sin6_family = AF_INET6;
  e.v6.sin6_port = port_net;
  e.v6.sin6_addr = address;
  e.v6.sin6_scope_id = scope;
  return e;
}

// The unspecified address of IPv6 (::, which a socket takes for every address of both
// families) or of IPv4 (0.0.0.0), port 0.
inline Endpoint EveryAddress(bool v6) {
  return v6 ? MakeEndpoint6(in6addr_any, 0) : MakeEndpoint(htonl(INADDR_ANY), 0);
}

// Whether `e` is an IPv4 address in IPv6 form (::ffff:a.b.c.d).
inline bool IsMapped(const Endpoint& e) {
  static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return e.is_v6() && std::memcmp(&e.v6.sin6_addr, kPrefix, sizeof kPrefix) == 0;
}

// An IPv4 address in IPv6 form as the IPv4 endpoint it stands for; any other as it is.
inline Endpoint Unmapped(const Endpoint& e) {
  if (!IsMapped(e))
    return e;
  uint32_t address;
  std::memcpy(&address, reinterpret_cast<const unsigned char*>(&e.v6.sin6_addr) + 12,
              sizeof address);
  return MakeEndpoint(address, e.port_net());
}

// An IPv4 endpoint in IPv6 form, as a socket of both families takes it; any other as it is.
inline Endpoint Mapped(const Endpoint& e) {
  if (e.is_v6() || !e.known())
    return e;
  in6_addr address{};
  reinterpret_cast<unsigned char*>(&address)[10] = 0xFF;
  reinterpret_cast<unsigned char*>(&address)[11] = 0xFF;
  std::memcpy(reinterpret_cast<unsigned char*>(&address) + 12, &e.v4.sin_addr.s_addr, 4);
  return MakeEndpoint6(address, e.port_net());
}

// Whether both are of one family and have the same address (the port aside).
inline bool SameAddress(const Endpoint& a, const Endpoint& b) {
  if (a.v4.sin_family != b.v4.sin_family)
    return false;
  return a.is_v6() ? std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0
                   : a.v4.sin_addr.s_addr == b.v4.sin_addr.s_addr;
}

// Clients are told apart by family, address and port only: padding, flow label and scope are
// not compared.
inline bool SameAddressAndPort(const Endpoint& a, const Endpoint& b) {
  return a.port_net() == b.port_net() && SameAddress(a, b);
}

// 127.0.0.0/8 and ::1: reached from this host alone.
inline bool IsLoopback(const Endpoint& e) {
  if (!e.is_v6())
    return (ntohl(e.v4.sin_addr.s_addr) >> 24) == 127;
  static const unsigned char kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(&e.v6.sin6_addr, kOne, 16) == 0;
}

// Addresses that are this host's whatever its interfaces: 127.0.0.0/8 and ::1, and the
// unspecified ones (0.0.0.0, ::), which a send takes as this host too.
inline bool IsLoopbackOrUnspecified(const Endpoint& e) {
  if (IsLoopback(e))
    return true;
  static const in6_addr kNone{};
  return e.is_v6() ? std::memcmp(&e.v6.sin6_addr, &kNone, 16) == 0 : e.v4.sin_addr.s_addr == 0;
}

// The address in its usual text form: 192.0.2.1, 2001:db8::1.
inline std::string AddressText(const Endpoint& e) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (e.is_v6())
    inet_ntop(AF_INET6, &e.v6.sin6_addr, text, sizeof text);
  else
    inet_ntop(AF_INET, &e.v4.sin_addr, text, sizeof text);
  return text;
}

// Address and port as every line that names an endpoint writes them: 192.0.2.1:5060,
// [2001:db8::1]:5060.
inline std::string EndpointText(const Endpoint& e) {
  std::string text = e.is_v6() ? "[" : "";
  text.append(AddressText(e));
  text.append(e.is_v6() ? "]:" : ":");
  text.append(std::to_string(ntohs(e.port_net())));
  return text;
}

}  // namespace tavorin
