// Linux's part of the TCP socket: flags given at creation, poll, and no SIGPIPE on a send.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <vector>

#include "platform/tcp_socket_system.h"
#include "platform/udp_socket_system.h"

namespace tavorin::detail {

SocketHandle NewTcpSocket(int family) {
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

int PrepareListening(SocketHandle handle) {
  // A restart finds the port free though connections of the last run linger in TIME_WAIT.
  return SetOption(handle, SOL_SOCKET, SO_REUSEADDR, 1);
}

SocketHandle AcceptTcp(SocketHandle listening) {
  const int peer = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return peer >= 0 ? peer : kNoSocket;
}

long SendTcp(SocketHandle handle, const char* data, size_t size) {
  return static_cast<long>(::send(handle, data, size, MSG_NOSIGNAL));
}

bool WouldWait(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

bool PollSockets(std::span<TcpSocket::Wait> waits, int milliseconds) {
  thread_local std::vector<pollfd> entries;
  entries.resize(waits.size());
  for (size_t i = 0; i < waits.size(); ++i)
    entries[i] = {waits[i].socket->handle(), static_cast<short>(waits[i].write ? POLLOUT : POLLIN),
                  0};
  const int n = ::poll(entries.data(), entries.size(), milliseconds);
  for (size_t i = 0; n > 0 && i < waits.size(); ++i)
    waits[i].ready = entries[i].revents != 0;
  return n >= 0 || errno == EINTR;
}

}  // namespace tavorin::detail
