// Tells standard error about new clients that a Listener could not give a link: one line when
// refusals begin (why, and how many links are held), then more (how many more new clients) and
// one when links can be made again (how many datagrams from how many new clients were refused
// in all), never two lines within 10 s. Never a line per datagram: the
// receive thread only counts, and the main thread looks at the counts between key tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "app/line_pace.h"
#include "relay/link_counters.h"

namespace tavorin {

class RefusalReport {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kInterval = std::chrono::seconds(10);

  explicit RefusalReport(uint16_t port) : port_(port) {}

  // The line that what `counters` show at `now` calls for, if any.
  std::optional<std::string> Check(const LinkCounters& counters, Clock::time_point now);
  // The line about new clients outside AllowClients, at the same pace: one when they begin,
  // at most one every 10 s while they go on, each with the latest client's endpoint.
  std::optional<std::string> NotAllowed(const LinkCounters& counters, Clock::time_point now);

 private:
  std::string Line(const std::string& text) const;

  uint16_t port_;
  // What the counts of refusals were.
  struct Refused {
    uint64_t datagrams = 0;
    uint64_t clients = 0;
  };
  bool refusing_ = false;
  Refused told_;                // already accounted for in a line
  Refused before_;              // before the present run of refusals began
  uint64_t made_at_begin_ = 0;  // links made when it began
  bool written_ = false;        // a line has been written
  Clock::time_point last_line_{};
  LinePace not_allowed_pace_;
  uint64_t not_allowed_clients_told_ = 0;
};

// What could not be had, in words: "no socket: Too many open files"; for a client of the other
// family than the server's under Transparent=1, that the families differ.
std::string ShortageText(const Outcome& outcome);

}  // namespace tavorin
