// Windows's part of the TCP socket: non-blocking mode set by ioctlsocket, and WSAPoll.
#include <winsock2.h>

#include <vector>

#include "platform/tcp_socket_system.h"
#include "platform/udp_socket_system.h"

namespace tavorin::detail {

namespace {
SocketHandle NonBlocking(SOCKET s) {
  if (s == INVALID_SOCKET)
    return kNoSocket;
  u_long nonblocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    const int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return kNoSocket;
  }
  // Not handed to a process the relay starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketHandle>(s);
}
}  // namespace

SocketHandle NewTcpSocket(int family) {
  return NonBlocking(::socket(family, SOCK_STREAM, IPPROTO_TCP));
}

// Windows frees a port at once; its SO_REUSEADDR would let another program take it over.
int PrepareListening(SocketHandle /*handle*/) {
  return 0;
}

SocketHandle AcceptTcp(SocketHandle listening) {
  return NonBlocking(::accept(Native(listening), nullptr, nullptr));
}

long SendTcp(SocketHandle handle, const char* data, size_t size) {
  return ::send(Native(handle), data, static_cast<int>(size), 0);
}

bool WouldWait(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

bool PollSockets(std::span<TcpSocket::Wait> waits, int milliseconds) {
  thread_local std::vector<WSAPOLLFD> entries;
  entries.resize(waits.size());
  for (size_t i = 0; i < waits.size(); ++i) {
    entries[i] = {};
    entries[i].fd = Native(waits[i].socket->handle());
    entries[i].events = static_cast<SHORT>(waits[i].write ? POLLOUT : POLLIN);
  }
  const int n = WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), milliseconds);
  for (size_t i = 0; n > 0 && i < waits.size(); ++i)
    waits[i].ready = entries[i].revents != 0;
  return n != SOCKET_ERROR;
}

}  // namespace tavorin::detail
