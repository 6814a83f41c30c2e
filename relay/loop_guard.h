// The sources a Listener never relays for: the relay's own endpoints (an address of this host
// with a listening port or a link's port) and the server's endpoints. A reply sent back to one of
// them comes straight back into the relay, so a single forged datagram would have the relay
// and the server pass datagrams between them until shutdown. One guard serves both Listeners.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/endpoint.h"
#include "relay/published.h"

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
  // Puts `count` endpoints in place of the servers recorded, while Listeners run (a reload).
  void SetServers(const Endpoint* servers, int count);
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

  // Judges a datagram that reached a link from `source`. One from a listening port of this
  // relay at an address of this host was sent by the relay itself, which never sends to its
  // own links: passed on, it would come back through the same link for ever. The server's own
  // endpoints are never turned away here (a server elsewhere may use the relay's port
  // numbers). Called for every reply.
  Verdict JudgeReply(const Endpoint& source) const;

  // Records the port (host order) of a client that a link of either Listener serves, and lets
  // it go when the link closes. Any thread, at any time.
  void AddClientPort(uint16_t port) { client_ports_[port].fetch_add(1, std::memory_order_relaxed); }
  void RemoveClientPort(uint16_t port) {
    client_ports_[port].fetch_sub(1, std::memory_order_relaxed);
  }

  // Whether a socket of this host on `port` (host order) would take datagrams meant for the
  // relay, the server or a client: one of the listening ports, one of the server's when the
  // server runs on this host, or the port of a client that a link serves. A link must not
  // keep such a port, or it would receive what other links send to the server, or what the
  // relay sends to that client, and pass it to its own client; were that client the link's
  // own, the relay would pass it to itself for ever. Only a client of this host can be hurt,
  // but telling which clients are costs a query of the system each, so every client's port
  // is avoided: a link then takes another, which costs a bind.
  bool PortTaken(uint16_t port) const;

 private:
  static constexpr int kMostServers = 2;
  static constexpr int kMostPorts = 4;  // two Listeners, each restarted once

  struct Server {
    Endpoint endpoint;
    bool on_this_host;  // then any address of this host with its port is the server too
  };
  struct Servers {
    Server each[kMostServers] = {};
    int count = 0;
  };
  Published<Servers> servers_;
  std::atomic<uint16_t> ports_[kMostPorts] = {};  // network order; 0 for none
  std::atomic<int> port_count_{0};
  // One bit per port that a link holds: 8 KiB, a word read per datagram.
  std::atomic<uint64_t> link_ports_[65536 / 64] = {};
  // The links serving a client on each port (both Listeners', any address), read only when a
  // link is made: 256 KiB, apart from the guard itself.
  std::unique_ptr<std::atomic<uint32_t>[]> client_ports_ =
      std::make_unique<std::atomic<uint32_t>[]>(65536);
};

}  // namespace tavorin
