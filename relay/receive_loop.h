// The loop of a receiving thread, the Listener's and every link's: up to N datagrams at a time
// into buffers on the thread's own stack, each batch handed on, until the thread is asked to
// stop. A failed receive pauses as its error calls for and the loop goes on.
#pragma once

#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "relay/datagram.h"

namespace tavorin {

// Calls `handle(slots, count)` for every batch `socket` receives while `thread` runs.
template <int N, typename Handle>
void ReceiveBatches(const UdpSocket& socket, const StoppableThread& thread, Handle handle) {
  unsigned char buffers[N][kMaxDatagram];
  ReceiveSlot slots[N];
  for (int i = 0; i < N; ++i) {
    slots[i] = {buffers[i], kMaxDatagram, 0, false, {}, 0};
  }
  while (thread.Running()) {
    IoResult received = socket.ReceiveMany(slots, N);
    if (received.error != 0) {
      PauseAfterReceiveError(received.error);
      continue;
    }
    handle(static_cast<const ReceiveSlot*>(slots), received.count);
  }
}

}  // namespace tavorin
