#include "platform/tcp_socket.h"

#include "platform/tcp_socket_system.h"
#include "platform/udp_socket_system.h"

namespace tavorin {

Outcome TcpSocket::Listen(const Endpoint& local, int backlog) {
  Close();
  const SocketHandle handle = detail::NewTcpSocket(local.is_v6() ? AF_INET6 : AF_INET);
  if (handle == kNoSocket)
    return Outcome::Failed(Step::kSocket, detail::LastSocketError());
  int error = detail::PrepareListening(handle);
  if (error == 0 && local.is_v6())
    error = detail::SetOption(handle, IPPROTO_IPV6, IPV6_V6ONLY, 1);
  if (error != 0) {
    detail::CloseSocket(handle);
    return Outcome::Failed(Step::kSocket, error);
  }
  if (::bind(detail::Native(handle), local.address(), local.size()) != 0 ||
      ::listen(detail::Native(handle), backlog) != 0) {
    error = detail::LastSocketError();
    detail::CloseSocket(handle);
    return Outcome::Failed(Step::kBind, error);
  }
  handle_ = handle;
  return Outcome();
}

TcpSocket TcpSocket::Accept() const {
  TcpSocket accepted;
  if (IsOpen())
    accepted.handle_ = detail::AcceptTcp(handle_);
  return accepted;
}

long TcpSocket::Receive(char* buffer, size_t size) const {
  if (!IsOpen())
    return -1;
  const auto n = ::recv(detail::Native(handle_), buffer, static_cast<int>(size), 0);
  if (n >= 0)
    return static_cast<long>(n);
  return detail::WouldWait(detail::LastSocketError()) ? kWouldWait : -1;
}

long TcpSocket::Send(std::string_view data) const {
  if (!IsOpen())
    return -1;
  const long n = detail::SendTcp(handle_, data.data(), data.size());
  if (n >= 0)
    return n;
  return detail::WouldWait(detail::LastSocketError()) ? kWouldWait : -1;
}

bool TcpSocket::WaitForAny(std::span<Wait> waits, std::chrono::milliseconds wait) {
  for (Wait& each : waits)
    each.ready = false;
  return detail::PollSockets(waits, static_cast<int>(wait.count() > 0 ? wait.count() : 0));
}

uint16_t TcpSocket::LocalPort() const {
  Endpoint local;
  detail::SocketLength length = sizeof local;
  if (!IsOpen() || ::getsockname(detail::Native(handle_), local.address(), &length) != 0)
    return 0;
  return ntohs(local.port_net());
}

void TcpSocket::Close() {
  if (handle_ != kNoSocket)
    detail::CloseSocket(handle_);
  handle_ = kNoSocket;
}

}  // namespace tavorin
