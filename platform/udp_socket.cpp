// What sockets do alike on every system, over the few calls each system answers in its own
// file (udp_socket_system.h).
#include <cstring>

#include "platform/udp_socket.h"
#include "platform/udp_socket_system.h"

namespace tavorin {

using detail::LastSocketError;
using detail::Native;

Outcome UdpSocket::OpenAndBind(const Endpoint& local, bool transparent, bool one_family) {
  Close();
  const bool v6 = local.is_v6();
  SocketHandle fresh = detail::NewUdpSocket(v6 ? AF_INET6 : AF_INET);
  if (fresh == kNoSocket)
    return Outcome::Failed(Step::kSocket, LastSocketError());
  // Both families on the unspecified address, whatever the system's default; one address of
  // one family otherwise.
  const bool both =
      v6 && !one_family && std::memcmp(&local.v6.sin6_addr, &in6addr_any, sizeof in6addr_any) == 0;
  if (v6 && detail::SetOption(fresh, IPPROTO_IPV6, IPV6_V6ONLY, both ? 0 : 1) != 0) {
    int error = LastSocketError();
    detail::CloseSocket(fresh);
    return Outcome::Failed(Step::kSocket, error);
  }
  if (transparent) {
    if (int error = detail::SetTransparent(fresh, v6); error != 0) {
      detail::CloseSocket(fresh);
      return Outcome::Failed(Step::kSocket, error);
    }
  }
  if (::bind(Native(fresh), local.address(), local.size()) != 0) {
    int error = LastSocketError();
    detail::CloseSocket(fresh);
    return Outcome::Failed(Step::kBind, error);
  }
  v6_.store(v6, std::memory_order_relaxed);
  handle_.store(fresh, std::memory_order_release);
  return Outcome();
}

int UdpSocket::SetReceiveBuffer(int bytes) const {
  return detail::SetOption(handle(), SOL_SOCKET, SO_RCVBUF, bytes);
}

int UdpSocket::ReportLocalAddress() const {
  if (!is_v6())
    return detail::SetOption(handle(), IPPROTO_IP, IP_PKTINFO, 1);
  if (int error = detail::SetOption(handle(), IPPROTO_IPV6, detail::kReceivePacketInfo6, 1);
      error != 0)
    return error;
  // IPv4 datagrams on a socket of both families.
  return detail::SetOption(handle(), IPPROTO_IP, IP_PKTINFO, 1);
}

bool UdpSocket::OneFamily() const {
  int only = 0;
  detail::SocketLength length = sizeof only;
  return is_v6() &&
         ::getsockopt(Native(handle()), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&only),
                      &length) == 0 &&
         only != 0;
}

Endpoint UdpSocket::LocalAddress() const {
  Endpoint local;
  detail::SocketLength length = sizeof local;
  if (!IsOpen() || ::getsockname(Native(handle()), local.address(), &length) != 0)
    return Endpoint();
  return local;
}

uint16_t UdpSocket::LocalPort() const {
  return ntohs(LocalAddress().port_net());
}

UdpSocket UdpSocket::Adopt(SocketHandle handle) {
  UdpSocket adopted;
  adopted.handle_.store(handle, std::memory_order_release);
  const Endpoint local = adopted.LocalAddress();
  adopted.v6_.store(local.is_v6(), std::memory_order_relaxed);
  int type = 0;
  detail::SocketLength length = sizeof type;
  const bool ip = local.v4.sin_family == AF_INET || local.v4.sin_family == AF_INET6;
  if (!ip || local.port_net() == 0 ||
      ::getsockopt(Native(handle), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) !=
          0 ||
      type != SOCK_DGRAM)
    adopted.Close();
  return adopted;
}

IoResult UdpSocket::SendTo(const void* data, size_t length, const Endpoint& to) const {
  Endpoint storage;
  const Endpoint* destination = detail::Destination(&to, is_v6(), storage);
  auto send = [&] {
    return ::sendto(Native(handle()), static_cast<const char*>(data),
                    static_cast<detail::SendLength>(length), detail::kSendFlags,
                    destination->address(), destination->size());
  };
  auto n = send();
  for (int failures = 1; n < 0 && detail::SendAgain(LastSocketError(), failures); ++failures)
    n = send();
  if (n < 0)
    return {0, LastSocketError()};
  IoResult sent{static_cast<int>(n), 0};
  sent.bytes = static_cast<size_t>(n);
  return sent;
}

int TransparentRefused(bool v6) {
  SocketHandle probe = detail::NewUdpSocket(v6 ? AF_INET6 : AF_INET);
  if (probe == kNoSocket)
    return LastSocketError();
  const int error = detail::SetTransparent(probe, v6);
  detail::CloseSocket(probe);
  return error;
}

void UdpSocket::Close() {
  SocketHandle h = Release();
  if (h != kNoSocket)
    detail::CloseSocket(h);
}

namespace detail {

namespace {
template <typename Info>
void Attach(MessageHeader& message, PacketInfoControl& control, int level, int type,
            const Info& info) {
  SetControl(message, control.bytes, ControlSpace(sizeof info));
  ControlHeader* c = FirstControl(message);
  c->cmsg_level = level;
  c->cmsg_type = type;
  c->cmsg_len = ControlLength(sizeof info);
  std::memcpy(ControlData(c), &info, sizeof info);
}

// Nothing for a multicast destination, which is no address to answer from.
Endpoint ReplyFrom6(const Endpoint& local) {
  return reinterpret_cast<const unsigned char*>(&local.v6.sin6_addr)[0] == 0xFF ? Endpoint()
                                                                                : local;
}
}  // namespace

void AttachSource(MessageHeader& message, PacketInfoControl& control, const Endpoint* from,
                  bool v6_socket) {
  if (from == nullptr || !from->known())
    return;
  if (!v6_socket) {
    PacketInfo info{};
    SetSendSource(info, from->v4.sin_addr.s_addr);
    Attach(message, control, IPPROTO_IP, IP_PKTINFO, info);
    return;
  }
  // An IPv4 source in IPv6 form, on a socket of both families.
  const Endpoint source = Mapped(*from);
  PacketInfo6 info{};
  info.ipi6_addr = source.v6.sin6_addr;
  info.ipi6_ifindex = source.v6.sin6_scope_id;
  Attach(message, control, IPPROTO_IPV6, IPV6_PKTINFO, info);
}

void ReadControl(MessageHeader& message, ReceiveSlot& slot) {
  slot.source = Unmapped(slot.source);
  slot.local = Endpoint();
  slot.reply_from = Endpoint();
  slot.system_drops = 0;
  for (ControlHeader* c = FirstControl(message); c != nullptr; c = NextControl(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      PacketInfo info;
      std::memcpy(&info, ControlData(c), sizeof info);
      slot.local = MakeEndpoint(info.ipi_addr.s_addr, 0);
      if (uint32_t reply = ReplyAddress(info); reply != 0)
        slot.reply_from = MakeEndpoint(reply, 0);
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      PacketInfo6 info;
      std::memcpy(&info, ControlData(c), sizeof info);
      slot.local = Unmapped(MakeEndpoint6(info.ipi6_addr, 0, info.ipi6_ifindex));
      slot.reply_from = ReplyFrom6(slot.local);
#ifdef SO_RXQ_OVFL
    } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&slot.system_drops, ControlData(c), sizeof slot.system_drops);
#endif
    }
  }
}

}  // namespace detail
}  // namespace tavorin
