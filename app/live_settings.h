// The settings the relay runs with, and what applies them: to the Listeners and the loop guard
// before they start, and on a reload to the running relay, where the keys that may change
// while links run take their new values and every link keeps its port.
#pragma once

#include <string>
#include <vector>

#include "app/settings.h"
#include "app/upkeep.h"
#include "platform/endpoint.h"
#include "relay/listener.h"
#include "relay/loop_guard.h"

namespace tavorin {

class LiveSettings {
 public:
  // `server_address` is what [Server] IP resolved to. The route, the Listeners, the guard and
  // the upkeep outlive this; the route outlives the Listeners, whose links read it.
  LiveSettings(Settings settings, const Endpoint& server_address, PublishedRoute& route,
               Listener& a, Listener& b, LoopGuard& guard);

  // Keeps the totals of what is relayed whether or not the link log is on (the service
  // manager's status line reads them). Before ApplyAtStart.
  void CountRelayedAlways() { count_relayed_always_ = true; }

  // Before the Listeners start: where their clients' datagrams go, and their rules.
  void ApplyAtStart();
  // The server's two endpoints: its address with S and S + 1.
  void Servers(Endpoint (&servers)[2]) const;

  // Takes what may change of `fresh`, read from `path`, into the running relay; the rest stays
  // as it runs. A value that could not be taken keeps the running one, and so does a server
  // name that no longer resolves, or a server that would be the relay itself. The lines for
  // standard error: what changed, and what needs a restart.
  std::vector<std::string> Reload(const Settings& fresh, const std::string& path, Upkeep& upkeep);

  // Reads the settings file at `path` and reloads from it. A file gone or unreadable for a moment
  // (an editor's save), or one with a line the reader cannot use (cut while it was written),
  // gives nothing: every running value stays. The lines for standard error.
  std::vector<std::string> ReloadFile(const std::string& path, Upkeep& upkeep);

  const Settings& settings() const { return settings_; }

  // Once the Listeners have started: whether the server at `address` with `port` (S) is one
  // of the relay's own listening endpoints, to which every datagram sent would come back as
  // a new client, and make a new link, without end.
  bool ServesItself(const Endpoint& address, int32_t port) const;
  bool ServesItself() const { return ServesItself(server_address_, settings_.server_port); }

 private:
  // Publishes the route the settings give, if it changed, and applies what else may change.
  void ApplyRules();
  // After a reload moved the server to the other family: what became of the links held, for
  // the reload line.
  std::string FamilyMoveText(bool v6);

  Settings settings_;
  PublishedRoute& route_;
  bool count_relayed_always_ = false;
  Endpoint server_address_;
  Listener* listeners_[2];
  LoopGuard& guard_;
};

}  // namespace tavorin
