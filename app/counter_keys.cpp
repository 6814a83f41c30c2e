#include "app/counter_keys.h"

#include <algorithm>

namespace tavorin {

std::array<uint64_t, std::size(kCountersLine)> CounterValues(const Listener& listener,
                                                             uint64_t lines_lost) {
  const LinkCounters& links = listener.counters();
  const PortCounters& data = listener.port_counters();
#define TAVORIN_LINK_VALUE(name, kind, what) links.name(),
#define TAVORIN_PORT_VALUE(name, kind, what) data.name(),
  const uint64_t values[] = {
      links.links_held(),
      TAVORIN_LINK_COUNTERS(TAVORIN_LINK_VALUE)      //
          TAVORIN_PORT_COUNTERS(TAVORIN_PORT_VALUE)  //
          lines_lost +
          listener.made_records().dropped(),
  };
#undef TAVORIN_LINK_VALUE
#undef TAVORIN_PORT_VALUE
  static_assert(std::size(values) == std::size(kCountersLine), "a value for every key");
  std::array<uint64_t, std::size(kCountersLine)> all{};
  std::copy(std::begin(values), std::end(values), all.begin());
  return all;
}

}  // namespace tavorin
