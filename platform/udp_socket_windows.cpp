// UDP sockets on Windows Sockets 2: one datagram per call, the local address through
// WSARecvMsg and WSASendMsg. What Linux does alike is in udp_socket.cpp.
// The sockets' headers first: the address table's need their types.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <mswsock.h>
#include <netioapi.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/udp_socket.h"
#include "platform/udp_socket_system.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace tavorin {

using detail::Native;
using detail::PacketInfoControl;

namespace detail {

SocketHandle NewUdpSocket(int family) {
  SOCKET s = ::socket(family, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET)
    return kNoSocket;
  // An ICMP "port unreachable" would otherwise fail the next receive with WSAECONNRESET.
  BOOL report = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr);
  return static_cast<SocketHandle>(s);
}

void CloseSocket(SocketHandle handle) {
  closesocket(Native(handle));
}

int LastSocketError() {
  return WSAGetLastError();
}

// Windows has no transparent sockets.
int SetTransparent(SocketHandle /*handle*/, bool /*v6*/) {
  return WSAEOPNOTSUPP;
}

// Windows tells only the destination: a limited broadcast or a multicast one is no address to
// answer from, and the routing chooses instead.
uint32_t ReplyAddress(const PacketInfo& info) {
  const uint32_t host_order = ntohl(info.ipi_addr.s_addr);
  const bool group = host_order == 0xFFFFFFFFu || (host_order >> 28) == 0xE;
  return group ? 0 : info.ipi_addr.s_addr;
}

void SetSendSource(PacketInfo& info, uint32_t address) {
  info.ipi_addr.s_addr = address;
}

// A refusal fails a receive, never a send: a failed send is the datagram's own.
bool SendAgain(int /*error*/, int /*failures*/) {
  return false;
}

}  // namespace detail

namespace {
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
}  // namespace

SocketLibrary::SocketLibrary() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLibrary::~SocketLibrary() {
  if (started_)
    WSACleanup();
}

int UdpSocket::SetReceiveTimeout(std::chrono::milliseconds timeout) const {
  return detail::SetOption(handle(), SOL_SOCKET, SO_RCVTIMEO, static_cast<DWORD>(timeout.count()));
}

// One datagram at a time: Windows has no batch receive. WSARecvMsg also tells the local
// address the datagram was sent to, where the socket reports it.
IoResult UdpSocket::ReceiveMany(ReceiveSlot* slots, int count) const {
  if (count < 1)
    return {};
  const SOCKET s = Native(handle());
  ReceiveSlot& slot = slots[0];
  slot.local = Endpoint();
  slot.reply_from = Endpoint();
  slot.truncated = false;
  slot.system_drops = 0;
  LPFN_WSARECVMSG receive_message = ReceiveMessageFunction(s);
  if (receive_message == nullptr) {
    int length = sizeof slot.source;
    int n = recvfrom(s, static_cast<char*>(slot.buffer), static_cast<int>(slot.capacity), 0,
                     slot.source.address(), &length);
    slot.source = Unmapped(slot.source);
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
  message.name = slot.source.address();
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
    slot.source = Unmapped(slot.source);
    return {1, 0};
  }
  slot.length = received;
  slot.truncated = (message.dwFlags & MSG_TRUNC) != 0;
  detail::ReadControl(message, slot);
  return {1, 0};
}

// Windows cuts no send into datagrams here: a run goes as its datagrams.
IoResult UdpSocket::SendRun(const OutgoingDatagram* datagrams, int count, RunRoom&) const {
  return SendMany(datagrams, count);
}

