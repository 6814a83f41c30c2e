// The built relay against forged datagrams, hostile start-up environments and exhaustion.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/echo_server.h"
#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

// A relay in front of an echo server, which would answer a loop for ever: after what `send`
// sends, nothing has reached the server; an ordinary client is then served, and that is the one
// datagram the server gets.
void ExpectNoLoop(const std::function<void(const EchoServer&, uint16_t port)>& send) {
  EchoServer echo;
  StartedRelay relay({.server_port = echo.port()});
  send(echo, relay.port);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // thousands, had a loop begun
  EXPECT_EQ(echo.received(), 0u) << "a datagram from an own endpoint went on";
  UdpPeer client;
  client.SendTo(Pattern(30, 9), relay.port);
  EXPECT_EQ(client.ReceiveData(5000), Pattern(30, 9)) << "an ordinary client is served";
  EXPECT_EQ(echo.received(), 1u);
  EndRelay(relay);
}

TEST(Program, DatagramsFromTheServersPortsStartNoLoop) {
  ExpectNoLoop([](const EchoServer& echo, uint16_t p) {
    for (const uint16_t to : {p, static_cast<uint16_t>(p + 1)}) {
      echo.SendFrom(false, Pattern(10, to), LoopbackEndpoint(to));
      echo.SendFrom(true, Pattern(10, to + 1u), LoopbackEndpoint(to));
    }
  });
}

TEST(Program, ForgedDatagramsFromTheRelaysOwnPortsStartNoLoop) {
  SKIP_IF(geteuid() != 0, "forging a source address takes a raw socket, which takes root");
  ExpectNoLoop([](const EchoServer&, uint16_t p) {
    const uint16_t next = static_cast<uint16_t>(p + 1);
    std::vector<std::pair<Endpoint, Endpoint>> forged = {
        {LoopbackEndpoint(next), LoopbackEndpoint(p)},
        {LoopbackEndpoint(p), LoopbackEndpoint(p)},
        {LoopbackEndpoint(p), LoopbackEndpoint(next)},
        {LoopbackEndpoint(next, 5), LoopbackEndpoint(p, 9)},
    };
    if (std::optional<uint32_t> own = OwnNonLoopbackAddress()) {
      // An address of this host that is neither loopback nor the one the datagram went to.
      forged.push_back({MakeEndpoint(*own, htons(next)), LoopbackEndpoint(p)});
    }
    for (const auto& [from, to] : forged)
      ASSERT_TRUE(SendForged(from, to, Pattern(16, ntohs(from.v4.sin_port))));
  });
}

// Lines that standard error is due: refused clients (a descriptor limit, which only POSIX
// sets), or datagrams longer than the limit; with the lines read, the refusals are told once,
// not per datagram.
struct ErrorSinkCase : NamedRow {
  ErrorSink sink;
  bool refusals;
};

class StandardError : public ::testing::TestWithParam<ErrorSinkCase> {};

