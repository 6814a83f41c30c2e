// Datagrams bound for many sockets' peers, each sent from its own socket, gathered and sent
// together: in one system call for the lot where the system has a submission ring (io_uring
// on Linux), else in one call per run of datagrams that leave from the same socket.
#pragma once

#include <memory>

#include "platform/udp_socket.h"

namespace tavorin {

// The system's submission ring, where it has one (send_ring_*.cpp).
class SendRing {
 public:
  // A ring for up to kMaxBatch sends at a time, or null where the system gives none (no
  // support built in, disabled, or refused by a sandbox).
  static std::unique_ptr<SendRing> Open();
  virtual ~SendRing() = default;
  // Sends each datagram from its socket and waits until every send is done. The result counts
  // those sent, with the error of the last refusal.
  virtual IoResult SendAll(const UdpSocket* const* from, const OutgoingDatagram* datagrams,
                           int count) = 0;
};

// Used by one thread at a time. The data, endpoints and sockets that Add is given must stay
// until Flush returns.
class SendQueue {
 public:
  // Without `ring_allowed` every flush takes the socket calls.
  explicit SendQueue(bool ring_allowed = true) : ring_tried_(!ring_allowed) {}
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  // Queues `datagram` to leave from `from`; a full queue is flushed first.
  void Add(const UdpSocket& from, const OutgoingDatagram& datagram);

  // Sends what is queued and empties the queue. A datagram the system refuses is skipped; the
  // result counts those sent, with the error of the last refusal.
  IoResult Flush();

  // Whether flushes go through the system's ring (known after the first flush).
  bool ThroughRing() const { return ring_ != nullptr; }

 private:
  const UdpSocket* from_[kMaxBatch];
  OutgoingDatagram datagrams_[kMaxBatch];
  int count_ = 0;
  bool ring_tried_;
  std::unique_ptr<SendRing> ring_;
};

}  // namespace tavorin
