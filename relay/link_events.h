// The links a Listener has made, told to the thread that keeps the link log: the receive thread
// puts one record in per link, the main thread takes them out. A ring of fixed size with one
// writer and one reader, so neither ever waits; when the reader falls behind, records are
// dropped and counted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/endpoint.h"

namespace tavorin {

struct LinkMade {
  std::chrono::system_clock::time_point at;
  Endpoint client;
  uint16_t link_port;  // the port the server sees
};

class LinkMadeQueue {
 public:
  // Room for `capacity` records; none before, and then nothing is kept. Before the writer
  // starts.
  void Enable(size_t capacity) { records_.resize(capacity); }
  bool enabled() const { return !records_.empty(); }

  // Writer only.
  void Put(const LinkMade& record) {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= records_.size()) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    records_[head % records_.size()] = record;
    head_.store(head + 1, std::memory_order_release);
  }

  // Reader only: `take(record)` for each record put so far, oldest first.
  template <typename Take>
  void TakeAll(Take take) {
    if (!enabled())
      return;
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    const uint64_t head = head_.load(std::memory_order_acquire);
    for (; tail != head; ++tail)
      take(records_[tail % records_.size()]);
    tail_.store(tail, std::memory_order_release);
  }

  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::vector<LinkMade> records_;
  std::atomic<uint64_t> head_{0};  // records put
  std::atomic<uint64_t> tail_{0};  // records taken
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace tavorin
