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

void LoopGuard::AddListeningPort(uint16_t port) {
  int slot = port_count_.fetch_add(1, std::memory_order_relaxed);
  if (slot < kMostPorts && port != 0) {
    ports_[slot].store(htons(port), std::memory_order_release);
  }
}

bool LoopGuard::Listening(uint16_t port_net) const {
  bool listening = false;
  for (const auto& port : ports_)
    listening = listening || (port_net == port.load(std::memory_order_acquire) && port_net != 0);
  return listening;
}

bool LoopGuard::HeldByRelay(uint16_t port_net) const {
  return Listening(port_net) || link_ports_[ntohs(port_net)].load(std::memory_order_relaxed) != 0;
}

LoopGuard::Verdict LoopGuard::Judge(const Endpoint& source, const Endpoint& local,
                                    const Route& route) const {
  const uint16_t source_port = source.port_net();
  for (const Route::Server& server : route.servers) {
    if (!server.plain.known() || source_port != server.plain.port_net())
      continue;
    if (SameAddress(source, server.plain))
      return Verdict::kDrop;
    if (server.on_this_host)
      return OwnIfLocal(source, local);
  }
  if (HeldByRelay(source_port))
    return OwnIfLocal(source, local);
  return Verdict::kRelay;
}

LoopGuard::Verdict LoopGuard::JudgeReply(const Endpoint& source, const Route& route,
                                         bool links_on_clients) const {
  if (!links_on_clients &&
      link_ports_[ntohs(source.port_net())].load(std::memory_order_relaxed) != 0) {
    bool here = IsLoopbackOrUnspecified(source);
    for (const Route::Server& server : route.servers)
      here = here || (server.on_this_host && SameAddress(source, server.plain));
    if (here)
      return Verdict::kDrop;
  }
  if (!Listening(source.port_net()))
    return Verdict::kRelay;
  for (const Route::Server& server : route.servers) {
    if (server.plain.known() && SameAddressAndPort(source, server.plain))
      return Verdict::kRelay;
  }
  return IsLoopbackOrUnspecified(source) ? Verdict::kDrop : Verdict::kDropIfLocal;
}

bool LoopGuard::PortTaken(uint16_t port, const Route& route) const {
  if (client_ports_[port].load(std::memory_order_relaxed) != 0)
    return true;
  const uint16_t net = htons(port);
  for (const Route::Server& server : route.servers) {
    if (server.on_this_host && server.plain.port_net() == net)
      return true;
  }
  return Listening(net);
}

LoopGuard::Marks::Marks(LoopGuard* guard, uint16_t client_port)
    : guard_(guard), client_port_(client_port) {
  if (guard_ != nullptr)
    guard_->client_ports_[client_port_].fetch_add(1, std::memory_order_relaxed);
}

LoopGuard::Marks& LoopGuard::Marks::operator=(Marks&& other) noexcept {
  if (this != &other) {
    Release();
    guard_ = std::exchange(other.guard_, nullptr);
    client_port_ = other.client_port_;
    link_port_ = std::exchange(other.link_port_, 0);
  }
  return *this;
}

void LoopGuard::Marks::HoldLinkPort(uint16_t port) {
  if (guard_ == nullptr || port == 0)
    return;
  guard_->link_ports_[port].fetch_add(1, std::memory_order_relaxed);
  if (link_port_ != 0)
    guard_->link_ports_[link_port_].fetch_sub(1, std::memory_order_relaxed);
  link_port_ = port;
}

void LoopGuard::Marks::Release() {
  if (guard_ == nullptr)
    return;
  if (link_port_ != 0)
    guard_->link_ports_[link_port_].fetch_sub(1, std::memory_order_relaxed);
  guard_->client_ports_[client_port_].fetch_sub(1, std::memory_order_relaxed);
  guard_ = nullptr;
  link_port_ = 0;
}

}  // namespace tavorin
