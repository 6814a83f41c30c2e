#include "relay/listener.h"

#include <new>
#include <utility>

#include "relay/client_link.h"
#include "relay/datagram.h"

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
  socket_.Close();
  retired_.clear();
}

Outcome Listener::Start(int32_t port) {
  if (thread_.Started()) {
    Stop();
  }
  if (socket_.IsOpen()) {
    retired_.push_back(std::move(socket_));
  }
  if (Outcome bound = socket_.OpenAndBind(static_cast<uint16_t>(static_cast<uint32_t>(port)));
      !bound) {
    return bound;
  }
  // While links are being made for a burst of new clients, the datagrams behind them wait
  // here; the system's default buffer holds only a few hundred.
  socket_.SetReceiveBuffer(kListenReceiveBuffer);
  socket_.ReportLocalAddress();
  if (guard_ != nullptr) {
    guard_->AddListeningPort(socket_.LocalPort());
  }
  if (Outcome started = thread_.Start(&Listener::ListenerThread, this); !started) {
    socket_.Close();  // no link has seen this socket yet
    return started;
  }
  return Outcome();
}

void Listener::Stop() {
  thread_.RequestStop();
  socket_.Shutdown();
  thread_.Join();
}

ClientLink* Listener::FindClient(const Endpoint& source) const {
  return links_.Find(source);
}

void Listener::Relay(const void* data, long length, const Endpoint& source,
                     uint32_t local_address) {
  // The batch path only reads the buffer.
  ReceiveSlot slot{const_cast<void*>(data), kMaxDatagram, length, source, local_address};
  RelayBatch(&slot, 1);
}

LoopGuard::Verdict Listener::Judge(const Endpoint& source, uint32_t local_address) const {
  return guard_ == nullptr ? LoopGuard::Verdict::kRelay : guard_->Judge(source, local_address);
}

void Listener::AddClient(const void* data, size_t length, const Endpoint& source,
                         uint32_t local_address, LoopGuard::Verdict verdict) {
  // Asking the system costs a socket, so it is asked only here: a source that has a link
  // was asked when the link was made.
  if (verdict == LoopGuard::Verdict::kDropIfLocal && IsAddressOfThisHost(source.sin_addr.s_addr)) {
    return;
  }
  auto* link = new (std::nothrow) ClientLink(source, this, local_address);
  if (link == nullptr) {
    counters_.CountRefused(Outcome::Failed(Step::kMemory, 0));
    return;
  }
  if (Outcome started = link->Start(); !started) {
    // No socket, port or thread to be had: the datagram is dropped and the client's next
    // one tries again.
    delete link;
    counters_.CountRefused(started);
    return;
  }
  link->SendToServer(data, length);
  if (!links_.AddHead(link)) {
    delete link;
    counters_.CountRefused(Outcome::Failed(Step::kMemory, 0));
    return;
  }
  counters_.CountMade();
}

void Listener::ListenerThread(void* self) {
  static_cast<Listener*>(self)->ReceiveLoop();
}

void Listener::ReceiveLoop() {
  unsigned char buffers[kListenBatch][kMaxDatagram];
  ReceiveSlot slots[kListenBatch];
  for (int i = 0; i < kListenBatch; ++i) {
    slots[i] = {buffers[i], kMaxDatagram, 0, {}, 0};
  }
  while (thread_.Running()) {
    int n = UdpSocket::ReceiveMany(socket_.handle(), slots, kListenBatch);
    if (n == kReceiveError) {
      PauseAfterReceiveError();
      continue;
    }
    RelayBatch(slots, n);
  }
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
  for (int i = 0; i < count; ++i) {
    long length = slots[i].length;
    if (length <= 0 || length > static_cast<long>(kMaxDatagram))
      continue;
    // A datagram from the relay's or the server's own endpoints goes nowhere.
    LoopGuard::Verdict verdict = Judge(slots[i].source, slots[i].local_address);
    if (verdict == LoopGuard::Verdict::kDrop)
      continue;
    ClientLink* link = FindClient(slots[i].source);
    if (link == nullptr) {
      flush();
      AddClient(slots[i].buffer, static_cast<size_t>(length), slots[i].source,
                slots[i].local_address, verdict);
      continue;
    }
    if (link != run_link)
      flush();
    run_link = link;
    run_data[run] = slots[i].buffer;
    run_lengths[run++] = static_cast<size_t>(length);
  }
  flush();
}

}  // namespace tavorin
