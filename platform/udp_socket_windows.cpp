// UDP sockets on Windows Sockets 2.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "platform/udp_socket.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace tavorin {

namespace {
thread_local int last_error = 0;

SOCKET Native(SocketHandle h) {
  return static_cast<SOCKET>(h);
}
}  // namespace

bool StartSocketLibrary() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void CleanupSocketLibrary() {
  WSACleanup();
}

std::string LastSocketErrorText() {
  switch (last_error) {
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEACCES:
      return "Permission denied";
    case WSAEADDRNOTAVAIL:
      return "Cannot assign requested address";
    case WSAEMFILE:
    case WSAENOBUFS:
      return "No socket available";
    default:
      return "Windows Sockets error " + std::to_string(last_error);
  }
}

bool UdpSocket::OpenAndBind(uint16_t port) {
  Close();
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    last_error = WSAGetLastError();
    return false;
  }
  // An ICMP "port unreachable" would otherwise fail the next receive with WSAECONNRESET.
  BOOL report = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr);
  Endpoint local = MakeEndpoint(htonl(INADDR_ANY), htons(port));
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    last_error = WSAGetLastError();
    closesocket(s);
    return false;
  }
  handle_.store(static_cast<SocketHandle>(s), std::memory_order_release);
  return true;
}

void UdpSocket::SetReceiveBuffer(int bytes) const {
  if (IsOpen()) {
    setsockopt(Native(handle()), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
  }
}

// Replies leave from whatever address the routing picks here.
void UdpSocket::ReportLocalAddress() const {}

uint16_t UdpSocket::LocalPort() const {
  Endpoint local{};
  int length = sizeof local;
  if (!IsOpen() ||
      getsockname(Native(handle()), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

long UdpSocket::ReceiveFrom(SocketHandle handle, void* buffer, size_t capacity, Endpoint* source) {
  int length = sizeof *source;
  int n = recvfrom(Native(handle), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                   reinterpret_cast<sockaddr*>(source), &length);
  if (n == SOCKET_ERROR) {
    // A datagram that did not fit has been cut and reported; it is dropped whole.
    return WSAGetLastError() == WSAEMSGSIZE ? kReceiveTooLong : kReceiveError;
  }
  return n;
}

long UdpSocket::SendTo(SocketHandle handle, const void* data, size_t length, const Endpoint& to) {
  return sendto(Native(handle), static_cast<const char*>(data), static_cast<int>(length), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int UdpSocket::ReceiveMany(SocketHandle handle, ReceiveSlot* slots, int count) {
  if (count < 1)
    return 0;
  long n = ReceiveFrom(handle, slots[0].buffer, slots[0].capacity, &slots[0].source);
  if (n == kReceiveError)
    return static_cast<int>(kReceiveError);
  slots[0].length = n;
  slots[0].local_address = 0;
  return 1;
}

int UdpSocket::SendMany(SocketHandle handle, const OutgoingDatagram* datagrams, int count) {
  int sent = 0;
  for (int i = 0; i < count; ++i) {
    sent += SendTo(handle, datagrams[i].data, datagrams[i].length, *datagrams[i].to) >= 0;
  }
  return sent;
}

void UdpSocket::Shutdown() const {
  if (!IsOpen())
    return;
  // A shutdown does not wake a receive blocked on a Windows UDP socket; an empty datagram from
  // loopback does. Its receiver then finds its running state cleared.
  SOCKET waker = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (waker != INVALID_SOCKET) {
    Endpoint self = MakeEndpoint(htonl(INADDR_LOOPBACK), htons(LocalPort()));
    sendto(waker, "", 0, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
    closesocket(waker);
  }
  shutdown(Native(handle()), SD_BOTH);
}

void UdpSocket::Close() {
  SocketHandle h = Release();
  if (h != kNoSocket)
    closesocket(Native(h));
}

void PauseAfterReceiveError() {
  switch (WSAGetLastError()) {
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAECONNRESET:
    case WSAENETRESET:
      return;
    default:
      Sleep(1);
  }
}

}  // namespace tavorin
