#include "app/status_server.h"

#include <algorithm>

namespace tavorin {

namespace {
using std::chrono::milliseconds;
// Room for a burst of connections between two turns (a connection past it waits a second or more
// for its retried SYN); the cap applies as they are accepted.
constexpr int kBacklog = 512;
// The longest the loop waits for anything, and so how soon it sees that it is to end.
constexpr milliseconds kTurn(100);
// Connections accepted in one turn at most: a flood of them never keeps the loop from serving
// those it holds.
constexpr int kAcceptsPerTurn = 64;
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
}  // namespace

Outcome StatusServer::Start(const Endpoint& address, StatusPages pages) {
  if (Outcome listening = socket_.Listen(address, kBacklog); !listening)
    return listening;
  pages_ = std::move(pages);
  connections_.reserve(kMostConnections);
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
  connections_.clear();
  socket_.Close();
}

void StatusServer::Run(void* self) {
  auto* server = static_cast<StatusServer*>(self);
  while (server->thread_.Running())
    server->Turn();
}

void StatusServer::Turn() {
  auto wait = kTurn;
  const auto before = Clock::now();
  waits_.clear();
  // A listening socket whose accept fails (no descriptor left) stays readable: it is left out
  // of the wait for a turn, or the loop would spin.
  const bool accepting = before >= accepts_paused_until_;
  if (accepting)
    waits_.push_back({&socket_, false, false});
  const size_t first = waits_.size();
  for (const Connection& c : connections_) {
    waits_.push_back({&c.socket, c.answering, false});
    wait = std::min(wait, std::chrono::ceil<milliseconds>(c.deadline - before));
  }
  if (!TcpSocket::WaitForAny(waits_, wait))
    waits_.assign(waits_.size(), {nullptr, false, true});  // each call below finds out alone
  const auto now = Clock::now();
  // What has come: requests read, and answers sent on. An answer is made once its request is
  // whole, /links last of all, since listing the links waits for each receive thread's turn.
  TurnPages pages;
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection& c = connections_[i];
    if (waits_[first + i].ready && !(c.answering ? SendMore(c) : Read(c, now, pages)))
      LetGo(c, c.answering && c.sent == c.answer.size());
  }
  for (Connection& c : connections_) {
    if (c.links_asked && c.socket.IsOpen()) {
      c.links_asked = false;
      StatusRequest links;
      links.page = StatusPage::kLinks;
      links.head_only = c.head_only;
      Answer(c, links, now, pages);
      if (!SendMore(c))
        LetGo(c, c.sent == c.answer.size());
    }
  }
  // Past its deadline: a request begun is told it came too slowly, anything else let go.
  for (Connection& c : connections_) {
    if (!c.socket.IsOpen() || now < c.deadline)
      continue;
    if (!c.answering && !c.links_asked && !c.received.empty()) {
      StatusRequest late;
      late.refusal = 408;
      Answer(c, late, now, pages);
      if (SendMore(c))
        continue;
    }
    LetGo(c, c.answering && c.sent == c.answer.size());
  }
  std::erase_if(connections_, [](const Connection& c) { return !c.socket.IsOpen(); });
  if (accepting && waits_[0].ready)
    AcceptWaiting(now);
}

void StatusServer::AcceptWaiting(Clock::time_point now) {
  for (int n = 0; n < kAcceptsPerTurn; ++n) {
    TcpSocket peer = socket_.Accept();
    if (!peer.IsOpen()) {
      if (n == 0)
        accepts_paused_until_ = now + kTurn;
      return;
    }
    if (connections_.size() >= kMostConnections) {
      // The oldest that has not yet asked is let go first: a scraper or a health check asks as
      // it connects, a peer that holds a connection silent does not.
      auto oldest = std::find_if(connections_.begin(), connections_.end(),
                                 [](const Connection& c) { return !c.answering; });
      if (oldest == connections_.end())
        oldest = connections_.begin();
      LetGo(*oldest, false);
      connections_.erase(oldest);
    }
    Connection& c = connections_.emplace_back();
    c.socket = std::move(peer);
    c.deadline = now + kForRequest;
  }
}

bool StatusServer::Read(Connection& c, Clock::time_point now, TurnPages& pages) {
  StatusRequest request = JudgeRequest(c.received);
  char buffer[2048];
  while (!request.complete && request.refusal == 0) {
    const long n = c.socket.Receive(buffer, sizeof buffer);
    if (n == TcpSocket::kWouldWait)
      return true;
    if (n <= 0)
      return false;  // gone before its request was whole: nothing to answer
    c.received.append(buffer, static_cast<size_t>(n));
    request = JudgeRequest(c.received);
  }
  if (request.page == StatusPage::kLinks && request.refusal == 0) {
    c.links_asked = true;  // answered after the rest of this turn's
    c.head_only = request.head_only;
    return true;
  }
  Answer(c, request, now, pages);
  return SendMore(c);
}

void StatusServer::Answer(Connection& c, const StatusRequest& request, Clock::time_point now,
                          TurnPages& pages) {
  int status = 200;
  const char* type = kText;
  std::string body;
  if (request.refusal != 0) {
    status = request.refusal;
  } else if (request.page == StatusPage::kMetrics) {
    if (!pages.metrics)
      pages.metrics = pages_.metrics();
    type = kMetricsType;
    body = *pages.metrics + OwnMetrics();
  } else if (request.page == StatusPage::kHealth) {
    if (!pages.health)
      pages.health = pages_.health();
    std::tie(status, body) = *pages.health;
  } else {
    if (!pages.links)
      pages.links = pages_.links();
    if (*pages.links) {
      body = **pages.links;
    } else {
      status = 503;
      body = "the links cannot be listed now\n";
    }
  }
  if (request.page != StatusPage::kHealth && answer_bytes_ + body.size() > kMostAnswerBytes) {
    status = 503;
    type = kText;
    body = "too many answers wait for their peers to take them\n";
  }
  c.answer = StatusAnswer(status, type, body, request.head_only);
  c.received.clear();
  c.received.shrink_to_fit();
  c.answering = true;
  c.deadline = now + kForAnswer;
  answer_bytes_ += c.answer.size();
}

std::string StatusServer::OwnMetrics() const {
  return "# HELP tavorin_status_answered_total requests of the status listener answered whole\n"
         "# TYPE tavorin_status_answered_total counter\n"
         "tavorin_status_answered_total " +
         std::to_string(answered()) +
         "\n# HELP tavorin_status_let_go_total connections of the status listener let go "
         "unanswered: too slow, past the most held at once, or gone\n"
         "# TYPE tavorin_status_let_go_total counter\n"
         "tavorin_status_let_go_total " +
         std::to_string(let_go()) + "\n";
}

bool StatusServer::SendMore(Connection& c) {
  const long n = c.socket.Send(std::string_view(c.answer).substr(c.sent));
  if (n == TcpSocket::kWouldWait)
    return true;
  if (n < 0)
    return false;
  c.sent += static_cast<size_t>(n);
  return c.sent < c.answer.size();
}

void StatusServer::LetGo(Connection& c, bool answered) {
  (answered ? answered_ : let_go_).fetch_add(1, std::memory_order_relaxed);
  answer_bytes_ -= c.answer.size();
  c.answer.clear();
  c.socket.Close();
}

}  // namespace tavorin
