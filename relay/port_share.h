// What the links of one listening port share with their Listener, which owns it and outlives
// them: where the clients' datagrams go, the socket their replies leave from, the longest
// datagram carried, and the counts of what was not carried. The Listener sets the first three
// before it starts; a restart swaps the socket's handle, never the object, so a link reads it
// afresh at every send.
#pragma once

#include <cstddef>

#include "platform/endpoint.h"
#include "platform/udp_socket.h"
#include "relay/datagram.h"
#include "relay/port_counters.h"

namespace tavorin {

struct PortShare {
  Endpoint server{};
  UdpSocket socket;
  size_t max_datagram = kDefaultMaxDatagram;
  // Apart from what every datagram reads above, so that counting takes no line a reader needs.
  alignas(64) PortCounters counters;
};

}  // namespace tavorin
