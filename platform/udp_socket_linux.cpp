// UDP sockets on Linux: batch receives and sends (recvmmsg, sendmmsg) and the local address
// of each datagram (IP_PKTINFO).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/udp_socket.h"

namespace tavorin {

namespace {
// Room for one IP_PKTINFO control message, aligned as control messages must be.
struct PacketInfoControl {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};
}  // namespace

Outcome UdpSocket::OpenAndBind(uint16_t port) {
  Close();
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return Outcome::Failed(Step::kSocket, errno);
  }
  Endpoint local = MakeEndpoint(htonl(INADDR_ANY), htons(port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    int error = errno;
    ::close(fd);
    return Outcome::Failed(Step::kBind, error);
  }
  handle_.store(fd, std::memory_order_release);
  return Outcome();
}

void UdpSocket::SetReceiveBuffer(int bytes) const {
  if (IsOpen()) {
    ::setsockopt(handle(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

void UdpSocket::ReportLocalAddress() const {
  int on = 1;
  if (IsOpen()) {
    ::setsockopt(handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  }
}

uint16_t UdpSocket::LocalPort() const {
  Endpoint local{};
  socklen_t length = sizeof local;
  if (!IsOpen() || ::getsockname(handle(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

IoResult UdpSocket::SendTo(const void* data, size_t length, const Endpoint& to) const {
  ssize_t n = ::sendto(handle(), data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
  return n < 0 ? IoResult{0, errno} : IoResult{static_cast<int>(n), 0};
}

IoResult UdpSocket::ReceiveMany(ReceiveSlot* slots, int count) const {
  mmsghdr messages[kMaxBatch];
  iovec parts[kMaxBatch];
  PacketInfoControl control[kMaxBatch];
  count = count < kMaxBatch ? count : kMaxBatch;
  for (int i = 0; i < count; ++i) {
    parts[i] = {slots[i].buffer, slots[i].capacity};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &slots[i].source;
    messages[i].msg_hdr.msg_namelen = sizeof slots[i].source;
    messages[i].msg_hdr.msg_control = control[i].bytes;
    messages[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
  }
  int n = ::recvmmsg(handle(), messages, static_cast<unsigned>(count), MSG_WAITFORONE, nullptr);
  if (n < 0) {
    return {0, errno};
  }
  for (int i = 0; i < n; ++i) {
    slots[i].length = messages[i].msg_len;
    slots[i].truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    slots[i].local_address = 0;
    msghdr& header = messages[i].msg_hdr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        slots[i].local_address = info.ipi_addr.s_addr;
      }
    }
  }
  return {n, 0};
}

IoResult UdpSocket::SendMany(const OutgoingDatagram* datagrams, int count) const {
  mmsghdr messages[kMaxBatch];
  iovec parts[kMaxBatch];
  PacketInfoControl control[kMaxBatch];
  count = count < kMaxBatch ? count : kMaxBatch;
  for (int i = 0; i < count; ++i) {
    parts[i] = {const_cast<void*>(datagrams[i].data), datagrams[i].length};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = const_cast<Endpoint*>(datagrams[i].to);
    messages[i].msg_hdr.msg_namelen = sizeof(Endpoint);
    if (datagrams[i].from_address != 0) {
      // The source address rides along with the datagram; the interface is the routing's.
      msghdr& header = messages[i].msg_hdr;
      header.msg_control = control[i].bytes;
      header.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
      cmsghdr* c = CMSG_FIRSTHDR(&header);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst.s_addr = datagrams[i].from_address;
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
  }
  IoResult result;
  const SocketHandle fd = handle();
  for (int at = 0; at < count;) {
    int n = ::sendmmsg(fd, messages + at, static_cast<unsigned>(count - at), MSG_NOSIGNAL);
    if (n > 0) {
      result.count += n;
      at += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      result.error = n < 0 ? errno : EIO;
      ++at;  // the datagram at `at` was refused: go on with the next
    }
  }
  return result;
}

void UdpSocket::Shutdown() const {
  if (IsOpen()) {
    // On an unconnected UDP socket this reports ENOTCONN, but it still marks the socket shut
    // down and wakes its blocked receivers, which is all that is wanted here.
    ::shutdown(handle(), SHUT_RDWR);
  }
}

void UdpSocket::Close() {
  SocketHandle fd = Release();
  if (fd != kNoSocket) {
    ::close(fd);
  }
}

// Sockets need no library started on Linux.
SocketLibrary::SocketLibrary() : started_(true) {}
SocketLibrary::~SocketLibrary() = default;

bool IsAddressOfThisHost(uint32_t address) {
  if (IsLoopbackOrUnspecified(address))
    return true;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  Endpoint probe = MakeEndpoint(address, 0);
  bool own = ::bind(fd, reinterpret_cast<const sockaddr*>(&probe), sizeof probe) == 0;
  ::close(fd);
  return own;
}

void PauseAfterReceiveError(int error) {
  switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return;
    default:
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace tavorin
