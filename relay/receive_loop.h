// The loop of a receiving thread, the Listener's and every link's: up to N datagrams at a time,
// each batch handed on, until the thread is asked to stop. A failed receive pauses as its error
// calls for and the loop goes on.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <new>

#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "relay/datagram.h"

namespace tavorin {

// The turn a relaying thread asks of the system (StoppableThread::ScheduleForThroughput): the
// shortest the system takes. Such a thread runs microseconds at a wake; woken behind threads
// that run for milliseconds at a time (the server, the clients, anything else on the host), it
// is chosen ahead of them at the next switch instead of waiting out their turns.
inline constexpr std::chrono::microseconds kRelayThreadSlice{100};

// Calls `handle(slots, count)` for every batch `socket` receives while `thread` runs, and with
// a count of 0 after a receive that failed or timed out, so that the handler can do what is
// due with time (the idle sweep) when nothing comes; `failed(error)` comes first, with the
// receive's error (a report of refused datagrams, say). Each
// buffer holds `limit` bytes, so that a longer datagram shows as cut. Up to the default limit
// the buffers live on the thread's stack, as they always have; a larger limit's are allocated
// once, here, and left untouched, so a page of them becomes memory only when a datagram that
// long arrives. When that allocation fails the default limit holds for this thread.
template <int N, typename Handle, typename Failed>
void ReceiveBatches(const UdpSocket& socket, const StoppableThread& thread, size_t limit,
                    Handle handle, Failed failed) {
  unsigned char on_stack[N][kDefaultMaxDatagram];
  std::unique_ptr<unsigned char[]> on_heap;
  unsigned char* room = &on_stack[0][0];
  size_t each = kDefaultMaxDatagram;
  if (limit > kDefaultMaxDatagram) {
    try {
      on_heap = std::make_unique_for_overwrite<unsigned char[]>(N * limit);
      room = on_heap.get();
      each = limit;
    } catch (const std::bad_alloc&) {
    }
  }
  if (limit < each) {
    each = limit;
  }
  ReceiveSlot slots[N];
  for (int i = 0; i < N; ++i) {
    slots[i] = {room + static_cast<size_t>(i) * each, each, 0, false, {}, {}, {}, 0};
  }
  while (thread.Running()) {
    IoResult received = socket.ReceiveMany(slots, N);
    if (!thread.Running()) {
      // Woken to stop: an interrupted receive fails, a shut-down socket brings an empty datagram
      // from nowhere (on Windows an empty one from the socket's own address). Datagrams that
      // came just before the wake are still passed on.
      int real = 0;
      while (received.error == 0 && real < received.count && slots[real].length > 0 &&
             slots[real].source.known())
        ++real;
      if (real > 0)
        handle(static_cast<const ReceiveSlot*>(slots), real);
      break;
    }
    if (received.error != 0) {
      failed(received.error);
      PauseAfterReceiveError(received.error);
      handle(static_cast<const ReceiveSlot*>(slots), 0);
      continue;
    }
    handle(static_cast<const ReceiveSlot*>(slots), received.count);
  }
}

// The same, for a thread that has nothing to do with a receive's error.
template <int N, typename Handle>
void ReceiveBatches(const UdpSocket& socket, const StoppableThread& thread, size_t limit,
                    Handle handle) {
  ReceiveBatches<N>(socket, thread, limit, handle, [](int) {});
}

}  // namespace tavorin
