#include "app/refusal_report.h"

#include "app/counted.h"
#include "app/settings.h"
#include "platform/udp_socket.h"

namespace tavorin {

std::string ShortageText(const Outcome& outcome) {
  switch (outcome.step()) {
    case Step::kNone:
      return "nothing missing";
    case Step::kSocket:
      return "no socket: " + ErrorText(outcome.error());
    case Step::kBind:
      // No port is short here: a transparent link sends from its client's address, which a
      // socket of the server's family cannot take when the client's family is the other one.
      if (outcome.error() == kNoAddressFamily) {
        return std::string("the client's address family differs from the server's (") +
               KeyOf(KeyId::kTransparent).name + "=1 sends from the client's own address)";
      }
      return "no local UDP port: " + ErrorText(outcome.error());
    case Step::kThread:
      return "no thread: " + ErrorText(outcome.error());
    case Step::kMemory:
      return "no memory";
    case Step::kLimit:
      return "limit of " + std::to_string(outcome.error()) + " links reached";
    case Step::kDraining:
      return "the relay is draining before its stop";
  }
  return "unknown";
}

std::string RefusalReport::Line(const std::string& text) const {
  return "tavorin: port " + std::to_string(port_) + ": " + text;
}

std::optional<std::string> RefusalReport::Check(const LinkCounters& counters,
                                                Clock::time_point now) {
  // At most one line every 10 s, whichever it is: refusals that stop and start again as
  // resources come and go one at a time would otherwise give a line each time.
  if (written_ && now - last_line_ < kInterval)
    return std::nullopt;
  // The datagrams first: the clients counted with them are seen too.
  const Refused refused{counters.datagrams_refused(), counters.clients_refused()};
  const uint64_t made = counters.links_made();
  const std::string held = Counted(counters.links_held(), "link held", "links held");
  if (!refusing_) {
    if (refused.datagrams == told_.datagrams)
      return std::nullopt;
    refusing_ = true;
    before_ = told_;
    told_ = refused;
    made_at_begin_ = made;
    last_line_ = now;
    written_ = true;
    return Line("new clients are refused (" + ShortageText(counters.last_refusal()) + "); " + held);
  }
  if (made > made_at_begin_) {
    refusing_ = false;
    told_ = refused;
    last_line_ = now;
    const uint64_t datagrams = refused.datagrams - before_.datagrams;
    return Line("links can be made again; " + held + ", " +
                Counted(datagrams, "datagram", "datagrams") + " from " +
                Counted(refused.clients - before_.clients, "new client", "new clients") +
                (datagrams == 1 ? " was refused" : " were refused"));
  }
  // Only new clients make news: those refused before try again.
  if (refused.clients > told_.clients) {
    const uint64_t more = refused.clients - told_.clients;
    told_ = refused;
    last_line_ = now;
    return Line(Counted(more, "more new client", "more new clients") + " refused (" +
                ShortageText(counters.last_refusal()) + "); " + held);
  }
  return std::nullopt;
}

std::optional<std::string> RefusalReport::NotAllowed(const LinkCounters& counters,
                                                     Clock::time_point now) {
  // The datagrams first: the clients and the latest one counted with them are seen too.
  const uint64_t datagrams = counters.datagrams_not_allowed();
  const uint64_t clients = counters.clients_not_allowed();
  const Endpoint latest = counters.latest_not_allowed();
  const std::optional<uint64_t> news = not_allowed_pace_.Due(datagrams, now);
  if (!news)
    return std::nullopt;
  const uint64_t new_clients = clients - not_allowed_clients_told_;
  not_allowed_clients_told_ = clients;
  return Line(Counted(*news, "datagram", "datagrams") + " from " +
              (new_clients == 0 ? std::string("clients told of before")
                                : Counted(new_clients, "new client", "new clients")) +
              " outside " + KeyLabel(KeyId::kAllowClients) + " turned away (the latest from " +
              EndpointText(latest) + ")");
}

}  // namespace tavorin
