// What became of the datagrams of one listening port that were not relayed: empty ones, and
// those longer than the limit. The receive thread and every link's return thread count; any
// thread may read, at any time, without a lock. Nothing is counted for a datagram relayed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/udp_socket.h"

namespace tavorin {

class PortCounters {
 public:
  // Counts `slot`, which was not relayable under `limit`.
  void CountUnrelayable(const ReceiveSlot& slot, size_t limit) {
    if (slot.length == 0 && !slot.truncated) {
      empty_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    // Where the system tells a cut datagram's whole length, it is longer than the buffer.
    latest_oversize_.store(slot.length > limit ? slot.length : 0, std::memory_order_relaxed);
    oversize_.fetch_add(1, std::memory_order_release);
  }

  uint64_t empty() const { return empty_.load(std::memory_order_relaxed); }
  uint64_t oversize() const { return oversize_.load(std::memory_order_acquire); }
  // The length of the latest datagram dropped for its length, 0 where the system did not say.
  size_t latest_oversize() const { return latest_oversize_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> empty_{0};
  std::atomic<uint64_t> oversize_{0};
  std::atomic<size_t> latest_oversize_{0};
};

}  // namespace tavorin
