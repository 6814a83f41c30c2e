#include "relay/listener.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "relay/client_link.h"
#include "relay/datagram.h"
#include "relay/proxy_header.h"
#include "relay/receive_loop.h"

namespace tavorin {

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kListenReceiveBuffer = 8 * 1024 * 1024;
// Datagrams taken from the listening socket in one call when several are waiting.
constexpr int kListenBatch = 32;
// The idle sweep: a step at most this often, over at most this many links. A receive waits
// no longer than a step's interval, so the sweep goes on while no datagram comes.
constexpr auto kSweepInterval = std::chrono::milliseconds(100);
constexpr int kSweepStep = 2048;
// Records of links made that wait for the log: a burst of this many new clients in half a
// second is logged whole.
constexpr size_t kMadeRecords = 16384;
}  // namespace

Listener::Listener() {
  port_.route = route_;
}

Listener::~Listener() {
  CloseAll(nullptr);
  port_.socket.Close();
}

void Listener::KeepLinkRecords(bool keep) {
  keep_records_ = keep;
  if (keep || port_.kept)
    made_records_.Enable(kMadeRecords);
  else
    made_records_.Disable();
}

void Listener::KeepSockets() {
  port_.kept = true;
  made_records_.Enable(kMadeRecords);
}

void Listener::PutRecord(LinkMade record, const ClientLink& link) {
  if (!made_records_.enabled())
    return;
  if (port_.kept)
    record.kept = link.socket().Duplicate();
  if (!made_records_.Put(record) && record.kept != kNoSocket)
    UdpSocket::Adopt(record.kept);  // closed at once: the manager keeps one link fewer
}

void Listener::SetRoute(PublishedRoute* shared, int which) {
  route_ = shared;
  port_.route = shared;
  port_.which = which;
}

void Listener::SetRules(const Rules& rules) {
  Route route = route_->Get();
  route.rules = rules;
  Publish(*route_, route);
}

void Listener::SetServer(const Endpoint& server) {
  Route route = route_->Get();
  route.SetServer(port_.which, server);
  Publish(*route_, route);
}

std::optional<Listener::FamilyMove> Listener::AwaitRoute(uint64_t version,
                                                         std::chrono::milliseconds most) {
  if (!thread_.Started())
    TakeRoute(route_->Held());
  if (!route_answer_.Await(version + 1, most, thread_))
    return std::nullopt;
  return FamilyMove{family_kept_.load(std::memory_order_relaxed),
                    family_closed_.load(std::memory_order_relaxed)};
}

void Listener::TakeRoute(const PublishedRoute::Versioned& route) {
  if (route.version == route_taken_)
    return;
  const Endpoint& server = route.value.servers[port_.which].endpoint;
  FamilyMove move;
  for (ClientNode* node = links_.head(); node != nullptr;) {
    ClientNode* next = node->next.get();
    ClientLink* link = node->item.get();
    if (link != nullptr && server.known() && link->Reaches(server)) {
      ++move.kept;
    } else if (link != nullptr && server.known()) {
      // Room to close the link is had first: a link that cannot move is closed.
      if (!expiry_.MakeRoom())
        return;  // the next turn tries again
      if (link->MoveTo(server)) {
        ++move.kept;
        PutRecord({std::chrono::system_clock::now(), link->client(), link->LocalPort(),
                   LinkMade::Kind::kMoved, link->reply_from()},
                  *link);
      } else {
        Retire(node, LinkEnd::kServerFamily);
        counters_.CountClosedForFamily();
        ++move.closed;
      }
    }
    node = next;
  }
  CloseNotAllowed(route.value.rules.allow_clients);
  route_taken_ = route.version;
  expiry_.HandOver();
  family_kept_.store(move.kept, std::memory_order_relaxed);
  family_closed_.store(move.closed, std::memory_order_relaxed);
  route_answer_.Answered(route.version + 1);
}

