// A network namespace of a test's own, standing for a host: the tests that need routes, rules
// and addresses of their own build a few of these and wire them with veth pairs.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/endpoint.h"

namespace tavorin::testing {

// `address`:`port`, of IPv4.
inline Endpoint At(const char* address, uint16_t port) {
  return MakeEndpoint(inet_addr(address), htons(port));
}

// Held by a descriptor: it goes with the descriptor and the last socket and process in it,
// whatever becomes of the test.
class Host {
 public:
  Host() : home_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (home_ >= 0 && unshare(CLONE_NEWNET) == 0) {
      fd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
      EXPECT_EQ(setns(home_, CLONE_NEWNET), 0);
    }
  }
  ~Host() {
    for (int fd : {fd_, home_}) {
      if (fd >= 0)
        close(fd);
    }
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool Made() const { return fd_ >= 0; }
  // Its name for `ip link ... netns`.
  std::string Path() const {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
  }
  // Runs `body` in it: the sockets it opens and the processes it starts stay there.
  template <typename Body>
  void In(Body body) const {
    ASSERT_EQ(setns(fd_, CLONE_NEWNET), 0);
    body();
    ASSERT_EQ(setns(home_, CLONE_NEWNET), 0);
  }
  // Whether the shell's commands all succeed in it, loopback up first.
  bool Run(const std::string& commands) const {
    int status = -1;
    In([&] { status = std::system(("set -e; ip link set lo up; " + commands).c_str()); });
    return status == 0;
  }

 private:
  int home_ = -1;
  int fd_ = -1;
};

// Why a test of namespaces cannot run here, or empty when it can: it takes root, ip and nft.
inline std::string NoNamespaces() {
  if (geteuid() != 0)
    return "namespaces, routes and nftables rules take root";
  if (std::system("command -v ip >/dev/null && command -v nft >/dev/null") != 0)
    return "the test takes ip (iproute2) and nft (nftables)";
  return {};
}

}  // namespace tavorin::testing
