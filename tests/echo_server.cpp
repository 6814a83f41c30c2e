#include "tests/echo_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavorin::testing {

EchoServer::EchoServer() {
  BoundPair pair = BindNeighbours();
  fds_[0] = pair.first;
  fds_[1] = pair.second;
  for (int fd : fds_) {
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  port_ = LocalPort(fds_[0]);
  thread_ = std::thread([this] { Run(); });
}

EchoServer::~EchoServer() {
  running_ = false;
  thread_.join();
  close(fds_[0]);
  close(fds_[1]);
}

void EchoServer::SendFrom(bool next, const Bytes& data, const Endpoint& to) const {
  sendto(fds_[next ? 1 : 0], data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
         sizeof to);
}

void EchoServer::Run() {
  pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  unsigned char buffer[2048];
  while (running_) {
    if (poll(polled, 2, 100) <= 0)
      continue;
    for (const pollfd& p : polled) {
      if ((p.revents & POLLIN) == 0)
        continue;
      Endpoint from{};
      socklen_t length = sizeof from;
      ssize_t n = recvfrom(p.fd, buffer, sizeof buffer, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &length);
      if (n >= 0) {
        ++received_;
        sendto(p.fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
      }
    }
  }
}

}  // namespace tavorin::testing
