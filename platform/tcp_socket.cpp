#include "platform/tcp_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#endif

#include "platform/udp_socket_system.h"

namespace tavorin {

namespace {
#ifdef _WIN32
using PollEntry = WSAPOLLFD;
int PollOne(PollEntry& entry, int milliseconds) {
  return WSAPoll(&entry, 1, milliseconds);
}
constexpr int kNoSignal = 0;
#else
using PollEntry = pollfd;
int PollOne(PollEntry& entry, int milliseconds) {
  return ::poll(&entry, 1, milliseconds);
}
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif
}  // namespace

Outcome TcpSocket::Listen(const Endpoint& local, int backlog) {
  Close();
#ifdef _WIN32
  SOCKET fresh = ::socket(local.is_v6() ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const auto handle = fresh == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(fresh);
#else
  const SocketHandle handle =
      ::socket(local.is_v6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
  if (handle == kNoSocket)
    return Outcome::Failed(Step::kSocket, detail::LastSocketError());
  int error = 0;
#ifndef _WIN32
  // A restart finds the port free though connections of the last run linger in TIME_WAIT.
  error = detail::SetOption(handle, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
  if (error == 0 && local.is_v6())
    error = detail::SetOption(handle, IPPROTO_IPV6, IPV6_V6ONLY, 1);
#ifdef TCP_DEFER_ACCEPT
  // A connection is taken once its request has come (or after a second): one wake a request,
  // not one for the connection and another for its bytes.
  if (error == 0)
    (void)detail::SetOption(handle, IPPROTO_TCP, TCP_DEFER_ACCEPT, 1);
#endif
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

bool TcpSocket::Ready(bool write, std::chrono::milliseconds wait) const {
  PollEntry entry{};
  entry.fd = detail::Native(handle_);
  entry.events = write ? POLLOUT : POLLIN;
  return PollOne(entry, static_cast<int>(wait.count())) > 0;
}

TcpSocket TcpSocket::Accept(std::chrono::milliseconds wait) const {
  TcpSocket accepted;
  if (!IsOpen() || !Ready(false, wait))
    return accepted;
#ifdef _WIN32
  SOCKET peer = ::accept(detail::Native(handle_), nullptr, nullptr);
  if (peer != INVALID_SOCKET) {
    u_long nonblocking = 1;
    ioctlsocket(peer, FIONBIO, &nonblocking);
    accepted.handle_ = static_cast<SocketHandle>(peer);
  }
#else
  const int peer = ::accept4(handle_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (peer >= 0)
    accepted.handle_ = peer;
#endif
  return accepted;
}

int TcpSocket::Receive(char* buffer, size_t size, std::chrono::milliseconds wait) const {
  if (!IsOpen() || !Ready(false, wait))
    return -1;
  const auto n = ::recv(detail::Native(handle_), buffer, static_cast<int>(size), 0);
  return n < 0 ? -1 : static_cast<int>(n);
}

bool TcpSocket::Send(std::string_view data, std::chrono::milliseconds wait) const {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!data.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Ready(true, left))
      return false;
    const auto n =
        ::send(detail::Native(handle_), data.data(), static_cast<int>(data.size()), kNoSignal);
    if (n <= 0)
      return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
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
