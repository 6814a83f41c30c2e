// One listening UDP port of the relay: a receive thread that hands every datagram to the
// link of its source, creating a link for a source not seen before.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/endpoint.h"
#include "platform/outcome.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "relay/client_table.h"
#include "relay/expiry_queue.h"
#include "relay/link_counters.h"
#include "relay/link_events.h"
#include "relay/link_handover.h"
#include "relay/loop_guard.h"
#include "relay/port_share.h"
#include "relay/refused_clients.h"
#include "relay/route.h"
#include "relay/turn_answer.h"

namespace tavorin {

class Listener {
 public:
  Listener();
  // Stops the Listener if it runs, then closes every link (CloseAll) and the listening socket.
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds the listening address on the low 16 bits of `port` (0 lets the system choose) and
  // starts the receive thread. Once: a Listener that has a socket refuses.
  // When the port cannot be bound or no thread can be had, no thread is started and the
  // outcome says which and why. Where the system has no IPv6, or the IPv6 half of every local
  // address cannot be had, every IPv4 address is bound instead (refused_options says why,
  // unless IPv6 is missing altogether).
  Outcome Start(int32_t port) { return Start(port, nullptr); }

  // Sockets the previous run of the relay handed on: its listening socket and its links'
  // (relay/link_handover.h).
  using TakenLink = tavorin::TakenLink;
  using Handover = tavorin::Handover;
  // Start, taking over what `handover` holds that fits: the listening socket in place of a new
  // one, and each link on it, its return thread started and its record put (kTakenOver), before
  // the receive thread starts, so that what waits in the sockets is relayed as it would have
  // been. What does not fit is closed, each link's fate said. Sockets that a client or the
  // server sent to meanwhile hold their datagrams.
  Outcome Start(int32_t port, Handover* handover);
  // Whether Start would take `socket` over as the listening socket of `port`: bound to the
  // listening address and that port, or to every IPv4 address where every address of both
  // families is asked for (a system without IPv6).
  bool Fits(const UdpSocket& socket, int32_t port) const {
    return FitsListening(socket, listen_address_, port);
  }

  // While draining, a new client is refused (Step::kDraining) and the links held relay on.
  // Any time, from any thread.
  void SetDraining(bool draining) { draining_.store(draining, std::memory_order_relaxed); }

  // A link held, as another thread may see it.
  struct LinkView {
    Endpoint client;
    uint16_t link_port;
    std::chrono::steady_clock::time_point made;
    Traffic to_server;
    Traffic to_client;
    uint16_t server_port;  // the port it last sent to; 0 before its first send
  };
  // The links held now, newest first, as the receive thread lists them at its next turn (within
  // a tenth of a second); none when it does not do so within `most` (it does not run). Any
  // thread but the receive thread.
  std::optional<std::vector<LinkView>> HeldLinks(std::chrono::milliseconds most);

  // Has every socket of this Listener's links handed to the main thread to be kept by the
  // service manager (LinkMade::kept), and no socket ever shut down (PortShare::kept). Before
  // Start.
  void KeepSockets();

  // The address to listen on, of either family, port aside; by default every local address of
  // both families (::). Set before Start.
  void SetListenAddress(const Endpoint& address) { listen_address_ = address; }

  // Whether each link's socket is bound to its client's address with the system's transparent
  // option, so that the server sees the client's address; a client of another family than the
  // server's, or whose address cannot be bound, is refused. Off by default. Set before Start.
  void SetTransparent(bool transparent) { port_.transparent = transparent; }

  // Ends the receive thread and shuts the listening socket down; the links stay, and a reply
  // that reaches one of them is no longer delivered. Harmless when not started.
  void Stop();

  // Whether the receive thread has been started and not stopped since.
  bool Started() const { return thread_.Started(); }

