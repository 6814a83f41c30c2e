#include "relay/client_link.h"

#include "relay/datagram.h"
#include "relay/listener.h"

namespace tavorin {

namespace {
// The return loop needs little more than its datagram buffer.
constexpr size_t kReturnThreadStack = 64 * 1024;
// Replies taken from the link's socket in one call when several are waiting.
constexpr int kReturnBatch = 16;
}  // namespace

ClientLink::~ClientLink() {
  thread_.RequestStop();
  socket_.Shutdown();
  thread_.Join();
  socket_.Close();
}

Outcome ClientLink::Start() {
  if (Outcome opened = socket_.OpenAndBind(0); !opened) {
    return opened;
  }
  if (Outcome started = thread_.Start(&ClientLink::ReturnThread, this, kReturnThreadStack);
      !started) {
    socket_.Close();
    return started;
  }
  return Outcome();
}

long ClientLink::SendToServer(const void* data, size_t length) const {
  return socket_.SendTo(data, length, owner_->server());
}

int ClientLink::SendManyToServer(const void* const* data, const size_t* lengths, int count) const {
  OutgoingDatagram datagrams[kMaxBatch];
  count = count < kMaxBatch ? count : kMaxBatch;
  for (int i = 0; i < count; ++i) {
    datagrams[i] = {data[i], lengths[i], &owner_->server(), 0};
  }
  return UdpSocket::SendMany(socket_.handle(), datagrams, count);
}

void ClientLink::ReturnThread(void* self) {
  static_cast<ClientLink*>(self)->ReturnLoop();
}

void ClientLink::ReturnLoop() {
  unsigned char buffers[kReturnBatch][kMaxDatagram];
  ReceiveSlot slots[kReturnBatch];
  OutgoingDatagram replies[kReturnBatch];
  for (int i = 0; i < kReturnBatch; ++i) {
    slots[i] = {buffers[i], kMaxDatagram, 0, {}, 0};
  }
  while (thread_.Running()) {
    int n = UdpSocket::ReceiveMany(socket_.handle(), slots, kReturnBatch);
    if (n == kReceiveError) {
      PauseAfterReceiveError();
      continue;
    }
    int count = 0;
    for (int i = 0; i < n; ++i) {
      if (slots[i].length > 0) {
        replies[count++] = {buffers[i], static_cast<size_t>(slots[i].length), &client_,
                            local_address_};
      }
    }
    if (count > 0) {
      // The listening socket is read afresh at every send.
      UdpSocket::SendMany(owner_->socket(), replies, count);
    }
  }
}

}  // namespace tavorin
