#include "app/link_log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "platform/files.h"

namespace tavorin {

std::string UtcTimestamp(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(at);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss time{ms - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

std::string TrafficText(const char* way, const Traffic& t) {
  return std::string(" ") + way + "_datagrams=" + std::to_string(t.datagrams) + " " + way +
         "_bytes=" + std::to_string(t.bytes);
}

std::string SecondsText(std::chrono::milliseconds span) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%lld.%03lld", static_cast<long long>(span.count() / 1000),
                static_cast<long long>(span.count() % 1000));
  return seconds;
}

void LinkLog::Line(WallClock::time_point at, const std::string& text) {
  pending_ += UtcTimestamp(at) + " tavorin " + text + "\n";
  ++pending_lines_;
}

void LinkLog::Made(uint16_t port, const LinkMade& record) {
  Line(record.at, "link-made port=" + std::to_string(port) + " client=" +
                      EndpointText(record.client) + " link=" + std::to_string(record.link_port) +
                      (record.kind == LinkMade::Kind::kTakenOver ? " taken_over=1"
                       : record.kind == LinkMade::Kind::kHeld    ? " held=1"
                                                                 : ""));
}

void LinkLog::Closed(uint16_t port, const ClientLink& link, const char* reason,
                     Clock::time_point now) {
  const std::string seconds =
      SecondsText(std::chrono::duration_cast<std::chrono::milliseconds>(now - link.made()));
  Line(WallClock::now(), "link-closed port=" + std::to_string(port) +
                             " client=" + EndpointText(link.client()) +
                             " link=" + std::to_string(link.LocalPort()) + " reason=" + reason +
                             " lived_s=" + seconds + TrafficText("to_server", link.to_server()) +
                             TrafficText("to_client", link.to_client()) +
                             " server_port=" + std::to_string(link.LastServerPort()));
}

void LinkLog::Counters(uint16_t port, const Listener& listener) {
  const auto values = CounterValues(listener, Lost());
  std::string text = "counters port=" + std::to_string(port);
  for (size_t i = 0; i < std::size(values); ++i)
    text += std::string(" ") + kCountersLine[i].key + "=" + std::to_string(values[i]);
  Line(WallClock::now(), text);
}

void LinkLog::Flush() {
  // As much as the log takes now, a piece at a time; what a short write leaves (the rest of a
  // line, on a full disk) waits at the front for the next turn, so that every line reaches the
  // file whole, in order.
  constexpr size_t kPiece = 4096;
  size_t at = 0;
  while (at < pending_.size()) {
    const size_t n = WriteStandardOutputNow(
        std::string_view(pending_.data() + at, std::min(kPiece, pending_.size() - at)));
    if (n == 0)
      break;
    at += n;
  }
  pending_lines_ -=
      static_cast<uint64_t>(std::count(pending_.begin(), pending_.begin() + at, '\n'));
  pending_.erase(0, at);
  // A log that takes nothing for long keeps only so much waiting: whole lines past it are
  // dropped, the newest first, and counted; a line begun in the file is kept to be ended.
  constexpr size_t kMostWaiting = 4 << 20;
  if (pending_.size() > kMostWaiting) {
    const size_t keep = pending_.rfind('\n', kMostWaiting - 1);
    const size_t from = keep == std::string::npos ? pending_.find('\n') : keep;
    const uint64_t dropped =
        static_cast<uint64_t>(std::count(pending_.begin() + from + 1, pending_.end(), '\n'));
    pending_.resize(from + 1);
    pending_lines_ -= dropped;
    unwritten_.store(Lost() + dropped, std::memory_order_relaxed);
  }
}

uint64_t LinkLog::Waiting() const {
  return pending_lines_;
}

}  // namespace tavorin