  // Where this Listener's clients' datagrams go, and the rules its links go by: the route,
  // which is the Listener's own unless it is given one that both Listeners share (the
  // program's), with `which` the server of it that is this Listener's (0: S, 1: S + 1). Set
  // before Start; a shared route is published by its owner, and read afresh where it is used,
  // so a change holds from the next datagram, or the next sweep, on.
  void SetRoute(PublishedRoute* shared, int which);
  const PublishedRoute& route() const { return *port_.route; }
  // For a Listener with its own route: a new server, when every link's next datagram goes to
  // it and the ports links followed (LinkRules::follow_server_port) are forgotten (the same
  // endpoint again changes nothing: links keep the ports they follow); or new rules.
  void SetServer(const Endpoint& server);
  const Endpoint& server() const { return port_.server().endpoint; }
  using Rules = LinkRules;

  // The longest datagram carried, both ways (1 to kLargestDatagram; the default is
  // kDefaultMaxDatagram). Set before Start.
  void SetMaxDatagram(size_t bytes) { port_.max_datagram = bytes; }

  // Whether every datagram to the server starts with a header naming its client and the
  // address and port the client sent to (relay/proxy_header.h); replies go back as they come.
  // Set before Start: each link builds its header when it is made.
  void SetProxyHeader(bool on) { port_.proxy_header = on; }

  void SetRules(const Rules& rules);
  // Keeps a record of every link made (made_records), for a log of links, or with false no
  // longer. Any time.
  void KeepLinkRecords(bool keep = true);
  // Keeps the totals of what was relayed (port_counters), or with false no longer. Any time.
  void CountRelayed(bool count = true) {
    port_.counters.counting_relayed.store(count, std::memory_order_relaxed);
  }

  // The guard whose sources are never relayed; Start records the listening port in it. Set
  // before Start; the guard outlives the Listener. Without one every source is relayed.
  void SetLoopGuard(LoopGuard* guard) {
    guard_ = guard;
    port_.guard = guard;
  }

  // The listening socket, which every link's return thread sends on.
  const UdpSocket& socket() const { return port_.socket; }
  uint16_t LocalPort() const { return port_.socket.LocalPort(); }
  // What this Listener's links share with it.
  PortShare& port() { return port_; }

  // The newest link whose client has the address and port of `source`, or null.
  ClientLink* FindClient(const Endpoint& source) const;

  const ClientTable& links() const { return links_; }
  // Links made, and new clients and their datagrams refused, for reports from other threads.
  const LinkCounters& counters() const { return counters_; }
  // Datagrams carried and not carried, both ways, for reports from other threads.
  const PortCounters& port_counters() const { return port_.counters; }
  // The links made, when records are kept; the thread that keeps the log takes them.
  LinkMadeQueue& made_records() { return made_records_; }
  const LinkMadeQueue& made_records() const { return made_records_; }

  using LinkEnd = tavorin::LinkEnd;
  using LinkClosed = tavorin::LinkClosed;

  // Closes up to `most` of the links that have expired, those that expired first first: their
  // threads are woken together, scheduled to run only when no relaying thread wants the
  // processor, then joined; each is told to `closed` (may be empty) and destroyed, its socket
  // closed. Returns how many were closed. For one thread at a time (the program's main
  // thread), while the receive thread runs or not.
  size_t CloseExpired(size_t most, const LinkClosed& closed);

  // Stops the Listener if it runs, then closes every link: those expired and not yet closed
  // (as each was closed for), then the table's, newest first (kShutdown); all are woken at
  // once, then joined and told to `closed` in that order. The listening socket stays open
  // until the Listener goes. On the thread that calls CloseExpired.
  void CloseAll(const LinkClosed& closed);

  // What the receive thread did when the server moved to the other family (see
  // ClientLink::MoveTo): links that kept their ports (their sockets reach the server as they
  // are, or were opened anew in its family), and links closed.
  struct FamilyMove {
    uint32_t kept = 0;
    uint32_t closed = 0;
  };
  // Waits, up to `most`, until the receive thread has taken the route of `version` (at once
  // when it does not run: then this thread takes it), and tells what it did to the links.
  // None when the receive thread did not take it in time, or has stopped without it.
  std::optional<FamilyMove> AwaitRoute(uint64_t version, std::chrono::milliseconds most);