Outcome Listener::Start(int32_t port, Handover* handover) {
  UdpSocket& socket = port_.socket;
  if (socket.IsOpen())
    return Outcome::Failed(Step::kBind, kAddressInUse);  // started once already
  refused_options_.clear();
  Endpoint local = listen_address_;
  local.set_port_net(htons(static_cast<uint16_t>(static_cast<uint32_t>(port))));
  Outcome bound;
  if (handover != nullptr && Fits(handover->listening, port)) {
    socket = std::move(handover->listening);
    handover->listening_taken = true;
  } else {
    if (handover != nullptr)
      handover->listening.Close();
    bound = socket.OpenAndBind(local);
  }
  if (!bound && SameAddressAndPort(listen_address_, EveryAddress(true))) {
    // IPv4 serves on alone; a system without IPv6 at all is no news.
    Endpoint v4 = EveryAddress(false);
    v4.set_port_net(local.port_net());
    if (Outcome alone = socket.OpenAndBind(v4); alone) {
      if (bound.error() != kNoAddressFamily)
        refused_options_.push_back({"IPv6 clients (a socket of both families)", bound.error()});
      bound = alone;
    }
  }
  if (!bound)
    return bound;
  // What a link's header names as the address sent to when the system does not tell.
  port_.listening = socket.is_v6() == local.is_v6() ? local : EveryAddress(false);
  port_.listening.set_port_net(htons(socket.LocalPort()));
  // While links are being made for a burst of new clients, the datagrams behind them wait
  // here; the system's default buffer holds only a few hundred.
  if (int error = socket.SetReceiveBuffer(kListenReceiveBuffer); error != 0)
    refused_options_.push_back({"an 8 MiB receive buffer (SO_RCVBUF)", error});
  if (int error = socket.ReportLocalAddress(); error != 0)
    refused_options_.push_back(
        {"the local address of each datagram (IP_PKTINFO, IPV6_RECVPKTINFO)", error});
  if (int error = socket.ReportSystemDrops(); error != 0)
    refused_options_.push_back({"a count of the datagrams it drops (SO_RXQ_OVFL)", error});
  // What a socket handed on dropped while no relay read it is counted now, all of it.
  const uint32_t drops = socket.SystemDrops();
  port_.counters.StartSystemDrops(handover != nullptr && handover->listening_taken ? 0 : drops);
  port_.counters.CountSystemDrops(drops);
  if (handover != nullptr && handover->listening_taken)
    handover->dropped_meanwhile = drops;
  // Whether or not links expire now: a reload may have them expire later.
  if (int error = socket.SetReceiveTimeout(kSweepInterval); error != 0)
    refused_options_.push_back({"a receive timeout for the idle sweep (SO_RCVTIMEO)", error});
  if (guard_ != nullptr) {
    guard_->AddListeningPort(socket.LocalPort());
  }
  if (handover != nullptr) {
    TakeOverLinks(*handover, route_->Get(),
                  {port_, links_, counters_, keep_records_ ? &made_records_ : nullptr});
  }
  if (Outcome started = thread_.Start(&Listener::ListenerThread, this); !started) {
    CloseAll(nullptr);  // links taken over send on the socket
    socket.Close();
    return started;
  }
  // Woken by one client's send, a receive thread that preempted the sender would take one
  // datagram where a moment later there would be a batch (see ClientLink::Start).
  thread_.ScheduleForThroughput(kRelayThreadSlice);
  return Outcome();
}

void Listener::Stop() {
  thread_.RequestStop();
  if (port_.kept) {
    thread_.JoinWaking();
  } else {
    port_.socket.Shutdown();
    thread_.Join();
  }
  // The receive thread has ended: what it had not handed over yet is passed on now.
  expiry_.HandOverAll();
}

size_t Listener::CloseExpired(size_t most, const LinkClosed& closed) {
  return expiry_.Close(most, closed);
}

void Listener::CloseAll(const LinkClosed& closed) {
  Stop();
  std::deque<std::unique_ptr<ClientLink>> expired = expiry_.TakeAll();
  EndLinks(
      [this, &expired](auto visit) {
        for (std::unique_ptr<ClientLink>& link : expired)
          visit(*link, link->end());
        for (ClientNode* node = links_.head(); node != nullptr; node = node->next.get()) {
          if (node->item != nullptr)
            visit(*node->item, LinkEnd::kShutdown);
        }
      },
      false, closed);
  links_.RemoveAll();
  sweep_at_ = nullptr;
}

void Listener::ListLinks() {
  std::vector<LinkView> views;
  try {
    views.reserve(links_.count());
    for (ClientNode* node = links_.head(); node != nullptr; node = node->next.get()) {
      if (const ClientLink* link = node->item.get(); link != nullptr) {
        views.push_back({link->client(), link->LocalPort(), link->made(), link->to_server(),
                         link->to_client(), link->LastServerPort(),
                         link->fronted() ? link->origin() : Endpoint()});
      }
    }
  } catch (const std::bad_alloc&) {
    return;  // the next turn tries again
  }
  std::unique_lock<std::mutex> lock(listed_lock_, std::try_to_lock);
  if (!lock.owns_lock())
    return;
  listed_.swap(views);
  listed_answer_.Answered(listed_answer_.number() + 1);
}

