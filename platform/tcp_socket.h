// A TCP socket for the status listener: listen, accept and talk to one peer at a time, each
// call waiting no longer than it is told. Shared by both systems.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

#include "platform/endpoint.h"
#include "platform/outcome.h"
#include "platform/udp_socket.h"

namespace tavorin {

class TcpSocket {
 public:
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
  // The next connection, waiting up to `wait` for one; a closed socket when none came.
  TcpSocket Accept(std::chrono::milliseconds wait) const;
  // Up to `size` bytes, waiting up to `wait` for any: their count, 0 when the peer has ended,
  // -1 on an error or when nothing came in time.
  int Receive(char* buffer, size_t size, std::chrono::milliseconds wait) const;
  // Sends all of `data`, waiting up to `wait` in all for room; false if it could not.
  bool Send(std::string_view data, std::chrono::milliseconds wait) const;
  bool IsOpen() const { return handle_ != kNoSocket; }
  uint16_t LocalPort() const;
  void Close();

 private:
  // Whether the socket becomes readable (or writable) within `wait`.
  bool Ready(bool write, std::chrono::milliseconds wait) const;

  SocketHandle handle_ = kNoSocket;
};

}  // namespace tavorin
