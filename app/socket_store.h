// The relay's sockets kept by the service manager across a restart (its store of descriptors),
// so that a restart, a crash or an upgrade keeps every link on its port; the next run takes
// them over at its start. What the manager keeps, each under a name (it allows no ':' in one):
//
//   listen_P  listen_P+1        the listening sockets
//   links_0_in  links_0_out     both ends of a carrier (app/carried_links.h), whose queue holds
//   links_1_in  ...             the links' sockets, each with a record of its link
//
// A few names however many links, so the manager hears from the relay a bounded number of
// times whatever its clients do. What a run before this kind of store kept, one name a link
// (link_P_40123_198.51.100.7_5000, an IPv6 address with '-' for each ':'), is still taken
// over, and carried from then on (app/handover.h). Outside a service manager nothing is kept and
// nothing passed in.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "app/carried_links.h"
#include "platform/endpoint.h"
#include "platform/service_notify.h"
#include "platform/socket_carrier.h"
#include "relay/client_link.h"
#include "relay/link_events.h"
#include "relay/listener.h"

namespace tavorin {

// The name of listening socket `which` (0: P, 1: P + 1).
std::string ListeningSocketName(int which);
// The names of the ends of carrier `number`.
std::string CarrierName(size_t number, bool in);

class SocketStore {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SocketStore(ServiceNotifier& service);
  ~SocketStore();
  SocketStore(const SocketStore&) = delete;
  SocketStore& operator=(const SocketStore&) = delete;

  // Whether a manager is there to keep sockets.
  bool enabled() const { return service_.enabled(); }

  // The listening sockets of a start: kept, unless they were taken over (the manager has them).
  void Started(const Listener& listener, int which, bool taken_over);
  // A carrier passed in, emptied, used again under its number.
  void AdoptCarrier(SocketCarrier carrier, size_t number);
  // Has `second`, a descriptor of a link's socket of its own, carried for the next run (or
  // closed when nothing is kept).
  void Carry(int which, const Endpoint& client, const Endpoint& reply_from, SocketHandle second);
  // A record of Listener `which`: the socket of a new link, or of one moved, carried.
  void Made(int which, const LinkMade& record);
  // A link that ended: its socket let go, unless every link ends with the relay (kShutdown),
  // when the manager keeps it for a restart and lets it go at a plain stop.
  void Closed(int which, const ClientLink& link, LinkEnd why);
  // Has the manager let go of what it keeps under `name` now, ahead of what waits; or, with
  // Forget, in its turn.
  void ForgetNow(const std::string& name) { service_.ForgetSocket(name); }
  void Forget(const std::string& name) { Queue(name, kNoSocket); }
  // Sends what waits, in order, until the manager's socket is full (the rest waits, behind
  // anything the manager must hear first), and carries the links' sockets.
  void Send(Clock::time_point now = Clock::now());
  // Lines to tell on standard error, taken.
  std::vector<std::string> TakeProblems() { return carried_.TakeProblems(); }
  size_t carried() const { return carried_.carried(); }

 private:
  struct Message {
    std::string name;
    SocketHandle socket;  // kept under the name; kNoSocket: the name forgotten
    // Whether the descriptor is the store's, closed once sent, and watched by the manager,
    // which lets it go when it hangs up; a carrier's end is neither.
    bool owned = true;
  };
  void Queue(std::string name, SocketHandle socket, bool owned = true);

  ServiceNotifier& service_;
  std::deque<Message> waiting_;
  CarriedLinks carried_;
};

}  // namespace tavorin