std::optional<std::vector<Listener::LinkView>> Listener::HeldLinks(std::chrono::milliseconds most) {
  const uint64_t before = listed_answer_.number();
  listed_answer_.Ask();
  if (!listed_answer_.Await(before + 1, most, thread_))
    return std::nullopt;
  std::lock_guard<std::mutex> lock(listed_lock_);
  return listed_;
}

ClientLink* Listener::FindClient(const Endpoint& source) const {
  return links_.Find(source);
}

LoopGuard::Verdict Listener::Judge(const Endpoint& source, const Endpoint& local,
                                   const Route& route) const {
  return guard_ == nullptr ? LoopGuard::Verdict::kRelay : guard_->Judge(source, local, route);
}

void Listener::AddClient(const ReceiveSlot& slot, LoopGuard::Verdict verdict,
                         const PublishedRoute::Versioned& route, Clock::time_point now) {
  // Asking the system costs a socket, so it is asked only here: a source that has a link
  // was asked when the link was made.
  if (verdict == LoopGuard::Verdict::kDropIfLocal && IsAddressOfThisHost(slot.source)) {
    port_.counters.CountGuarded();
    return;
  }
  // A relay in front names the client in a header, which is taken off; the client named is
  // the one AllowClients judges.
  std::optional<FrontedDatagram> fronted;
  if (port_.fronts.Contains(slot.source) &&
      !(fronted = Unwrap(slot.buffer, slot.length, slot.source))) {
    port_.counters.CountBadFrontHeader();
    return;
  }
  const Endpoint& origin = fronted ? fronted->client : slot.source;
  if (const NetworkList& allowed = route.value.rules.allow_clients;
      !allowed.empty() && !allowed.Contains(origin)) {
    counters_.CountNotAllowed(origin, not_allowed_.Note(origin));
    return;
  }
  const void* const data = fronted ? fronted->data : slot.buffer;
  const size_t length = fronted ? fronted->length : slot.length;
  if (draining_.load(std::memory_order_relaxed)) {
    Refuse(slot.source, Outcome::Failed(Step::kDraining, 0));
    return;
  }
  if (const uint32_t most = route.value.rules.max_links; most != 0 && links_.count() >= most) {
    Refuse(slot.source, Outcome::Failed(Step::kLimit, static_cast<int>(most)));
    return;
  }
  std::unique_ptr<ClientLink> link;
  try {
    link = std::make_unique<ClientLink>(slot.source, port_, slot.reply_from,
                                        fronted ? &*fronted : nullptr);
  } catch (const std::bad_alloc&) {
    Refuse(slot.source, Outcome::Failed(Step::kMemory, 0));
    return;
  }
  if (Outcome started = link->Start(route.value); !started) {
    // No socket, port or thread to be had: the datagram is dropped and the client's next
    // one tries again.
    Refuse(slot.source, started);
    return;
  }
  ClientLink* const made = link.get();
  if (!links_.AddHead(link)) {
    Refuse(slot.source, Outcome::Failed(Step::kMemory, 0));
    return;
  }
  links_.head()->quiet_since = Clock::now();
  counters_.CountMade();
  refused_clients_.EndRun();
  // Recorded before the first datagram goes out: whoever sees it at the server may stop the
  // relay at once, and the stop writes only the records already waiting.
  PutRecord(
      {std::chrono::system_clock::now(), slot.source, made->LocalPort(), LinkMade::Kind::kMade,
       slot.reply_from, kNoSocket, fronted ? fronted->client : Endpoint()},
      *made);
  made->CountFromClient();
  if (const uint32_t rate = route.value.rules.client_rate; rate != 0)
    made->TakeToken(now, rate);  // the first datagram, from a full bucket
  if (IoResult sent = made->SendToServer(route, data, length); sent.error != 0) {
    port_.counters.CountSendFailures(Direction::kToServer, 1, sent.error,
                                     route.value.servers[port_.which].endpoint);
  } else {
    made->CountToServer(1, length);
    port_.counters.CountSent(1);
    if (port_.counters.counting_relayed)
      port_.counters.CountToServer(1, length);
  }
}

void Listener::Refuse(const Endpoint& client, const Outcome& why) {
  counters_.CountRefused(why, refused_clients_.Note(client));
}

void Listener::CloseNotAllowed(const NetworkList& allowed) {
  const bool changed = allowed_taken_ == nullptr ? !allowed.empty() : !(*allowed_taken_ == allowed);
  allowed_taken_ = &allowed;
  if (!changed || allowed.empty())
    return;
  for (ClientNode* node = links_.head(); node != nullptr;) {
    ClientNode* next = node->next.get();
    if (node->item != nullptr && !allowed.Contains(node->item->origin()) &&
        Retire(node, LinkEnd::kNotAllowed))
      counters_.CountClosedNotAllowed();
    node = next;
  }
}

