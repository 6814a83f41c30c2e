// The status listener: HTTP/1.1 on a TCP port of its own (StatusAddress), for a scraper and a
// balancer's health check, served on a thread of its own that no relay thread waits for. One
// connection at a time, each within a bound of bytes and time, and at most a few waiting.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/endpoint.h"
#include "platform/outcome.h"
#include "platform/tcp_socket.h"
#include "platform/thread.h"

namespace tavorin {

// What it serves, each asked on its thread when a request comes.
struct StatusPages {
  std::function<std::string()> metrics;
  std::function<std::pair<int, std::string>()> health;  // 200 or 503, and its text
  std::function<std::optional<std::string>()> links;    // none: the links cannot be listed
};

class StatusServer {
 public:
  StatusServer() = default;
  ~StatusServer() { Stop(); }
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Listens on `address` and starts the thread; the outcome says what failed.
  Outcome Start(const Endpoint& address, StatusPages pages);
  // Ends the thread (within a tenth of a second) and closes the port. Harmless when not started.
  void Stop();
  uint16_t LocalPort() const { return socket_.LocalPort(); }
  // Requests answered, and connections dropped unanswered (too slow, too long, gone).
  uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }

 private:
  static void Run(void* self);
  void Serve(const TcpSocket& peer);

  TcpSocket socket_;
  StatusPages pages_;
  StoppableThread thread_;
  std::atomic<uint64_t> answered_{0};
};

}  // namespace tavorin
