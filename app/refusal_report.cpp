#include "app/refusal_report.h"

namespace tavorin {

std::string ShortageText(const Outcome& outcome) {
  switch (outcome.step()) {
    case Step::kNone:
      return "nothing missing";
    case Step::kSocket:
      return "no socket: " + ErrorText(outcome.error());
    case Step::kBind:
      return "no local UDP port: " + ErrorText(outcome.error());
    case Step::kThread:
      return "no thread: " + ErrorText(outcome.error());
    case Step::kMemory:
      return "no memory";
    case Step::kLimit:
      return "limit of " + std::to_string(outcome.error()) + " links reached";
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
  const uint64_t refused = counters.refused();
  const uint64_t made = counters.made();
  const uint64_t links = counters.held();
  const std::string held = std::to_string(links) + (links == 1 ? " link held" : " links held");
  if (!refusing_) {
    if (refused == refused_told_)
      return std::nullopt;
    refusing_ = true;
    refused_before_ = refused_told_;
    refused_told_ = refused;
    made_at_begin_ = made;
    last_line_ = now;
    written_ = true;
    return Line("new clients are refused (" + ShortageText(counters.last_refusal()) + "); " + held);
  }
  if (made > made_at_begin_) {
    refusing_ = false;
    refused_told_ = refused;
    last_line_ = now;
    return Line("links can be made again; " + held + ", " +
                std::to_string(refused - refused_before_) + " new clients were refused");
  }
  if (refused > refused_told_) {
    const uint64_t more = refused - refused_told_;
    refused_told_ = refused;
    last_line_ = now;
    return Line(std::to_string(more) + " more new clients refused (" +
                ShortageText(counters.last_refusal()) + "); " + held);
  }
  return std::nullopt;
}

}  // namespace tavorin
