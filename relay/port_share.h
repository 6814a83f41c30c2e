// What the links of one listening port share with their Listener, which owns it and outlives
// them: where the clients' datagrams go, the socket their replies leave from, the longest
// datagram carried, whom a link takes replies from, and the counts of what was carried and not.
// The longest datagram is set before the Listener starts; the server, the rate, whom replies
// are taken from and whether links follow the server's port may change while it runs (a reload),
// each read afresh where it is used. A restart swaps the socket's handle, never the object, so a
// link reads it afresh at every send.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"
#include "platform/udp_socket.h"
#include "relay/datagram.h"
#include "relay/loop_guard.h"
#include "relay/port_counters.h"
#include "relay/published.h"

namespace tavorin {

struct PortShare {
  Published<Endpoint> server;
  UdpSocket socket;
  size_t max_datagram = kDefaultMaxDatagram;
  // Whether a link passes on only datagrams from the server's address (from any of its ports);
  // by default whatever reaches a link's port goes to its client.
  std::atomic<bool> replies_from_server_only{false};
  // Whether each link sends to the port the server's address last answered it from (a TFTP
  // server's transfer port) rather than to the server's own port; see ClientLink::Follow.
  std::atomic<bool> follow_server_port{false};
  // The most datagrams a second one client may send to the server, with a small burst over it;
  // 0 sets no limit.
  std::atomic<uint32_t> client_rate{0};
  // Whether every datagram a link sends to the server starts with a header naming its client
  // and the relay's address and port it sent to (relay/proxy_header.h). Set before the
  // Listener starts.
  bool proxy_header = false;
  // The listening socket's address and port, where a link's client is told to have sent when
  // the system does not say which address it sent to; set when the Listener starts.
  Endpoint listening;
  // Whether each link's socket takes its client's address (a transparent socket), so that the
  // server sees the client's; else the unspecified address of the server's family. Set before
  // the Listener starts.
  bool transparent = false;
  // The ports a link must not keep (the relay's own and the server's), and where a link
  // records its own; none without a guard.
  LoopGuard* guard = nullptr;
  // Apart from what every datagram reads above, so that counting takes no line a reader needs.
  alignas(64) PortCounters counters;
};

}  // namespace tavorin
