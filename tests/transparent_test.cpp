// Links bound to their clients' addresses (Transparent=1), over real sockets on loopback: the
// server is 127.0.0.1, the clients other addresses of 127.0.0.0/8 (or ::1). Setting the
// transparent option takes CAP_NET_ADMIN, so those rows run as root only.
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/udp_socket.h"
#include "tests/program_checks.h"
#include "tests/relay_fixture.h"

namespace tavorin::testing {
namespace {

// What the server sees of a client's datagram.
enum class Seen {
  kRelay,    // the relay's address (127.0.0.1), as without the key
  kClient,   // the client's own address, on a port of the relay's
  kRefused,  // nothing: the client has no link, and is counted refused
  kLoop,     // nothing: a source forged as the relay's own P+1 is judged first, and dropped
};

struct TransparentCase : NamedRow {
  bool transparent;
  std::vector<Endpoint> clients;  // each client's own address, port 0
  Seen seen;
};

class TransparentTest : public RelayTest, public ::testing::WithParamInterface<TransparentCase> {
 protected:
  void SetUp() override {
    if (GetParam().transparent && GetParam().seen != Seen::kRefused && geteuid() != 0)
      GTEST_SKIP() << "the transparent option, and forging a source, take root here";
    // Before the Listeners start, as the program sets it.
    a_.SetTransparent(GetParam().transparent);
    b_.SetTransparent(GetParam().transparent);
    RelayTest::SetUp();
  }
};

TEST_P(TransparentTest, TheServerSeesWhatTheKeySays) {
  const TransparentCase& row = GetParam();
  if (row.seen == Seen::kLoop) {
    ASSERT_TRUE(SendForged(LoopbackEndpoint(port_b()), LoopbackEndpoint(port_a()), Pattern(20)));
    EXPECT_TRUE(Reaches([&] { return a_.port_counters().dropped_loop(); }, 1));
    EXPECT_TRUE(server_a_.Silent(100));
  }
  std::vector<UdpPeer> clients;
  for (const Endpoint& address : row.clients)
    clients.emplace_back(address);
  for (size_t i = 0; i < clients.size(); ++i) {
    const UdpPeer& client = clients[i];
    const Bytes sent = Pattern(20, static_cast<unsigned>(i));
    client.SendTo(sent, port_a());
    if (row.seen == Seen::kRefused) {
      EXPECT_TRUE(
          Reaches([&] { return a_.counters().clients_refused(); }, static_cast<int>(i + 1)));
      const Outcome why = a_.counters().last_refusal();
      EXPECT_EQ(why.step(), Step::kBind);
      EXPECT_EQ(why.error(), kNoAddressFamily);
      EXPECT_TRUE(server_a_.Silent(100));
      continue;
    }
    const std::optional<Received> got = server_a_.Receive();
    ASSERT_TRUE(got.has_value()) << "client " << i << ": nothing reached the server";
    EXPECT_EQ(got->data, sent);
    const Endpoint expected = row.seen == Seen::kClient ? client.endpoint() : LoopbackEndpoint(0);
    EXPECT_TRUE(SameAddress(got->from, expected))
        << "client " << i << ": the server saw " << AddressText(got->from);
    EXPECT_NE(got->from.port_net(), client.endpoint().port_net());
    // The reply reaches the client from the port it sent to.
    const Bytes reply = Pattern(30, static_cast<unsigned>(i) + 10);
    server_a_.SendTo(reply, got->from);
    const std::optional<Received> back = client.Receive();
    ASSERT_TRUE(back.has_value()) << "client " << i << ": the reply did not come back";
    EXPECT_EQ(back->data, reply);
    EXPECT_EQ(ntohs(back->from.port_net()), port_a());
  }
  // Counted a moment after the first datagram has gone.
  const int made = row.seen == Seen::kRefused ? 0 : static_cast<int>(clients.size());
  EXPECT_TRUE(Reaches([&] { return a_.counters().links_made(); }, made));
}

INSTANTIATE_TEST_SUITE_P(
    Links, TransparentTest,
    ::testing::Values(
        TransparentCase{"OffTheServerSeesTheRelay", false, {LoopbackEndpoint(0, 2)}, Seen::kRelay},
        TransparentCase{
            "OffAnIpv6ClientReachesAnIpv4Server", false, {Loopback6Endpoint(0)}, Seen::kRelay},
        TransparentCase{"OnEachClientIsSeenAsItself",
                        true,
                        {LoopbackEndpoint(0, 2), LoopbackEndpoint(0, 3)},
                        Seen::kClient},
        TransparentCase{
            "OnAnIpv6ClientOfAnIpv4ServerIsRefused", true, {Loopback6Endpoint(0)}, Seen::kRefused},
        TransparentCase{"OnTheGuardJudgesEverySourceFirst", true, {}, Seen::kLoop}),
    RowName());

}  // namespace
}  // namespace tavorin::testing
