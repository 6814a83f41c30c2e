// One client of one Listener: a socket of its own towards the server, and a return thread
// that passes whatever arrives on that socket back to the client through the Listener's
// socket.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"
#include "platform/outcome.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "relay/port_share.h"
#include "relay/proxy_header.h"

namespace tavorin {

// Why a link was closed: it had been idle for the timeout, every link was closed, the server
// moved to the other address family, which the link's socket cannot reach, or AllowClients no
// longer takes its client.
enum class LinkEnd : uint8_t { kIdle, kShutdown, kServerFamily, kNotAllowed };

class ClientLink {
 public:
  // Records the client, what it shares with the other links of its listening port (where its
  // datagrams go, the socket its replies leave from, ...) and the local address it sent to (0
  // when not known); nothing is opened until Start. `port` belongs to the Listener, which
  // outlives its links.
  // With the port's proxy_header set, the header for this client's datagrams is built here,
  // once. `fronted`: the client is a relay in front, and its first datagram named the client
  // the link is for (see TakeFrontHeader).
  ClientLink(const Endpoint& client, PortShare& port, const Endpoint& reply_from = Endpoint(),
             const FrontedDatagram* fronted = nullptr);
  // Stops the return thread and closes the socket. When it returns, nothing of either is left.
  ~ClientLink();
  // Asks the return thread to end and wakes it, without waiting: many links are stopped
  // faster woken all at once and then joined.
  void Wake();
  // Wake for a link closed while the relay runs on: its thread ends only when no relaying
  // thread wants the processor, so that thousands ending at once never queue ahead of those.
  void WakeScheduledLast();
  // Wakes the return thread if need be and waits until it has ended. Afterwards the counts
  // below change no more.
  void Join();
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;

  // Opens the link's socket on a port the system chooses and starts the return thread,
  // scheduled for throughput where the system offers that.
  // On failure nothing is left open, and the outcome says what could not be had.
  Outcome Start(const Route& route);
  Outcome Start() { return Start(port_.route->Get()); }
  // Start on a socket the previous run of the relay had, bound already: the link keeps its
  // port. Fails, closing the socket, when the socket cannot reach the server of `route`
  // (kNoAddressFamily) or no thread can be had.
  Outcome TakeOver(UdpSocket socket, const Route& route);

  // Sends one datagram from the link's socket to the server of `route` (at the port it
  // follows, if any); only the error is to be read. The receive thread's.
  IoResult SendToServer(const PublishedRoute::Versioned& route, const void* data, size_t length);
  // Sends several of the client's datagrams to the server at once. With the header, a datagram
  // that would be longer than kLargestDatagram with it is not sent: it fails with
  // kMessageTooLong, as a send the system refused. The bytes counted are the client's alone,
  // without the header.
  IoResult SendManyToServer(const PublishedRoute::Versioned& route, const void* const* data,
                            const size_t* lengths, int count);

  // Where the link's next datagram goes under `route`: the server as set, or, where links
  // follow the server's port, the server's address at the port it last passed a datagram on
  // from, as long as the server has not been set anew since and that port is not one this
  // relay holds on the server's address (a port given up by the server may since have gone to
  // a link, or to the relay's listening sockets: the datagram would reach another client).
  // `kept_off` is set when a followed port was passed over for that reason.
  Endpoint Destination(const PublishedRoute::Versioned& route, bool* kept_off = nullptr) const;
  Endpoint Destination() const { return Destination(port_.route->Held()); }

  // Whether the link's socket can send to `server`: an IPv4 one to IPv4 only, one bound to
  // an IPv6 client's address or of IPv6 alone to IPv6 only, and one on every address of both
  // families to either.
  bool Reaches(const Endpoint& server) const;
  // After the server moved to the other family: opens the link's socket anew in the family of
  // `server`, on the same port, so that the server sees the client where it did; the return
  // thread is ended and started again around it. The receive thread's. On failure (the port
  // taken meanwhile, a transparent link, whose socket holds its client's address) the socket
  // is closed and the thread not started again: the link is to be closed.
  Outcome MoveTo(const Endpoint& server);

  // Why the link is being closed, set by whoever takes it out of the table.
  void SetEnd(LinkEnd why) { end_ = why; }
  LinkEnd end() const { return end_; }

  // The port (host order) the link last sent a datagram to, 0 before the first.
  uint16_t LastServerPort() const { return ntohs(sent_to_.load(std::memory_order_relaxed)); }

  // The endpoint the datagrams come from, which replies go to, as the table finds the link.
  const Endpoint& client() const { return client_; }
  // The client the link is for: the one a relay in front named, else client().
  const Endpoint& origin() const { return origin_; }
  // Whether client() is a relay in front, whose every datagram starts with a header.
  bool fronted() const { return fronted_; }
  // For a link of a relay in front: takes the header off a datagram of it, which must name the
  // link's own client; false (the datagram is to be dropped) when it has no such header or
  // nothing after it.
  bool TakeFrontHeader(const void*& data, size_t& length) const;
  // The local address the client sent to; unknown when the system did not say.
  const Endpoint& reply_from() const { return reply_from_; }
  // The link's socket, for a second descriptor of it (UdpSocket::Duplicate).
  const UdpSocket& socket() const { return socket_; }
  // The port the server sees, once started.
  uint16_t LocalPort() const { return local_port_; }
  std::chrono::steady_clock::time_point made() const { return made_; }

