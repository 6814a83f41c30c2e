#include "relay/link_handover.h"

#include <chrono>
#include <memory>
#include <new>
#include <utility>

#include "relay/client_link.h"

namespace tavorin {

bool FitsListening(const UdpSocket& socket, const Endpoint& listen_address, int32_t port) {
  Endpoint local = listen_address;
  local.set_port_net(htons(static_cast<uint16_t>(static_cast<uint32_t>(port))));
  const Endpoint bound = socket.LocalAddress();
  if (SameAddressAndPort(bound, local))
    return true;
  Endpoint v4 = EveryAddress(false);
  v4.set_port_net(local.port_net());
  return SameAddressAndPort(listen_address, EveryAddress(true)) && SameAddressAndPort(bound, v4);
}

void TakeOverLinks(Handover& handover, const Route& route, const TakeOverInto& into) {
  using Fate = TakenLink::Fate;
  for (TakenLink& taken : handover.links) {
    if (!handover.listening_taken) {
      taken.socket.Close();
      taken.fate = Fate::kPortChanged;
      continue;
    }
    // A transparent link's socket holds its client's address; any other, every address.
    const Endpoint bound = taken.socket.LocalAddress();
    if (into.port.transparent == SameAddress(bound, EveryAddress(bound.is_v6()))) {
      taken.socket.Close();
      taken.fate = Fate::kTransparency;
      continue;
    }
    std::unique_ptr<ClientLink> link;
    try {
      link = std::make_unique<ClientLink>(taken.client, into.port, taken.reply_from);
    } catch (const std::bad_alloc&) {
      taken.socket.Close();
      taken.fate = Fate::kNoLink;
      continue;
    }
    if (Outcome started = link->TakeOver(std::move(taken.socket), route); !started) {
      taken.fate = started.error() == kNoAddressFamily ? Fate::kServerFamily : Fate::kNoLink;
      continue;
    }
    ClientLink* const made = link.get();
    if (!into.links.AddHead(link)) {
      taken.fate = Fate::kNoLink;
      continue;
    }
    into.links.head()->quiet_since = std::chrono::steady_clock::now();
    into.counters.CountTakenOver();
    taken.fate = Fate::kTaken;
    taken.held = made->socket().handle();
    // For the log alone: the caller keeps the socket (kept).
    if (into.log != nullptr && into.log->enabled()) {
      into.log->Put({std::chrono::system_clock::now(), made->client(), made->LocalPort(),
                     LinkMade::Kind::kTakenOver, made->reply_from()});
    }
  }
}

}  // namespace tavorin
