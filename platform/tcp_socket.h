// A TCP socket for the status listener: listen, accept and talk to many peers at once, every
// call returning at once, and one wait over all of them. Shared by both systems.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>

#include "platform/endpoint.h"
#include "platform/outcome.h"
#include "platform/udp_socket.h"

namespace tavorin {

class TcpSocket {
 public:
  // What Receive and Send give when the call would have to wait.
  static constexpr long kWouldWait = -2;

  TcpSocket() = default;
  ~TcpSocket() { Close(); }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket(TcpSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = kNoSocket; }
  TcpSocket& operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kNoSocket;
    }
    return *this;
  }

  // Listens on `local` (an IPv6 one on that family alone), with room for `backlog`
  // connections not yet accepted. On failure the socket is left closed and the outcome says
  // which step failed and why.
  Outcome Listen(const Endpoint& local, int backlog);
  // The next connection waiting, without waiting for one; a closed socket when none is.
  TcpSocket Accept() const;
  // Up to `size` bytes of those come: their count, 0 when the peer has ended, kWouldWait when
  // none are there, -1 on an error.
  long Receive(char* buffer, size_t size) const;
  // As much of `data` as the system takes now: its count, kWouldWait when it takes nothing
  // now, -1 on an error.
  long Send(std::string_view data) const;
  bool IsOpen() const { return handle_ != kNoSocket; }
  SocketHandle handle() const { return handle_; }
  uint16_t LocalPort() const;
  void Close();

  // A socket to wait on, for reading (or a new connection) or for room to write; `ready` says,
  // after WaitForAny, whether it may go on (an error or a hang-up included).
  struct Wait {
    const TcpSocket* socket;
    bool write;
    bool ready;
  };
  // Waits up to `wait` until one of `waits` is ready, and marks each; false on an error of the
  // wait itself.
  static bool WaitForAny(std::span<Wait> waits, std::chrono::milliseconds wait);

 private:
  SocketHandle handle_ = kNoSocket;
};

}  // namespace tavorin
