// Both address families against the built binary, on ::1 and 127.0.0.1: clients of either
// family at once, a server of either family, replies from the address the client used, the
// server's own endpoint turned away, a listening address, and a host without IPv6.
#include <string>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

struct FamilyCase {
  const char* name;
  std::string server_ip;     // IP= in [Server]
  std::string shown;         // the console line's address
  std::string proxy_lines;   // for [Proxy]
  bool v4_served;            // a client on 127.0.0.1
  bool v6_served;            // a client on ::1
  bool no_ipv6 = false;      // the system refuses every IPv6 socket
  std::string warning = {};  // on standard error; none when empty
};

void PrintTo(const FamilyCase& c, std::ostream* out) {
  *out << c.name;
}

class Families : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(Families, EachClientIsServedFromTheAddressItUsedAndNothingLoops) {
  const FamilyCase& c = GetParam();
  if (UnderWine() && c.no_ipv6)
    GTEST_SKIP() << "a library preloaded into Wine reaches no Windows program";
  const bool v6_server = c.shown.find(':') != std::string::npos;
  RelayDir setup(BindNeighbours(v6_server ? Loopback6Endpoint(0) : LoopbackEndpoint(0)));
  auto& [dir, server, server_next, port] = setup;
  dir.Write("TAVORIN.INI", "[Proxy]\nPort=" + std::to_string(port) + "\n" + c.proxy_lines +
                               "[Server]\nPort=" + std::to_string(server.port()) +
                               "\nIP=" + c.server_ip + "\n");
  Launch launch;
  if (c.no_ipv6)
    launch.preload = TAVORIN_NO_IPV6_PRELOAD;
  RunningProgram relay(dir.path(), launch);
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), c.shown, port));

  // Both clients at once: each link is made before either is answered.
  UdpPeer v4_client;
  UdpPeer v6_client(Loopback6Endpoint(0));
  for (auto [client, served, seed] :
       {std::tuple{&v4_client, c.v4_served, 1u}, std::tuple{&v6_client, c.v6_served, 3u}}) {
    if (served) {
      ExpectRelayed(*client, port, server, seed);
    } else {
      client->SendTo(Pattern(8, seed), port);
      EXPECT_TRUE(server.Silent(500)) << "a client the relay does not listen for";
    }
  }
  // The server's own endpoint, in its own family, makes no link that would send it back.
  server.SendTo(Pattern(8, 9), server.LoopbackAt(port));
  EXPECT_TRUE(server.Silent(500)) << "a datagram from the server went on";
  if (c.proxy_lines.find("LogLinks=1") != std::string::npos) {
    EXPECT_TRUE(dir.Holds("packets.txt", " client=[::1]:"));
  }

  EndRelay(relay);
  const std::string errors = relay.Errors();
  if (c.warning.empty()) {
    EXPECT_EQ(errors, "") << "nothing to warn about";
  } else {
    EXPECT_NE(errors.find(c.warning), std::string::npos) << errors;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Program, Families,
    ::testing::Values(
        FamilyCase{"BothFamiliesToAnIPv4Server", "127.0.0.1", "127.0.0.1", "", true, true},
        FamilyCase{"AnIPv6Server", "::1", "::1", "LogLinks=1\n", true, true},
        FamilyCase{"ABracketedIPv6Server", "[::1]", "::1", "", true, true},
        FamilyCase{"IPv4InIPv6Form", "::ffff:127.0.0.1", "127.0.0.1", "", true, true},
        FamilyCase{"ListeningOnIPv6LoopbackOnly", "127.0.0.1", "127.0.0.1", "IP=::1\n", false,
                   true},
        FamilyCase{"ListeningOnIPv4LoopbackOnly", "127.0.0.1", "127.0.0.1", "IP=127.0.0.1\n", true,
                   false},
        FamilyCase{"AHostWithoutIPv6", "127.0.0.1", "127.0.0.1", "", true, false, true},
        FamilyCase{"AListeningAddressWithAComment", "127.0.0.1", "127.0.0.1", "IP=::1 ; lan\n",
                   false, true}),
    RowName());

struct ListenCase {
  const char* name;
  std::string ip;
  bool parsed;  // the start ends only once the server is known
};

void PrintTo(const ListenCase& c, std::ostream* out) {
  *out << c.name;
}

class ListeningAddress : public ::testing::TestWithParam<ListenCase> {};

// A listening address that is not one of this host's ends the start, naming it: listening on
// every address instead would widen what the key exists to narrow.
TEST_P(ListeningAddress, NotOfThisHostEndsTheStartNamingIt) {
  const ListenCase& c = GetParam();
  if (c.parsed && UnderWine())
    GTEST_SKIP() << "Wine's sockets bind any address at all";
  TempDir dir;
  const uint16_t port = FreePortPair();
  dir.Write("TAVORIN.INI", Ini(port, 7, "IP=" + c.ip + "\n"));
  RunningProgram relay(dir.path());
  // A value that is no address is the settings' fault; one the host lacks may come later.
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), c.parsed ? 1 : kConfigurationStatus));
  EXPECT_EQ(relay.RestOfOutput(), c.parsed ? "Server Port = 7\nServer IP = 127.0.0.1\n" : "")
      << "no banner";
  const std::string errors = relay.Errors();
  EXPECT_NE(errors.find("IP=" + c.ip + " "), std::string::npos) << errors;
  if (c.parsed) {
    EXPECT_NE(errors.find("port " + std::to_string(port) + ":"), std::string::npos) << errors;
  }
}

INSTANTIATE_TEST_SUITE_P(Program, ListeningAddress,
                         ::testing::Values(ListenCase{"AName", "localhost", false},
                                           ListenCase{"ATypo", "127.0.0.l", false},
                                           // a documentation address
                                           ListenCase{"AnAddressTheHostLacks", "192.0.2.1", true}),
                         RowName());

}  // namespace
}  // namespace tavorin::testing
