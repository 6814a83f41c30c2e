// The datagram path through a Listener: arbitrary lengths from a handful of sources. Every
// datagram of 1 to 520 bytes reaches the server unchanged through its source's one link,
// unless its source is a guarded one (here any loopback address with port 3, a listening port
// of the relay's); no other reaches it or makes a link.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "relay/client_link.h"
#include "relay/listener.h"
#include "tests/listener_probe.h"

namespace {

struct Harness {
  Harness() {
    sink = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int size = 4 << 20;
    setsockopt(sink, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    tavorin::Endpoint at = tavorin::MakeEndpoint(htonl(INADDR_LOOPBACK), 0);
    socklen_t length = sizeof at;
    if (bind(sink, at.address(), static_cast<socklen_t>(at.size())) != 0)
      std::abort();
    getsockname(sink, at.address(), &length);
    listener.SetServer(at);
    guard.AddListeningPort(kGuardedPort);
    listener.SetLoopGuard(&guard);
  }
  static constexpr uint16_t kGuardedPort = 3;
  int sink;
  tavorin::LoopGuard guard;
  tavorin::Listener listener;  // never started: the fuzzer plays its receive thread
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness h;
  std::vector<unsigned char> received(2048);
  while (size >= 3) {
    // Sources of both families, with what is not compared (padding, flow label) at random.
    const uint16_t port = htons(static_cast<uint16_t>(1 + data[0] % 4));
    tavorin::Endpoint source = tavorin::MakeEndpoint(htonl(0x7F000001u + (data[0] >> 6)), port);
    std::memset(source.v4.sin_zero, data[1], sizeof source.v4.sin_zero);
    if ((data[0] & 0x20) != 0) {
      source = tavorin::MakeEndpoint6(in6addr_loopback, port);
      source.v6.sin6_flowinfo = data[1];
    }
    long length = ((data[1] << 8) | data[2]) % 700;
    data += 3;
    size -= 3;
    size_t have = length < static_cast<long>(size) ? static_cast<size_t>(length) : size;
    if (length > 0 && have < static_cast<size_t>(length))
      length = static_cast<long>(have);

    uint32_t before = h.listener.links().count();
    tavorin::ClientLink* link = h.listener.FindClient(source);
    tavorin::ListenerProbe::Relay(h.listener, data, static_cast<size_t>(length), source,
                                  tavorin::MakeEndpoint(htonl(INADDR_LOOPBACK), 0));
    bool relayed =
        length >= 1 && length <= 520 && ntohs(source.port_net()) != Harness::kGuardedPort;
    ssize_t got = recv(h.sink, received.data(), received.size(), 0);
    if (relayed) {
      if (got != length || std::memcmp(received.data(), data, have) != 0)
        std::abort();
      if (h.listener.links().count() != before + (link == nullptr ? 1u : 0u))
        std::abort();
      if (h.listener.FindClient(source) == nullptr)
        std::abort();
    } else if (got >= 0 || h.listener.links().count() != before) {
      std::abort();
    }
    data += have;
    size -= have;
  }
  return 0;
}
