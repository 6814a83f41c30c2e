// What sockets do alike on every system, over the few calls each system answers in its own
// file (udp_socket_system.h).
#include <cstring>

#include "platform/udp_socket.h"
#include "platform/udp_socket_system.h"

namespace tavorin {

using detail::LastSocketError;
using detail::Native;

Outcome UdpSocket::OpenAndBind(uint16_t port) {
  Close();
  SocketHandle fresh = detail::NewUdpSocket();
  if (fresh == kNoSocket)
    return Outcome::Failed(Step::kSocket, LastSocketError());
  Endpoint local = MakeEndpoint(htonl(INADDR_ANY), htons(port));
  if (::bind(Native(fresh), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    int error = LastSocketError();
    detail::CloseSocket(fresh);
    return Outcome::Failed(Step::kBind, error);
  }
  handle_.store(fresh, std::memory_order_release);
  return Outcome();
}

int UdpSocket::SetReceiveBuffer(int bytes) const {
  return detail::SetOption(handle(), SOL_SOCKET, SO_RCVBUF, bytes);
}

int UdpSocket::ReportLocalAddress() const {
  return detail::SetOption(handle(), IPPROTO_IP, IP_PKTINFO, 1);
}

uint16_t UdpSocket::LocalPort() const {
  Endpoint local{};
  detail::SocketLength length = sizeof local;
  if (!IsOpen() ||
      ::getsockname(Native(handle()), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return 0;
  return ntohs(local.sin_port);
}

IoResult UdpSocket::SendTo(const void* data, size_t length, const Endpoint& to) const {
  auto n = ::sendto(Native(handle()), static_cast<const char*>(data),
                    static_cast<detail::SendLength>(length), detail::kSendFlags,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return n < 0 ? IoResult{0, LastSocketError()} : IoResult{static_cast<int>(n), 0};
}

void UdpSocket::Close() {
  SocketHandle h = Release();
  if (h != kNoSocket)
    detail::CloseSocket(h);
}

namespace detail {

void AttachSourceAddress(MessageHeader& message, PacketInfoControl& control, uint32_t address) {
  SetControl(message, control.bytes, sizeof control.bytes);
  ControlHeader* c = FirstControl(message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = ControlLength(sizeof(PacketInfo));
  PacketInfo info{};
  SetSendSource(info, address);
  std::memcpy(ControlData(c), &info, sizeof info);
}

void ReadLocalAddress(MessageHeader& message, ReceiveSlot& slot) {
  slot.local_address = 0;
  slot.reply_address = 0;
  for (ControlHeader* c = FirstControl(message); c != nullptr; c = NextControl(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      PacketInfo info;
      std::memcpy(&info, ControlData(c), sizeof info);
      slot.local_address = info.ipi_addr.s_addr;
      slot.reply_address = ReplyAddress(info);
    }
  }
}

}  // namespace detail
}  // namespace tavorin
