// Tells standard error about datagrams a listening port did not carry, either way: those longer
// than the limit (with the length seen and the key that raises the limit) and empty ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/line_pace.h"
#include "relay/port_counters.h"

namespace tavorin {

class DropReport {
 public:
  DropReport(uint16_t port, size_t limit) : port_(port), limit_(limit) {}

  // The line that what `counters` show at `now` calls for, if any.
  std::optional<std::string> Check(const PortCounters& counters, LinePace::Clock::time_point now);

 private:
  uint16_t port_;
  size_t limit_;
  LinePace pace_;
  uint64_t oversize_told_ = 0;
  uint64_t empty_told_ = 0;
};

}  // namespace tavorin
