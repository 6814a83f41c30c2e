// Both address families against the built binary, on ::1 and 127.0.0.1: clients of either
// family at once, a server of either family, replies from the address the client used, the
// server's own endpoint turned away, a listening address, and a host without IPv6 (a listening
// address the host lacks is a failed start's).
#include <string>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

struct FamilyCase : NamedRow {
  std::string server_ip;     // IP= in [Server]
  bool v6_server;            // on ::1, as the console line shows it
  std::string proxy_lines;   // for [Proxy]
  bool v4_served;            // a client on 127.0.0.1
  bool v6_served;            // a client on ::1
  bool no_ipv6 = false;      // the system refuses every IPv6 socket
  std::string warning = {};  // on standard error; none when empty
};

class Families : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(Families, EachClientIsServedFromTheAddressItUsedAndNothingLoops) {
  const FamilyCase& c = GetParam();
  if (UnderWine() && c.no_ipv6)
    GTEST_SKIP() << "a library preloaded into Wine reaches no Windows program";
  StartedRelay relay({.proxy = c.proxy_lines,
                      .launch = {.preload = c.no_ipv6 ? TAVORIN_NO_IPV6_PRELOAD : ""},
                      .server_ip = c.server_ip,
                      .v6_server = c.v6_server});
  const UdpPeer& server = relay.server();

  // Both clients at once: each link is made before either is answered.
  UdpPeer v4_client;
  UdpPeer v6_client(Loopback6Endpoint(0));
  for (auto [client, served, seed] :
       {std::tuple{&v4_client, c.v4_served, 1u}, std::tuple{&v6_client, c.v6_served, 3u}}) {
    if (served) {
      ExpectRelayed(*client, relay.port, server, seed);
    } else {
      client->SendTo(Pattern(8, seed), relay.port);
      EXPECT_TRUE(server.Silent(500)) << "a client the relay does not listen for";
    }
  }
  // The server's own endpoint, in its own family, makes no link that would send it back.
  server.SendTo(Pattern(8, 9), server.LoopbackAt(relay.port));
  EXPECT_TRUE(server.Silent(500)) << "a datagram from the server went on";
  EXPECT_TRUE(c.proxy_lines.find("LogLinks=1") == std::string::npos ||
              relay.dir.Holds("packets.txt", " client=[::1]:"));

  EndRelay(relay);
  const std::string errors = relay.Errors();
  if (c.warning.empty()) {
    EXPECT_EQ(errors, "") << "nothing to warn about";
  } else {
    EXPECT_TRUE(Contains(errors, c.warning));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Program, Families,
    ::testing::Values(FamilyCase{"BothFamiliesToAnIPv4Server", "127.0.0.1", false, "", true, true},
                      FamilyCase{"AnIPv6Server", "::1", true, "LogLinks=1\n", true, true},
                      FamilyCase{"ABracketedIPv6Server", "[::1]", true, "", true, true},
                      FamilyCase{"IPv4InIPv6Form", "::ffff:127.0.0.1", false, "", true, true},
                      FamilyCase{"ListeningOnIPv6LoopbackOnly", "127.0.0.1", false, "IP=::1\n",
                                 false, true},
                      FamilyCase{"ListeningOnIPv4LoopbackOnly", "127.0.0.1", false,
                                 "IP=127.0.0.1\n", true, false},
                      FamilyCase{"AHostWithoutIPv6", "127.0.0.1", false, "", true, false, true},
                      FamilyCase{"AListeningAddressWithAComment", "127.0.0.1", false,
                                 "IP=::1 ; lan\n", false, true}),
    RowName());

}  // namespace
}  // namespace tavorin::testing
