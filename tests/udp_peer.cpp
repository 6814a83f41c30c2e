#include "tests/udp_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

namespace tavorin::testing {

uint32_t Loopback(int n) {
  return htonl(0x7F000000u | static_cast<uint32_t>(n));
}

Endpoint LoopbackEndpoint(uint16_t port, int host) {
  return MakeEndpoint(Loopback(host), htons(port));
}

Endpoint Loopback6Endpoint(uint16_t port) {
  return MakeEndpoint6(in6addr_loopback, htons(port));
}

std::optional<uint32_t> OwnNonLoopbackAddress() {
  ifaddrs* list = nullptr;
  std::optional<uint32_t> found;
  if (getifaddrs(&list) != 0)
    return found;
  for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) {
      uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
      if (!IsLoopbackOrUnspecified(MakeEndpoint(address, 0)))
        found = address;
    }
  }
  freeifaddrs(list);
  return found;
}

Bytes Pattern(size_t size, unsigned seed) {
  Bytes b(size);
  uint32_t x = 2463534242u ^ (seed * 2654435761u);
  for (auto& c : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<unsigned char>(x);
  }
  return b;
}

int BindUdp(uint16_t port, uint32_t address) {
  return BindUdp(MakeEndpoint(address, htons(port)));
}

int BindUdp(const Endpoint& local) {
  int fd = ::socket(local.is_v6() ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int only = local.is_v6() && IN6_IS_ADDR_UNSPECIFIED(&local.v6.sin6_addr) ? 0 : 1;
  if (fd >= 0 && local.is_v6())
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
  if (fd >= 0 && ::bind(fd, local.address(), static_cast<socklen_t>(local.size())) == 0)
    return fd;
  if (fd >= 0)
    ::close(fd);
  return -1;
}

uint16_t LocalPort(int fd) {
  Endpoint at{};
  socklen_t length = sizeof at;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) == 0 ? ntohs(at.v4.sin_port)
                                                                           : 0;
}

BoundPair BindNeighbours(const Endpoint& address) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    Endpoint at = address;
    at.set_port_net(0);
    int first = BindUdp(at);
    uint16_t port = LocalPort(first);
    at.set_port_net(htons(static_cast<uint16_t>(port + 1)));
    int second = port > 0 && port < 65535 ? BindUdp(at) : -1;
    if (second >= 0)
      return {first, second};
    ::close(first);
  }
  ADD_FAILURE() << "no two neighbouring free UDP ports";
  return {-1, -1};
}

UdpPeer::UdpPeer(Adopted, int fd) : fd_(fd), port_(LocalPort(fd)) {
  socklen_t length = sizeof local_;
  getsockname(fd_, local_.address(), &length);
  local_.set_port_net(0);
}

UdpPeer::UdpPeer(const Endpoint& local) : fd_(BindUdp(local)), local_(local) {
  EXPECT_GE(fd_, 0) << "cannot bind " << EndpointText(local);
  int size = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  port_ = LocalPort(fd_);
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0)
    ::close(fd_);
}

Endpoint UdpPeer::endpoint() const {
  Endpoint e = local_;
  e.set_port_net(htons(port_));
  return e;
}

void UdpPeer::AllowBroadcast() const {
  int on = 1;
  EXPECT_EQ(setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
}

void UdpPeer::Connect(const Endpoint& peer) const {
  EXPECT_EQ(::connect(fd_, peer.address(), static_cast<socklen_t>(peer.size())), 0);
}

void UdpPeer::SendTo(const Bytes& data, const Endpoint& to) const {
  ssize_t n =
      ::sendto(fd_, data.data(), data.size(), 0, to.address(), static_cast<socklen_t>(to.size()));
  EXPECT_EQ(n, static_cast<ssize_t>(data.size()));
}

std::optional<Received> UdpPeer::Receive(int timeout_ms) const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1)
    return std::nullopt;
  Received r;
  r.data.resize(65536);
  socklen_t length = sizeof r.from;
  ssize_t n = ::recvfrom(fd_, r.data.data(), r.data.size(), 0, r.from.address(), &length);
  if (n < 0)
    return std::nullopt;
  r.data.resize(static_cast<size_t>(n));
  return r;
}

int Settle(const std::function<int()>& count, std::optional<int> expected) {
  constexpr auto kDeadline = std::chrono::seconds(10);
  constexpr auto kPoll = std::chrono::milliseconds(10);
  constexpr int kSteadyReads = 10;  // the same figure over 100 ms
  auto deadline = std::chrono::steady_clock::now() + kDeadline;
  int figure = count();
  int same = 1;
  while (expected ? figure != *expected : same < kSteadyReads) {
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(kPoll);
    int now = count();
    same = now == figure ? same + 1 : 1;
    figure = now;
  }
  return figure;
}

namespace {
int CountEntriesNow(const std::string& proc_self_dir) {
  DIR* d = opendir(("/proc/self/" + proc_self_dir).c_str());
  if (d == nullptr)
    return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.')
      ++n;
  }
  closedir(d);
  return n - (proc_self_dir == "fd" ? 1 : 0);  // the directory's own descriptor
}
}  // namespace

int CountEntries(const std::string& proc_self_dir, std::optional<int> expected) {
  // Some runtimes (ThreadSanitizer's) start a thread of their own with the process's second
  // thread; have that happen before anything is counted.
  static const bool settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)settled;
  return Settle([&] { return CountEntriesNow(proc_self_dir); }, expected);
}

Bytes IpPacket(uint32_t source, uint32_t destination, uint8_t protocol, const Bytes& payload) {
  iphdr ip{};
  ip.version = 4;
  ip.ihl = 5;
  ip.ttl = 64;
  ip.protocol = protocol;
  ip.tot_len = htons(static_cast<uint16_t>(sizeof ip + payload.size()));
  ip.saddr = source;
  ip.daddr = destination;
  Bytes packet(reinterpret_cast<const unsigned char*>(&ip),
               reinterpret_cast<const unsigned char*>(&ip) + sizeof ip);
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

Bytes UdpPacket(const Endpoint& from, const Endpoint& to, const Bytes& payload) {
  udphdr udp{};
  udp.source = from.v4.sin_port;
  udp.dest = to.v4.sin_port;
  udp.len = htons(static_cast<uint16_t>(sizeof udp + payload.size()));  // no checksum
  Bytes datagram(reinterpret_cast<const unsigned char*>(&udp),
                 reinterpret_cast<const unsigned char*>(&udp) + sizeof udp);
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  return IpPacket(from.v4.sin_addr.s_addr, to.v4.sin_addr.s_addr, IPPROTO_UDP, datagram);
}

bool SendRaw(const Bytes& packet) {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (fd < 0)
    return false;
  Endpoint to = MakeEndpoint(reinterpret_cast<const iphdr*>(packet.data())->daddr, 0);
  bool sent = sendto(fd, packet.data(), packet.size(), 0, to.address(), sizeof to.v4) ==
              static_cast<ssize_t>(packet.size());
  close(fd);
  return sent;
}

bool SendForged(const Endpoint& from, const Endpoint& to, const Bytes& payload) {
  return SendRaw(UdpPacket(from, to, payload));
}

}  // namespace tavorin::testing
