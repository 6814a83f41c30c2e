// What the previous run of the relay handed on, taken over at the start: the sockets passed in
// sorted by Listener and checked against their records, both Listeners started over them, the
// store told what was taken and what let go, and the lines that tell it. The Listener's own
// part, making links again on their sockets, is relay/link_handover.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/socket_store.h"
#include "platform/endpoint.h"
#include "platform/service_notify.h"
#include "platform/socket_carrier.h"
#include "relay/link_handover.h"
#include "relay/listener.h"

namespace tavorin {

// The name a link's socket had in a store of one name a link.
std::string LinkSocketName(int which, uint16_t link_port, const Endpoint& client,
                           const Endpoint& reply_from);
// What such a name says; none when it names no link.
struct NamedLink {
  int which;
  Endpoint client;
  Endpoint reply_from;  // unknown when the name has none
  uint16_t link_port;
};
std::optional<NamedLink> ParseLinkSocketName(std::string_view name);

// The sockets passed in at the start, sorted by Listener.
struct Handovers {
  Handover of[2];
  // The carriers, emptied, to be used again under their numbers.
  std::vector<std::pair<SocketCarrier, size_t>> carriers;
  // Names the manager is to let go of: what none of the Listeners can take (a name this relay
  // never gives, no UDP socket at all, half a carrier) and the names of one link each.
  std::vector<std::string> forget;
  // Names under which nothing of this relay's was passed, closed.
  std::vector<std::string> strangers;
  // Sockets closed because they did not match their records: another port or family than the
  // record says, one socket under two records, a record without a socket or a socket without
  // one.
  uint32_t mismatched = 0;
  // Whether a listening socket passed in that fits neither Listener was let go: it may hold
  // the port a moment longer.
  bool listening_let_go = false;
  bool any() const {
    return of[0].listening.IsOpen() || of[1].listening.IsOpen() || !of[0].links.empty() ||
           !of[1].links.empty() || !forget.empty() || !carriers.empty() || mismatched != 0;
  }
};
Handovers SortPassedSockets(std::vector<PassedSocket> passed);

// A listening socket handed on that does not fit its Listener on `ports` (another address, or
// P moved by one) may hold the very port the other is to bind: each is closed, and the manager
// let go of it, before either Listener starts.
void LetGoUnfit(Listener* const (&listeners)[2], const int32_t (&ports)[2], Handovers& handovers,
                SocketStore& store);
// Starts `listener` on `port` over handover `which`, trying the bind again for up to 3 s while
// the port is in use and a listening socket handed on was let go.
Outcome StartOver(Listener& listener, int which, int32_t port, Handovers& handovers);

// What the start did with the sockets passed in, told to the store: the carriers used again,
// the links taken over carried anew, what was not taken over forgotten. Returns the lines that
// tell it, none when nothing was passed in.
std::vector<std::string> TakenOver(Handovers& handovers, SocketStore& store);

}  // namespace tavorin
