// A plain UDP socket on loopback (127.0.0.n or ::1) for tests: sends, and receives with a time
// limit.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/endpoint.h"

namespace tavorin::testing {

using Bytes = std::vector<unsigned char>;

// 127.0.0.n, network order.
uint32_t Loopback(int n = 1);
Endpoint LoopbackEndpoint(uint16_t port, int host = 1);
// [::1]:port.
Endpoint Loopback6Endpoint(uint16_t port);

// An address of this host other than loopback, if it has one (network order).
std::optional<uint32_t> OwnNonLoopbackAddress();

// `size` bytes of a pattern that depends on `seed`, so that one datagram is not taken for another.
Bytes Pattern(size_t size, unsigned seed = 0);

struct Received {
  Bytes data;
  Endpoint from;
};

// A UDP socket bound to `address` (network order) on `port` (0 for any free port), or -1.
int BindUdp(uint16_t port, uint32_t address = Loopback());
// A UDP socket bound to `local`, of its family (IPv6 alone for an IPv6 address but ::, which
// takes both families), or -1.
int BindUdp(const Endpoint& local);
// The port a socket is bound to (host order), or 0.
uint16_t LocalPort(int fd);
// Two sockets bound to neighbouring ports of `address` (its port aside), P and P + 1, found and
// held together.
struct BoundPair {
  int first;
  int second;
};
BoundPair BindNeighbours(const Endpoint& address = LoopbackEndpoint(0));

class UdpPeer {
 public:
  // Binds 127.0.0.`host` on `port` (0 for any free port).
  explicit UdpPeer(uint16_t port = 0, int host = 1) : UdpPeer(LoopbackEndpoint(port, host)) {}
  // Binds `local`, of either family.
  explicit UdpPeer(const Endpoint& local);
  // Takes over a socket bound to 127.0.0.1.
  static UdpPeer Adopt(int fd) { return UdpPeer(Adopted{}, fd); }
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  UdpPeer(UdpPeer&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), local_(other.local_), port_(other.port_) {}
  UdpPeer& operator=(UdpPeer&&) = delete;

  uint16_t port() const { return port_; }
  Endpoint endpoint() const;
  int fd() const { return fd_; }

  // Lets it send to a broadcast address.
  void AllowBroadcast() const;

  // From now on only datagrams from `peer` are received.
  void Connect(const Endpoint& peer) const;

  void SendTo(const Bytes& data, const Endpoint& to) const;
  // `port` on the loopback address of its own family.
  Endpoint LoopbackAt(uint16_t port) const {
    return local_.is_v6() ? Loopback6Endpoint(port) : LoopbackEndpoint(port);
  }
  void SendTo(const Bytes& data, uint16_t port) const { SendTo(data, LoopbackAt(port)); }

  // The next datagram (up to 64 KiB), or nothing within `timeout_ms`.
  std::optional<Received> Receive(int timeout_ms = 2000) const;
  // Only its bytes: none when nothing arrives (every datagram a test expects has some).
  Bytes ReceiveData(int timeout_ms = 2000) const {
    std::optional<Received> got = Receive(timeout_ms);
    return got ? got->data : Bytes{};
  }
  // True when nothing arrives within `timeout_ms`.
  bool Silent(int timeout_ms = 200) const { return !Receive(timeout_ms).has_value(); }

 private:
  struct Adopted {};
  UdpPeer(Adopted, int fd);
  int fd_ = -1;
  Endpoint local_;
  uint16_t port_ = 0;
};

// An IPv4 packet of `protocol` around `payload`, from `source` to `destination` (network order);
// the system fills in the identification and the checksum as it sends it.
Bytes IpPacket(uint32_t source, uint32_t destination, uint8_t protocol, const Bytes& payload);
// A UDP datagram (no checksum) from `from` to `to` in its IPv4 packet.
Bytes UdpPacket(const Endpoint& from, const Endpoint& to, const Bytes& payload);
// Sends a whole IPv4 packet through a raw socket: whether it went (a raw socket takes root).
bool SendRaw(const Bytes& packet);
// Sends one IPv4 UDP datagram from `from`, whatever socket holds that endpoint or none, to `to`.
bool SendForged(const Endpoint& from, const Endpoint& to, const Bytes& payload);

// A figure that other threads or the system change a moment after the event that changes it
// (a joined thread can stay listed in /proc/self/task for a while), polled against a
// generous deadline: until it reaches `expected`, or with none until it holds steady. What
// it shows at the deadline is returned, for the test to compare.
int Settle(const std::function<int()>& count, std::optional<int> expected = std::nullopt);

// Entries of a /proc/self directory ("fd", "task"), settled as above.
int CountEntries(const std::string& proc_self_dir, std::optional<int> expected = std::nullopt);

}  // namespace tavorin::testing
