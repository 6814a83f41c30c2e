// Links that follow the server to the port it answers from (FollowServerPort), over real
// sockets on loopback: the server's address is 127.0.0.1, and a second socket there plays the
// port a TFTP server answers a request from.
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "tests/program_checks.h"
#include "tests/relay_fixture.h"

namespace tavorin::testing {
namespace {

// Where the answer to the client's first datagram comes from.
enum class Answer {
  kServersAddress,    // another port of the server's address
  kOtherAddress,      // another address (127.0.0.2), another port
  kRelaysOwnPort,     // the server's address, but the relay's own P+1: forged, a loop
  kAnotherLinksPort,  // the server's address, but another client's link's port: forged
  kItsOwnPort,        // the server's address, but the link's own port: forged
};

struct FollowCase : NamedRow {
  bool follow;                    // FollowServerPort
  bool replies_from_server_only;  // RepliesFromServerOnly
  bool second_port;               // the client sends to P+1 instead of P
  Answer answer;
  bool moves;  // the client's next datagram goes where the answer came from
};

class FollowTest : public RelayTest, public ::testing::WithParamInterface<FollowCase> {};

TEST_P(FollowTest, TheNextDatagramGoesWhereTheServersAddressLastAnsweredFrom) {
  const FollowCase& row = GetParam();
  const bool forged = row.answer == Answer::kRelaysOwnPort ||
                      row.answer == Answer::kAnotherLinksPort || row.answer == Answer::kItsOwnPort;
  if (forged && geteuid() != 0)
    GTEST_SKIP() << "forging a source address takes a raw socket, which takes root";
  for (Listener* each : {&a_, &b_})
    each->SetRules({.replies_from_server_only = row.replies_from_server_only,
                    .follow_server_port = row.follow});
  Listener& listener = row.second_port ? b_ : a_;
  const UdpPeer& server = row.second_port ? server_b_ : server_a_;
  const uint16_t port = listener.LocalPort();
  UdpPeer client;
  const Endpoint link = Forward(client, Pattern(20, 1), port, server).from;

  UdpPeer answering(0, row.answer == Answer::kOtherAddress ? 2 : 1);
  const Bytes answer = Pattern(30, 2);
  UdpPeer other_client;
  if (row.answer == Answer::kRelaysOwnPort) {
    ASSERT_TRUE(SendForged(LoopbackEndpoint(port_b()), link, answer));
  } else if (row.answer == Answer::kAnotherLinksPort) {
    // Followed, the link would send its client's datagrams to the other client.
    const Endpoint other = Forward(other_client, Pattern(20, 9), port, server).from;
    ASSERT_TRUE(SendForged(LoopbackEndpoint(ntohs(other.port_net())), link, answer));
  } else if (row.answer == Answer::kItsOwnPort) {
    ASSERT_TRUE(SendForged(LoopbackEndpoint(ntohs(link.port_net())), link, answer));
  } else {
    answering.SendTo(answer, link);
  }
  // What comes from a port of the relay's own here is dropped as a loop.
  const bool passed_on = row.answer == Answer::kServersAddress ||
                         (row.answer == Answer::kOtherAddress && !row.replies_from_server_only);
  if (passed_on) {
    EXPECT_EQ(client.ReceiveData(), answer) << "the answer reaches the client";
  } else {
    // Dropped and counted: once counted, the return thread is done with it.
    const PortCounters& counted = listener.port_counters();
    EXPECT_TRUE(
        Reaches([&] { return counted.dropped_loop() + counted.dropped_not_from_server(); }, 1));
    EXPECT_TRUE(client.Silent(100));
  }

  client.SendTo(Pattern(40, 3), port);
  const UdpPeer& expected = row.moves ? answering : server;
  const UdpPeer& other = row.moves ? server : answering;
  auto next = expected.Receive();
  ASSERT_TRUE(next.has_value()) << "the next datagram went elsewhere";
  EXPECT_EQ(next->data, Pattern(40, 3));
  EXPECT_EQ(next->from.port_net(), link.port_net()) << "from the same link";
  EXPECT_TRUE(other.Silent(100));
  EXPECT_TRUE(other_client.Silent(0));
  if (!row.moves)
    return;

  // The last port heard counts: the server's own port brings the link back.
  server.SendTo(Pattern(50, 4), link);
  ASSERT_TRUE(client.Receive().has_value());
  client.SendTo(Pattern(60, 5), port);
  EXPECT_EQ(server.ReceiveData(), Pattern(60, 5)) << "the link stayed on the port it followed";
  EXPECT_TRUE(answering.Silent(100));
}

INSTANTIATE_TEST_SUITE_P(
    Listener, FollowTest,
    ::testing::Values(
        FollowCase{"FollowsANewPortOfTheServersAddress", true, false, false,
                   Answer::kServersAddress, true},
        FollowCase{"FollowsOnPPlusOneToo", true, false, true, Answer::kServersAddress, true},
        FollowCase{"FollowsWithRepliesFromServerOnly", true, true, false, Answer::kServersAddress,
                   true},
        FollowCase{"AnotherAddressNeverMovesALink", true, false, false, Answer::kOtherAddress,
                   false},
        FollowCase{"WhatRepliesFromServerOnlyDropsNeverMovesALink", true, true, false,
                   Answer::kOtherAddress, false},
        FollowCase{"WhatTheLoopGuardDropsNeverMovesALink", true, false, false,
                   Answer::kRelaysOwnPort, false},
        FollowCase{"AnotherLinksPortIsNeverFollowed", true, false, false, Answer::kAnotherLinksPort,
                   false},
        FollowCase{"ItsOwnPortIsNeverFollowed", true, false, false, Answer::kItsOwnPort, false},
        FollowCase{"WithoutTheKeyEveryDatagramGoesToS", false, false, false,
                   Answer::kServersAddress, false}),
    RowName());

// Two clients at once, each answered from a port of its own, and what a reload does: the same
// server again keeps the ports followed, a moved server sets every link back to its S.
TEST_F(RelayTest, EachLinkFollowsOnItsOwnUntilTheServerMoves) {
  a_.SetRules({.follow_server_port = true});
  UdpPeer clients[2];
  UdpPeer transfers[2];
  Endpoint links[2];
  for (int i = 0; i < 2; ++i) {
    links[i] = Forward(clients[i], Pattern(10, i), port_a(), server_a_).from;
    transfers[i].SendTo(Pattern(11, i), links[i]);
    ASSERT_TRUE(clients[i].Receive().has_value());
  }
  auto each_goes_to = [&](const UdpPeer* const(&to)[2], unsigned seed) {
    for (int i = 0; i < 2; ++i) {
      clients[i].SendTo(Pattern(12, seed + i), port_a());
      auto got = to[i]->Receive();
      ASSERT_TRUE(got.has_value()) << "client " << i << ", round " << seed;
      EXPECT_EQ(got->data, Pattern(12, seed + i)) << "client " << i << ", round " << seed;
      EXPECT_EQ(got->from.port_net(), links[i].port_net());
    }
  };
  each_goes_to({&transfers[0], &transfers[1]}, 100);
  a_.SetServer(server_a_.endpoint());  // a reload that leaves the server as it is
  each_goes_to({&transfers[0], &transfers[1]}, 200);

  UdpPeer moved;  // the server now: another port
  a_.SetServer(moved.endpoint());
  each_goes_to({&moved, &moved}, 300);
  EXPECT_TRUE(server_a_.Silent(100));
  EXPECT_TRUE(transfers[0].Silent(0));
  EXPECT_TRUE(transfers[1].Silent(0));
}

// A reload that moves the server to the other family: each link held opens its socket anew in
// that family on the same port, so the new server sees the client where the old one did, and
// the replies come back; back to IPv4, a socket of both families reaches it as it is.
TEST_F(RelayTest, AServerMovedToTheOtherFamilyKeepsEveryLinksPort) {
  UdpPeer clients[3];
  Endpoint links[3];
  for (int i = 0; i < 3; ++i)
    links[i] = Forward(clients[i], Pattern(10, i), port_a(), server_a_).from;
  // Someone else holds the third link's port in IPv6: that link cannot move, and is closed.
  UdpPeer squatter(Loopback6Endpoint(ntohs(links[2].port_net())));
  UdpPeer v6(Loopback6Endpoint(0));
  a_.SetServer(v6.endpoint());
  auto moved = a_.AwaitRoute(a_.route().Held().version, std::chrono::seconds(5));
  ASSERT_TRUE(moved.has_value()) << "the receive thread took the new server";
  EXPECT_EQ(moved->kept, 2u);
  EXPECT_EQ(moved->closed, 1u);
  EXPECT_EQ(a_.counters().links_held(), 2u);
  Told told;
  EXPECT_EQ(a_.CloseExpired(10, TellInto(told)), 1u);
  EXPECT_EQ(told, (Told{{ntohs(clients[2].endpoint().port_net()), LinkEnd::kServerFamily}}));
  EXPECT_NE(Forward(clients[2], Pattern(11, 2), port_a(), v6).from.port_net(), 0)
      << "the closed link's client gets a new one";
  for (int i = 0; i < 2; ++i) {
    const Received got = Forward(clients[i], Pattern(11, i), port_a(), v6);
    EXPECT_EQ(got.data, Pattern(11, i));
    EXPECT_EQ(got.from.port_net(), links[i].port_net()) << "the port the server knew";
    v6.SendTo(Pattern(12, i), got.from);
    EXPECT_EQ(clients[i].ReceiveData(), Pattern(12, i)) << "the reply reaches the client";
  }
  a_.SetServer(server_a_.endpoint());
  moved = a_.AwaitRoute(a_.route().Held().version, std::chrono::seconds(5));
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->kept, 3u) << "sockets of both families reach IPv4 as they are";
  EXPECT_EQ(Forward(clients[0], Pattern(13, 0), port_a(), server_a_).from.port_net(),
            links[0].port_net());
  EXPECT_EQ(a_.counters().links_made(), 4u) << "only the closed link was made anew";
}

}  // namespace
}  // namespace tavorin::testing
