// What the status listener shows, from what the relay's threads publish: the counters of both
// listening ports in the Prometheus text format (/metrics), whether the relay takes clients
// (/health), and the links held (/links). Read on the status thread; nothing here is written
// by it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "app/status_server.h"
#include "app/upkeep.h"
#include "relay/listener.h"

namespace tavorin {

// Where the relay is in its life, as /health tells it.
enum class RelayPhase : uint8_t { kReady, kDraining, kStopping };

struct StatusFacts {
  Listener* listeners[2];
  uint16_t ports[2];
  std::atomic<RelayPhase> phase{RelayPhase::kReady};
  // When a drain ends at the latest, in milliseconds of the steady clock.
  std::atomic<int64_t> drain_ends_ms{0};
  // Whether each port's server answers (Upkeep::ServerSilent), once the upkeep runs.
  std::atomic<const Upkeep*> upkeep{nullptr};
};

std::string MetricsText(const StatusFacts& facts);
// 200 and "ready" while the relay takes clients; 503 and what it does while it drains or stops.
// A silent server is named, but changes no status: it is not the relay's failure.
std::pair<int, std::string> HealthText(const StatusFacts& facts);
// One line per link held, of both ports; none when a receive thread does not list them.
std::optional<std::string> LinksText(const StatusFacts& facts);

StatusPages PagesOf(const StatusFacts& facts);

}  // namespace tavorin
