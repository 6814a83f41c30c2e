#include "app/silence_report.h"

namespace tavorin {

void SilenceReport::SetWindow(std::chrono::seconds window) {
  window_ = window;
  if (window_.count() == 0)
    Forget(sent_);
}

void SilenceReport::Forget(uint64_t sent) {
  answered_up_to_ = sent;
  waiting_since_.reset();
  silent_.store(false, std::memory_order_relaxed);
  told_ = false;
}

void SilenceReport::Observe(uint64_t sent, bool answered, const Endpoint& server,
                            uint64_t generation, Clock::time_point now) {
  if (sent != sent_)
    last_sent_at_ = now;
  sent_ = sent;
  looked_at_ = now;
  if (!watching_ || generation != generation_ || !SameAddressAndPort(server, server_)) {
    // What went to a server before it was set anew waits for no answer from this one; what
    // went before the first look does.
    if (watching_)
      Forget(sent);
    watching_ = true;
    server_ = server;
    generation_ = generation;
  }
  if (window_.count() == 0 || answered) {
    // What was sent before an answer counts as answered: a reply and the next datagram may
    // come between two looks.
    answered_up_to_ = sent;
    waiting_since_.reset();
    silent_.store(false, std::memory_order_relaxed);
    return;
  }
  if (sent == answered_up_to_)
    return;  // nothing waits for an answer
  // A silence told stays while links send; once nothing more has gone to the server for a
  // window past the one that judged it, it is forgotten without a word, so that one datagram
  // lost long ago does not keep the server silent for ever.
  if (now - last_sent_at_ >= 2 * window_) {
    Forget(sent);
    return;
  }
  if (!waiting_since_)
    waiting_since_ = now;
  if (now - *waiting_since_ >= window_)
    silent_.store(true, std::memory_order_relaxed);
}

std::chrono::seconds SilenceReport::SilentFor(Clock::time_point now) const {
  if (!silent() || !waiting_since_)
    return std::chrono::seconds(0);
  return std::chrono::duration_cast<std::chrono::seconds>(now - *waiting_since_);
}

std::optional<std::string> SilenceReport::Line(Clock::time_point now) {
  auto prefix = [this] {
    return "tavorin: port " + std::to_string(port_) + ": the server " + EndpointText(server_);
  };
  if (!silent() && told_) {
    told_ = false;
    return prefix() + " answers again";
  }
  if (!silent() || told_ || (last_told_ && now - *last_told_ < LinePace::kInterval))
    return std::nullopt;
  told_ = true;
  last_told_ = now;
  const uint64_t waiting = sent_ - answered_up_to_;
  return prefix() + " has answered none of the " + std::to_string(waiting) +
         (waiting == 1 ? " datagram" : " datagrams") + " of the last " +
         std::to_string(SilentFor(looked_at_).count()) + " s";
}

}  // namespace tavorin
