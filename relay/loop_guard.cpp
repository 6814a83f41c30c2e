#include "relay/loop_guard.h"

#include "platform/udp_socket.h"

namespace tavorin {

namespace {
// Sources whose address is this host's beyond doubt: loopback, and the address the datagram
// itself was sent to.
bool PlainlyLocal(uint32_t address, uint32_t local_address) {
  return IsLoopbackOrUnspecified(address) || (local_address != 0 && address == local_address);
}

LoopGuard::Verdict OwnIfLocal(const Endpoint& source, uint32_t local_address) {
  return PlainlyLocal(source.sin_addr.s_addr, local_address) ? LoopGuard::Verdict::kDrop
                                                             : LoopGuard::Verdict::kDropIfLocal;
}
}  // namespace

void LoopGuard::AddServer(const Endpoint& server) {
  if (server_count_ < kMostServers) {
    servers_[server_count_++] = {server, IsAddressOfThisHost(server.sin_addr.s_addr)};
  }
}

void LoopGuard::AddListeningPort(uint16_t port) {
  int slot = port_count_.fetch_add(1, std::memory_order_relaxed);
  if (slot < kMostPorts && port != 0) {
    ports_[slot].store(htons(port), std::memory_order_release);
  }
}

LoopGuard::Verdict LoopGuard::Judge(const Endpoint& source, uint32_t local_address) const {
  for (int i = 0; i < server_count_; ++i) {
    const Server& server = servers_[i];
    if (source.sin_port != server.endpoint.sin_port)
      continue;
    if (source.sin_addr.s_addr == server.endpoint.sin_addr.s_addr)
      return Verdict::kDrop;
    if (server.on_this_host)
      return OwnIfLocal(source, local_address);
  }
  for (const auto& port : ports_) {
    if (source.sin_port == port.load(std::memory_order_acquire) && source.sin_port != 0)
      return OwnIfLocal(source, local_address);
  }
  const uint16_t port = ntohs(source.sin_port);
  if ((link_ports_[port / 64].load(std::memory_order_relaxed) >> (port % 64)) & 1)
    return OwnIfLocal(source, local_address);
  return Verdict::kRelay;
}

bool LoopGuard::PortTaken(uint16_t port) const {
  const uint16_t net = htons(port);
  for (int i = 0; i < server_count_; ++i) {
    if (servers_[i].on_this_host && servers_[i].endpoint.sin_port == net)
      return true;
  }
  for (const auto& taken : ports_) {
    if (net != 0 && taken.load(std::memory_order_acquire) == net)
      return true;
  }
  return false;
}

}  // namespace tavorin
