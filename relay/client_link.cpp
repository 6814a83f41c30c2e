#include "relay/client_link.h"

#include <optional>
#include <utility>

#include "relay/datagram.h"
#include "relay/receive_loop.h"

namespace tavorin {

namespace {
// The return loop needs little more than its datagram buffer.
constexpr size_t kReturnThreadStack = 64 * 1024;
// Replies taken from the link's socket per call, and sent to the client in one (a coalesced send
// where the system has it). A client with several datagrams in flight gets its replies in
// bursts: at 16 clients of 8 in flight a wake brings 6 or 7. Eight cost each link's thread a
// stack page more than one (about 13 KiB resident per link against 9; 16 cost 21 KiB), for
// about 40 % more round trips a second there and with 10,000 links.
constexpr int kReturnBatch = 8;
constexpr size_t kLongestBatched = 8 * 1024;
// The low 48 bits of the server's version, which ClientLink::followed_ holds beside the port.
constexpr uint64_t kFollowedVersionMask = (uint64_t{1} << 48) - 1;

// The header of `client`'s datagrams, which it sent to `reply_from` (none when the system did
// not say) on `port`'s socket; empty without the port's proxy_header.
ProxyHeader HeaderFor(const Endpoint& client, const PortShare& port, const Endpoint& reply_from) {
  if (!port.proxy_header)
    return ProxyHeader{};
  // A socket on one address was sent to there; one on every address, when the system did not
  // tell which, to an address the header leaves unspecified.
  Endpoint destination = reply_from;
  if (!destination.known() && !SameAddress(port.listening, EveryAddress(port.listening.is_v6())))
    destination = port.listening;
  destination.set_port_net(port.listening.port_net());
  return MakeProxyHeader(client, destination);
}
}  // namespace

ClientLink::ClientLink(const Endpoint& client, PortShare& port, const Endpoint& reply_from,
                       const FrontedDatagram* fronted)
    : client_(client),
      fronted_(fronted != nullptr),
      origin_(fronted != nullptr ? fronted->client : client),
      port_(port),
      reply_from_(reply_from),
      // The header a relay in front was given goes on as it was: the server hears of the
      // client the first relay took the datagram from, and where it was sent.
      header_(port.proxy_header && fronted != nullptr && fronted->destination.known()
                  ? MakeProxyHeader(fronted->client, fronted->destination)
                  : HeaderFor(origin_, port, reply_from)),
      header_once_(port.proxy_header_once) {}

bool ClientLink::TakeFrontHeader(const void*& data, size_t& length) const {
  std::optional<FrontedDatagram> fronted = Unwrap(data, length, client_);
  if (!fronted || !SameAddressAndPort(Unmapped(fronted->client), Unmapped(origin_)))
    return false;
  data = fronted->data;
  length = fronted->length;
  return true;
}

ClientLink::~ClientLink() {
  Join();
  socket_.Close();
}

void ClientLink::WakeScheduledLast() {
  // Ending, the thread takes the processor only when no relaying thread wants it.
  thread_.ScheduleLast();
  Wake();
}

void ClientLink::Wake() {
  thread_.RequestStop();
  if (!port_.kept)
    socket_.Shutdown();
}

void ClientLink::Join() {
  if (thread_.Running())
    Wake();
  if (port_.kept) {
    thread_.JoinWaking();
  } else {
    thread_.Join();
  }
}

Outcome ClientLink::Start(const Route& route) {
  Outcome started = TakePort(route);
  if (started)
    started = StartReturnThread();
  return HeldOnlyIf(started);
}

Outcome ClientLink::TakeOver(UdpSocket socket, const Route& route) {
  socket_ = std::move(socket);
  local_port_ = socket_.LocalPort();
  Outcome started;
  if (!Reaches(route.servers[port_.which].endpoint))
    started = Outcome::Failed(Step::kBind, kNoAddressFamily);
  if (started) {
    // What the run before sent to is not known: where its next datagram goes, until it goes.
    NoteSent(route.servers[port_.which].endpoint);
    marks_ = LoopGuard::Marks(port_.guard, ntohs(client_.port_net()));
    marks_.HoldLinkPort(local_port_);
    started = StartReturnThread();
  }
  return HeldOnlyIf(started);
}

Outcome ClientLink::HeldOnlyIf(Outcome started) {
  if (!started) {
    marks_.Release();
    socket_.Close();
    local_port_ = 0;
  }
  return started;
}

Outcome ClientLink::StartReturnThread() {
  // Refusals of the server are counted where the system tells them; where it refuses to, the
  // link relays all the same.
  (void)socket_.ReportRefusals();
  if (Outcome started = thread_.Start(&ClientLink::ReturnThread, this, kReturnThreadStack);
      !started)
    return started;
  // Replies come in batches (the server answers many clients at once), and a return thread
  // that preempted the server's batch send on waking would cost two switches a reply; waiting
  // for the next yield lets each core finish its batch first.
  thread_.ScheduleForThroughput(kRelayThreadSlice);
  return Outcome();
}

Outcome ClientLink::TakePort(const Route& route) {
  // The client's port counts as taken before a port is asked for, so that the system's choice
  // is never the client's own: the relay's replies to the client would reach this link again.
  marks_ = LoopGuard::Marks(port_.guard, ntohs(client_.port_net()));
  // A port the relay, the server or a client uses is held open while another is asked for,
  // so that the system cannot hand the same one back; it is let go once a good one is had.
  constexpr int kMostTries = 8;
  UdpSocket held[kMostTries];
  Outcome opened;
  // Of the server's family, whatever the client's; a transparent link takes the client's
  // address, which a server of the other family could not be sent from.
  const bool v6 = route.servers[port_.which].endpoint.is_v6();
  Endpoint local = EveryAddress(v6);
  if (port_.transparent) {
    local = Unmapped(client_);
    local.set_port_net(0);
  }
  const bool reachable = local.is_v6() == v6;
  if (!reachable)
    opened = Outcome::Failed(Step::kBind, kNoAddressFamily);
  for (int tries = 0; reachable && tries < kMostTries; ++tries) {
    opened = socket_.OpenAndBind(local, port_.transparent);
    if (!opened || port_.guard == nullptr || !port_.guard->PortTaken(socket_.LocalPort(), route))
      break;
    held[tries] = std::move(socket_);
    opened = Outcome::Failed(Step::kBind, kAddressInUse);
  }
  if (!opened)
    return opened;
  local_port_ = socket_.LocalPort();
  marks_.HoldLinkPort(local_port_);
  return Outcome();
}

bool ClientLink::Reaches(const Endpoint& server) const {
  const bool v6 = Unmapped(server).is_v6();
  if (!socket_.is_v6())
    return !v6;
  return v6 || (!port_.transparent && !socket_.OneFamily());
}

Outcome ClientLink::MoveTo(const Endpoint& server) {
  Join();
  socket_.Close();
  // A transparent socket holds its client's address, which is of the other family.
  if (port_.transparent)
    return Outcome::Failed(Step::kBind, kNoAddressFamily);
  Endpoint local = EveryAddress(server.is_v6());
  local.set_port_net(htons(local_port_));
  // The service manager still keeps the old socket, whose port a socket of both families would
  // share: one of the server's family alone takes it beside that.
  Outcome opened = socket_.OpenAndBind(local, false, port_.kept);
  if (opened)
    opened = StartReturnThread();
  if (!opened)
    socket_.Close();
  return opened;
}

Endpoint ClientLink::Destination(const PublishedRoute::Versioned& route, bool* kept_off) const {
  const Route::Server& server = route.value.servers[port_.which];
  if (!route.value.rules.follow_server_port)
    return server.endpoint;
  const uint64_t followed = followed_.load(std::memory_order_relaxed);
  const auto port = static_cast<uint16_t>(followed & 0xFFFF);
  // Heard from the server as it is now: a port of another server's address means nothing.
  if (port == 0 || port == server.endpoint.port_net() ||
      followed >> 16 != (server.generation & kFollowedVersionMask))
    return server.endpoint;
  // Judged at every send: the port may have gone to one of the relay's own sockets since.
  if (server.on_this_host && port_.guard != nullptr && port_.guard->HeldByRelay(port)) {
    if (kept_off != nullptr)
      *kept_off = true;
    return server.endpoint;
  }
  Endpoint to = server.endpoint;
  to.set_port_net(port);
  return to;
}

void ClientLink::Follow(const Endpoint& source, const PublishedRoute::Versioned& route) {
  const Route::Server& server = route.value.servers[port_.which];
  if (!SameAddress(source, server.plain))
    return;
  // A port of the relay's own on the server's host is never followed: a datagram from there
  // is forged, or the relay's, and what the link sent there would reach another client.
  if (server.on_this_host && port_.guard != nullptr &&
      source.port_net() != server.plain.port_net() && port_.guard->HeldByRelay(source.port_net()))
    return;
  const uint64_t followed =
      (server.generation & kFollowedVersionMask) << 16 | uint64_t{source.port_net()};
  // Written only when it changes, so that the receive thread's reads of it stay cheap.
  if (followed_.load(std::memory_order_relaxed) != followed)
    followed_.store(followed, std::memory_order_relaxed);
}

IoResult ClientLink::SendToServer(const PublishedRoute::Versioned& route, const void* data,
                                  size_t length) {
  return SendManyToServer(route, &data, &length, 1);
}

IoResult ClientLink::SendManyToServer(const PublishedRoute::Versioned& route,
                                      const void* const* data, const size_t* lengths, int count) {
  count = count < kMaxBatch ? count : kMaxBatch;
  bool kept_off = false;
  const Endpoint to = Destination(route, &kept_off);
  if (kept_off)
    port_.counters.CountFollowRefused(static_cast<uint64_t>(count));
  NoteSent(to);
  if (header_.length == 0 || header_gone_)
    return SendPlain(to, data, lengths, count);
  if (!header_once_)
    return SendWithHeader(to, data, lengths, count);
  // Ahead of one datagram at a time until one has gone with it, then none.
  IoResult sent;
  int i = 0;
  for (; i < count && !header_gone_; ++i) {
    const IoResult one = SendWithHeader(to, data + i, lengths + i, 1);
    header_gone_ = one.count == 1;
    sent.count += one.count;
    sent.bytes += one.bytes;
    sent.error = one.error != 0 ? one.error : sent.error;
  }
  if (i < count) {
    const IoResult rest = SendPlain(to, data + i, lengths + i, count - i);
    sent.count += rest.count;
    sent.bytes += rest.bytes;
    sent.error = rest.error != 0 ? rest.error : sent.error;
  }
  return sent;
}

IoResult ClientLink::SendPlain(const Endpoint& to, const void* const* data, const size_t* lengths,
                               int count) {
  OutgoingDatagram datagrams[kMaxBatch];
  for (int i = 0; i < count; ++i)
    datagrams[i] = {data[i], lengths[i], &to, nullptr, nullptr, 0};
  return SendToServerSocket(datagrams, count);
}

IoResult ClientLink::SendWithHeader(const Endpoint& to, const void* const* data,
                                    const size_t* lengths, int count) {
  // The header goes ahead of each datagram in a buffer of its own: the payload is not copied.
  OutgoingDatagram datagrams[kMaxBatch];
  const size_t longest = kLargestDatagram - header_.length;
  int sendable = 0;
  for (int i = 0; i < count; ++i) {
    if (lengths[i] <= longest)
      datagrams[sendable++] = {data[i], lengths[i], &to, nullptr, header_.bytes, header_.length};
  }
  IoResult sent = sendable > 0 ? SendToServerSocket(datagrams, sendable) : IoResult{};
  // What the client sent is what is counted, whatever went ahead of it.
  sent.bytes -= static_cast<size_t>(sent.count) * header_.length;
  if (sendable < count)
    sent.error = kMessageTooLong;
  return sent;
}

bool ClientLink::FromThisRelay(const Endpoint& source, const Route& route) const {
  if (port_.guard == nullptr)
    return false;
  switch (port_.guard->JudgeReply(source, route, port_.transparent)) {
    case LoopGuard::Verdict::kRelay:
      return false;
    case LoopGuard::Verdict::kDrop:
      return true;
    case LoopGuard::Verdict::kDropIfLocal:
      // Rare: a datagram from a host elsewhere on a port the relay listens on.
      return IsAddressOfThisHost(source);
  }
  return true;
}

void ClientLink::ReturnThread(void* self) {
  auto* link = static_cast<ClientLink*>(self);
  auto relay = [link](const ReceiveSlot* slots, int count) { link->ReturnBatch(slots, count); };
  auto refused = [link](int error) { link->TakeRefusals(error); };
  // A batch has a buffer of the longest datagram for each reply: beyond 8 KiB a link takes one
  // reply at a time, so that its buffers never take more than one of 64 KiB would.
  if (link->port_.max_datagram <= kLongestBatched) {
    ReceiveBatches<kReturnBatch>(link->socket_, link->thread_, link->port_.max_datagram, relay,
                                 refused);
  } else {
    ReceiveBatches<1>(link->socket_, link->thread_, link->port_.max_datagram, relay, refused);
  }
}

void ClientLink::TakeRefusals(int error) {
  // The link sends to the server alone: a refusal counts when it is of the server's address,
  // at the port the link last sent to.
  Endpoint to = port_.server().endpoint;
  if (const uint16_t sent = sent_to_.load(std::memory_order_relaxed); sent != 0)
    to.set_port_net(sent);
  if (int refused = socket_.TakeRefusals(error, to); refused > 0) {
    answering_.store(false, std::memory_order_relaxed);
    port_.counters.CountServerRefusals(refused, to);
    if (to.port_net() != port_.server().endpoint.port_net())
      followed_.store(0, std::memory_order_relaxed);
  }
}

void ClientLink::ReturnBatch(const ReceiveSlot* slots, int count) {
  OutgoingDatagram replies[kReturnBatch];
  int relayable = 0;
  const PublishedRoute::Versioned& route = port_.route->Held();
  const LinkRules& rules = route.value.rules;
  for (int i = 0; i < count && i < kReturnBatch; ++i) {
    arrived_.Add(1);
    if (rules.replies_from_server_only &&
        !SameAddress(slots[i].source, route.value.servers[port_.which].plain)) {
      port_.counters.CountForeign();
    } else if (FromThisRelay(slots[i].source, route.value)) {
      port_.counters.CountGuardedReply();
    } else {
      // The server has answered, or whoever the link takes replies from.
      port_.counters.NoteAnswer();
      if (Relayable(slots[i], port_.max_datagram)) {
        if (!answering_.load(std::memory_order_relaxed) &&
            SameAddress(slots[i].source, route.value.servers[port_.which].plain))
          answering_.store(true, std::memory_order_relaxed);
        replies[relayable++] = {slots[i].buffer, slots[i].length, &client_,
                                &reply_from_,    nullptr,         0};
        if (rules.follow_server_port)
          Follow(slots[i].source, route);
      } else {
        port_.counters.CountUnrelayable(slots[i], port_.max_datagram);
      }
    }
  }
  if (relayable == 0)
    return;
  // The listening socket is read afresh at every send.
  IoResult sent = port_.socket.SendRun(replies, relayable, to_client_room_);
  if (sent.count < relayable) {
    port_.counters.CountSendFailures(Direction::kToClient, relayable - sent.count, sent.error,
                                     client_);
  }
  // Only what went: a refused reply of the batch may lie anywhere in it.
  to_client_.datagrams.Add(static_cast<uint64_t>(sent.count));
  to_client_.bytes.Add(sent.bytes);
  if (port_.counters.counting_relayed)
    port_.counters.CountToClient(static_cast<uint64_t>(sent.count), sent.bytes);
}

}  // namespace tavorin
