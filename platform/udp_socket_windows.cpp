// UDP sockets on Windows Sockets 2.
#include <iphlpapi.h>
#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "platform/udp_socket.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace tavorin {

namespace {
SOCKET Native(SocketHandle h) {
  return static_cast<SOCKET>(h);
}

// WSARecvMsg is reached through the provider; the pointer is the same for every UDP socket,
// so it is looked up once. Null where the provider has none: receives then go without it.
LPFN_WSARECVMSG ReceiveMessageFunction(SOCKET s) {
  static const LPFN_WSARECVMSG function = [s] {
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG found = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found,
                 &bytes, nullptr, nullptr) != 0) {
      return LPFN_WSARECVMSG{nullptr};
    }
    return found;
  }();
  return function;
}

// Room for one IP_PKTINFO control message.
struct PacketInfoControl {
  alignas(WSACMSGHDR) char bytes[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
};
}  // namespace

SocketLibrary::SocketLibrary() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLibrary::~SocketLibrary() {
  if (started_)
    WSACleanup();
}

Outcome UdpSocket::OpenAndBind(uint16_t port) {
  Close();
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    return Outcome::Failed(Step::kSocket, WSAGetLastError());
  }
  // An ICMP "port unreachable" would otherwise fail the next receive with WSAECONNRESET.
  BOOL report = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr);
  Endpoint local = MakeEndpoint(htonl(INADDR_ANY), htons(port));
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    int error = WSAGetLastError();
    closesocket(s);
    return Outcome::Failed(Step::kBind, error);
  }
  handle_.store(static_cast<SocketHandle>(s), std::memory_order_release);
  return Outcome();
}

namespace {
template <typename Value>
int SetOption(SocketHandle s, int level, int name, const Value& value) {
  return setsockopt(Native(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
                 0
             ? 0
             : WSAGetLastError();
}
}  // namespace

int UdpSocket::SetReceiveBuffer(int bytes) const {
  return SetOption(handle(), SOL_SOCKET, SO_RCVBUF, bytes);
}

int UdpSocket::SetReceiveTimeout(std::chrono::milliseconds timeout) const {
  return SetOption(handle(), SOL_SOCKET, SO_RCVTIMEO, static_cast<DWORD>(timeout.count()));
}

int UdpSocket::ReportLocalAddress() const {
  return SetOption(handle(), IPPROTO_IP, IP_PKTINFO, DWORD{1});
}

uint16_t UdpSocket::LocalPort() const {
  Endpoint local{};
  int length = sizeof local;
  if (!IsOpen() ||
      getsockname(Native(handle()), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

IoResult UdpSocket::SendTo(const void* data, size_t length, const Endpoint& to) const {
  int n = sendto(Native(handle()), static_cast<const char*>(data), static_cast<int>(length), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return n == SOCKET_ERROR ? IoResult{0, WSAGetLastError()} : IoResult{n, 0};
}

// One datagram at a time: Windows has no batch receive. WSARecvMsg also tells the local
// address the datagram was sent to, where the socket reports it.
IoResult UdpSocket::ReceiveMany(ReceiveSlot* slots, int count) const {
  if (count < 1)
    return {};
  const SOCKET s = Native(handle());
  ReceiveSlot& slot = slots[0];
  slot.local_address = 0;
  slot.reply_address = 0;
  slot.truncated = false;
  LPFN_WSARECVMSG receive_message = ReceiveMessageFunction(s);
  if (receive_message == nullptr) {
    int length = sizeof slot.source;
    int n = recvfrom(s, static_cast<char*>(slot.buffer), static_cast<int>(slot.capacity), 0,
                     reinterpret_cast<sockaddr*>(&slot.source), &length);
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE)
      return {0, WSAGetLastError()};
    // A datagram that did not fit has been cut, and reported as an error.
    slot.truncated = n == SOCKET_ERROR;
    slot.length = slot.truncated ? slot.capacity : static_cast<size_t>(n);
    return {1, 0};
  }
  WSABUF part{static_cast<ULONG>(slot.capacity), static_cast<char*>(slot.buffer)};
  PacketInfoControl control;
  WSAMSG message{};
  message.name = reinterpret_cast<LPSOCKADDR>(&slot.source);
  message.namelen = sizeof slot.source;
  message.lpBuffers = &part;
  message.dwBufferCount = 1;
  message.Control = {sizeof control.bytes, control.bytes};
  DWORD received = 0;
  if (receive_message(s, &message, &received, nullptr, nullptr) == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEMSGSIZE)
      return {0, WSAGetLastError()};
    slot.truncated = true;  // cut and reported
    slot.length = slot.capacity;
    return {1, 0};
  }
  slot.length = received;
  slot.truncated = (message.dwFlags & MSG_TRUNC) != 0;
  for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
       c = WSA_CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      IN_PKTINFO info;
      std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
      slot.local_address = info.ipi_addr.s_addr;
      // Windows tells only the destination: a limited broadcast or a multicast one is no
      // address to answer from, and the routing chooses instead.
      const uint32_t host_order = ntohl(slot.local_address);
      const bool group = host_order == 0xFFFFFFFFu || (host_order >> 28) == 0xE;
      slot.reply_address = group ? 0 : slot.local_address;
    }
  }
  return {1, 0};
}

IoResult UdpSocket::SendMany(const OutgoingDatagram* datagrams, int count) const {
  IoResult result;
  const SOCKET s = Native(handle());
  for (int i = 0; i < count; ++i) {
    const OutgoingDatagram& d = datagrams[i];
    if (d.from_address == 0) {
      IoResult sent = SendTo(d.data, d.length, *d.to);
      result.count += sent.error == 0;
      result.error = sent.error != 0 ? sent.error : result.error;
      continue;
    }
    // The source address rides along with the datagram; the interface is the routing's.
    WSABUF part{static_cast<ULONG>(d.length), static_cast<char*>(const_cast<void*>(d.data))};
    PacketInfoControl control{};
    WSAMSG message{};
    message.name = reinterpret_cast<LPSOCKADDR>(const_cast<Endpoint*>(d.to));
    message.namelen = sizeof(Endpoint);
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    message.Control = {sizeof control.bytes, control.bytes};
    WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
    IN_PKTINFO info{};
    info.ipi_addr.s_addr = d.from_address;
    std::memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
    DWORD bytes = 0;
    if (WSASendMsg(s, &message, 0, &bytes, nullptr, nullptr) == 0) {
      ++result.count;
    } else {
      result.error = WSAGetLastError();
    }
  }
  return result;
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

// The system's table of interface addresses, rather than a bind to the address: some
// implementations of Windows Sockets let a socket be bound to any address at all.
bool IsAddressOfThisHost(uint32_t address) {
  if (IsLoopbackOrUnspecified(address))
    return true;
  std::vector<unsigned char> buffer;
  ULONG size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 3 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size);
    result = GetIpAddrTable(size == 0 ? nullptr : reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data()),
                            &size, FALSE);
  }
  if (result != NO_ERROR)
    return true;  // cannot tell: taken for this host's, so nothing loops
  const auto* table = reinterpret_cast<const MIB_IPADDRTABLE*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (table->table[i].dwAddr == address)
      return true;
  }
  return false;
}

void PauseAfterReceiveError(int error) {
  switch (error) {
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
