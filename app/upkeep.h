// What the main thread does for the relay between key tests, and once more at shutdown: tells
// standard error about refused clients, datagrams not carried and a server that answers
// nothing, closes the links that have
// expired, keeps the link log, and hands the service manager the sockets it keeps. Relay threads
// never write anything; they count and publish, and this reads.
#pragma once

#include <chrono>
#include <cstddef>

#include "app/drop_report.h"
#include "app/link_log.h"
#include "app/refusal_report.h"
#include "app/silence_report.h"
#include "app/socket_store.h"
#include "relay/listener.h"

namespace tavorin {

class Upkeep {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kCountersInterval = std::chrono::seconds(60);

  // For the two started Listeners; `log_links` keeps the link log on standard output.
  // `store`, when not null, is told of every link made and closed.
  Upkeep(Listener& a, Listener& b, size_t max_datagram, uint32_t client_rate, bool log_links,
         SocketStore* store = nullptr);

  // What is due at a key test.
  void Tick();
  // Between key tests, every tenth of a second: closes a slice of the expired links, so that
  // thousands expiring at once never take the cores from the relay threads for long.
  void Between();
  // Writes the link log's lines gathered so far, before its file is reopened.
  void Flush() {
    TakeMade();
    if (log_links_)
      log_.Flush();
  }
  // What a reload changes here: whether the link log is kept, and the rate the drop lines name.
  // A log turned on gets a made line for every link already held (" held=1"), as made then.
  void SetLogLinks(bool log_links);
  void SetClientRate(uint32_t rate) {
    for (DropReport& drops : drops_)
      drops.SetClientRate(rate);
  }
  // How long the server may answer none of the datagrams sent to it before it is told silent;
  // 0: never (SilenceSeconds in [Server]). At start and at a reload.
  void SetSilenceWindow(std::chrono::seconds window) {
    for (SilenceReport& silence : silences_)
      silence.SetWindow(window);
  }
  // Whether the server of listening port `which` (0: P -> S, 1: P + 1 -> S + 1) has answered
  // none of the datagrams sent to it for the window, as of the latest key test: set when the
  // window has passed with datagrams sent and nothing back, cleared by the first thing that
  // reaches one of the port's links. Any thread, any time.
  bool ServerSilent(int which) const { return silences_[which].silent(); }
  // Lines of the link log it dropped, as it could not take them; any thread, any time.
  uint64_t LogLinesLost() const { return log_.Lost(); }
  // Links held and datagrams relayed each way, and a server that is silent, for the service
  // manager's status line.
  std::string Status() const;
  // At shutdown: stops both Listeners if need be, closes every link, with its line in the log
  // (reason=handed-on when `handed_on`: its socket goes on in the next run), and writes the
  // last counters.
  void Finish(bool handed_on = false);

 private:
  void Report(Clock::time_point now);
  // Looks at what was sent to each server and whether it answered.
  void WatchServers(Clock::time_point now);
  // Takes the records of links made, for the log and the store.
  void TakeMade();
  // Closes up to `most` of the links that have expired, the first Listener's first.
  void CloseExpired(size_t most);
  // Writes the closed line of a link of listener `i`, with the link log.
  Listener::LinkClosed ClosedLine(int i);
  void LogCounters();

  Listener* listeners_[2];
  uint16_t ports_[2];
  RefusalReport refusals_[2];
  DropReport drops_[2];
  SilenceReport silences_[2];
  bool log_links_;
  bool handed_on_ = false;
  SocketStore* store_;
  LinkLog log_;
  Clock::time_point next_counters_;
};

}  // namespace tavorin
