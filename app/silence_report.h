// Tells standard error when the server of a listening port answers none of the datagrams sent
// to it for a while (SilenceSeconds in [Server]), and again when it answers again; a server
// that refuses them (port unreachable) is told by the drop lines besides. The main thread looks
// at the counts between key tests (PortCounters::sent, TakeAnswered): the relay threads only
// count. The state is kept whatever standard error takes, for the status line and other
// readers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "app/line_pace.h"
#include "platform/endpoint.h"

namespace tavorin {

class SilenceReport {
 public:
  using Clock = LinePace::Clock;

  explicit SilenceReport(uint16_t port) : port_(port) {}

  // How long datagrams may wait unanswered before the server is silent; 0 turns the watch off
  // (and forgets a silence). Any time (a reload).
  void SetWindow(std::chrono::seconds window);

  // What the counts show at `now`: `sent` datagrams sent to the server so far, and whether
  // anything reached a link since the call before; `server` and its `generation` (a server set
  // anew starts with a clean slate).
  void Observe(uint64_t sent, bool answered, const Endpoint& server, uint64_t generation,
               Clock::time_point now);
  // The line due at `now`, if any: at once when the server falls silent, at most one such line
  // every 10 s, and one when a silence told ends.
  std::optional<std::string> Line(Clock::time_point now);

  // Whether the server is silent now. Any thread.
  bool silent() const { return silent_.load(std::memory_order_relaxed); }
  // The server watched, and how long it has been silent (0 when it is not). The main thread's.
  const Endpoint& server() const { return server_; }
  std::chrono::seconds SilentFor(Clock::time_point now) const;

 private:
  void Forget(uint64_t sent);

  uint16_t port_;
  std::chrono::seconds window_{0};
  bool watching_ = false;  // looked once
  Endpoint server_;
  uint64_t generation_ = 0;
  uint64_t sent_ = 0;  // datagrams sent to the server, at the latest look
  Clock::time_point looked_at_{};
  Clock::time_point last_sent_at_{};                // the look that first saw the latest send
  uint64_t answered_up_to_ = 0;                     // the same when the server last answered
  std::optional<Clock::time_point> waiting_since_;  // when a datagram sent since was first seen
  std::atomic<bool> silent_{false};
  bool told_ = false;  // a line told the present silence
  std::optional<Clock::time_point> last_told_;
};

}  // namespace tavorin