  // What the link has carried: counted by the receive thread towards the server (it calls
  // this), by the return thread towards the client.
  void CountToServer(int datagrams, size_t bytes) {
    to_server_.datagrams.Add(static_cast<uint64_t>(datagrams));
    to_server_.bytes.Add(bytes);
  }
  Traffic to_server() const { return {to_server_.datagrams.Get(), to_server_.bytes.Get()}; }
  Traffic to_client() const { return {to_client_.datagrams.Get(), to_client_.bytes.Get()}; }
  // A datagram of the client has reached the link, whatever becomes of it (sent, refused by
  // the system, over the client's rate). The receive thread calls this.
  void CountFromClient() { from_client_.Add(1); }
  // Grows with every datagram of the client that reaches the link and every one that reaches
  // the link's socket, relayed or not: unchanged over a while, the link has been idle that long.
  uint64_t Activity() const { return from_client_.Get() + arrived_.Get(); }

  // Whether the client may send one more datagram at `now` under `rate` a second: a bucket
  // that holds a tenth of a second's worth (at least 5) and fills at the rate. The receive
  // thread's alone.
  bool TakeToken(std::chrono::steady_clock::time_point now, uint32_t rate) {
    const double most = rate / 10.0 > 5.0 ? rate / 10.0 : 5.0;
    if (filled_at_ == std::chrono::steady_clock::time_point{}) {
      tokens_ = most;
    } else {
      tokens_ += std::chrono::duration<double>(now - filled_at_).count() * rate;
      tokens_ = tokens_ < most ? tokens_ : most;
    }
    filled_at_ = now;
    if (tokens_ < 1.0)
      return false;
    tokens_ -= 1.0;
    return true;
  }

 private:
  // Opens the socket on a port the system chooses that no one else here needs (see
  // LoopGuard::PortTaken), and records it and the client's port in the guard. The socket is
  // bound to the unspecified address of the server's family, or where links are transparent
  // to the client's own address (which must be of the server's family).
  Outcome TakePort(const Route& route);
  // Opens the socket for the return thread and starts it.
  Outcome StartReturnThread();
  // A link that did not start gives back its loop marks, socket and port.
  Outcome HeldOnlyIf(Outcome started);
  // Whether a datagram from `source` was sent by this relay's own listening sockets.
  bool FromThisRelay(const Endpoint& source, const Route& route) const;
  static void ReturnThread(void* self);
  // Passes on what one receive brought.
  void ReturnBatch(const ReceiveSlot* slots, int count);
  // After a receive failed with `error`: counts the datagrams that the system has reported
  // refused by the server since, at the port the link last sent to; a followed port refused
  // is forgotten (the transfer behind it has ended).
  void TakeRefusals(int error);
  // Where links follow the server's port: records the port of `source`, a datagram passed
  // on, if it comes from the server's address. The return thread's.
  void Follow(const Endpoint& source, const PublishedRoute::Versioned& route);
  // Sends to the server: a run in one send while the server answers.
  IoResult SendToServerSocket(const OutgoingDatagram* datagrams, int count) {
    return answering_.load(std::memory_order_relaxed)
               ? socket_.SendRun(datagrams, count, to_server_room_)
               : socket_.SendMany(datagrams, count);
  }
  // Sends as they are, or each with the header ahead of it.
  IoResult SendPlain(const Endpoint& to, const void* const* data, const size_t* lengths, int count);
  IoResult SendWithHeader(const Endpoint& to, const void* const* data, const size_t* lengths,
                          int count);
  // Records the port a send went to.
  void NoteSent(const Endpoint& to) { sent_to_.store(to.port_net(), std::memory_order_relaxed); }

  // What both threads only read while the link lives.
  const Endpoint client_;  // exactly as the first datagram's source was reported
  const bool fronted_;
  const Endpoint origin_;
  const std::chrono::steady_clock::time_point made_ = std::chrono::steady_clock::now();
  UdpSocket socket_;
  uint16_t local_port_ = 0;
  // The client's port and the link's own in the loop guard, released when the link ends.
  LoopGuard::Marks marks_;
  LinkEnd end_ = LinkEnd::kShutdown;
  StoppableThread thread_;
  PortShare& port_;
  // Replies leave from here, so that a client of a host with several addresses hears back from
  // the address it sent to (from the interface's own when it sent to a broadcast address).
  const Endpoint reply_from_;
  // The port followed: its server's generation (Route::Server) in the high 48 bits, the port in
  // network order in the low 16, 0 for none. Written by the return thread only when it
  // changes, read at every send.
  std::atomic<uint64_t> followed_{0};
  // Whether the server answers: set by the return thread at a reply it passes on from the
  // server's address, cleared when it counts a refusal. While it is set the receive thread sends a
  // client's run to the server as one coalesced send (UdpSocket::SendRun); a server on this host
  // with its port closed answers such a send with one refusal for the run, and refusals are counted
  // per datagram.
  std::atomic<bool> answering_{false};
  // What the routes to the server (the receive thread's) and to the client (the return
  // thread's) take of coalesced sends.
  RunRoom to_server_room_;
  RunRoom to_client_room_;
  // Ahead of every datagram to the server, with the port's proxy_header; empty otherwise.
  const ProxyHeader header_;
  // Ahead of the first alone, and whether one has gone with it (the receive thread's).
  const bool header_once_;
  bool header_gone_ = false;
  // The counts, each thread's on a cache line of its own, so that counting on one core never
  // takes a line the other core reads.
  struct Counts {
    SoleCount datagrams;
    SoleCount bytes;
  };
  alignas(64) Counts to_server_;  // the receive thread's, with the rate's bucket
  SoleCount from_client_;
  double tokens_ = 0;
  std::chrono::steady_clock::time_point filled_at_{};
  std::atomic<uint16_t> sent_to_{0};  // network order
  alignas(64) Counts to_client_;      // the return thread's, with arrived_
  SoleCount arrived_;
};

}  // namespace tavorin