IoResult UdpSocket::SendMany(const OutgoingDatagram* datagrams, int count) const {
  IoResult result;
  const SOCKET s = Native(handle());
  for (int i = 0; i < count; ++i) {
    const OutgoingDatagram& d = datagrams[i];
    const bool sourced = d.from != nullptr && d.from->known();
    if (!sourced && d.prefix_length == 0) {
      IoResult sent = SendTo(d.data, d.length, *d.to);
      result.count += sent.error == 0;
      result.bytes += sent.bytes;
      result.error = sent.error != 0 ? sent.error : result.error;
      continue;
    }
    // The prefix, when there is one, goes first as a buffer of its own.
    WSABUF parts[2];
    DWORD part_count = 0;
    if (d.prefix_length != 0) {
      parts[part_count++] = {static_cast<ULONG>(d.prefix_length),
                             static_cast<char*>(const_cast<void*>(d.prefix))};
    }
    parts[part_count++] = {static_cast<ULONG>(d.length),
                           static_cast<char*>(const_cast<void*>(d.data))};
    Endpoint storage;
    const Endpoint* to = detail::Destination(d.to, is_v6(), storage);
    DWORD bytes = 0;
    if (!sourced) {
      if (WSASendTo(s, parts, part_count, &bytes, 0, to->address(), to->size(), nullptr, nullptr) ==
          0) {
        ++result.count;
        result.bytes += bytes;
      } else {
        result.error = WSAGetLastError();
      }
      continue;
    }
    // The source address rides along with the datagram.
    PacketInfoControl control{};
    WSAMSG message{};
    message.name = const_cast<sockaddr*>(to->address());
    message.namelen = to->size();
    message.lpBuffers = parts;
    message.dwBufferCount = part_count;
    detail::AttachSource(message, control, d.from, is_v6());
    if (WSASendMsg(s, &message, 0, &bytes, nullptr, nullptr) == 0) {
      ++result.count;
      result.bytes += bytes;
    } else {
      result.error = WSAGetLastError();
    }
  }
  return result;
}

int UdpSocket::ReportRefusals() const {
  // Each ICMP "port unreachable" then fails the next receive with WSAECONNRESET.
  BOOL report = TRUE;
  DWORD unused = 0;
  if (WSAIoctl(Native(handle()), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused,
               nullptr, nullptr) != 0)
    return WSAGetLastError();
  return 0;
}

// Windows tells neither the destination refused nor how many: a receive fails once per
// refusal.
int UdpSocket::TakeRefusals(int error, const Endpoint& /*to*/) const {
  return error == WSAECONNRESET ? 1 : 0;
}

SocketHandle UdpSocket::Duplicate(SocketHandle) {
  return kNoSocket;
}

// A socket's handle is its own for as long as it is open in this process.
uint64_t UdpSocket::Identity() const {
  return static_cast<uint64_t>(handle());
}

// Windows counts no datagrams it drops for a socket.
int UdpSocket::ReportSystemDrops() const {
  return 0;
}

uint32_t UdpSocket::SystemDrops() const {
  return 0;
}

void UdpSocket::Shutdown() const {
  if (!IsOpen())
    return;
  // A shutdown does not wake a receive blocked on a Windows UDP socket; an empty datagram to
  // its own address (loopback for the unspecified one) does. Its receiver then finds its
  // running state cleared.
  Endpoint self;
  int length = sizeof self;
  if (getsockname(Native(handle()), self.address(), &length) == 0) {
    if (!self.is_v6() && self.v4.sin_addr.s_addr == 0)
      self.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else if (self.is_v6() && IsLoopbackOrUnspecified(self))
      self.v6.sin6_addr = in6addr_loopback;
    SOCKET waker = ::socket(self.is_v6() ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (waker != INVALID_SOCKET) {
      sendto(waker, "", 0, 0, self.address(), self.size());
      closesocket(waker);
    }
  }
  shutdown(Native(handle()), SD_BOTH);
}

// The system's table of interface addresses, rather than a bind to the address: some
// implementations of Windows Sockets let a socket be bound to any address at all.
bool IsAddressOfThisHost(const Endpoint& e) {
  const Endpoint address = Unmapped(e);
  if (IsLoopbackOrUnspecified(address))
    return true;
  MIB_UNICASTIPADDRESS_TABLE* table = nullptr;
  if (GetUnicastIpAddressTable(address.is_v6() ? AF_INET6 : AF_INET, &table) != NO_ERROR)
    return true;  // cannot tell: taken for this host's, so nothing loops
  bool own = false;
  for (ULONG i = 0; i < table->NumEntries && !own; ++i) {
    Endpoint listed;
    std::memcpy(listed.address(), &table->Table[i].Address,
                address.is_v6() ? sizeof listed.v6 : sizeof listed.v4);
    own = SameAddress(listed, address);
  }
  FreeMibTable(table);
  return own;
}

bool IsReportedError(int error) {
  // The two reports a socket is told of (SIO_UDP_CONNRESET, SIO_UDP_NETRESET).
  return error == WSAECONNRESET || error == WSAENETRESET;
}

void PauseAfterReceiveError(int error) {
  if (error == WSAEINTR || error == WSAEWOULDBLOCK || IsReportedError(error))
    return;
  Sleep(1);
}

}  // namespace tavorin
