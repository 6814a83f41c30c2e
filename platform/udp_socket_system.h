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
using SocketLength = int;
using SendLength = int;
inline constexpr int kSendFlags = 0;
#define TAVORIN_CONTROL(name) WSA_CMSG_##name

inline void SetControl(MessageHeader& message, char* bytes, size_t length) {
  message.Control = {static_cast<ULONG>(length), bytes};
}
#else
using NativeSocket = int;
using MessageHeader = msghdr;
using ControlHeader = cmsghdr;
using PacketInfo = in_pktinfo;
using SocketLength = socklen_t;
using SendLength = size_t;
inline constexpr int kSendFlags = MSG_NOSIGNAL;  // a send never raises SIGPIPE
#define TAVORIN_CONTROL(name) CMSG_##name

inline void SetControl(MessageHeader& message, char* bytes, size_t length) {
  message.msg_control = bytes;
  message.msg_controllen = length;
}
#endif

// The system's control-message macros (CMSG_ on POSIX, WSA_CMSG_ on Windows), by one name.
inline constexpr size_t kPacketInfoSpace = TAVORIN_CONTROL(SPACE)(sizeof(PacketInfo));
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
#undef TAVORIN_CONTROL

inline NativeSocket Native(SocketHandle handle) {
  return static_cast<NativeSocket>(handle);
}

// Room for one packet-information control message, aligned as control messages must be.
struct PacketInfoControl {
  alignas(ControlHeader) char bytes[kPacketInfoSpace];
};

// Answered by each system.
// A new IPv4 UDP socket, not inheritable, ready to bind; kNoSocket on failure (see
// LastSocketError).
SocketHandle NewUdpSocket();
void CloseSocket(SocketHandle handle);
// The error of the socket call that failed last on this thread.
int LastSocketError();
// Where a reply to a datagram that `info` describes leaves from (0: the routing chooses).
uint32_t ReplyAddress(const PacketInfo& info);
// Makes `info` ask for `address` as a sent datagram's source.
void SetSendSource(PacketInfo& info, uint32_t address);

// Shared (udp_socket.cpp).
// Gives `message` a control message that sends it from `address`; the interface is the
// routing's.
void AttachSourceAddress(MessageHeader& message, PacketInfoControl& control, uint32_t address);
// Reads where a received datagram was sent to, and where its reply leaves from, out of
// `message`'s control messages into `slot` (0 for each when they do not say).
void ReadLocalAddress(MessageHeader& message, ReceiveSlot& slot);

template <typename Value>
int SetOption(SocketHandle handle, int level, int name, const Value& value) {
  return ::setsockopt(Native(handle), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
             ? 0
             : LastSocketError();
}

}  // namespace tavorin::detail
