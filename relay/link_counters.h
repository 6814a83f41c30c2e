// How a Listener has fared with new clients: links made, new clients and their datagrams refused
// and why the latest was, and links that expired (declared in relay/counters.h). Only the
// receive thread counts; any thread may read, at any time, without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/outcome.h"
#include "relay/counters.h"
#include "relay/port_counters.h"

namespace tavorin {

class LinkCounters {
 public:
  void CountMade() { links_made_.Add(1); }
  void CountExpired() { links_expired_.Add(1); }
  void CountClosedForFamily() { links_closed_family_.Add(1); }
  void CountTakenOver() { links_taken_over_.Add(1); }
  void CountClosedNotAllowed() { links_closed_not_allowed_.Add(1); }
  // A datagram of a new client outside AllowClients, which `client` names; `new_client` when it
  // had not been turned away lately.
  void CountNotAllowed(const Endpoint& client, bool new_client) {
    if (new_client)
      clients_not_allowed_.Add(1);
    latest_not_allowed_.Store(client);
    datagrams_not_allowed_.Add(1);  // last: it publishes the two above
  }
  // A datagram of a new client for which no link could be had, and why; `new_client` when its
  // client had not been refused before in the present run of refusals.
  void CountRefused(const Outcome& why, bool new_client) {
    if (new_client)
      clients_refused_.Add(1);
    last_refusal_.store(Pack(why), std::memory_order_relaxed);
    datagrams_refused_.Add(1);  // last: it publishes the two above
  }

  TAVORIN_LINK_COUNTERS(TAVORIN_COUNTER_ACCESSOR)
  // Links in the table now, give or take one being made or expiring.
  uint64_t links_held() const {
    uint64_t gone = links_expired() + links_closed_family() + links_closed_not_allowed();
    uint64_t all = links_made() + links_taken_over();
    return all > gone ? all - gone : 0;
  }
  // Why the latest client was refused; done (no failure) before the first refusal.
  Outcome last_refusal() const { return Unpack(last_refusal_.load(std::memory_order_relaxed)); }
  // The latest client turned away for AllowClients.
  Endpoint latest_not_allowed() const { return latest_not_allowed_.Load(); }

 private:
  // Step and error code in one word, so that a reader never sees one without the other.
  static uint64_t Pack(const Outcome& o) {
    return (uint64_t{static_cast<uint8_t>(o.step())} << 32) | static_cast<uint32_t>(o.error());
  }
  static Outcome Unpack(uint64_t word) {
    auto step = static_cast<Step>(word >> 32);
    return step == Step::kNone ? Outcome()
                               : Outcome::Failed(step, static_cast<int>(word & 0xFFFFFFFFu));
  }

  TAVORIN_LINK_COUNTERS(TAVORIN_COUNTER_FIELD)
  std::atomic<uint64_t> last_refusal_{0};
  EndpointWords latest_not_allowed_;
};

}  // namespace tavorin