TEST_P(StandardError, NeitherRelayingNorTheKeyWaitsForItAndRefusalsAreToldOnce) {
  const ErrorSinkCase& c = GetParam();
  SKIP_IF(c.refusals && UnderWine(), "descriptor limits are POSIX's");
  // A few dozen links.
  StartedRelay relay(
      {.launch = {.open_files = c.refusals ? std::optional<rlim_t>(48) : std::nullopt,
                  .errors = c.sink}});
  UdpPeer known;
  ExpectRelayed(known, relay.port, relay.server(), 1);
  std::vector<std::unique_ptr<UdpPeer>> newcomers;
  for (int round = 0; round < 3; ++round) {  // across several of the relay's checks
    for (int i = 0; c.refusals && i < 100; ++i) {
      newcomers.push_back(std::make_unique<UdpPeer>());
      newcomers.back()->SendTo(Pattern(8, static_cast<unsigned>(i)), relay.port);
    }
    if (!c.refusals)
      known.SendTo(Pattern(600, 2), relay.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
  }
  while (relay.server().Receive(300)) {
  }
  ExpectRelayed(known, relay.port, relay.server(), 3);  // a client with a link is served
  EndRelay(relay);                                      // the key wait goes on
  if (c.sink != ErrorSink::kRead)
    return;
  const std::string errors = relay.Errors();
  const std::string refused = "tavorin: port " + std::to_string(relay.port) +
                              ": new clients are refused (no socket: " + std::strerror(EMFILE);
  EXPECT_EQ(errors.rfind(refused + "); ", 0), 0u) << errors;
  EXPECT_TRUE(Contains(errors, " links held\n"));
  // One line while the relay runs; the stop tells the refusals since.
  EXPECT_TRUE(Contains(errors, " more new clients refused ("));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
}

INSTANTIATE_TEST_SUITE_P(Program, StandardError,
                         ::testing::Values(ErrorSinkCase{"ReadRefusals", ErrorSink::kRead, true},
                                           ErrorSinkCase{"FullRefusals", ErrorSink::kFull, true},
                                           ErrorSinkCase{"GoneRefusals", ErrorSink::kClosed, true},
                                           ErrorSinkCase{"FullDrops", ErrorSink::kFull, false},
                                           ErrorSinkCase{"GoneDrops", ErrorSink::kClosed, false}),
                         RowName());

TEST(Program, ATerminalThatCannotBeOpenedForTheKeyTestIsNamed) {
  SKIP_IF(UnderWine(), "descriptor limits are POSIX's");
  // The standard three and the two listening sockets.
  StartedRelay relay({.launch = {.open_files = 5}});
  EXPECT_TRUE(Contains(relay.ErrorLines(2),
                       "tavorin: warning: cannot open the terminal for the key test: " +
                           std::string(std::strerror(EMFILE)) +
                           "; only a signal ends the relay\n"));
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
}

struct ReplySourceCase : NamedRow {
  std::string server_setting;  // a line for [Server]
  int from_host;               // 127.0.0.n sends to the link's port
  bool delivered;
};

class WhoMayTalkToALink : public ::testing::TestWithParam<ReplySourceCase> {};

TEST_P(WhoMayTalkToALink, AnyHostByDefaultOnlyTheServersAddressWhenAsked) {
  const ReplySourceCase& c = GetParam();
  StartedRelay relay({.server = c.server_setting});
  UdpPeer client;
  client.SendTo(Pattern(10, 1), relay.port);
  auto at_server = relay.server().Receive();
  ASSERT_TRUE(at_server.has_value());

  UdpPeer other(0, c.from_host);
  other.SendTo(Pattern(12, 2), at_server->from);
  auto got = client.Receive(c.delivered ? 2000 : 500);
  EXPECT_EQ(got.has_value(), c.delivered);
  if (got) {
    EXPECT_EQ(got->data, Pattern(12, 2));
  }
  relay.server().SendTo(Pattern(14, 3), at_server->from);  // the server itself is always heard
  EXPECT_EQ(client.ReceiveData(), Pattern(14, 3));
  EndRelay(relay);
}

INSTANTIATE_TEST_SUITE_P(Program, WhoMayTalkToALink,
                         ::testing::Values(ReplySourceCase{"AnyHostByDefault", "", 7, true},
                                           ReplySourceCase{"NotAnotherHostWhenAsked",
                                                           "RepliesFromServerOnly=1\n", 7, false},
                                           ReplySourceCase{"TheServersAddressFromAnotherPort",
                                                           "RepliesFromServerOnly=1\n", 1, true}),
                         RowName());

// The start warns in standard error's one line and the relay serves on: of a bad value and of a
// key it does not know (how each key is read, and what each warning says, is the settings
// test's), and of what the log path leads to: a file the start must never destroy, a named pipe
// nobody reads (which must not hold the start), a symbolic link (followed, and no warning). In
// the warning DIR/ stands for the relay's directory.
struct StartWarningCase : NamedRow {
  std::string proxy;                         // rows of [Proxy]
  std::function<void(const TempDir&)> make;  // what is in the directory before the start
  std::string warning;                       // in standard error's one line; none: no line
  std::string kept;                          // a file left as it was, or one emptied
  bool emptied = false;
  bool as_root = false;  // a link planted by another user matters to a relay run as root
};

class StartWarning : public ::testing::TestWithParam<StartWarningCase> {};

TEST_P(StartWarning, ServesOnAndNeverHoldsTheStartNorDestroysAFile) {
  const StartWarningCase& c = GetParam();
  SKIP_IF(c.make && UnderWine(), "named pipes, symbolic links and their owners are POSIX's");
  if (c.as_root && geteuid() != 0)
    GTEST_SKIP() << "a link another user planted matters to a relay run as root";
  std::optional<std::string> before;
  StartedRelay relay({.proxy = c.proxy, .prepare = [&](const PreparedRelay& r) {
                        if (c.make)
                          c.make(r.dir);
                        before = r.dir.Read(c.kept);
                      }});
  if (!c.warning.empty()) {
    const std::string warning = relay.ErrorLines(1);
    EXPECT_EQ(warning.rfind("tavorin: warning: ", 0), 0u) << warning;
    std::string expected = c.warning;
    if (const size_t at = expected.find("DIR/"); at != std::string::npos)
      expected.replace(at, 4, ShownPath(relay.dir, ""));
    EXPECT_TRUE(Contains(warning, expected));
  }
  UdpPeer client;
  ExpectRelayed(client, relay.port, relay.server(), 1);  // and it relays on
  EndRelay(relay);                                       // the key wait has begun
  EXPECT_EQ(relay.Errors(), "");
  if (!c.kept.empty()) {
    EXPECT_EQ(relay.dir.Read(c.kept), c.emptied ? std::optional<std::string>("") : before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Program, StartWarning,
    ::testing::Values(
        StartWarningCase{"ABadValue", "LogLinks=yes\n", nullptr,
                         "LogLinks=yes in [Proxy] of DIR/TAVORIN.INI is not a whole number from 0 "
                         "to 1; using 0\n",
                         "packets.txt", true},
        StartWarningCase{"AKeyItDoesNotKnow", "Prt=15000\n", nullptr,
                         "Prt in [Proxy] of DIR/TAVORIN.INI is not a key the relay knows; it is "
                         "ignored\n",
                         "packets.txt", true},
        StartWarningCase{"TheSettingsFileAsTheLog", "Log=TAVORIN.INI\n", nullptr,
                         "is the settings file", "TAVORIN.INI"},
        StartWarningCase{"ALinkPlantedByAnotherUser", "",
                         [](const TempDir& dir) {
                           dir.Write("root-only.txt", "root's own\n");
                           ASSERT_EQ(symlink("root-only.txt", dir.File("packets.txt").c_str()), 0);
                           ASSERT_EQ(lchown(dir.File("packets.txt").c_str(), 65534, 65534), 0);
                         },
                         "not followed when run as root", "root-only.txt", false, true},
        StartWarningCase{
            "ANamedPipeNobodyReads", "Log=log.fifo\n",
            [](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.File("log.fifo").c_str(), 0644), 0); },
            "cannot open the log file DIR/log.fifo: " + std::string(std::strerror(ENXIO)) + "\n",
            ""},
        StartWarningCase{"ASymbolicLinkIsFollowed", "Log=link.txt\n",
                         [](const TempDir& dir) {
                           dir.Write("real.txt", "an earlier run's log\n");
                           ASSERT_EQ(symlink("real.txt", dir.File("link.txt").c_str()), 0);
                         },
                         "", "real.txt", true}),
    RowName());

// A source forged as some service that answers whatever it gets would loop through it without
// end; the relay cannot tell it from a client, and ClientRate bounds it.
TEST(Program, ClientRateBoundsWhatOneClientSendsAndOthersAreServed) {
  StartedRelay relay({.proxy = "ClientRate=20\n"});
  UdpPeer flood;
  for (unsigned i = 0; i < 200; ++i)
    flood.SendTo(Pattern(8, i), relay.port);
  int passed = 0;
  while (relay.server().Receive(500))
    ++passed;
  EXPECT_GE(passed, 5) << "a burst passes";
  EXPECT_LT(passed, 40) << "a tenth of a second's worth, and the rate";
  UdpPeer other;
  ExpectRelayed(other, relay.port, relay.server(), 1);  // a bucket of its own
  const std::string told = relay.ErrorLines(1);
  EXPECT_TRUE(Contains(told,
                       " over the rate of 20 a second from one client dropped (ClientRate in "
                       "[Proxy])\n"));
  EndRelay(relay);
}

}  // namespace
}  // namespace tavorin::testing
