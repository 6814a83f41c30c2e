// The pace of the lines about events that relay threads count: one at once when they begin,
// then at most one every 10 s while they go on, each telling what came since the one before.
// Never a line per event: the relay threads only count, and the main thread looks at the
// counts between key tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tavorin {

class LinePace {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kInterval = std::chrono::seconds(10);

  // With `total` events counted so far: how many a line written at `now` is to tell, or
  // nothing when no line is due. A count returned is taken as told.
  std::optional<uint64_t> Due(uint64_t total, Clock::time_point now) {
    if (total == told_ || (written_ && now - last_line_ < kInterval))
      return std::nullopt;
    uint64_t news = total - told_;
    told_ = total;
    last_line_ = now;
    written_ = true;
    return news;
  }

 private:
  uint64_t told_ = 0;
  bool written_ = false;
  Clock::time_point last_line_{};
};

}  // namespace tavorin
