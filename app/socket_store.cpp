#include "app/socket_store.h"

#include <utility>

namespace tavorin {

std::string ListeningSocketName(int which) {
  return which == 0 ? "listen_P" : "listen_P+1";
}

std::string CarrierName(size_t number, bool in) {
  return "links_" + std::to_string(number) + (in ? "_in" : "_out");
}

SocketStore::SocketStore(ServiceNotifier& service)
    : service_(service), carried_([this](const SocketCarrier& carrier, size_t number) {
        // The carrier's own ends: the manager keeps descriptors of its own of them, unwatched,
        // as each end's peer hangs up when this process ends.
        Queue(CarrierName(number, true), carrier.in(), false);
        Queue(CarrierName(number, false), carrier.out(), false);
      }) {}

SocketStore::~SocketStore() {
  for (Message& message : waiting_) {
    if (message.owned)
      UdpSocket::Adopt(message.socket);  // closed
  }
}

void SocketStore::Queue(std::string name, SocketHandle socket, bool owned) {
  if (!enabled()) {
    if (owned)
      UdpSocket::Adopt(socket);
    return;
  }
  waiting_.push_back({std::move(name), socket, owned});
}

void SocketStore::Started(const Listener& listener, int which, bool taken_over) {
  if (!taken_over)
    Queue(ListeningSocketName(which), listener.socket().Duplicate());
}

void SocketStore::AdoptCarrier(SocketCarrier carrier, size_t number) {
  carried_.Adopt(std::move(carrier), number);
}

void SocketStore::Carry(int which, const Endpoint& client, const Endpoint& reply_from,
                        SocketHandle second) {
  UdpSocket kept = UdpSocket::Adopt(second);
  if (!enabled() || !kept.IsOpen())
    return;  // closed
  // Read before the descriptor is handed on.
  const CarriedLink link{which, client, reply_from, kept.LocalPort(), kept.is_v6(), 0};
  carried_.Add(link, kept.Release());
}

void SocketStore::Made(int which, const LinkMade& record) {
  if (record.kept != kNoSocket)
    Carry(which, record.client, record.reply_from, record.kept);
}

void SocketStore::Closed(int which, const ClientLink& link, LinkEnd why) {
  if (why != LinkEnd::kShutdown)
    carried_.Remove(which, link.client());
}

void SocketStore::Send(Clock::time_point now) {
  if (!enabled())
    return;
  carried_.Flush(now);
  while (!waiting_.empty()) {
    Message& next = waiting_.front();
    const bool sent = next.socket == kNoSocket
                          ? service_.ForgetSocket(next.name)
                          : service_.StoreSocket(next.socket, next.name, next.owned);
    if (!sent)
      return;
    if (next.owned && next.socket != kNoSocket)
      UdpSocket::Adopt(next.socket);  // closed: the manager has its own now
    waiting_.pop_front();
  }
}

}  // namespace tavorin
