// SocketCarrier on Linux: an AF_UNIX datagram pair, its sockets passed as SCM_RIGHTS. Between
// the two ends of one pair the queue has no bound on its length; the sender's send buffer bounds
// the bytes waiting, each message counted with its overhead (a few hundred bytes).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/socket_carrier.h"

namespace tavorin {

namespace {
// As much as an unprivileged process may have (the system halves nothing above its own bound,
// net.core.wmem_max, and doubles what it grants).
constexpr int kSendBuffer = 64 << 20;
}  // namespace

SocketCarrier::SocketCarrier(SocketCarrier&& other) noexcept
    : in_(std::exchange(other.in_, kNoSocket)), out_(std::exchange(other.out_, kNoSocket)) {}

SocketCarrier& SocketCarrier::operator=(SocketCarrier&& other) noexcept {
  if (this != &other) {
    Close();
    in_ = std::exchange(other.in_, kNoSocket);
    out_ = std::exchange(other.out_, kNoSocket);
  }
  return *this;
}

int SocketCarrier::Make(SocketCarrier& made) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
    return errno;
  ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  made = SocketCarrier(ends[0], ends[1]);
  return 0;
}

int SocketCarrier::Send(const void* data, size_t length, const SocketHandle* sockets,
                        size_t count) const {
  if (count > kMostPerMessage)
    return EINVAL;
  iovec bytes{const_cast<void*>(data), length};
  msghdr header{};
  header.msg_iov = &bytes;
  header.msg_iovlen = 1;
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(kMostPerMessage * sizeof(int))];
  if (count != 0) {
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(rights), sockets, count * sizeof(int));
  }
  ssize_t sent;
  while ((sent = ::sendmsg(in_, &header, MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (sent >= 0)
    return 0;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? kFull : errno;
}

bool SocketCarrier::Receive(void* data, size_t capacity, Message& message) const {
  message = Message{};
  if (!IsOpen())
    return false;
  iovec bytes{data, capacity};
  msghdr header{};
  header.msg_iov = &bytes;
  header.msg_iovlen = 1;
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(kMostPerMessage * sizeof(int))];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t got;
  while ((got = ::recvmsg(out_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  if (got < 0)
    return false;
  message.length = static_cast<size_t>(got);
  message.cut = (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
      continue;
    const size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const auto* at = CMSG_DATA(c);
    for (size_t k = 0; k < n; ++k) {
      int fd;
      std::memcpy(&fd, at + k * sizeof(int), sizeof fd);
      message.sockets.push_back(fd);
    }
  }
  return true;
}

void SocketCarrier::Close() {
  if (in_ != kNoSocket)
    ::close(std::exchange(in_, kNoSocket));
  if (out_ != kNoSocket)
    ::close(std::exchange(out_, kNoSocket));
}

}  // namespace tavorin
