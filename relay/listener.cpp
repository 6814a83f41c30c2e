#include "relay/listener.h"

#include <memory>
#include <new>
#include <utility>

#include "relay/client_link.h"
#include "relay/datagram.h"
#include "relay/receive_loop.h"

namespace tavorin {

namespace {
constexpr int kListenReceiveBuffer = 8 * 1024 * 1024;
// Datagrams taken from the listening socket in one call when several are waiting.
constexpr int kListenBatch = 32;
}  // namespace

Listener::~Listener() {
  Stop();
  // Every return thread has ended once the links are gone; only then may the listening
  // sockets they send on be closed.
  links_.RemoveAll(false);
  port_.socket.Close();
  retired_.clear();
}

Outcome Listener::Start(int32_t port) {
  if (thread_.Started()) {
    Stop();
  }
  UdpSocket& socket = port_.socket;
  if (socket.IsOpen()) {
    retired_.push_back(std::move(socket));
  }
  if (Outcome bound = socket.OpenAndBind(static_cast<uint16_t>(static_cast<uint32_t>(port)));
      !bound) {
    return bound;
  }
  // While links are being made for a burst of new clients, the datagrams behind them wait
  // here; the system's default buffer holds only a few hundred.
  socket.SetReceiveBuffer(kListenReceiveBuffer);
  socket.ReportLocalAddress();
  if (guard_ != nullptr) {
    guard_->AddListeningPort(socket.LocalPort());
  }
  if (Outcome started = thread_.Start(&Listener::ListenerThread, this); !started) {
    socket.Close();  // no link has seen this socket yet
    return started;
  }
  // Woken by one client's send, a receive thread that preempted the sender would take one
  // datagram where a moment later there would be a batch (see ClientLink::Start).
  thread_.ScheduleForThroughput();
  return Outcome();
}

void Listener::Stop() {
  thread_.RequestStop();
  port_.socket.Shutdown();
  thread_.Join();
}

ClientLink* Listener::FindClient(const Endpoint& source) const {
  return links_.Find(source);
}

LoopGuard::Verdict Listener::Judge(const Endpoint& source, uint32_t local_address) const {
  return guard_ == nullptr ? LoopGuard::Verdict::kRelay : guard_->Judge(source, local_address);
}

void Listener::AddClient(const ReceiveSlot& slot, LoopGuard::Verdict verdict) {
  // Asking the system costs a socket, so it is asked only here: a source that has a link
  // was asked when the link was made.
  if (verdict == LoopGuard::Verdict::kDropIfLocal &&
      IsAddressOfThisHost(slot.source.sin_addr.s_addr)) {
    return;
  }
  std::unique_ptr<ClientLink> link;
  try {
    link = std::make_unique<ClientLink>(slot.source, port_, slot.local_address);
  } catch (const std::bad_alloc&) {
    counters_.CountRefused(Outcome::Failed(Step::kMemory, 0));
    return;
  }
  if (Outcome started = link->Start(); !started) {
    // No socket, port or thread to be had: the datagram is dropped and the client's next
    // one tries again.
    counters_.CountRefused(started);
    return;
  }
  link->SendToServer(slot.buffer, slot.length);
  if (!links_.AddHead(link)) {
    counters_.CountRefused(Outcome::Failed(Step::kMemory, 0));
    return;
  }
  counters_.CountMade();
}

void Listener::ListenerThread(void* self) {
  auto* listener = static_cast<Listener*>(self);
  ReceiveBatches<kListenBatch>(
      listener->port_.socket, listener->thread_, listener->port_.max_datagram,
      [listener](const ReceiveSlot* slots, int count) { listener->RelayBatch(slots, count); });
}

void Listener::RelayBatch(const ReceiveSlot* slots, int count) {
  // Consecutive datagrams of one client leave in one send call.
  const void* run_data[kListenBatch];
  size_t run_lengths[kListenBatch];
  int run = 0;
  ClientLink* run_link = nullptr;
  auto flush = [&] {
    if (run > 0)
      run_link->SendManyToServer(run_data, run_lengths, run);
    run = 0;
  };
  for (int i = 0; i < count && i < kListenBatch; ++i) {
    const ReceiveSlot& slot = slots[i];
    if (!Relayable(slot, port_.max_datagram)) {
      port_.counters.CountUnrelayable(slot, port_.max_datagram);
      continue;
    }
    // A datagram from the relay's or the server's own endpoints goes nowhere.
    LoopGuard::Verdict verdict = Judge(slot.source, slot.local_address);
    if (verdict == LoopGuard::Verdict::kDrop)
      continue;
    ClientLink* link = FindClient(slot.source);
    if (link == nullptr) {
      flush();
      AddClient(slot, verdict);
      continue;
    }
    if (link != run_link)
      flush();
    run_link = link;
    run_data[run] = slot.buffer;
    run_lengths[run++] = slot.length;
  }
  flush();
}

}  // namespace tavorin
