// What a reload may change while the relay runs, as one value: where each listening port's
// clients' datagrams go, and the rules the links go by. The main thread builds a new one and
// publishes it whole (Published<Route>); the receive thread reads it once a batch and a link's
// return thread once a reply, so that no batch sees the loop guard's servers of one reload with
// the server of another.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/endpoint.h"
#include "relay/network_list.h"
#include "relay/published.h"

namespace tavorin {

// The rules of a Listener's links that may change while they run.
struct LinkRules {
  // A link that has carried no datagram either way for this long leaves the table, within a
  // second or so after, and waits for CloseExpired; the client's next datagram makes a new
  // link. Zero keeps links for life.
  std::chrono::milliseconds idle_timeout{0};
  // At most this many links in the table: a new client beyond them is refused. Zero sets no
  // limit of the Listener's own.
  uint32_t max_links = 0;
  // The most datagrams a second one client may send to the server; 0 sets no limit.
  uint32_t client_rate = 0;
  // A link passes on only datagrams from the server's address; else from any host.
  bool replies_from_server_only = false;
  // Each link sends to the port of the last datagram it passed on from the server's address,
  // once one came from another port than the server's; else always to the server's port.
  bool follow_server_port = false;
  // Only a client within these networks gets a link; every client when empty. Looked at for a
  // new client alone: a link, once made, costs nothing more for it (a change closes the links
  // of the clients it leaves out).
  NetworkList allow_clients = {};

  bool operator==(const LinkRules&) const = default;
};

struct Route {
  // The server's endpoint for the first listening port (S) and the second (S + 1); none
  // (family 0) where a Listener runs alone.
  static constexpr int kPorts = 2;
  struct Server {
    Endpoint endpoint;          // as set: where datagrams go
    Endpoint plain;             // the same in IPv4 form where it is one, as sources come
    bool on_this_host = false;  // then any address of this host with its port is the server too
    // How many times this port's server has been set anew: what a link learnt of a server
    // (the port it follows) holds only for the server it learnt it from.
    uint64_t generation = 0;
  };
  Server servers[kPorts];
  LinkRules rules;

  // Sets the server of listening port `which`; asks the system whether its address is this
  // host's.
  void SetServer(int which, const Endpoint& server);
  // Whether both hold the same servers (address, port and scope) and rules: then publishing
  // the new one would change nothing.
  bool Same(const Route& other) const;
};

using PublishedRoute = Published<Route>;

// Publishes `route` in place of the current one, each server's generation carried on or
// counted up where it changed; a route that would change nothing is not published (every value
// published is kept for the owner's life). Returns whether it was.
bool Publish(PublishedRoute& published, Route route);

}  // namespace tavorin
