// The built relay with Transparent=1. Where the system refuses transparent sockets (a user
// without CAP_NET_ADMIN) the start ends before the ready line, naming the key and the reason;
// where it grants them (root) the relay starts and the server sees its client's address.
// And the recipe for a client on another host.
#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "tests/net_host.h"
#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

struct StartCase : NamedRow {
  bool as_nobody;  // run as user 65534, which has no capability (root runs the test)
  bool starts;
};

class TransparentStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(TransparentStart, EndsBeforeTheReadyLineWhereTheSystemRefuses) {
  const StartCase& row = GetParam();
  SKIP_IF(UnderWine(), "Windows refuses the key; its start is Linux's to test here");
  if (geteuid() != 0 && !row.as_nobody)
    GTEST_SKIP() << "transparent sockets take CAP_NET_ADMIN, which takes root here";
  StartedRelay relay({.server = "Transparent=1\n",
                      .launch = {.terminal = Terminal::kNone},
                      .as_nobody = row.as_nobody,
                      .read_console = row.starts});
  const UdpPeer& server = relay.server();
  if (!row.starts) {
    const std::string lines = Lines(server.port(), "127.0.0.1", relay.port);
    // The two lines before the relay listens, and not the ready line.
    EXPECT_EQ(relay.ReadLines(4), lines.substr(0, lines.find("Tavorin BUILD")));
    EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), kConfigurationStatus));
    const std::string errors = relay.Errors();
    EXPECT_TRUE(Contains(errors, "Transparent=1 (Transparent in [Server] of "));
    EXPECT_TRUE(Contains(errors, std::string("IP_TRANSPARENT): ") + std::strerror(EPERM)));
    return;
  }
  UdpPeer client(0, 2);
  client.SendTo(Pattern(20, 1), relay.port);
  const std::optional<Received> got = server.Receive();
  ASSERT_TRUE(got.has_value()) << "nothing reached the server";
  EXPECT_TRUE(SameAddress(got->from, client.endpoint())) << AddressText(got->from);
  server.SendTo(Pattern(30, 2), got->from);
  const std::optional<Received> back = client.Receive();
  ASSERT_TRUE(back.has_value()) << "the reply did not come back";
  EXPECT_EQ(ntohs(back->from.port_net()), relay.port);
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
}

INSTANTIATE_TEST_SUITE_P(Program, TransparentStart,
                         ::testing::Values(StartCase{"WithoutTheCapabilityItEnds", true, false},
                                           StartCase{"AsRootItRelays", false, true}),
                         RowName());

// The recipe of docs/operations.md ("Transparent links") for a client on another host, with the
// built relay: three network namespaces of the test's own, a client host, the relay host and a
// server host whose route to the clients goes through the relay host. With the marking rule the
// server sees the client's own address and its reply comes back through the relay; without it
// the server sees the client's address all the same, but its reply passes the relay by.
constexpr uint16_t kProxyPort = 40000;
constexpr uint16_t kServerPort = 41000;

struct RecipeCase : NamedRow {
  bool marking;  // the relay host marks the replies to transparent sockets
};

class TransparentRecipe : public ::testing::TestWithParam<RecipeCase> {};

TEST_P(TransparentRecipe, TheServerSeesAClientOnAnotherHost) {
  const bool marking = GetParam().marking;
  SKIP_IF(UnderWine(), "transparent links are Linux's");
  if (const std::string missing = NoNamespaces(); !missing.empty())
    GTEST_SKIP() << missing;
  Host client_host;
  Host relay_host;
  Host server_host;
  SKIP_IF(!client_host.Made() || !relay_host.Made() || !server_host.Made(),
          "no network namespace can be had here");

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
