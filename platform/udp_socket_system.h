// What the shared socket code (udp_socket.cpp) asks of each system, answered in
// udp_socket_linux.cpp and udp_socket_windows.cpp, and the control messages that carry a
// datagram's local address, which both systems build and read alike.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/udp_socket.h"

namespace tavorin::detail {

#ifdef _WIN32
using NativeSocket = SOCKET;
using MessageHeader = WSAMSG;
using ControlHeader = WSACMSGHDR;
using PacketInfo = IN_PKTINFO;
using PacketInfo6 = IN6_PKTINFO;
using SocketLength = int;
using SendLength = int;
inline constexpr int kSendFlags = 0;
inline constexpr int kReceivePacketInfo6 = IPV6_PKTINFO;  // which also turns reporting on
#define TAVORIN_CONTROL(name) WSA_CMSG_##name

inline void SetControl(MessageHeader& message, char* bytes, size_t length) {
  message.Control = {static_cast<ULONG>(length), bytes};
}
#else
using NativeSocket = int;
using MessageHeader = msghdr;
using ControlHeader = cmsghdr;
using PacketInfo = in_pktinfo;
using PacketInfo6 = in6_pktinfo;
using SocketLength = socklen_t;
using SendLength = size_t;
inline constexpr int kSendFlags = MSG_NOSIGNAL;  // a send never raises SIGPIPE
inline constexpr int kReceivePacketInfo6 = IPV6_RECVPKTINFO;
#define TAVORIN_CONTROL(name) CMSG_##name

inline void SetControl(MessageHeader& message, char* bytes, size_t length) {
  message.msg_control = bytes;
  message.msg_controllen = length;
}
#endif

// The system's control-message macros (CMSG_ on POSIX, WSA_CMSG_ on Windows), by one name.
// Room for the packet information of either family, which a socket of both may bring.
inline constexpr size_t kPacketInfoSpace =
    TAVORIN_CONTROL(SPACE)(sizeof(PacketInfo)) + TAVORIN_CONTROL(SPACE)(sizeof(PacketInfo6));
inline ControlHeader* FirstControl(MessageHeader& message) {
  return TAVORIN_CONTROL(FIRSTHDR)(&message);
}
inline ControlHeader* NextControl(MessageHeader& message, ControlHeader* control) {
  return TAVORIN_CONTROL(NXTHDR)(&message, control);
}
inline unsigned char* ControlData(ControlHeader* control) {
  return TAVORIN_CONTROL(DATA)(control);
}
inline constexpr size_t ControlLength(size_t data) {
  return TAVORIN_CONTROL(LEN)(data);
}
inline constexpr size_t ControlSpace(size_t data) {
  return TAVORIN_CONTROL(SPACE)(data);
}
#undef TAVORIN_CONTROL

inline NativeSocket Native(SocketHandle handle) {
  return static_cast<NativeSocket>(handle);
}

// Room for one packet-information control message, aligned as control messages must be.
struct PacketInfoControl {
  alignas(ControlHeader) char bytes[kPacketInfoSpace];
};

// Answered by each system.
// A new UDP socket of `family`, not inheritable, ready to bind; kNoSocket on failure (see
// LastSocketError).
SocketHandle NewUdpSocket(int family);
void CloseSocket(SocketHandle handle);
// The error of the socket call that failed last on this thread.
int LastSocketError();
// Where a reply to a datagram that `info` describes leaves from (0: the routing chooses).
uint32_t ReplyAddress(const PacketInfo& info);
// Makes `info` ask for `address` as a sent datagram's source.
void SetSendSource(PacketInfo& info, uint32_t address);
// Lets `handle`, of the family of `v6`, bind an address of another host; the system's error
// when it refuses, else 0.
int SetTransparent(SocketHandle handle, bool v6);
// Whether a send that has failed `failures` times, the latest with `error`, is tried again.
bool SendAgain(int error, int failures);

// Shared (udp_socket.cpp).
// Gives `message` a control message that sends it from `from` (none: nothing to add), on an
// IPv6 socket when `v6_socket`; the interface is the routing's, but for a link-local IPv6
// address.
void AttachSource(MessageHeader& message, PacketInfoControl& control, const Endpoint* from,
                  bool v6_socket);
// Reads where a received datagram was sent to, and where its reply leaves from, out of
// `message`'s control messages into `slot` (none for each when they do not say), with the
// system's count of datagrams dropped where it comes along (0 where not), and takes an IPv4
// source that came in IPv6 form as IPv4.
void ReadControl(MessageHeader& message, ReceiveSlot& slot);
// The destination `to` as a socket of `v6_socket`'s family takes it, in `storage` if it must
// change.
inline const Endpoint* Destination(const Endpoint* to, bool v6_socket, Endpoint& storage) {
  if (!v6_socket || to->is_v6())
    return to;
  storage = Mapped(*to);
  return &storage;
}

template <typename Value>
int SetOption(SocketHandle handle, int level, int name, const Value& value) {
  return ::setsockopt(Native(handle), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
             ? 0
             : LastSocketError();
}

}  // namespace tavorin::detail
