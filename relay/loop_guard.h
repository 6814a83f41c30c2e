// The sources a Listener never relays for: the relay's own endpoints (an address of this host
// with a listening port or a link's port) and the server's endpoints. A reply sent back to one of
// them comes straight back into the relay, so a single forged datagram would have the relay
// and the server pass datagrams between them until shutdown. One guard serves both Listeners.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/endpoint.h"

namespace tavorin {

class LoopGuard {
 public:
  enum class Verdict {
    kRelay,        // an ordinary source
    kDrop,         // one of the relay's or the server's endpoints
    kDropIfLocal,  // one of them if its address is this host's, which only the system can tell
  };

  // Records a server endpoint. Before any Listener that uses the guard starts.
  void AddServer(const Endpoint& server);
  // Records a listening port (host order) once it is bound, before its receive thread starts;
  // the other Listener's thread may be reading meanwhile. Ports past the fourth are ignored.
  void AddListeningPort(uint16_t port);

  // Judges a datagram from `source` (an IPv4 one in IPv4 form) that was sent to this host's
  // address `local` (none when not known) by what can be told at no cost. Called for every
  // datagram.
  Verdict Judge(const Endpoint& source, const Endpoint& local) const;

  // Records a port (host order) that a link of either Listener holds, and lets it go when the
  // link closes: a source on this host with such a port is a link of this relay, and a cycle
  // between links needs no server at all. Any thread, at any time.
  void AddLinkPort(uint16_t port) {
    link_ports_[port / 64].fetch_or(uint64_t{1} << (port % 64), std::memory_order_relaxed);
  }
  void RemoveLinkPort(uint16_t port) {
    link_ports_[port / 64].fetch_and(~(uint64_t{1} << (port % 64)), std::memory_order_relaxed);
  }

  // Whether a socket of this host on `port` (host order) would take datagrams meant for the
  // relay or the server: one of the listening ports, or one of the server's when the server
  // runs on this host. A link must not keep such a port, or it would receive what other links
  // send to the server, and pass it to its own client.
  bool PortTaken(uint16_t port) const;

 private:
  static constexpr int kMostServers = 2;
  static constexpr int kMostPorts = 4;  // two Listeners, each restarted once

  struct Server {
    Endpoint endpoint;
    bool on_this_host;  // then any address of this host with its port is the server too
  };
  Server servers_[kMostServers] = {};
  int server_count_ = 0;
  std::atomic<uint16_t> ports_[kMostPorts] = {};  // network order; 0 for none
  std::atomic<int> port_count_{0};
  // One bit per port that a link holds: 8 KiB, a word read per datagram.
  std::atomic<uint64_t> link_ports_[65536 / 64] = {};
};

}  // namespace tavorin
