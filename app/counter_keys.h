// The relay's figures per listening port, each declared once with its name, its type and what
// it counts: the counters line of the link log and /metrics are both read off this list (the
// manual's list is checked against it).
#pragma once

#include <array>
#include <cstdint>
#include <iterator>

#include "relay/counters.h"
#include "relay/listener.h"

namespace tavorin {

// What a figure is to a scraper: a gauge goes up and down, a counter only grows while the relay
// runs (and is named with "_total" in /metrics).
enum class MetricType { kGauge, kCounter };

// A key of the counters line, its type, and what it counts.
struct CounterKey {
  const char* key;
  MetricType type;
  const char* what;
};
// The keys of the counters line in its order, after port=: those of the Listener's counts
// (relay/counters.h) between the links held and the log's own lines lost.
// Every count of the Listener's only grows.
#define TAVORIN_COUNTER_KEY(name, kind, what) {#name, MetricType::kCounter, what},
inline constexpr CounterKey kCountersLine[] = {
    {"links_held", MetricType::kGauge, "links in the table: made less expired"},
    TAVORIN_LINK_COUNTERS(TAVORIN_COUNTER_KEY)  //
    TAVORIN_PORT_COUNTERS(TAVORIN_COUNTER_KEY)  //
    {"log_lines_lost", MetricType::kCounter,
     "lines of the link log dropped, as it could not take them or the records of links made "
     "came too fast"},
};
#undef TAVORIN_COUNTER_KEY

// The values of the counters line of `listener`, in its order; `lines_lost` the log's own.
std::array<uint64_t, std::size(kCountersLine)> CounterValues(const Listener& listener,
                                                             uint64_t lines_lost);

}  // namespace tavorin
