#include "app/status_server.h"

#include <chrono>

#include "app/status_http.h"

namespace tavorin {

namespace {
using std::chrono::milliseconds;
constexpr int kBacklog = 16;
// How often the thread looks whether it is to end.
constexpr milliseconds kTurn(100);
// The most one connection is given to send its request, and then to take the answer.
constexpr milliseconds kForRequest(500);
constexpr milliseconds kPerConnection(2000);
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
}  // namespace

Outcome StatusServer::Start(const Endpoint& address, StatusPages pages) {
  if (Outcome listening = socket_.Listen(address, kBacklog); !listening)
    return listening;
  pages_ = std::move(pages);
  if (Outcome started = thread_.Start(&StatusServer::Run, this); !started) {
    socket_.Close();
    return started;
  }
  // A request waits for a relaying thread's turn to end rather than cutting it short.
  thread_.ScheduleForThroughput();
  return Outcome();
}

void StatusServer::Stop() {
  thread_.RequestStop();
  thread_.Join();
  socket_.Close();
}

void StatusServer::Run(void* self) {
  auto* server = static_cast<StatusServer*>(self);
  while (server->thread_.Running()) {
    TcpSocket peer = server->socket_.Accept(kTurn);
    if (peer.IsOpen())
      server->Serve(peer);
  }
}

void StatusServer::Serve(const TcpSocket& peer) {
  // The request comes at once from a scraper or a health check: a peer that dawdles over it
  // holds the next one up no longer than this.
  auto deadline = std::chrono::steady_clock::now() + kForRequest;
  auto left = [&] {
    return std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  };
  std::string head;
  StatusRequest request;
  char buffer[1024];
  while (!request.complete && request.refusal == 0) {
    if (left().count() <= 0) {
      request.refusal = 408;
      break;
    }
    const int n = peer.Receive(buffer, sizeof buffer, left());
    if (n <= 0)
      return;  // gone, or silent past its time: nothing to answer
    head.append(buffer, static_cast<size_t>(n));
    request = JudgeRequest(head);
  }
  deadline = std::chrono::steady_clock::now() + kPerConnection;
  std::string answer;
  if (request.refusal != 0) {
    answer = StatusAnswer(request.refusal, kText, "", request.head_only);
  } else if (request.page == StatusPage::kMetrics) {
    answer = StatusAnswer(200, kMetricsType, pages_.metrics(), request.head_only);
  } else if (request.page == StatusPage::kHealth) {
    const auto [status, text] = pages_.health();
    answer = StatusAnswer(status, kText, text, request.head_only);
  } else if (std::optional<std::string> links = pages_.links()) {
    answer = StatusAnswer(200, kText, *links, request.head_only);
  } else {
    answer = StatusAnswer(503, kText, "the links cannot be listed now\n", request.head_only);
  }
  if (peer.Send(answer, left()))
    answered_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tavorin
