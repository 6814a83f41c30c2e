#include "relay/proxy_header.h"

#include <cstring>

namespace tavorin {

namespace {
constexpr unsigned char kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr unsigned char kVersion2Proxy = 0x21;
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

}  // namespace tavorin
