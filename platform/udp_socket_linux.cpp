// UDP sockets on Linux: batch receives and sends (recvmmsg, sendmmsg) and the local address
// of each datagram (IP_PKTINFO). Receives pass MSG_TRUNC, so that a datagram cut to its
// buffer still reports its whole length. What Windows does alike is in udp_socket.cpp.
// Refusals (ICMP port unreachable) come as reports on the socket's error queue (IP_RECVERR), and
// the count of datagrams the system dropped with each datagram received (SO_RXQ_OVFL).
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <linux/sock_diag.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/udp_socket.h"
#include "platform/udp_socket_system.h"

namespace tavorin {

namespace detail {

SocketHandle NewUdpSocket(int family) {
  return ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

void CloseSocket(SocketHandle handle) {
  ::close(handle);
}

int LastSocketError() {
  return errno;
}

// Linux tells the address a reply leaves from: the one the datagram was sent to, or for a
// broadcast or multicast destination the address of the interface that took it.
uint32_t ReplyAddress(const PacketInfo& info) {
  return info.ipi_spec_dst.s_addr;
}

void SetSendSource(PacketInfo& info, uint32_t address) {
  info.ipi_spec_dst.s_addr = address;
}

int SetTransparent(SocketHandle handle, bool v6) {
  return v6 ? SetOption(handle, IPPROTO_IPV6, IPV6_TRANSPARENT, 1)
            : SetOption(handle, IPPROTO_IP, IP_TRANSPARENT, 1);
}

// A socket that keeps reports (ReportRefusals) fails its next send with the latest report's
// error, whatever it was, and that datagram does not go: any failure is tried once more. A
// refusal is never a send's own, only an earlier datagram's report, and more may come for
// datagrams already sent, each failing one try: it is tried until it goes or fails otherwise
// (within a bound, though the reports end with the datagrams sent).
bool SendAgain(int error, int failures) {
  constexpr int kMostTries = 64;
  return error == EINTR || failures == 1 || (error == ECONNREFUSED && failures < kMostTries);
}

}  // namespace detail

using detail::PacketInfoControl;

int UdpSocket::SetReceiveTimeout(std::chrono::milliseconds timeout) const {
  timeval wait{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  return detail::SetOption(handle(), SOL_SOCKET, SO_RCVTIMEO, wait);
}

namespace {
// Room for what a receive's control messages bring: the packet information of either family,
// and the count of datagrams dropped.
struct ReceiveControl {
  alignas(cmsghdr) char bytes[detail::kPacketInfoSpace + CMSG_SPACE(sizeof(uint32_t))];
};

// One message header for a receive into `slot`.
void PrepareReceive(ReceiveSlot& slot, msghdr& header, iovec& part, ReceiveControl& control) {
  part = {slot.buffer, slot.capacity};
  header = {};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_name = slot.source.address();
  header.msg_namelen = sizeof slot.source;
  header.msg_control = control.bytes;
  header.msg_controllen = sizeof control.bytes;
}

// What a receive brought into `slot`: its length, whether it was cut, where it was sent to.
void ReadReceived(msghdr& header, size_t length, ReceiveSlot& slot) {
  slot.length = length;
  slot.truncated = (header.msg_flags & MSG_TRUNC) != 0;
  detail::ReadControl(header, slot);
}

// One message header for sending `datagram` from a socket of `v6_socket`'s family (an IPv4
// destination may take IPv6 form in `to`); its source address, if it has one, rides along, and
// its prefix, if it has one, goes first in an iovec of its own.
void PrepareSend(const OutgoingDatagram& datagram, bool v6_socket, msghdr& header,
                 iovec (&parts)[2], PacketInfoControl& control, Endpoint& to) {
  header = {};
  header.msg_iov = parts;
  if (datagram.prefix_length == 0) {
    parts[0] = {const_cast<void*>(datagram.data), datagram.length};
    header.msg_iovlen = 1;
  } else {
    parts[0] = {const_cast<void*>(datagram.prefix), datagram.prefix_length};
    parts[1] = {const_cast<void*>(datagram.data), datagram.length};
    header.msg_iovlen = 2;
  }
  const Endpoint* destination = detail::Destination(datagram.to, v6_socket, to);
  header.msg_name = const_cast<sockaddr*>(destination->address());
  header.msg_namelen = static_cast<socklen_t>(destination->size());
  detail::AttachSource(header, control, datagram.from, v6_socket);
}

// A single datagram takes recvmsg and sendmsg, with a frame a fraction of a batch's: many of a
// link's wakes bring one reply, and every link's thread keeps its stack pages.
[[gnu::noinline]] IoResult ReceiveOne(SocketHandle fd, ReceiveSlot& slot) {
  msghdr header;
  iovec part;
  ReceiveControl control;
  PrepareReceive(slot, header, part, control);
  ssize_t n = ::recvmsg(fd, &header, MSG_TRUNC);
  if (n < 0)
    return {0, errno};
  ReadReceived(header, static_cast<size_t>(n), slot);
  return {1, 0};
}

[[gnu::noinline]] IoResult SendOne(SocketHandle fd, bool v6_socket,
                                   const OutgoingDatagram& datagram) {
  msghdr header;
  iovec parts[2];
  PacketInfoControl control;
  Endpoint to;
  PrepareSend(datagram, v6_socket, header, parts, control, to);
  ssize_t n;
  int failures = 0;
  while ((n = ::sendmsg(fd, &header, MSG_NOSIGNAL)) < 0 && detail::SendAgain(errno, ++failures)) {
  }
  if (n < 0)
    return {0, errno};
  IoResult sent{1, 0};
  sent.bytes = static_cast<size_t>(n);
  return sent;
}

// A batch's frame is of its size: a link's thread, whose batches are small, keeps few pages.
constexpr int kSmallBatch = 8;

template <int N>
[[gnu::noinline]] IoResult ReceiveBatch(SocketHandle fd, ReceiveSlot* slots, int count) {
  mmsghdr messages[N];
  iovec parts[N];
  ReceiveControl control[N];
  count = count < N ? count : N;
  for (int i = 0; i < count; ++i) {
    PrepareReceive(slots[i], messages[i].msg_hdr, parts[i], control[i]);
  }
  int n =
      ::recvmmsg(fd, messages, static_cast<unsigned>(count), MSG_WAITFORONE | MSG_TRUNC, nullptr);
  if (n < 0) {
    return {0, errno};
  }
  for (int i = 0; i < n; ++i) {
    ReadReceived(messages[i].msg_hdr, messages[i].msg_len, slots[i]);
  }
  return {n, 0};
}

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

// Coalesced sends: a run of datagrams to one destination leaves in one send that the system cuts
// into those datagrams again (UDP_SEGMENT, Linux 4.18 on), one trip through the stack for the
// whole run. The receiver gets the datagrams as they were; only the sender's cost changes.
//
// Whether the system can cut a send at all, asked once: a system without the option would send
// the run as one datagram. A coalesced send the system refuses sends nothing, and the run goes
// datagram by datagram; when those all go, the refusal was of the coalescing by the route, and
// the sender's room for it is lowered below the part (longer than the path's MTU) or to nil (a
// device that computes no checksums, a tunnel). A refusal of the datagrams themselves (a
// destination nobody can send to) leaves it alone.
const bool system_cuts_sends = [] {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int size = 0;
  socklen_t length = sizeof size;
  const bool known = fd >= 0 && ::getsockopt(fd, SOL_UDP, UDP_SEGMENT, &size, &length) == 0;
  if (fd >= 0)
    ::close(fd);
  return known;
}();

// The size of every datagram of a run but the last, which may be shorter, when the run can leave
// as one coalesced send: one destination and one source for all (the same objects: an address
// alike but for its scope is another destination), none empty, and the whole within one IP
// datagram. 0 when it cannot.
size_t PartSize(const OutgoingDatagram* datagrams, int count, const RunRoom& room) {
  constexpr size_t kMostBytes = 65000;  // within one IPv4 or IPv6 datagram, headers and all
  if (count < 2 || !system_cuts_sends)
    return 0;
  const OutgoingDatagram& first = datagrams[0];
  const size_t part = first.prefix_length + first.length;
  if (part == 0 || part > room.longest)
    return 0;
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    const OutgoingDatagram& d = datagrams[i];
    const size_t each = d.prefix_length + d.length;
    if (each == 0 || each > part || (each < part && i + 1 < count) || d.to != first.to ||
        d.from != first.from)
      return 0;
    total += each;
  }
  return total <= kMostBytes ? part : 0;
}

// Sends a run that PartSize passed, cut into parts of `part` bytes: 0 when it went, else the
// system's error.
template <int N>
[[gnu::noinline]] int SendCoalesced(SocketHandle fd, bool v6_socket,
                                    const OutgoingDatagram* datagrams, int count, size_t part,
                                    IoResult& sent) {
  iovec parts[2 * N];
  size_t used = 0;
  for (int i = 0; i < count; ++i) {
    if (datagrams[i].prefix_length > 0)
      parts[used++] = {const_cast<void*>(datagrams[i].prefix), datagrams[i].prefix_length};
    parts[used++] = {const_cast<void*>(datagrams[i].data), datagrams[i].length};
  }
  msghdr header{};
  header.msg_iov = parts;
  header.msg_iovlen = used;
  Endpoint to;
  const Endpoint* destination = detail::Destination(datagrams[0].to, v6_socket, to);
  header.msg_name = const_cast<sockaddr*>(destination->address());
  header.msg_namelen = static_cast<socklen_t>(destination->size());
  // The part's size, then the source address if there is one.
  PacketInfoControl source;
  detail::AttachSource(header, source, datagrams[0].from, v6_socket);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t)) + sizeof source.bytes];
  auto* size = reinterpret_cast<cmsghdr*>(control);
  size->cmsg_level = SOL_UDP;
  size->cmsg_type = UDP_SEGMENT;
  size->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const auto part16 = static_cast<uint16_t>(part);
  std::memcpy(CMSG_DATA(size), &part16, sizeof part16);
  size_t control_length = CMSG_SPACE(sizeof(uint16_t));
  if (header.msg_controllen > 0) {
    std::memcpy(control + control_length, source.bytes, header.msg_controllen);
    control_length += header.msg_controllen;
  }
  header.msg_control = control;
  header.msg_controllen = control_length;
  ssize_t n;
  while ((n = ::sendmsg(fd, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (n < 0)
    return errno;
  sent = {count, 0};
  sent.bytes = static_cast<size_t>(n);
  return 0;
}

template <int N>
[[gnu::noinline]] IoResult SendBatch(SocketHandle fd, bool v6_socket,
                                     const OutgoingDatagram* datagrams, int count) {
  mmsghdr messages[N];
  iovec parts[N][2];
  PacketInfoControl control[N];
  Endpoint to[N];
  IoResult result;
  for (int i = 0; i < count; ++i) {
    PrepareSend(datagrams[i], v6_socket, messages[i].msg_hdr, parts[i], control[i], to[i]);
  }
  int failures = 0;  // of the datagram at `at`
  for (int at = 0; at < count;) {
    int n = ::sendmmsg(fd, messages + at, static_cast<unsigned>(count - at), MSG_NOSIGNAL);
    if (n > 0) {
      for (int i = at; i < at + n; ++i)
        result.bytes += messages[i].msg_len;
      result.count += n;
      at += n;
      failures = 0;
    } else if (n < 0 && detail::SendAgain(errno, ++failures)) {
      continue;  // the datagram at `at` again
    } else {
      result.error = n < 0 ? errno : EIO;
      ++at;  // the datagram at `at` was refused: go on with the next
      failures = 0;
    }
  }
  return result;
}
}  // namespace

IoResult UdpSocket::ReceiveMany(ReceiveSlot* slots, int count) const {
  if (count <= 1)
    return count == 1 ? ReceiveOne(handle(), slots[0]) : IoResult{};
  return count <= kSmallBatch ? ReceiveBatch<kSmallBatch>(handle(), slots, count)
                              : ReceiveBatch<kMaxBatch>(handle(), slots, count);
}

IoResult UdpSocket::SendMany(const OutgoingDatagram* datagrams, int count) const {
  if (count <= 1)
    return count == 1 ? SendOne(handle(), is_v6(), datagrams[0]) : IoResult{};
  count = count < kMaxBatch ? count : kMaxBatch;
  return count <= kSmallBatch ? SendBatch<kSmallBatch>(handle(), is_v6(), datagrams, count)
                              : SendBatch<kMaxBatch>(handle(), is_v6(), datagrams, count);
}

IoResult UdpSocket::SendRun(const OutgoingDatagram* datagrams, int count, RunRoom& room) const {
  count = count < kMaxBatch ? count : kMaxBatch;
  auto one_by_one = [&] { return SendMany(datagrams, count); };
  const size_t part = PartSize(datagrams, count, room);
  if (part == 0)
    return one_by_one();
  IoResult sent;
  const int refused =
      count <= kSmallBatch
          ? SendCoalesced<kSmallBatch>(handle(), is_v6(), datagrams, count, part, sent)
          : SendCoalesced<kMaxBatch>(handle(), is_v6(), datagrams, count, part, sent);
  if (refused == 0)
    return sent;
  // A device's own failure may come after some of the parts went: the run is not sent again,
  // which could bring those twice, and counts as failed.
  if (refused == ENOBUFS || refused == ENETDOWN)
    return {0, refused};
  sent = one_by_one();
  if ((refused == EINVAL || refused == EIO) && sent.count == count && sent.error == 0)
    room.longest = refused == EIO ? 0 : part - 1;
  return sent;
}

int UdpSocket::ReportRefusals() const {
  if (int error = detail::SetOption(handle(), IPPROTO_IP, IP_RECVERR, 1); error != 0)
    return error;
  return is_v6() ? detail::SetOption(handle(), IPPROTO_IPV6, IPV6_RECVERR, 1) : 0;
}

namespace {
// Whether `report`, read from the error queue, tells of a datagram that found nobody on its
// destination's port.
bool PortUnreachable(const sock_extended_err& report) {
  if (report.ee_origin == SO_EE_ORIGIN_ICMP)
    return report.ee_type == ICMP_DEST_UNREACH && report.ee_code == ICMP_PORT_UNREACH;
  if (report.ee_origin == SO_EE_ORIGIN_ICMP6)
    return report.ee_type == ICMP6_DST_UNREACH && report.ee_code == ICMP6_DST_UNREACH_NOPORT;
  return false;
}

// Takes the next report off `fd`'s error queue without waiting: 1 when it tells of a datagram
// to `to` refused, 0 when of anything else, -1 when none is left.
int TakeReport(SocketHandle fd, const Endpoint& to) {
  // The refused datagram comes back with its report; its first bytes are of no use here.
  unsigned char payload[1];
  iovec part{payload, sizeof payload};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in6)) * 2];
  Endpoint destination;
  msghdr header{};
  header.msg_name = destination.address();
  header.msg_namelen = sizeof destination;
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = ::recvmsg(fd, &header, MSG_ERRQUEUE | MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (n < 0)
    return -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    const bool report = (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
                        (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR);
    if (!report || c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err)))
      continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(c), sizeof error);
    if (!PortUnreachable(error) || !SameAddressAndPort(Unmapped(destination), Unmapped(to)))
      return 0;
    // Anyone can send a report naming the server as the destination; only one the server's
    // own address sent tells that the server refused.
    Endpoint offender;
    const size_t room = c->cmsg_len - CMSG_LEN(sizeof error);
    std::memcpy(&offender, CMSG_DATA(c) + sizeof error,
                room < sizeof offender ? room : sizeof offender);
    return SameAddress(Unmapped(offender), Unmapped(to)) ? 1 : 0;
  }
  return 0;
}
}  // namespace

