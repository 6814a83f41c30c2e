// Taking the header off a datagram of a relay in front, from anyone: what is left is the whole
// tail of the datagram and never empty, and a header made for the client and address it names
// names them again.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "relay/proxy_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tavorin::Endpoint sender = tavorin::MakeEndpoint(htonl(INADDR_LOOPBACK), htons(12345));
  const std::optional<tavorin::FrontedDatagram> fronted = tavorin::Unwrap(data, size, sender);
  if (!fronted)
    return 0;
  if (fronted->length == 0 || fronted->data < data ||
      fronted->data + fronted->length != data + size)
    std::abort();
  const tavorin::Endpoint& client = fronted->client;
  const tavorin::Endpoint& destination = fronted->destination;
  if (!destination.known()) {
    // A LOCAL header names nobody: the datagram is the sender's own.
    if (!tavorin::SameAddressAndPort(client, sender))
      std::abort();
    return 0;
  }
  if (client.is_v6() != destination.is_v6())
    return 0;  // an IPv4 address in IPv6 form beside one that is not: made as another family
  const tavorin::ProxyHeader header = tavorin::MakeProxyHeader(client, destination);
  std::vector<unsigned char> again(header.bytes, header.bytes + header.length);
  again.insert(again.end(), fronted->data, fronted->data + fronted->length);
  const std::optional<tavorin::FrontedDatagram> read =
      tavorin::Unwrap(again.data(), again.size(), {});
  if (!read || !tavorin::SameAddressAndPort(read->client, client) ||
      !tavorin::SameAddressAndPort(read->destination, destination) ||
      read->length != fronted->length || std::memcmp(read->data, fronted->data, read->length) != 0)
    std::abort();
  return 0;
}
