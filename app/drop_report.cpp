#include "app/drop_report.h"

namespace tavorin {

namespace {
std::string Datagrams(uint64_t n) {
  return std::to_string(n) + (n == 1 ? " datagram" : " datagrams");
}
}  // namespace

std::optional<std::string> DropReport::Check(const PortCounters& counters,
                                             LinePace::Clock::time_point now) {
  // The count first: the latest length read after it is that of a datagram it counts.
  const uint64_t oversize = counters.oversize();
  const size_t latest = counters.latest_oversize();
  const uint64_t empty = counters.empty();
  if (!pace_.Due(oversize + empty, now))
    return std::nullopt;
  std::string line = "tavorin: port " + std::to_string(port_) + ": ";
  if (oversize > oversize_told_) {
    line += Datagrams(oversize - oversize_told_) + " longer than the limit of " +
            std::to_string(limit_) + " bytes dropped (";
    if (latest > limit_)
      line += "the latest " + std::to_string(latest) + " bytes; ";
    line += "MaxDatagram in [Proxy] raises the limit)";
  }
  if (empty > empty_told_) {
    line += (oversize > oversize_told_ ? "; " : "") + Datagrams(empty - empty_told_) +
            " of 0 bytes dropped";
  }
  oversize_told_ = oversize;
  empty_told_ = empty;
  return line;
}

}  // namespace tavorin
