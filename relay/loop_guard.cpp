#include "relay/loop_guard.h"

#include "platform/udp_socket.h"

namespace tavorin {

namespace {
// Sources whose address is this host's beyond doubt: loopback, and the address the datagram
// itself was sent to.
bool PlainlyLocal(const Endpoint& source, const Endpoint& local) {
  return IsLoopbackOrUnspecified(source) || (local.known() && SameAddress(source, local));
}

LoopGuard::Verdict OwnIfLocal(const Endpoint& source, const Endpoint& local) {
  return PlainlyLocal(source, local) ? LoopGuard::Verdict::kDrop : LoopGuard::Verdict::kDropIfLocal;
}
}  // namespace

void LoopGuard::AddServer(const Endpoint& server) {
  Servers servers = servers_.Get();
  if (servers.count < kMostServers) {
    // Sources come in IPv4 form whichever socket took them; so must the server.
    const Endpoint plain = Unmapped(server);
    servers.each[servers.count++] = {plain, IsAddressOfThisHost(plain)};
    servers_.Set(servers);
  }
}

void LoopGuard::SetServers(const Endpoint* servers, int count) {
  Servers set;
  for (int i = 0; i < count && i < kMostServers; ++i) {
    const Endpoint plain = Unmapped(servers[i]);
    set.each[set.count++] = {plain, IsAddressOfThisHost(plain)};
  }
  servers_.Set(set);
}

void LoopGuard::AddListeningPort(uint16_t port) {
  int slot = port_count_.fetch_add(1, std::memory_order_relaxed);
  if (slot < kMostPorts && port != 0) {
    ports_[slot].store(htons(port), std::memory_order_release);
  }
}

LoopGuard::Verdict LoopGuard::Judge(const Endpoint& source, const Endpoint& local) const {
  const uint16_t source_port = source.port_net();
  const Servers& servers = servers_.Get();
  for (int i = 0; i < servers.count; ++i) {
    const Server& server = servers.each[i];
    if (source_port != server.endpoint.port_net())
      continue;
    if (SameAddress(source, server.endpoint))
      return Verdict::kDrop;
    if (server.on_this_host)
      return OwnIfLocal(source, local);
  }
  for (const auto& port : ports_) {
    if (source_port == port.load(std::memory_order_acquire) && source_port != 0)
      return OwnIfLocal(source, local);
  }
  const uint16_t port = ntohs(source_port);
  if ((link_ports_[port / 64].load(std::memory_order_relaxed) >> (port % 64)) & 1)
    return OwnIfLocal(source, local);
  return Verdict::kRelay;
}

LoopGuard::Verdict LoopGuard::JudgeReply(const Endpoint& source) const {
  const uint16_t source_port = source.port_net();
  bool listening = false;
  for (const auto& port : ports_) {
    listening =
        listening || (source_port == port.load(std::memory_order_acquire) && source_port != 0);
  }
  if (!listening)
    return Verdict::kRelay;
  const Servers& servers = servers_.Get();
  for (int i = 0; i < servers.count; ++i) {
    if (SameAddressAndPort(source, servers.each[i].endpoint))
      return Verdict::kRelay;
  }
  return IsLoopbackOrUnspecified(source) ? Verdict::kDrop : Verdict::kDropIfLocal;
}

bool LoopGuard::PortTaken(uint16_t port) const {
  if (client_ports_[port].load(std::memory_order_relaxed) != 0)
    return true;
  const uint16_t net = htons(port);
  const Servers& servers = servers_.Get();
  for (int i = 0; i < servers.count; ++i) {
    if (servers.each[i].on_this_host && servers.each[i].endpoint.port_net() == net)
      return true;
  }
  for (const auto& taken : ports_) {
    if (net != 0 && taken.load(std::memory_order_acquire) == net)
      return true;
  }
  return false;
}

}  // namespace tavorin