  // A socket option the system refused when the Listener started: which, and its error.
  struct RefusedOption {
    const char* what;
    int error;
  };
  const std::vector<RefusedOption>& refused_options() const { return refused_options_; }

 private:
  // Tests and the fuzz target play the receive thread through it.
  friend class ListenerProbe;

  static void ListenerThread(void* self);
  // Relays what one receive brought: empty and oversize datagrams and those from a guarded
  // source are dropped, anything else goes to the server through its source's link, made if
  // need be. Only the receive thread calls this while the Listener runs.
  void RelayBatch(const ReceiveSlot* slots, int count);
  // The guard's verdict on a source under `route`, kRelay without a guard.
  LoopGuard::Verdict Judge(const Endpoint& source, const Endpoint& local, const Route& route) const;
  // Once for every route published: links whose sockets cannot reach a server moved to the
  // other family move to it, on their own ports, or are closed.
  void TakeRoute(const PublishedRoute::Versioned& route);
  // Puts `record` for the log and the service manager, a descriptor of `link`'s socket with it
  // when sockets are kept.
  void PutRecord(LinkMade record, const ClientLink& link);
  // Makes, starts and enters a link for a new client, carrying its first datagram. When no
  // link can be had, or the limit on links is reached, the datagram is dropped and the
  // refusal counted; a source the guard doubted is dropped if its address turns out to be
  // this host's.
  void AddClient(const ReceiveSlot& slot, LoopGuard::Verdict verdict,
                 const PublishedRoute::Versioned& route, std::chrono::steady_clock::time_point now);
  // Counts the datagram of `client`, for which no link could be had, and the client once in a
  // run of refusals.
  void Refuse(const Endpoint& client, const Outcome& why);
  // Looks at the next few thousand links for one that has been idle too long, at most every
  // tenth of a second, so that no batch waits long for it; every link is seen about once a
  // second.
  void SweepIdle(std::chrono::steady_clock::time_point now, std::chrono::milliseconds idle);
  // Takes the link of `node` out of the table and onto the list of expired links, to be
  // closed for `why`, unless no room for it can be had there (then false: the next sweep tries
  // again).
  bool Retire(ClientNode* node, LinkEnd why);
  // Lists the links for HeldLinks when they are asked for; never waits for the lock.
  void ListLinks();

  StoppableThread thread_;
  ClientTable links_;
  std::atomic<bool> draining_{false};
  // HeldLinks asks, the receive thread lists them under the lock (when it can have it at
  // once) and answers.
  TurnAnswer listed_answer_;
  std::mutex listed_lock_;
  std::vector<LinkView> listed_;  // under listed_lock_
  PortShare port_;
  LoopGuard* guard_ = nullptr;
  Endpoint listen_address_ = EveryAddress(true);
  LinkCounters counters_;
  RefusedClients refused_clients_;  // the receive thread's
  PublishedRoute own_route_;
  PublishedRoute* route_ = &own_route_;  // the same as port_.route
  // The version of the route the receive thread took last (its own), and, for other threads,
  // what it did to the links then (FamilyMove), answered as the version plus one.
  uint64_t route_taken_ = UINT64_MAX;
  TurnAnswer route_answer_;
  std::atomic<uint32_t> family_kept_{0};
  std::atomic<uint32_t> family_closed_{0};
  LinkMadeQueue made_records_;
  bool keep_records_ = false;  // for the link log
  std::vector<RefusedOption> refused_options_;
  // The receive thread's place in the idle sweep: the next node to look at (null: the head),
  // and when the next step is due.
  ClientNode* sweep_at_ = nullptr;
  std::chrono::steady_clock::time_point next_sweep_{};
  // Links taken out of the table, on their way to CloseExpired.
  ExpiryQueue expiry_;
};

}  // namespace tavorin
