// One listening UDP port of the relay: a receive thread that hands every datagram to the
// link of its source, creating a link for a source not seen before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/endpoint.h"
#include "platform/outcome.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "relay/client_table.h"
#include "relay/link_counters.h"
#include "relay/loop_guard.h"
#include "relay/port_share.h"

namespace tavorin {

class Listener {
 public:
  Listener() = default;
  // Stops the Listener if it runs, then destroys every link.
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds every local address on the low 16 bits of `port` (0 lets the system choose) and
  // starts the receive thread. A started Listener is stopped first and keeps its links.
  // When the port cannot be bound or no thread can be had, no thread is started and the
  // outcome says which and why.
  Outcome Start(int32_t port);

  // Ends the receive thread and shuts the listening socket down; the links stay, and a reply
  // that reaches one of them is no longer delivered. Harmless when not started.
  void Stop();

  // Whether the receive thread has been started and not stopped since.
  bool Started() const { return thread_.Started(); }

  // Where this Listener's clients' datagrams go. Set before Start.
  void SetServer(const Endpoint& server) { port_.server = server; }
  const Endpoint& server() const { return port_.server; }

  // The longest datagram carried, both ways (1 to kLargestDatagram; the default is
  // kDefaultMaxDatagram). Set before Start.
  void SetMaxDatagram(size_t bytes) { port_.max_datagram = bytes; }

  // The guard whose sources are never relayed; Start records the listening port in it. Set
  // before Start; the guard outlives the Listener. Without one every source is relayed.
  void SetLoopGuard(LoopGuard* guard) { guard_ = guard; }

  // The listening socket, which every link's return thread sends on.
  const UdpSocket& socket() const { return port_.socket; }
  uint16_t LocalPort() const { return port_.socket.LocalPort(); }
  // What this Listener's links share with it.
  PortShare& port() { return port_; }

  // The newest link whose client has the address and port of `source`, or null.
  ClientLink* FindClient(const Endpoint& source) const;

  const ClientTable& links() const { return links_; }
  // Links made and new clients refused, for reports from other threads.
  const LinkCounters& counters() const { return counters_; }
  // Datagrams not carried, both ways, for reports from other threads.
  const PortCounters& port_counters() const { return port_.counters; }

 private:
  // Tests and the fuzz target play the receive thread through it.
  friend class ListenerProbe;

  static void ListenerThread(void* self);
  // Relays what one receive brought: empty and oversize datagrams and those from a guarded
  // source are dropped, anything else goes to the server through its source's link, made if
  // need be. Only the receive thread calls this while the Listener runs.
  void RelayBatch(const ReceiveSlot* slots, int count);
  // The guard's verdict on a source, kRelay without a guard.
  LoopGuard::Verdict Judge(const Endpoint& source, uint32_t local_address) const;
  // Makes, starts and enters a link for a new client, carrying its first datagram. When no
  // link can be had the datagram is dropped and the refusal counted; a source the guard
  // doubted is dropped if its address turns out to be this host's.
  void AddClient(const ReceiveSlot& slot, LoopGuard::Verdict verdict);

  StoppableThread thread_;
  ClientTable links_;
  PortShare port_;
  // Sockets given up by a restart. Return threads may still be sending on one, so each is
  // closed only once the links are gone.
  std::vector<UdpSocket> retired_;
  LoopGuard* guard_ = nullptr;
  LinkCounters counters_;
};

}  // namespace tavorin