int UdpSocket::TakeRefusals(int /*error*/, const Endpoint& to) const {
  // Whatever the receive's error, the queue is emptied: a report left there would be counted
  // only after the next failed receive, and a full queue takes no more.
  int refused = 0;
  for (int taken; (taken = TakeReport(handle(), to)) >= 0;)
    refused += taken;
  return refused;
}

int UdpSocket::ReportSystemDrops() const {
  return detail::SetOption(handle(), SOL_SOCKET, SO_RXQ_OVFL, 1);
}

uint32_t UdpSocket::SystemDrops() const {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (::getsockopt(handle(), SOL_SOCKET, SO_MEMINFO, info, &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof info[0])
    return 0;
  return info[SK_MEMINFO_DROPS];
}

uint64_t UdpSocket::Identity() const {
  struct stat status {};
  return ::fstat(handle(), &status) == 0 ? static_cast<uint64_t>(status.st_ino) : 0;
}

SocketHandle UdpSocket::Duplicate(SocketHandle handle) {
  return handle != kNoSocket ? ::fcntl(handle, F_DUPFD_CLOEXEC, 3) : kNoSocket;
}

void UdpSocket::Shutdown() const {
  if (IsOpen()) {
    // On an unconnected UDP socket this reports ENOTCONN, but it still marks the socket shut
    // down and wakes its blocked receivers, which is all that is wanted here.
    ::shutdown(handle(), SHUT_RDWR);
  }
}

// Sockets need no library started on Linux.
SocketLibrary::SocketLibrary() : started_(true) {}
SocketLibrary::~SocketLibrary() = default;

bool IsAddressOfThisHost(const Endpoint& e) {
  const Endpoint address = Unmapped(e);
  if (IsLoopbackOrUnspecified(address))
    return true;
  // The system's table of this host's addresses, as it is now; no port is needed to ask, and
  // an address that merely binds (net.ipv4.ip_nonlocal_bind) is not taken for one.
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0)
    return true;  // cannot tell: taken for this host's, so nothing loops
  bool own = false;
  for (const ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != (address.is_v6() ? AF_INET6 : AF_INET))
      continue;
    Endpoint listed;
    std::memcpy(listed.address(), i->ifa_addr,
                address.is_v6() ? sizeof listed.v6 : sizeof listed.v4);
    own = SameAddress(listed, address);
  }
  ::freeifaddrs(list);
  return own;
}

bool IsReportedError(int error) {
  // As the system names the reports of both families (IP_RECVERR, IPV6_RECVERR), but for the
  // one of IPv6's administratively prohibited, EACCES, which a security module refusing the
  // receive itself gives too, for ever: that one pauses.
  switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case EMSGSIZE:
    case EPROTO:
      return true;
    default:
      return false;
  }
}

void PauseAfterReceiveError(int error) {
  if (error == EINTR || error == EAGAIN || IsReportedError(error))
    return;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace tavorin
