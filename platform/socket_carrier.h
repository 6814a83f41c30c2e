// Sockets in flight: a connected pair of local datagram sockets, whose queue holds the sockets
// sent into one end, each message with bytes of the sender's own, until they are received from
// the other. Whoever holds either end holds the queue, so a process that hands both ends to
// another (the service manager's store of descriptors) hands on every socket in it, however
// many, for the price of two descriptors; and the sockets in it stay open, and bound to their
// ports, until they are received or both ends are closed. Linux alone: on Windows Make fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/udp_socket.h"

namespace tavorin {

class SocketCarrier {
 public:
  // The most sockets one message carries (the system's own bound).
  static constexpr size_t kMostPerMessage = 253;
  // What Send says when the queue has no room for the message now: its bytes and those already
  // waiting would pass the send buffer's bound.
  static constexpr int kFull = -1;

  SocketCarrier() = default;
  // Takes both ends over (handed on by another process); each is closed with the carrier.
  SocketCarrier(SocketHandle in, SocketHandle out) : in_(in), out_(out) {}
  ~SocketCarrier() { Close(); }
  SocketCarrier(SocketCarrier&& other) noexcept;
  SocketCarrier& operator=(SocketCarrier&& other) noexcept;
  SocketCarrier(const SocketCarrier&) = delete;
  SocketCarrier& operator=(const SocketCarrier&) = delete;

  // A new pair, neither end ever waiting, with as large a send buffer as the system grants; 0,
  // or the system's error.
  static int Make(SocketCarrier& made);

  bool IsOpen() const { return in_ != kNoSocket && out_ != kNoSocket; }
  // The end sockets are sent into, and the one they come out of.
  SocketHandle in() const { return in_; }
  SocketHandle out() const { return out_; }

  // Sends one message: `length` bytes of `data` and `count` sockets (at most kMostPerMessage),
  // which stay open here too. 0 when it went, kFull, or the system's error (among them the
  // error of too many sockets in flight for the user, bounded by the limit on open files).
  int Send(const void* data, size_t length, const SocketHandle* sockets, size_t count) const;
  // Takes the message at the head of the queue: its bytes, up to `capacity`, and the sockets
  // it carried, now this process's (closed on exec) and the caller's to close. False when the
  // queue is empty (or the pair is not open).
  struct Message {
    size_t length = 0;  // the bytes taken
    bool cut = false;   // the message had more bytes than `capacity`, or more sockets than fit
    std::vector<SocketHandle> sockets;
  };
  bool Receive(void* data, size_t capacity, Message& message) const;

  void Close();

 private:
  SocketHandle in_ = kNoSocket;
  SocketHandle out_ = kNoSocket;
};

}  // namespace tavorin
