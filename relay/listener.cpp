#include "relay/listener.h"

#include <cerrno>
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

bool Listener::Start(int32_t port) {
  if (thread_.Started()) {
    Stop();
  }
  if (socket_.IsOpen()) {
    retired_.push_back(std::move(socket_));
  }
  if (!socket_.OpenAndBind(static_cast<uint16_t>(static_cast<uint32_t>(port)))) {
    return false;
  }
  // While links are being made for a burst of new clients, the datagrams behind them wait
  // here; the system's default buffer holds only a few hundred.
  socket_.SetReceiveBuffer(kListenReceiveBuffer);
  socket_.ReportLocalAddress();
  if (!thread_.Start(&Listener::ListenerThread, this)) {
    int saved = errno;
    socket_.Close();  // no link has seen this socket yet
    errno = saved;
    return false;
  }
  return true;
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
  if (length <= 0 || length > static_cast<long>(kMaxDatagram)) {
    return;
  }
  size_t size = static_cast<size_t>(length);
  if (ClientLink* link = FindClient(source)) {
    link->SendToServer(data, size);
    return;
  }
  AddClient(data, size, source, local_address);
}

void Listener::AddClient(const void* data, size_t length, const Endpoint& source,
                         uint32_t local_address) {
  auto* link = new (std::nothrow) ClientLink(source, this, local_address);
  if (link == nullptr) {
    return;
  }
  if (!link->Start()) {
    // No socket or thread to be had: the datagram is dropped and the client's next one
    // tries again.
    delete link;
    return;
  }
  link->SendToServer(data, length);
  if (!links_.AddHead(link)) {
    delete link;
  }
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
    ClientLink* link = FindClient(slots[i].source);
    if (link == nullptr) {
      flush();
      AddClient(slots[i].buffer, static_cast<size_t>(length), slots[i].source,
                slots[i].local_address);
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
