// What the links of one listening port share with their Listener, which owns it and outlives
// them: where the clients' datagrams go and the rules the links go by (the route, which a
// reload replaces whole while they run), the socket their replies leave from, the longest
// datagram carried, and the counts of what was carried and not. Everything but the route is set
// before the Listener starts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"
#include "platform/udp_socket.h"
#include "relay/datagram.h"
#include "relay/loop_guard.h"
#include "relay/network_list.h"
#include "relay/port_counters.h"
#include "relay/route.h"

namespace tavorin {

struct PortShare {
  // The route the links read (the Listener's own, or one both Listeners share), and which of
  // its servers is this port's.
  const PublishedRoute* route = nullptr;
  int which = 0;
  // This port's server in the route as it is now.
  const Route::Server& server() const { return route->Get().servers[which]; }
  UdpSocket socket;
  size_t max_datagram = kDefaultMaxDatagram;
  // Whether every datagram a link sends to the server starts with a header naming its client
  // and the relay's address and port it sent to (relay/proxy_header.h). Set before the
  // Listener starts.
  bool proxy_header = false;
  // With proxy_header: the header goes only ahead of a link's first datagram (until one has
  // gone with it). Set before the Listener starts.
  bool proxy_header_once = false;
  // The relays in front, whose datagrams start with a header naming their client: it is taken
  // off, and that client is the link's (relay/proxy_header.h). Read for a new client alone; set
  // before the Listener starts.
  NetworkList fronts;
  // The listening socket's address and port, where a link's client is told to have sent when
  // the system does not say which address it sent to; set when the Listener starts.
  Endpoint listening;
  // Whether each link's socket takes its client's address (a transparent socket), so that the
  // server sees the client's; else the unspecified address of the server's family. Set before
  // the Listener starts.
  bool transparent = false;
  // Whether the service manager keeps a descriptor of every socket of this port for the next
  // run of the relay: then no socket is ever shut down (that would shut the kept one down too),
  // and a thread is woken by a signal instead. Set before the Listener starts.
  bool kept = false;
  // The ports a link must not keep (the relay's own and the server's), and where a link
  // records its own; none without a guard.
  LoopGuard* guard = nullptr;
  // Apart from what every datagram reads above, so that counting takes no line a reader needs.
  alignas(64) PortCounters counters;
};

}  // namespace tavorin
