// Plays a Listener's receive thread: hands it one datagram as if its socket had received it,
// or takes an idle sweep step at a time of the test's choosing. Only while the Listener is
// stopped (or never started), as the receive thread is the only one that may touch the table
// while it runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "relay/datagram.h"
#include "relay/listener.h"

namespace tavorin {

class ListenerProbe {
 public:
  static void Relay(Listener& listener, const void* data, size_t length, const Endpoint& source,
                    const Endpoint& local = Endpoint()) {
    // The receive path only reads the buffer.
    ReceiveSlot slot{const_cast<void*>(data),
                     listener.port_.max_datagram,
                     length,
                     false,
                     source,
                     local,
                     local,
                     0};
    listener.RelayBatch(&slot, 1);
  }
  // Hands it a batch of datagrams of `source`, one of each of `lengths` bytes, as one receive
  // would.
  static void RelayBatch(Listener& listener, const std::vector<size_t>& lengths,
                         const Endpoint& source) {
    std::vector<unsigned char> bytes(kLargestDatagram, 'x');
    std::vector<ReceiveSlot> slots;
    for (size_t length : lengths)
      slots.push_back(
          {bytes.data(), listener.port_.max_datagram, length, false, source, {}, {}, 0});
    listener.RelayBatch(slots.data(), static_cast<int>(slots.size()));
  }
  // A sweep step at `now` over the whole table, which hands what expired over to CloseExpired.
  static void Sweep(Listener& listener, std::chrono::steady_clock::time_point now) {
    listener.sweep_at_ = nullptr;
    listener.SweepIdle(now, listener.route().Get().rules.idle_timeout);
  }
};

}  // namespace tavorin
