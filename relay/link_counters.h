// How a Listener has fared with new clients: links made, clients refused and why the latest
// was, and links that expired. Only the receive thread counts; any thread may read, at any
// time, without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/outcome.h"

namespace tavorin {

class LinkCounters {
 public:
  void CountMade() { made_.fetch_add(1, std::memory_order_relaxed); }
  void CountExpired() { expired_.fetch_add(1, std::memory_order_relaxed); }
  void CountRefused(const Outcome& why) {
    last_refusal_.store(Pack(why), std::memory_order_relaxed);
    refused_.fetch_add(1, std::memory_order_release);
  }

  uint64_t made() const { return made_.load(std::memory_order_relaxed); }
  uint64_t expired() const { return expired_.load(std::memory_order_relaxed); }
  // Links in the table now, give or take one being made or expiring.
  uint64_t held() const {
    uint64_t gone = expired();
    uint64_t all = made();
    return all > gone ? all - gone : 0;
  }
  uint64_t refused() const { return refused_.load(std::memory_order_acquire); }
  // Why the latest client was refused; done (no failure) before the first refusal.
  Outcome last_refusal() const { return Unpack(last_refusal_.load(std::memory_order_relaxed)); }

 private:
  // Step and error code in one word, so that a reader never sees one without the other.
  static uint64_t Pack(const Outcome& o) {
    return (uint64_t{static_cast<uint8_t>(o.step())} << 32) | static_cast<uint32_t>(o.error());
  }
  static Outcome Unpack(uint64_t word) {
    auto step = static_cast<Step>(word >> 32);
    return step == Step::kNone ? Outcome()
                               : Outcome::Failed(step, static_cast<int>(word & 0xFFFFFFFFu));
  }

  std::atomic<uint64_t> made_{0};
  std::atomic<uint64_t> expired_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> last_refusal_{0};
};

}  // namespace tavorin
