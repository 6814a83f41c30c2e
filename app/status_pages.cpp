#include "app/status_pages.h"

#include "app/counted.h"
#include "app/counter_keys.h"
#include "app/link_log.h"

namespace tavorin {

namespace {
using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

std::string Family(const char* name, const char* type, const char* help) {
  return std::string("# HELP tavorin_") + name + " " + help + "\n# TYPE tavorin_" + name + " " +
         type + "\n";
}

bool Silent(const StatusFacts& facts, int which) {
  const Upkeep* upkeep = facts.upkeep.load();
  return upkeep != nullptr && upkeep->ServerSilent(which);
}

// "; the server of port 15000 is silent", for each that is.
std::string SilenceText(const StatusFacts& facts) {
  std::string text;
  for (int i = 0; i < 2; ++i) {
    if (Silent(facts, i))
      text += "; the server of port " + std::to_string(facts.ports[i]) + " is silent";
  }
  return text;
}

uint64_t LinksHeld(const StatusFacts& facts) {
  return facts.listeners[0]->counters().links_held() + facts.listeners[1]->counters().links_held();
}
}  // namespace

std::string MetricsText(const StatusFacts& facts) {
  const Upkeep* upkeep = facts.upkeep.load();
  const uint64_t lines_lost = upkeep != nullptr ? upkeep->LogLinesLost() : 0;
  const auto values = std::array{CounterValues(*facts.listeners[0], lines_lost),
                                 CounterValues(*facts.listeners[1], lines_lost)};
  std::string text;
  for (size_t k = 0; k < std::size(kCountersLine); ++k) {
    const CounterKey& key = kCountersLine[k];
    const bool gauge = key.type == MetricType::kGauge;
    const std::string name = std::string(key.key) + (gauge ? "" : "_total");
    text += Family(name.c_str(), gauge ? "gauge" : "counter", key.what);
    for (int i = 0; i < 2; ++i) {
      text += "tavorin_" + name + "{port=\"" + std::to_string(facts.ports[i]) + "\"} " +
              std::to_string(values[i][k]) + "\n";
    }
  }
  text += Family("server_info", "gauge", "the server each listening port relays to");
  for (int i = 0; i < 2; ++i) {
    text += "tavorin_server_info{port=\"" + std::to_string(facts.ports[i]) + "\",server=\"" +
            EndpointText(facts.listeners[i]->server()) + "\"} 1\n";
  }
  text +=
      Family("server_silent", "gauge",
             "1 while the server has answered none of the datagrams of the last SilenceSeconds");
  for (int i = 0; i < 2; ++i) {
    text += "tavorin_server_silent{port=\"" + std::to_string(facts.ports[i]) + "\"} " +
            (Silent(facts, i) ? "1" : "0") + "\n";
  }
  const RelayPhase phase = facts.phase.load();
  text +=
      Family("ready", "gauge", "1 while the relay takes new clients, 0 while it drains or stops");
  text += std::string("tavorin_ready ") + (phase == RelayPhase::kReady ? "1" : "0") + "\n";
  text += Family("draining", "gauge", "1 while a stop waits for the links held to go idle");
  text += std::string("tavorin_draining ") + (phase == RelayPhase::kDraining ? "1" : "0") + "\n";
  text += Family("build_info", "gauge", "the relay's version");
  text += "tavorin_build_info{version=\"" TAVORIN_VERSION "\"} 1\n";
  return text;
}

std::pair<int, std::string> HealthText(const StatusFacts& facts) {
  switch (facts.phase.load()) {
    case RelayPhase::kReady:
      break;
    case RelayPhase::kDraining: {
      const int64_t left = (facts.drain_ends_ms.load() - NowMs() + 999) / 1000;
      return {503, "draining: " + Counted(LinksHeld(facts), "link held", "links held") +
                       ", new clients " + "refused, at most " +
                       std::to_string(left > 0 ? left : 0) + " s left" + SilenceText(facts) + "\n"};
    }
    case RelayPhase::kStopping:
      return {503, "stopping\n"};
  }
  return {200, "ready: " + Counted(LinksHeld(facts), "link held", "links held") +
                   SilenceText(facts) + "\n"};
}

std::optional<std::string> LinksText(const StatusFacts& facts) {
  constexpr auto kMost = std::chrono::seconds(1);
  std::string text;
  const auto now = Clock::now();
  for (int i = 0; i < 2; ++i) {
    std::optional<std::vector<Listener::LinkView>> links = facts.listeners[i]->HeldLinks(kMost);
    if (!links)
      return std::nullopt;
    for (const Listener::LinkView& link : *links) {
      const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - link.made);
      text += "port=" + std::to_string(facts.ports[i]) + " client=" + EndpointText(link.client) +
              " link=" + std::to_string(link.link_port) + " age_s=" + SecondsText(age) +
              TrafficText("to_server", link.to_server) + TrafficText("to_client", link.to_client) +
              " server_port=" + std::to_string(link.server_port) + "\n";
    }
  }
  return text;
}

StatusPages PagesOf(const StatusFacts& facts) {
  return {[&facts] { return MetricsText(facts); }, [&facts] { return HealthText(facts); },
          [&facts] { return LinksText(facts); }};
}

}  // namespace tavorin
