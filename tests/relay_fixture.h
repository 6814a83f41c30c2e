// Two Listeners on ephemeral ports relaying to two server sockets on 127.0.0.1, sharing one
// loop guard and one route, the way the program pairs them.
#pragma once

#include <arpa/inet.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "relay/client_link.h"
#include "relay/listener.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {

// The clients' ports of the links closed, and why, in the order the Listener told them.
using Told = std::vector<std::pair<uint16_t, LinkEnd>>;

inline Listener::LinkClosed TellInto(Told& told) {
  return [&told](const ClientLink& link, LinkEnd why) {
    told.emplace_back(ntohs(link.client().port_net()), why);
  };
}

// Whether `count`, which the relay's threads move, reaches `expected` within Settle's deadline.
inline ::testing::AssertionResult Reaches(const std::function<uint64_t()>& count, int expected) {
  const int at = Settle([&] { return static_cast<int>(count()); }, expected);
  if (at == expected)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "stood at " << at << ", not " << expected;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_.SetRoute(&route_, 0);
    b_.SetRoute(&route_, 1);
    a_.SetServer(server_a_.endpoint());
    b_.SetServer(server_b_.endpoint());
    a_.SetLoopGuard(&guard_);
    b_.SetLoopGuard(&guard_);
    ASSERT_TRUE(a_.Start(0));
    ASSERT_TRUE(b_.Start(0));
  }

  uint16_t port_a() const { return a_.LocalPort(); }
  uint16_t port_b() const { return b_.LocalPort(); }

  // Sends `data` from `client` through listener port `port` and returns what the server
  // behind it received; fails the test if nothing arrives.
  Received Forward(const UdpPeer& client, const Bytes& data, uint16_t port, const UdpPeer& server) {
    client.SendTo(data, port);
    auto got = server.Receive();
    EXPECT_TRUE(got.has_value()) << "nothing reached the server";
    return got.value_or(Received{});
  }

  UdpPeer server_a_;
  UdpPeer server_b_;
  const UdpPeer* servers_[2] = {&server_a_, &server_b_};
  LoopGuard guard_;       // outlives the Listeners
  PublishedRoute route_;  // both Listeners', as the program's
  Listener a_;
  Listener b_;
};

}  // namespace tavorin::testing
