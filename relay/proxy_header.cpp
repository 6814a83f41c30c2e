#include "relay/proxy_header.h"

#include <cstring>

namespace tavorin {

namespace {
constexpr unsigned char kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr unsigned char kVersion2Proxy = 0x21;
constexpr unsigned char kVersion2Local = 0x20;
constexpr size_t kFixedPart = 16;  // the signature, version and command, family, length
constexpr unsigned char kUdp4 = 0x12;
constexpr unsigned char kUdp6 = 0x22;
}  // namespace

ProxyHeader MakeProxyHeader(const Endpoint& client, const Endpoint& destination) {
  const Endpoint source = Unmapped(client);
  const bool v6 = source.is_v6();
  Endpoint to = Unmapped(destination);
  if (!to.known() || to.is_v6() != v6) {
    const uint16_t port = destination.port_net();
    to = EveryAddress(v6);
    to.set_port_net(port);
  }
  ProxyHeader header{};
  unsigned char* at = header.bytes;
  auto put = [&at](const void* data, size_t length) {
    std::memcpy(at, data, length);
    at += length;
  };
  put(kSignature, sizeof kSignature);
  *at++ = kVersion2Proxy;
  *at++ = v6 ? kUdp6 : kUdp4;
  // The length of what follows, big-endian: two addresses and two ports.
  const size_t rest = v6 ? 2 * 16 + 2 * 2 : 2 * 4 + 2 * 2;
  *at++ = static_cast<unsigned char>(rest >> 8);
  *at++ = static_cast<unsigned char>(rest & 0xFF);
  if (v6) {
    put(&source.v6.sin6_addr, 16);
    put(&to.v6.sin6_addr, 16);
  } else {
    put(&source.v4.sin_addr, 4);
    put(&to.v4.sin_addr, 4);
  }
  // Ports are kept in network order, as the header carries them.
  const uint16_t ports[2] = {source.port_net(), to.port_net()};
  put(ports, sizeof ports);
  header.length = static_cast<size_t>(at - header.bytes);
  return header;
}

std::optional<FrontedDatagram> Unwrap(const void* data, size_t length, const Endpoint& sender) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (length < kFixedPart || std::memcmp(bytes, kSignature, sizeof kSignature) != 0)
    return std::nullopt;
  const size_t rest = size_t{bytes[14]} << 8 | bytes[15];
  if (length <= kFixedPart + rest)
    return std::nullopt;  // cut short, or nothing after it
  FrontedDatagram fronted{sender, Endpoint(), bytes + kFixedPart + rest,
                          length - kFixedPart - rest};
  const unsigned char* at = bytes + kFixedPart;
  if (bytes[12] == kVersion2Local)
    return fronted;
  if (bytes[12] != kVersion2Proxy)
    return std::nullopt;
  uint16_t ports[2];
  if (bytes[13] == kUdp4 && rest >= 2 * 4 + 2 * 2) {
    uint32_t addresses[2];
    std::memcpy(addresses, at, sizeof addresses);
    std::memcpy(ports, at + sizeof addresses, sizeof ports);
    fronted.client = MakeEndpoint(addresses[0], ports[0]);
    fronted.destination = MakeEndpoint(addresses[1], ports[1]);
    return fronted;
  }
  if (bytes[13] == kUdp6 && rest >= 2 * 16 + 2 * 2) {
    in6_addr addresses[2];
    std::memcpy(addresses, at, sizeof addresses);
    std::memcpy(ports, at + sizeof addresses, sizeof ports);
    fronted.client = Unmapped(MakeEndpoint6(addresses[0], ports[0]));
    fronted.destination = Unmapped(MakeEndpoint6(addresses[1], ports[1]));
    return fronted;
  }
  return std::nullopt;  // another family or protocol: no client of a UDP relay
}

}  // namespace tavorin
