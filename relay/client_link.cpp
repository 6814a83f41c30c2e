#include "relay/client_link.h"

#include "relay/datagram.h"
#include "relay/listener.h"

namespace tavorin {

namespace {
// The return loop needs little more than its datagram buffer.
constexpr size_t kReturnThreadStack = 64 * 1024;
}  // namespace

ClientLink::~ClientLink() {
  thread_.RequestStop();
  socket_.Shutdown();
  thread_.Join();
  socket_.Close();
}

bool ClientLink::Start() {
  if (!socket_.OpenAndBind(0)) {
    return false;
  }
  if (!thread_.Start(&ClientLink::ReturnThread, this, kReturnThreadStack)) {
    socket_.Close();
    return false;
  }
  return true;
}

long ClientLink::SendToServer(const void* data, size_t length) const {
  return socket_.SendTo(data, length, owner_->server());
}

void ClientLink::ReturnThread(void* self) {
  static_cast<ClientLink*>(self)->ReturnLoop();
}

void ClientLink::ReturnLoop() {
  unsigned char buffer[kMaxDatagram];
  Endpoint source;
  while (thread_.Running()) {
    long n = socket_.ReceiveFrom(buffer, sizeof buffer, &source);
    if (n > 0) {
      // The listening socket is read afresh at every send.
      UdpSocket::SendTo(owner_->socket(), buffer, static_cast<size_t>(n), client_);
    } else if (n == kReceiveError) {
      PauseAfterReceiveError();
    }
  }
}

}  // namespace tavorin
