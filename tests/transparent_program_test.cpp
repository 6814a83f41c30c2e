// The built relay with Transparent=1: where the system refuses transparent sockets (a user
// without CAP_NET_ADMIN) the start ends before the ready line, naming the key and the reason;
// where it grants them (root) the relay starts and the server sees its client's address.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

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
  if (UnderWine())
    GTEST_SKIP() << "Windows refuses the key; its start is Linux's to test here";
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

}  // namespace
}  // namespace tavorin::testing
