// A server on two neighbouring ports of 127.0.0.1, S and S + 1, bound together, that answers
// every datagram with the same bytes from the port it reached, and counts what it got.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "tests/udp_peer.h"

namespace tavorin::testing {

class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  uint16_t port() const { return port_; }  // S
  uint64_t received() const { return received_.load(); }

  // Sends `data` to `to` from S, or from S + 1 when `next`, as the server itself would.
  void SendFrom(bool next, const Bytes& data, const Endpoint& to) const;

 private:
  void Run();

  int fds_[2];
  uint16_t port_ = 0;
  std::atomic<uint64_t> received_{0};
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace tavorin::testing
