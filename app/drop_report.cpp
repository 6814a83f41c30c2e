#include "app/drop_report.h"

#include <optional>

#include "app/counted.h"
#include "app/link_log.h"
#include "app/settings.h"
#include "platform/outcome.h"

namespace tavorin {

namespace {
std::string Datagrams(uint64_t n) {
  return Counted(n, "datagram", "datagrams");
}
}  // namespace

std::string DropReport::Prefix() const {
  return "tavorin: port " + std::to_string(port_) + ": ";
}

std::vector<std::string> DropReport::Check(const PortCounters& counters,
                                           LinePace::Clock::time_point now) {
  std::vector<std::string> lines;
  // Each count first: what is read of the latest drop after it belongs to one it counts.
  const uint64_t to_server = counters.send_failed_to_server();
  const uint64_t to_client = counters.send_failed_to_client();
  const Direction direction = counters.last_failure_direction();
  const Endpoint to = counters.last_failure_to();
  const int error = counters.last_failure_error();
  if (send_pace_.Due(to_server + to_client, now)) {
    const uint64_t new_to_server = to_server - to_server_told_;
    const uint64_t new_to_client = to_client - to_client_told_;
    std::string line = Prefix() + Datagrams(new_to_server + new_to_client) + " could not be sent (";
    if (new_to_server > 0)
      line += std::to_string(new_to_server) + " to the server";
    if (new_to_client > 0)
      line += std::string(new_to_server > 0 ? ", " : "") + std::to_string(new_to_client) +
              " to clients";
    line += "; the latest to " +
            std::string(direction == Direction::kToServer ? "the server " : "the client ") +
            EndpointText(to) + ": " + ErrorText(error) + ")";
    lines.push_back(line);
    to_server_told_ = to_server;
    to_client_told_ = to_client;
  }

  const uint64_t refused = counters.server_refused();
  const Endpoint server = counters.last_refused_by();
  if (std::optional<uint64_t> news = refuse_pace_.Due(refused, now)) {
    lines.push_back(Prefix() + "the server " + EndpointText(server) + " refused " +
                    Datagrams(*news) + " (port unreachable)");
  }

  if (std::optional<uint64_t> news = follow_pace_.Due(counters.follow_refused(), now)) {
    lines.push_back(Prefix() + Datagrams(*news) +
                    " went to the server's own port, not to the port their link followed, which "
                    "this relay holds on the server's host (" +
                    KeyLabel(KeyId::kFollowServerPort) + ")");
  }

  if (std::optional<uint64_t> news = system_pace_.Due(counters.dropped_by_system(), now)) {
    lines.push_back(Prefix() + "the system dropped " + Datagrams(*news) +
                    " before the relay could read them (a full receive buffer; "
                    "net.core.rmem_max caps it)");
  }

  if (std::optional<uint64_t> news = front_pace_.Due(counters.dropped_proxy_header(), now)) {
    lines.push_back(Prefix() + Datagrams(*news) + " from " + KeyLabel(KeyId::kProxyProtocolFrom) +
                    " without a valid PROXY v2 header, or naming another client than their "
                    "link's, dropped");
  }

  const uint64_t over_rate = counters.dropped_over_rate();
  if (rate_pace_.Due(over_rate, now)) {
    lines.push_back(Prefix() + Datagrams(over_rate - over_rate_told_) + " over the rate of " +
                    std::to_string(client_rate_) + " a second from one client dropped (" +
                    KeyLabel(KeyId::kClientRate) + ")");
    over_rate_told_ = over_rate;
  }

  const uint64_t oversize = counters.dropped_oversize();
  const size_t latest = counters.latest_oversize();
  const uint64_t empty = counters.dropped_empty();
  if (!size_pace_.Due(oversize + empty, now))
    return lines;
  std::string line = Prefix();
  if (oversize > oversize_told_) {
    line += Datagrams(oversize - oversize_told_) + " longer than the limit of " +
            std::to_string(limit_) + " bytes dropped (";
    if (latest > limit_)
      line += "the latest " + std::to_string(latest) + " bytes; ";
    line += KeyLabel(KeyId::kMaxDatagram) + " raises the limit)";
  }
  if (empty > empty_told_) {
    line += (oversize > oversize_told_ ? "; " : "") + Datagrams(empty - empty_told_) +
            " of 0 bytes dropped";
  }
  oversize_told_ = oversize;
  empty_told_ = empty;
  lines.push_back(line);
  return lines;
}

}  // namespace tavorin
