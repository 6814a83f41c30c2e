// What the shared TCP code (tcp_socket.cpp) asks of each system, answered in
// tcp_socket_linux.cpp and tcp_socket_windows.cpp.
#pragma once

#include <cstddef>
#include <span>

#include "platform/tcp_socket.h"

namespace tavorin::detail {

// A new TCP socket of `family` that never waits in a call and is not inherited; kNoSocket on
// failure (see LastSocketError).
SocketHandle NewTcpSocket(int family);
// What a listening socket needs of the system before its bind; the system's error, else 0.
int PrepareListening(SocketHandle handle);
// A connection waiting on `listening`, as NewTcpSocket makes them; kNoSocket when none is.
SocketHandle AcceptTcp(SocketHandle listening);
// Sends what the system takes of `size` bytes now, never raising a signal: the count, or a
// negative value with LastSocketError set.
long SendTcp(SocketHandle handle, const char* data, size_t size);
// Whether `error` only says the call would have had to wait.
bool WouldWait(int error);
// The system's poll over `waits`, up to `milliseconds`; false on its error.
bool PollSockets(std::span<TcpSocket::Wait> waits, int milliseconds);

}  // namespace tavorin::detail
