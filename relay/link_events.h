// The links a Listener has made, told to the thread that keeps the link log and hands sockets to
// the service manager: the receive thread puts one record in per link (and one per link moved to
// a new socket), the main thread takes them out. A ring of fixed size with one
// writer and one reader, so neither ever waits; when the reader falls behind, records are
// dropped and counted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/endpoint.h"
#include "platform/udp_socket.h"

namespace tavorin {

struct LinkMade {
  enum class Kind : uint8_t {
    kMade,       // for a client not seen before
    kTakenOver,  // handed on by the previous run of the relay
    kMoved,      // its socket opened anew in the server's other family, on the same port
    kHeld,       // held when the log was turned on (the main thread's own, never put)
  };
  std::chrono::system_clock::time_point at;
  Endpoint client;
  uint16_t link_port;  // the port the server sees
  Kind kind = Kind::kMade;
  Endpoint reply_from = {};  // the local address the client sent to, when known
  // A second descriptor of the link's socket, for the service manager to keep, when the
  // Listener keeps its sockets (Listener::KeepSockets); the reader closes it.
  SocketHandle kept = kNoSocket;
  // The client a relay in front named (ClientLink::origin), `client` being that relay; none when
  // the client sent itself.
  Endpoint origin = {};
};

class LinkMadeQueue {
 public:
  // Room for `capacity` records (the first time), and records are kept from now on; none
  // before. The reader's thread, any time.
  void Enable(size_t capacity) {
    if (records_ == nullptr) {
      records_ = std::make_unique<LinkMade[]>(capacity);
      capacity_ = capacity;
    }
    on_.store(true, std::memory_order_release);
  }
  // No record is kept from now on; those kept may still be taken.
  void Disable() { on_.store(false, std::memory_order_relaxed); }
  bool enabled() const { return on_.load(std::memory_order_acquire); }

  // Writer only, once it has seen enabled(). False when the record was dropped.
  bool Put(const LinkMade& record) {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= capacity_) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    records_[head % capacity_] = record;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // Reader only: `take(record)` for each record put so far, oldest first.
  template <typename Take>
  void TakeAll(Take take) {
    if (records_ == nullptr)
      return;
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    const uint64_t head = head_.load(std::memory_order_acquire);
    for (; tail != head; ++tail)
      take(records_[tail % capacity_]);
    tail_.store(tail, std::memory_order_release);
  }

  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::unique_ptr<LinkMade[]> records_;  // set once, before on_ is first set
  size_t capacity_ = 0;
  std::atomic<bool> on_{false};
  std::atomic<uint64_t> head_{0};  // records put
  std::atomic<uint64_t> tail_{0};  // records taken
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace tavorin