void Listener::SweepIdle(Clock::time_point now, std::chrono::milliseconds idle) {
  if (now < next_sweep_)
    return;
  next_sweep_ = now + kSweepInterval;
  ClientNode* node = sweep_at_ != nullptr ? sweep_at_ : links_.head();
  for (int looked = 0; node != nullptr && looked < kSweepStep; ++looked) {
    ClientNode* next = node->next.get();
    if (node->item != nullptr) {
      const uint64_t activity = node->item->Activity();
      if (activity != node->seen_activity) {
        node->seen_activity = activity;
        node->quiet_since = now;
      } else if (now - node->quiet_since >= idle && Retire(node, LinkEnd::kIdle)) {
        counters_.CountExpired();
      }
    }
    node = next;
  }
  sweep_at_ = node;
  expiry_.HandOver();
}

bool Listener::Retire(ClientNode* node, LinkEnd why) {
  if (!expiry_.MakeRoom())
    return false;  // the link stays in the table for now
  if (sweep_at_ == node)
    sweep_at_ = node->next.get();
  node->item->SetEnd(why);
  expiry_.Add(links_.Remove(node));
  return true;
}

void Listener::ListenerThread(void* self) {
  auto* listener = static_cast<Listener*>(self);
  ReceiveBatches<kListenBatch>(
      listener->port_.socket, listener->thread_, listener->port_.max_datagram,
      [listener](const ReceiveSlot* slots, int count) { listener->RelayBatch(slots, count); });
}

void Listener::RelayBatch(const ReceiveSlot* slots, int count) {
  const PublishedRoute::Versioned& route = route_->Held();
  TakeRoute(route);
  if (listed_answer_.wanted())
    ListLinks();
  // The latest datagram brings the system's latest count.
  if (count > 0)
    port_.counters.CountSystemDrops(slots[std::min(count, kListenBatch) - 1].system_drops);
  // Consecutive datagrams of one client leave in one send call.
  const void* run_data[kListenBatch];
  size_t run_lengths[kListenBatch];
  int run = 0;
  ClientLink* run_link = nullptr;
  auto flush = [&] {
    if (run > 0) {
      IoResult sent = run_link->SendManyToServer(route, run_data, run_lengths, run);
      if (sent.count < run) {
        port_.counters.CountSendFailures(Direction::kToServer, run - sent.count, sent.error,
                                         route.value.servers[port_.which].endpoint);
      }
      // Only what went: a refused datagram of the run may lie anywhere in it.
      run_link->CountToServer(sent.count, sent.bytes);
      port_.counters.CountSent(static_cast<uint64_t>(sent.count));
      if (port_.counters.counting_relayed)
        port_.counters.CountToServer(static_cast<uint64_t>(sent.count), sent.bytes);
    }
    run = 0;
  };
  // One read a batch of what a reload may change, and one clock read, for the clients' rates.
  const uint32_t rate = route.value.rules.client_rate;
  const Clock::time_point now = rate != 0 ? Clock::now() : Clock::time_point{};
  for (int i = 0; i < count && i < kListenBatch; ++i) {
    const ReceiveSlot& slot = slots[i];
    if (!Relayable(slot, port_.max_datagram)) {
      port_.counters.CountUnrelayable(slot, port_.max_datagram);
      continue;
    }
    // A datagram from the relay's or the server's own endpoints goes nowhere.
    LoopGuard::Verdict verdict = Judge(slot.source, slot.local, route.value);
    if (verdict == LoopGuard::Verdict::kDrop) {
      port_.counters.CountGuarded();
      continue;
    }
    ClientLink* link = FindClient(slot.source);
    if (link == nullptr) {
      flush();
      AddClient(slot, verdict, route, now);
      continue;
    }
    link->CountFromClient();  // whatever becomes of it
    const void* data = slot.buffer;
    size_t length = slot.length;
    if (link->fronted() && !link->TakeFrontHeader(data, length)) {
      port_.counters.CountBadFrontHeader();
      continue;
    }
    if (rate != 0 && !link->TakeToken(now, rate)) {
      port_.counters.CountOverRate();
      continue;
    }
    if (link != run_link)
      flush();
    run_link = link;
    run_data[run] = data;
    run_lengths[run++] = length;
  }
  flush();
  if (const std::chrono::milliseconds idle = route.value.rules.idle_timeout; idle.count() > 0)
    SweepIdle(rate != 0 ? now : Clock::now(), idle);
}

}  // namespace tavorin
