// The status listener: HTTP/1.1 on a TCP port of its own (StatusAddress), for a scraper and a
// balancer's health check, served on a thread of its own that no relay thread waits for. Every
// connection is served at once, in one loop that never waits on any one peer: each has a
// deadline, their number a cap (past it the oldest still waiting for its request is let go),
// and the answers held a bound of bytes, so that no peer, however slow or many, holds up the
// answer to another.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/status_http.h"
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
  using Clock = std::chrono::steady_clock;
  // The most connections served at once.
  static constexpr size_t kMostConnections = 256;
  // The time a connection has for its whole request, from its accept, and then to take the
  // answer.
  static constexpr std::chrono::milliseconds kForRequest{2000};
  static constexpr std::chrono::milliseconds kForAnswer{2000};
  // The most bytes of answers held for peers that have not taken them yet; a page that would
  // pass it is answered 503 instead (never /health, whose answer is a line).
  static constexpr size_t kMostAnswerBytes = 32 << 20;

  StatusServer() = default;
  ~StatusServer() { Stop(); }
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Listens on `address` and starts the thread; the outcome says what failed.
  Outcome Start(const Endpoint& address, StatusPages pages);
  // Ends the thread (within a tenth of a second) and closes the port and every connection.
  // Harmless when not started.
  void Stop();
  uint16_t LocalPort() const { return socket_.LocalPort(); }
  // Requests answered whole, and connections let go unanswered (too slow, past the cap, gone).
  uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }
  uint64_t let_go() const { return let_go_.load(std::memory_order_relaxed); }

 private:
  struct Connection {
    TcpSocket socket;
    Clock::time_point deadline;
    std::string received;  // the request head so far
    std::string answer;    // once the request is judged
    size_t sent = 0;
    bool answering = false;
    bool links_asked = false;  // a whole request for /links, answered at the end of the turn
    bool head_only = false;
  };
  // The pages asked for in one turn of the loop, each made once however many ask.
  struct TurnPages {
    std::optional<std::string> metrics;
    std::optional<std::pair<int, std::string>> health;
    std::optional<std::optional<std::string>> links;
  };

  static void Run(void* self);
  // One turn: waits up to a tenth of a second for any socket, then accepts, reads, answers,
  // sends and lets go what is due.
  void Turn();
  void AcceptWaiting(Clock::time_point now);
  // Reads what has come of `c`'s request; false when the peer has gone.
  bool Read(Connection& c, Clock::time_point now, TurnPages& pages);
  void Answer(Connection& c, const StatusRequest& request, Clock::time_point now, TurnPages& pages);
  // Its own counts, in the Prometheus text format, after the relay's in /metrics.
  std::string OwnMetrics() const;
  // Sends what the peer takes now; false when it is done with (all sent, or gone).
  bool SendMore(Connection& c);
  void LetGo(Connection& c, bool answered);

  TcpSocket socket_;
  StatusPages pages_;
  StoppableThread thread_;
  // The status thread's own.
  std::vector<Connection> connections_;
  std::vector<TcpSocket::Wait> waits_;
  size_t answer_bytes_ = 0;
  Clock::time_point accepts_paused_until_;
  std::atomic<uint64_t> answered_{0};
  std::atomic<uint64_t> let_go_{0};
};

}  // namespace tavorin
