// What a Listener takes over from the previous run of the relay at its start: the listening
// socket, when it fits, and the links' sockets, each made a link again on its port. The app's
// side (what was passed in, sorted; what came of it, told) is app/handover.h.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/endpoint.h"
#include "platform/udp_socket.h"
#include "relay/client_table.h"
#include "relay/link_counters.h"
#include "relay/link_events.h"
#include "relay/port_share.h"
#include "relay/route.h"

namespace tavorin {

// A link's socket handed on, and what became of it.
struct TakenLink {
  enum class Fate : uint8_t {
    kWaiting,       // not looked at yet
    kTaken,         // the link relays on, on its port
    kPortChanged,   // the listening socket was not taken over: it is not on this port now
    kServerFamily,  // its socket cannot reach the server's family
    kTransparency,  // bound to its client's address or not, where links now are the other way
    kNoLink,        // no thread or memory to be had for it
  };
  Endpoint client;
  Endpoint reply_from;  // the local address its client sent to; unknown when not known
  UdpSocket socket;
  Fate fate = Fate::kWaiting;
  // Taken: its link's socket, as that link holds it (not a descriptor of its own), for the
  // caller to keep a copy of before any link is closed.
  SocketHandle held = kNoSocket;
};

// The sockets one Listener is handed.
struct Handover {
  UdpSocket listening;  // taken over when it fits the address and port the Listener starts on
  std::vector<TakenLink> links;
  bool listening_taken = false;
  // What the system had dropped on the listening socket taken over, all told (counted as
  // dropped by the system).
  uint32_t dropped_meanwhile = 0;
};

// Whether `socket` is bound where a Listener on `listen_address` and `port` listens: that
// address and port, or every IPv4 address where every address of both families is asked for
// (a system without IPv6).
bool FitsListening(const UdpSocket& socket, const Endpoint& listen_address, int32_t port);

// Where the links taken over go: the Listener's port, table and counters, and its log of links
// made (null when it keeps none).
struct TakeOverInto {
  PortShare& port;
  ClientTable& links;
  LinkCounters& counters;
  LinkMadeQueue* log;
};
// Makes each link of `handover` again on its socket, its return thread started and its record
// put (kTakenOver), each fate said; every link is closed when the listening socket was not
// taken over. Before the receive thread starts, so that what waits in the sockets is relayed
// as it would have been.
void TakeOverLinks(Handover& handover, const Route& route, const TakeOverInto& into);

}  // namespace tavorin
