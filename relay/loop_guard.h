// The sources a Listener never relays for: the relay's own endpoints (an address of this host
// with a listening port or a link's port) and the server's endpoints. A reply sent back to one of
// them comes straight back into the relay, so a single forged datagram would have the relay
// and the server pass datagrams between them until shutdown. One guard serves both Listeners.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/endpoint.h"
#include "relay/route.h"

namespace tavorin {

class LoopGuard {
 public:
  enum class Verdict {
    kRelay,        // an ordinary source
    kDrop,         // one of the relay's or the server's endpoints
    kDropIfLocal,  // one of them if its address is this host's, which only the system can tell
  };

  // Records a listening port (host order) once it is bound, before its receive thread starts;
  // the other Listener's thread may be reading meanwhile. Ports past the second are ignored.
  void AddListeningPort(uint16_t port);

  // Judges a datagram from `source` (an IPv4 one in IPv4 form) that was sent to this host's
  // address `local` (none when not known), with the servers of `route`, by what can be told at
  // no cost. Called for every datagram.
  Verdict Judge(const Endpoint& source, const Endpoint& local, const Route& route) const;

  // Judges a datagram that reached a link from `source`. One from a listening port of this
  // relay at an address of this host was sent by the relay itself, which never sends to its
  // own links: passed on, it would come back through the same link for ever. One from another
  // link's port at this host (loopback, or the server's address on this host) was sent by that
  // link, for its own client: passed on, it would reach this link's client; unless
  // `links_on_clients` (transparent links, each bound to its client's address), links hold
  // their ports on every address, so no server here can answer from one. The server's own
  // endpoints (those of `route`) are never turned away here (a server elsewhere may use the
  // relay's port numbers). Called for every reply.
  Verdict JudgeReply(const Endpoint& source, const Route& route,
                     bool links_on_clients = false) const;

  // Whether a socket of this host on `port` (host order) would take datagrams meant for the
  // relay, the server of `route` or a client: one of the listening ports, one of the server's
  // when the server runs on this host, or the port of a client that a link serves. A link must
  // not keep such a port, or it would receive what other links send to the server, or what
  // the relay sends to that client, and pass it to its own client; were that client the link's
  // own, the relay would pass it to itself for ever. Only a client of this host can be hurt,
  // but telling which clients are costs a query of the system each, so every client's port
  // is avoided: a link then takes another, which costs a bind.
  bool PortTaken(uint16_t port, const Route& route) const;

  // Whether this relay holds `port` (network order) on this host: a listening port or a port
  // a link holds. A datagram sent there from a link would reach the relay itself.
  bool HeldByRelay(uint16_t port_net) const;

  // The marks of one link in the guard: its client's port, from before it asks for a port of
  // its own, and then the port it holds. Released when the link ends (or the marks are
  // dropped), whichever thread that is on.
  class Marks {
   public:
    Marks() = default;
    Marks(LoopGuard* guard, uint16_t client_port);
    ~Marks() { Release(); }
    Marks(Marks&& other) noexcept { *this = std::move(other); }
    Marks& operator=(Marks&& other) noexcept;
    // Records the port (host order) the link holds.
    void HoldLinkPort(uint16_t port);
    void Release();

   private:
    LoopGuard* guard_ = nullptr;
    uint16_t client_port_ = 0;
    uint16_t link_port_ = 0;  // 0 until held
  };

 private:
  static constexpr int kMostPorts = 2;  // two Listeners

  bool Listening(uint16_t port_net) const;

  std::atomic<uint16_t> ports_[kMostPorts] = {};  // network order; 0 for none
  std::atomic<int> port_count_{0};
  // The links holding each port (both Listeners', any address: with transparent links, several
  // on one port number), read for every datagram: 256 KiB, apart from the guard itself.
  std::unique_ptr<std::atomic<uint32_t>[]> link_ports_ =
      std::make_unique<std::atomic<uint32_t>[]>(65536);
  // The links serving a client on each port (both Listeners', any address), read only when a
  // link is made: 256 KiB.
  std::unique_ptr<std::atomic<uint32_t>[]> client_ports_ =
      std::make_unique<std::atomic<uint32_t>[]>(65536);
};

}  // namespace tavorin
