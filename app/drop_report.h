// Tells standard error about datagrams a listening port did not carry, either way: those longer
// than the limit (with the length seen and the key that raises the limit) and empty ones, and
// those the system refused to send (with the destination and the reason), those the server
// refused (nobody on its port), those over a client's rate, those sent to the server's own
// port instead of the port their link followed, and those the system dropped before the relay
// could read them (a full receive buffer). Each kind at its own pace: a
// line when they begin, at most one every 10 s while they go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/line_pace.h"
#include "relay/port_counters.h"

namespace tavorin {

class DropReport {
 public:
  DropReport(uint16_t port, size_t limit, uint32_t client_rate = 0)
      : port_(port), limit_(limit), client_rate_(client_rate) {}

  void SetClientRate(uint32_t rate) { client_rate_ = rate; }

  // The lines that what `counters` show at `now` call for, if any.
  std::vector<std::string> Check(const PortCounters& counters, LinePace::Clock::time_point now);

 private:
  std::string Prefix() const;

  uint16_t port_;
  size_t limit_;
  LinePace size_pace_;
  uint64_t oversize_told_ = 0;
  uint64_t empty_told_ = 0;
  uint32_t client_rate_;
  LinePace rate_pace_;
  uint64_t over_rate_told_ = 0;
  LinePace send_pace_;
  uint64_t to_server_told_ = 0;
  uint64_t to_client_told_ = 0;
  LinePace refuse_pace_;
  LinePace follow_pace_;
  LinePace system_pace_;
  LinePace front_pace_;
};

}  // namespace tavorin
