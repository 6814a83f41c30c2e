#include "app/upkeep.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "app/counted.h"
#include "platform/files.h"

namespace tavorin {

namespace {
// Links closed per slice: woken together, their threads end side by side.
constexpr size_t kCloseEach = 250;

// The reason= word of a link's closed line.
const char* ReasonWord(LinkEnd why) {
  switch (why) {
    case LinkEnd::kIdle:
      return "idle";
    case LinkEnd::kServerFamily:
      return "server-family";
    case LinkEnd::kNotAllowed:
      return "not-allowed";
    case LinkEnd::kShutdown:
      break;
  }
  return "shutdown";
}
}  // namespace

Upkeep::Upkeep(Listener& a, Listener& b, size_t max_datagram, uint32_t client_rate, bool log_links,
               SocketStore* store)
    : listeners_{&a, &b},
      ports_{a.LocalPort(), b.LocalPort()},
      refusals_{RefusalReport(ports_[0]), RefusalReport(ports_[1])},
      drops_{DropReport(ports_[0], max_datagram, client_rate),
             DropReport(ports_[1], max_datagram, client_rate)},
      silences_{SilenceReport(ports_[0]), SilenceReport(ports_[1])},
      log_links_(log_links),
      store_(store),
      next_counters_(Clock::now() + kCountersInterval) {}

void Upkeep::Tick() {
  const Clock::time_point now = Clock::now();
  WatchServers(now);
  Report(now);
  CloseExpired(kCloseEach);
  if (now >= next_counters_) {
    next_counters_ = now + kCountersInterval;
    LogCounters();
  }
  if (log_links_)
    log_.Flush();
  if (store_ != nullptr) {
    for (const std::string& line : store_->TakeProblems()) {
      if (StandardErrorReady())
        WriteStandardErrorLine(line);
    }
  }
}

void Upkeep::Between() {
  CloseExpired(kCloseEach);
}

void Upkeep::Finish(bool handed_on) {
  handed_on_ = handed_on;
  // No link is made once the Listeners have stopped; each made before is told before any is
  // told closed.
  for (Listener* listener : listeners_)
    listener->Stop();
  TakeMade();
  for (int i = 0; i < 2; ++i)
    listeners_[i]->CloseAll(ClosedLine(i));
  if (store_ != nullptr)
    store_->Send();
  LogCounters();
  if (log_links_)
    log_.Flush();
  // The paces' next turn, now: what they hold back goes out.
  Report(Clock::now() + std::chrono::hours(1));
  if (const uint64_t lost = log_.Waiting(); lost > 0 && StandardErrorReady()) {
    WriteStandardErrorLine("tavorin: " + std::to_string(lost) +
                           " lines of the link log could not be written to the log file");
  }
  FlushStandardError(std::chrono::seconds(1));
}

void Upkeep::SetLogLinks(bool log_links) {
  const bool turned_on = log_links && !log_links_;
  log_links_ = log_links;
  if (!turned_on)
    return;
  // Links made from now on have records of their own (the Listeners keep them already).
  const Clock::time_point now = Clock::now();
  const LinkLog::WallClock::time_point wall_now = LinkLog::WallClock::now();
  constexpr auto kMost = std::chrono::seconds(1);
  for (int i = 0; i < 2; ++i) {
    std::optional<std::vector<Listener::LinkView>> held = listeners_[i]->HeldLinks(kMost);
    if (!held)
      continue;
    // Oldest first, as they were made.
    for (auto link = held->rbegin(); link != held->rend(); ++link) {
      if (link->made >= now)
        continue;
      const auto made =
          wall_now - std::chrono::duration_cast<LinkLog::WallClock::duration>(now - link->made);
      LinkMade record{made, link->client, link->link_port, LinkMade::Kind::kHeld};
      record.origin = link->origin;
      log_.Made(ports_[i], record);
    }
  }
}

std::string Upkeep::Status() const {
  uint64_t held = 0;
  Traffic to_server;
  Traffic to_client;
  for (const Listener* listener : listeners_) {
    held += listener->counters().links_held();
    to_server.datagrams += listener->port_counters().to_server().datagrams;
    to_client.datagrams += listener->port_counters().to_client().datagrams;
  }
  std::string status = Counted(held, "link", "links") +
                       " held; datagrams relayed: " + std::to_string(to_server.datagrams) +
                       " to the server, " + std::to_string(to_client.datagrams) + " to clients";
  for (int i = 0; i < 2; ++i) {
    if (silences_[i].silent()) {
      status += "; port " + std::to_string(ports_[i]) + ": the server " +
                EndpointText(silences_[i].server()) + " silent for " +
                std::to_string(silences_[i].SilentFor(Clock::now()).count()) + " s";
    }
  }
  return status;
}

void Upkeep::WatchServers(Clock::time_point now) {
  for (int i = 0; i < 2; ++i) {
    PortShare& port = listeners_[i]->port();
    // Whether an answer came first: what was sent after it waits for the next.
    const bool answered = port.counters.TakeAnswered();
    const Route::Server& server = port.server();
    silences_[i].Observe(port.counters.sent(), answered, server.endpoint, server.generation, now);
  }
}

void Upkeep::Report(Clock::time_point now) {
  // A line is written only when it cannot stall this thread (standard error may be a pipe
  // that nobody reads); the counts wait meanwhile.
  if (!StandardErrorReady())
    return;
  for (int i = 0; i < 2; ++i) {
    if (std::optional<std::string> line = refusals_[i].Check(listeners_[i]->counters(), now))
      WriteStandardErrorLine(*line);
    if (std::optional<std::string> line = refusals_[i].NotAllowed(listeners_[i]->counters(), now))
      WriteStandardErrorLine(*line);
    for (const std::string& line : drops_[i].Check(listeners_[i]->port_counters(), now))
      WriteStandardErrorLine(line);
    if (std::optional<std::string> line = silences_[i].Line(now))
      WriteStandardErrorLine(*line);
  }
}

void Upkeep::TakeMade() {
  if (!log_links_ && store_ == nullptr)
    return;
  for (int i = 0; i < 2; ++i) {
    listeners_[i]->made_records().TakeAll([&](const LinkMade& made) {
      if (log_links_ && made.kind != LinkMade::Kind::kMoved)
        log_.Made(ports_[i], made);
      if (store_ != nullptr) {
        store_->Made(i, made);
      } else if (made.kept != kNoSocket) {
        UdpSocket::Adopt(made.kept);  // closed
      }
    });
  }
}

void Upkeep::CloseExpired(size_t most) {
  TakeMade();  // before any link is told closed
  for (int i = 0; i < 2 && most > 0; ++i)
    most -= listeners_[i]->CloseExpired(most, ClosedLine(i));
  if (store_ != nullptr)
    store_->Send();
}

Listener::LinkClosed Upkeep::ClosedLine(int i) {
  if (!log_links_ && store_ == nullptr)
    return nullptr;
  return [this, i](const ClientLink& link, Listener::LinkEnd why) {
    if (log_links_)
      log_.Closed(ports_[i], link,
                  handed_on_ && why == LinkEnd::kShutdown ? "handed-on" : ReasonWord(why),
                  Clock::now());
    if (store_ != nullptr)
      store_->Closed(i, link, why);
  };
}

void Upkeep::LogCounters() {
  if (!log_links_)
    return;
  for (int i = 0; i < 2; ++i)
    log_.Counters(ports_[i], *listeners_[i]);
}

}  // namespace tavorin
