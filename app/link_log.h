// The link log: with LogLinks=1, the log file (standard output) gets a line for every link made
// and closed, and every minute a line of counters per listening port. Only the main thread
// writes it; relay threads publish records and counts (Listener::made_records, the counters).
// A log that cannot keep up never holds anything up: what cannot be written at once waits, up to
// a bound past which it is dropped, and the next counters line says how many lines were lost. A
// log that could not be reopened takes nothing, so its lines wait in the same way for the
// next reopen.
//
//   2026-12-08T10:15:02.417Z tavorin link-made port=15000 client=198.51.100.7:40312 link=51234
//     (with " taken_over=1" after it for a link the previous run handed on, " held=1" for a
//     link already held when a reload turned the log on, at the time it was made)
//   2026-12-08T10:17:05.002Z tavorin link-closed port=15000 client=198.51.100.7:40312
//     link=51234 reason=idle lived_s=122.585 to_server_datagrams=12 to_server_bytes=6240
//     to_client_datagrams=12 to_client_bytes=5711 server_port=2000   (one line)
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "app/counter_keys.h"
#include "relay/client_link.h"
#include "relay/counters.h"
#include "relay/link_events.h"
#include "relay/listener.h"

namespace tavorin {

// " to_server_datagrams=N to_server_bytes=N", for `way` "to_server".
std::string TrafficText(const char* way, const Traffic& t);
// A span in seconds to the millisecond: 122.585.
std::string SecondsText(std::chrono::milliseconds span);

// `at` as UTC in ISO 8601 to the millisecond: 2026-12-08T10:15:02.417Z.
std::string UtcTimestamp(std::chrono::system_clock::time_point at);
class LinkLog {
 public:
  using WallClock = std::chrono::system_clock;
  using Clock = std::chrono::steady_clock;

  void Made(uint16_t port, const LinkMade& record);
  // `link` has ended its thread; `reason` is "idle" or "shutdown".
  void Closed(uint16_t port, const ClientLink& link, const char* reason, Clock::time_point now);
  // The counters line of `listener`, on `port` (kCountersLine).
  void Counters(uint16_t port, const Listener& listener);

  // Writes the lines gathered so far, without waiting; what cannot go now waits for the next
  // call, up to a bound past which whole lines are dropped and counted.
  void Flush();
  // Lines not yet written: lost if the log takes them no more.
  uint64_t Waiting() const;
  // Lines dropped as the log could not take them; any thread.
  uint64_t Lost() const { return unwritten_.load(std::memory_order_relaxed); }

 private:
  void Line(WallClock::time_point at, const std::string& text);

  std::string pending_;
  uint64_t pending_lines_ = 0;
  std::atomic<uint64_t> unwritten_{0};
};

}  // namespace tavorin
