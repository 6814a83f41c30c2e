#include "relay/route.h"

#include "platform/udp_socket.h"

namespace tavorin {

namespace {
bool SameServer(const Endpoint& a, const Endpoint& b) {
  return SameAddressAndPort(a, b) && (!a.is_v6() || a.v6.sin6_scope_id == b.v6.sin6_scope_id);
}
}  // namespace

void Route::SetServer(int which, const Endpoint& server) {
  Server& set = servers[which];
  set.endpoint = server;
  // Sources come in IPv4 form whichever socket took them; so must the server.
  set.plain = Unmapped(server);
  set.on_this_host = server.known() && IsAddressOfThisHost(set.plain);
}

bool Route::Same(const Route& other) const {
  for (int i = 0; i < kPorts; ++i) {
    if (!SameServer(servers[i].endpoint, other.servers[i].endpoint))
      return false;
  }
  return rules == other.rules;
}

bool Publish(PublishedRoute& published, Route route) {
  const Route& now = published.Get();
  if (route.Same(now))
    return false;
  for (int i = 0; i < Route::kPorts; ++i) {
    route.servers[i].generation =
        now.servers[i].generation +
        (SameServer(route.servers[i].endpoint, now.servers[i].endpoint) ? 0 : 1);
  }
  published.Set(route);
  return true;
}

}  // namespace tavorin
