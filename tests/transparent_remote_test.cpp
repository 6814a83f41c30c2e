// The recipe of docs/operations.md ("Transparent links") for a client on another host, with the
// built relay: three network namespaces of the test's own, a client host, the relay host and a
// server host whose route to the clients goes through the relay host. With the marking rule the
// server sees the client's own address and its reply comes back through the relay; without it
// the server sees the client's address all the same, but its reply passes the relay by.
#include <csignal>
#include <optional>
#include <string>

#include "tests/net_host.h"
#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

constexpr uint16_t kProxyPort = 40000;
constexpr uint16_t kServerPort = 41000;

struct RecipeCase : NamedRow {
  bool marking;  // the relay host marks the replies to transparent sockets
};

class TransparentRecipe : public ::testing::TestWithParam<RecipeCase> {};

TEST_P(TransparentRecipe, TheServerSeesAClientOnAnotherHost) {
  const bool marking = GetParam().marking;
  if (UnderWine())
    GTEST_SKIP() << "transparent links are Linux's";
  if (const std::string missing = NoNamespaces(); !missing.empty())
    GTEST_SKIP() << missing;
  Host client_host;
  Host relay_host;
  Host server_host;
  if (!client_host.Made() || !relay_host.Made() || !server_host.Made())
    GTEST_SKIP() << "no network namespace can be had here";

  const std::string mark_rule =
      "nft 'table ip tavorin_test { chain prerouting { type filter hook prerouting priority "
      "mangle; meta l4proto udp socket transparent 1 meta mark set 1; }; }'";
  ASSERT_TRUE(relay_host.Run(
      "ip link add r0 type veth peer name c0 netns " + client_host.Path() +
      "; ip link add r1 type veth peer name s0 netns " + server_host.Path() +
      "; ip addr add 192.0.2.1/24 dev r0; ip link set r0 up"
      "; ip addr add 198.51.100.1/24 dev r1; ip link set r1 up"
      "; echo 1 >/proc/sys/net/ipv4/ip_forward"
      "; ip rule add fwmark 1 lookup 100; ip route add local 0.0.0.0/0 dev lo table 100; " +
      (marking ? mark_rule : ":")));
  ASSERT_TRUE(client_host.Run("ip addr add 192.0.2.2/24 dev c0; ip link set c0 up"));
  ASSERT_TRUE(
      server_host.Run("ip addr add 198.51.100.2/24 dev s0; ip link set s0 up"
                      "; ip route add 192.0.2.0/24 via 198.51.100.1"));

  std::optional<UdpPeer> server;
  std::optional<UdpPeer> client;
  std::optional<StartedRelay> relay;
  server_host.In([&] { server.emplace(At("198.51.100.2", kServerPort)); });
  client_host.In([&] { client.emplace(At("192.0.2.2", 0)); });
  relay_host.In([&] {
    relay.emplace(RelaySetup{.server = "Transparent=1\n",
                             .launch = {.terminal = Terminal::kNone},
                             .port = kProxyPort,
                             .server_port = kServerPort,
                             .server_ip = "198.51.100.2"});
  });

  const Bytes request = Pattern(64, 1);
  client->SendTo(request, At("192.0.2.1", kProxyPort));
  const std::optional<Received> at_server = server->Receive(5000);
  ASSERT_TRUE(at_server.has_value()) << "nothing reached the server";
  EXPECT_EQ(at_server->data, request);
  EXPECT_EQ(AddressText(at_server->from), "192.0.2.2") << "the server sees the client's address";
  const Bytes reply = Pattern(80, 2);
  server->SendTo(reply, at_server->from);
  if (marking) {
    const std::optional<Received> at_client = client->Receive(5000);
    ASSERT_TRUE(at_client.has_value()) << "the reply did not come back through the relay";
    EXPECT_EQ(at_client->data, reply);
    EXPECT_EQ(EndpointText(at_client->from), "192.0.2.1:" + std::to_string(kProxyPort))
        << "the reply comes from the address and port the client sent to";
  } else {
    // Forwarded past the link's socket to the client host, where no socket holds its port.
    EXPECT_TRUE(client->Silent(1000)) << "a reply came back without the marking rule";
  }
  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitForExit(kExitDeadlineMs), 0));
}

INSTANTIATE_TEST_SUITE_P(Program, TransparentRecipe,
                         ::testing::Values(RecipeCase{"WithTheMarkingRuleTheReplyComesBack", true},
                                           RecipeCase{"WithoutItTheReplyPassesTheRelayBy", false}),
                         RowName());

}  // namespace
}  // namespace tavorin::testing
