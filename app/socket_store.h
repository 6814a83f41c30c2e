// The relay's sockets kept by the service manager across a restart (its store of descriptors),
// so that a restart, a crash or an upgrade keeps every link on its port: the main thread hands
// each socket over as it is made and has it forgotten when its link ends; the next run takes
// them over at its start. Each has a name that says what it is (the manager allows no ':'
// in one, so an IPv6 address has '-' in place of each ':'):
//
//   listen_P  listen_P+1                              the listening sockets
//   link_P_40123_198.51.100.7_5000                    a link of port P on port 40123, for the
//                                                     client 198.51.100.7:5000
//   link_P+1_40124_2001-db8--7_5000_2001-db8--1       one whose client sent to 2001:db8::1
//
// Outside a service manager nothing is kept and nothing is passed in.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/endpoint.h"
#include "platform/service_notify.h"
#include "relay/client_link.h"
#include "relay/link_events.h"
#include "relay/listener.h"

namespace tavorin {

// The name of listening socket `which` (0: P, 1: P + 1).
std::string ListeningSocketName(int which);
// The name of a link's socket.
std::string LinkSocketName(int which, uint16_t link_port, const Endpoint& client,
                           const Endpoint& reply_from);
// What a link's name says; none when it names no link.
struct NamedLink {
  int which;
  Endpoint client;
  Endpoint reply_from;  // unknown when the name has none
};
std::optional<NamedLink> ParseLinkSocketName(std::string_view name);

// The sockets passed in at the start, sorted by Listener, with the names they came under.
struct Handovers {
  Listener::Handover of[2];
  std::vector<std::string> link_names[2];  // in the order of of[i].links
  // What none of the Listeners can take: sockets under a name this relay never gives, or no
  // UDP socket at all; closed.
  std::vector<std::string> strangers;
  bool any() const {
    return of[0].listening.IsOpen() || of[1].listening.IsOpen() || !of[0].links.empty() ||
           !of[1].links.empty() || !strangers.empty();
  }
};
Handovers SortPassedSockets(std::vector<PassedSocket> passed);

class SocketStore {
 public:
  explicit SocketStore(ServiceNotifier& service) : service_(service) {}
  ~SocketStore();
  SocketStore(const SocketStore&) = delete;
  SocketStore& operator=(const SocketStore&) = delete;

  // Whether a manager is there to keep sockets.
  bool enabled() const { return service_.enabled(); }

  // The listening sockets of a start: kept, unless they were taken over (the manager has them).
  void Started(const Listener& listener, int which, bool taken_over);
  // What the start did with the sockets passed in: those not taken over forgotten. Returns the
  // lines that tell it, none when nothing was passed in.
  std::vector<std::string> TakenOver(Handovers& handovers);
  // A record of Listener `which`: a new link's socket kept, a moved one's kept in place of the
  // old one. Its descriptor is closed once sent.
  void Made(int which, const LinkMade& record);
  // A link that ended: its socket forgotten, unless every link ends with the relay (kShutdown),
  // when the manager keeps it for a restart and lets it go at a plain stop.
  void Closed(int which, const ClientLink& link, LinkEnd why);
  // Has the manager let go of what it keeps under `name` now, ahead of what waits.
  void ForgetNow(const std::string& name) { service_.ForgetSocket(name); }
  // Sends what waits, in order, until the manager's socket is full; the rest waits.
  void Send();

 private:
  struct Message {
    std::string name;
    SocketHandle socket;  // kept under the name; kNoSocket: the name forgotten
  };
  void Queue(std::string name, SocketHandle socket);

  ServiceNotifier& service_;
  std::deque<Message> waiting_;
};

}  // namespace tavorin
