// The built relay against forged datagrams, hostile start-up environments and exhaustion.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/echo_server.h"
#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

// Long enough for a loop, had one started, to carry thousands of datagrams.
constexpr auto kLoopWatch = std::chrono::milliseconds(1500);

// A relay in front of an echo server, which would answer a loop for ever.
struct EchoedRelay {
  EchoServer echo;
  TempDir dir;
  uint16_t port = FreePortPair();
  EchoedRelay() { dir.Write("TAVORIN.INI", Ini(port, echo.port())); }
};

// After the datagrams sent so far, nothing has reached the server; an ordinary client is
// then served, and that is the one datagram the server gets.
void ExpectNoLoopAndServed(const EchoedRelay& setup) {
  std::this_thread::sleep_for(kLoopWatch);
  EXPECT_EQ(setup.echo.received(), 0u) << "a datagram from an own endpoint went on";
  UdpPeer client;
  client.SendTo(Pattern(30, 9), setup.port);
  auto echoed = client.Receive(5000);
  ASSERT_TRUE(echoed.has_value()) << "an ordinary client is served";
  EXPECT_EQ(echoed->data, Pattern(30, 9));
  EXPECT_EQ(setup.echo.received(), 1u);
}

TEST(Program, DatagramsFromTheServersPortsStartNoLoop) {
  EchoedRelay setup;
  RunningProgram relay(setup.dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(setup.echo.port(), "127.0.0.1", setup.port));
  const Endpoint p = LoopbackEndpoint(setup.port);
  const Endpoint next = LoopbackEndpoint(static_cast<uint16_t>(setup.port + 1));
  setup.echo.SendFrom(false, Pattern(10, 1), p);
  setup.echo.SendFrom(true, Pattern(10, 2), p);
  setup.echo.SendFrom(false, Pattern(10, 3), next);
  setup.echo.SendFrom(true, Pattern(10, 4), next);
  ExpectNoLoopAndServed(setup);
  EndRelay(relay);
}

TEST(Program, ForgedDatagramsFromTheRelaysOwnPortsStartNoLoop) {
  if (geteuid() != 0)
    GTEST_SKIP() << "forging a source address takes a raw socket, which takes root";
  EchoedRelay setup;
  RunningProgram relay(setup.dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(setup.echo.port(), "127.0.0.1", setup.port));
  const uint16_t p = setup.port;
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
  ExpectNoLoopAndServed(setup);
  EndRelay(relay);
}

TEST(Program, ClosedStandardDescriptorsCostNoListeningPort) {
  if (UnderWine())
    GTEST_SKIP() << "a Windows socket never takes a C runtime descriptor's number";
  for (const std::vector<int>& closed : std::vector<std::vector<int>>{{1}, {0, 1, 2}, {0}, {2}}) {
    std::string which;
    for (int fd : closed)
      which += std::to_string(fd) + " ";
    RelayDir setup;
    auto& [dir, server, server_next, port] = setup;
    Launch launch;
    launch.closed = closed;
    RunningProgram relay(dir.path(), launch);
    EXPECT_TRUE(dir.BecomesEmpty("packets.txt", kExitDeadlineMs)) << "closed: " << which;
    UdpPeer client;
    ExpectRelayed(client, port, server, 1);
    ExpectRelayed(client, static_cast<uint16_t>(port + 1), server_next, 2);
    EndRelay(relay);
  }
}

// The settings path, as the relay names it in its warning.
std::string SettingsPath(const TempDir& dir) {
  return std::filesystem::canonical(dir.path()).string() + "/TAVORIN.INI";
}

TEST(Program, ASettingsFileThatCannotBeReadIsNamedAndTheDefaultsServe) {
  if (UnderWine())
    GTEST_SKIP() << "named pipes, devices and symbolic links in a directory are POSIX's";
  struct Case {
    const char* what;
    void (*make)(const TempDir&);
    const char* reason;
  };
  const Case cases[] = {
      {"a directory",
       [](const TempDir& d) { std::filesystem::create_directory(d.File("TAVORIN.INI")); },
       "it is a directory, not a file"},
      {"a named pipe with no writer",
       [](const TempDir& d) { mkfifo(d.File("TAVORIN.INI").c_str(), 0644); },
       "it is a named pipe, not a file"},
      {"a device", [](const TempDir& d) { symlink("/dev/zero", d.File("TAVORIN.INI").c_str()); },
       "it is a device, not a file"},
      {"a symbolic link that loops",
       [](const TempDir& d) { symlink("TAVORIN.INI", d.File("TAVORIN.INI").c_str()); },
       std::strerror(ELOOP)},
      {"a symbolic link to nothing",
       [](const TempDir& d) { symlink("gone.ini", d.File("TAVORIN.INI").c_str()); },
       std::strerror(ENOENT)},
      {"a file larger than the reader takes",
       [](const TempDir& d) {
         d.Write("TAVORIN.INI", "[Proxy]\nPort=1\n");
         std::filesystem::resize_file(d.File("TAVORIN.INI"), (64u << 20) + 1);
       },
       "it is larger than the 64 MiB the reader takes"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    c.make(dir);
    WaitUntilFree(15000);
    RunningProgram relay(dir.path());
    EXPECT_EQ(relay.ReadLines(4), Lines(2000, "127.0.0.1", 15000)) << c.what;
    EndRelay(relay);
    EXPECT_EQ(relay.Errors(), "tavorin: warning: cannot read " + SettingsPath(dir) + ": " +
                                  c.reason + "; using the defaults\n")
        << c.what;
  }
}

TEST(Program, ASettingsFileWithoutReadPermissionIsNamed) {
  if (UnderWine())
    GTEST_SKIP() << "file modes are POSIX's";
  TempDir dir;
  dir.Write("TAVORIN.INI", "[Proxy]\nPort=1\n");
  chmod(dir.File("TAVORIN.INI").c_str(), 0);
  Launch launch;
  if (geteuid() == 0) {
    // Root reads any file: the relay runs as nobody, in a directory it may write to.
    chmod(dir.path().c_str(), 0777);
    launch.user = 65534;
    launch.terminal = Terminal::kNone;
  }
  WaitUntilFree(15000);
  RunningProgram relay(dir.path(), launch);
  EXPECT_EQ(relay.ReadLines(4), Lines(2000, "127.0.0.1", 15000));
  relay.Signal(SIGTERM);
  EXPECT_TRUE(relay.WaitForExit(kExitDeadlineMs).has_value());
  EXPECT_EQ(relay.Errors(), "tavorin: warning: cannot read " + SettingsPath(dir) + ": " +
                                std::strerror(EACCES) + "; using the defaults\n" +
                                "tavorin: SIGTERM: stopping\n");
}

TEST(Program, ALogThatIsANamedPipeNobodyReadsDoesNotHoldTheStartUp) {
  if (UnderWine())
    GTEST_SKIP() << "named pipes in a directory are POSIX's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  dir.Write("TAVORIN.INI", Ini(port, server.port(), "Log=log.fifo\n"));
  ASSERT_EQ(mkfifo(dir.File("log.fifo").c_str(), 0644), 0);
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer client;
  ExpectRelayed(client, port, server, 1);
  EndRelay(relay);  // the key wait has begun
  EXPECT_EQ(relay.Errors(), "tavorin: warning: cannot open the log file " +
                                std::filesystem::canonical(dir.path()).string() +
                                "/log.fifo: " + std::strerror(ENXIO) + "\n");
}

TEST(Program, ALogThatIsASymbolicLinkIsFollowed) {
  if (UnderWine())
    GTEST_SKIP() << "symbolic links are POSIX's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  dir.Write("TAVORIN.INI", Ini(port, server.port(), "Log=link.txt\n"));
  dir.Write("real.txt", "an earlier run's log\n");
  ASSERT_EQ(symlink("real.txt", dir.File("link.txt").c_str()), 0);
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  EXPECT_TRUE(dir.BecomesEmpty("real.txt", kExitDeadlineMs));
  EndRelay(relay);
  EXPECT_EQ(relay.Errors(), "");
}

TEST(Program, RefusedClientsAreToldOnceNotPerDatagram) {
  if (UnderWine())
    GTEST_SKIP() << "descriptor limits are POSIX's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  Launch launch;
  launch.open_files = 48;  // a few dozen links
  RunningProgram relay(dir.path(), launch);
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer known;
  ExpectRelayed(known, port, server, 1);

  std::vector<std::unique_ptr<UdpPeer>> newcomers;
  for (int round = 0; round < 3; ++round) {  // across several of the relay's checks
    for (int i = 0; i < 100; ++i) {
      newcomers.push_back(std::make_unique<UdpPeer>());
      newcomers.back()->SendTo(Pattern(8, static_cast<unsigned>(i)), port);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
  }
  while (server.Receive(300)) {
  }
  ExpectRelayed(known, port, server, 2);  // a client with a link is served throughout

  EndRelay(relay);
  std::string errors = relay.Errors();
  const std::string begin = "tavorin: port " + std::to_string(port) +
                            ": new clients are refused (no socket: " + std::strerror(EMFILE) +
                            "); ";
  EXPECT_EQ(errors.rfind(begin, 0), 0u) << errors;
  EXPECT_NE(errors.find(" links held\n"), std::string::npos) << errors;
  // One line while the relay runs; the stop tells the refusals since.
  EXPECT_NE(errors.find(" more new clients refused ("), std::string::npos) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
}

// Lines that standard error is due: refused clients (a descriptor limit, which only POSIX
// sets), or datagrams longer than the limit.
struct ErrorSinkCase {
  const char* name;
  ErrorSink sink;
  bool refusals;
};

void PrintTo(const ErrorSinkCase& c, std::ostream* out) {
  *out << c.name;
}

class StandardErrorNobodyReads : public ::testing::TestWithParam<ErrorSinkCase> {};

TEST_P(StandardErrorNobodyReads, NeitherRelayingNorTheKeyWaitsForIt) {
  const ErrorSinkCase& c = GetParam();
  if (c.refusals && UnderWine())
    GTEST_SKIP() << "descriptor limits are POSIX's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  Launch launch;
  if (c.refusals)
    launch.open_files = 48;
  launch.errors = c.sink;
  RunningProgram relay(dir.path(), launch);
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer known;
  ExpectRelayed(known, port, server, 1);
  std::vector<std::unique_ptr<UdpPeer>> newcomers;
  for (int i = 0; c.refusals && i < 100; ++i) {
    newcomers.push_back(std::make_unique<UdpPeer>());
    newcomers.back()->SendTo(Pattern(8, static_cast<unsigned>(i)), port);
  }
  if (!c.refusals)
    known.SendTo(Pattern(600, 2), port);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a report is due by now
  while (server.Receive(300)) {
  }
  ExpectRelayed(known, port, server, 3);
  EndRelay(relay);  // the key wait goes on
}

INSTANTIATE_TEST_SUITE_P(Program, StandardErrorNobodyReads,
                         ::testing::Values(ErrorSinkCase{"FullRefusals", ErrorSink::kFull, true},
                                           ErrorSinkCase{"GoneRefusals", ErrorSink::kClosed, true},
                                           ErrorSinkCase{"FullDrops", ErrorSink::kFull, false},
                                           ErrorSinkCase{"GoneDrops", ErrorSink::kClosed, false}),
                         RowName());

class ServerIsTheRelay : public ::testing::TestWithParam<int> {};

TEST_P(ServerIsTheRelay, IsAnError) {
  const int offset = GetParam();
  TempDir dir;
  uint16_t port = FreePortPair();
  uint16_t server_port = static_cast<uint16_t>(port + offset);
  dir.Write("TAVORIN.INI", Ini(port, server_port));
  RunningProgram relay(dir.path());
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), kConfigurationStatus));
  EXPECT_EQ(relay.RestOfOutput(),
            "Server Port = " + std::to_string(server_port) + "\nServer IP = 127.0.0.1\n");
  std::string errors = relay.Errors();
  EXPECT_NE(errors.find("is this relay's own listening port"), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Program, ServerIsTheRelay, ::testing::Values(0, 1, -1),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return row.param == 0   ? "SIsP"
                                  : row.param == 1 ? "SIsPPlusOne"
                                                   : "SPlusOneIsP";
                         });

TEST(Program, AReceiveThreadThatCannotStartIsNamed) {
  if (UnderWine())
    GTEST_SKIP() << "stack limits are POSIX's";
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer's runtime does not start under a 1 TiB stack limit";
#endif
  TempDir dir;
  uint16_t port = FreePortPair();
  dir.Write("TAVORIN.INI", Ini(port, 7));
  Launch launch;
  launch.stack = rlim_t{1} << 40;  // a default thread stack that no address space holds
  RunningProgram relay(dir.path(), launch);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 1));
  EXPECT_EQ(relay.Errors(), "tavorin: cannot start the receive thread for UDP port " +
                                std::to_string(port) + ": " + std::strerror(EAGAIN) + "\n");
}

// As the service unit runs it: in a directory of its own, standard input from the null
// device, an unprivileged user, stopped by SIGTERM (which the service manager counts as a
// clean stop); the four lines go to the journal and the log file is made.
TEST(Program, RunAsTheServiceUnitRunsItRelaysAndStopsOnSigterm) {
  if (UnderWine())
    GTEST_SKIP() << "service units are systemd's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  Launch launch;
  launch.terminal = Terminal::kNone;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
    launch.user = 65534;
  }
  RunningProgram relay(dir.path(), launch);
  EXPECT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer client;
  ExpectRelayed(client, port, server, 1);
  ExpectRelayed(client, static_cast<uint16_t>(port + 1), server_next, 2);
  EXPECT_TRUE(dir.BecomesEmpty("packets.txt", kExitDeadlineMs));
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0)) << "a stop, not a failure";
  EXPECT_EQ(relay.Errors(), "tavorin: SIGTERM: stopping\n");
}

TEST(Program, AfterStopAndContinueOneKeyStillEndsIt) {
  if (UnderWine())
    GTEST_SKIP() << kNoWineConsole;
  TempDir dir;
  dir.Write("TAVORIN.INI", Ini(FreePortPair(), 7));
  RunningProgram relay(dir.path());
  const termios before = relay.InitialTerminalSettings();
  relay.ReadLines(4);
  ASSERT_TRUE(relay.KeyWaitBegins());
  relay.Signal(SIGSTOP);
  ASSERT_TRUE(relay.BecomesStopped());
  relay.SetTerminalSettings(before);  // a shell takes the terminal back in line mode
  relay.Signal(SIGCONT);
  relay.Type("k");
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0)) << "one key, no Enter";
  EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before));
}

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

TEST(Program, ATerminalThatCannotBeOpenedForTheKeyTestIsNamed) {
  if (UnderWine())
    GTEST_SKIP() << "descriptor limits are POSIX's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  Launch launch;
  launch.open_files = 5;  // the standard three and the two listening sockets
  RunningProgram relay(dir.path(), launch);
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  const std::string errors = relay.ErrorLines(2);
  EXPECT_NE(errors.find("tavorin: warning: cannot open the terminal for the key test: " +
                        std::string(std::strerror(EMFILE)) + "; only a signal ends the relay\n"),
            std::string::npos)
      << errors;
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
}

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

struct ReplySourceCase {
  const char* name;
  std::string server_setting;  // a line for [Server]
  int from_host;               // 127.0.0.n sends to the link's port
  bool delivered;
};

void PrintTo(const ReplySourceCase& c, std::ostream* out) {
  *out << c.name;
}

class WhoMayTalkToALink : public ::testing::TestWithParam<ReplySourceCase> {};

TEST_P(WhoMayTalkToALink, AnyHostByDefaultOnlyTheServersAddressWhenAsked) {
  const ReplySourceCase& c = GetParam();
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  dir.Write("TAVORIN.INI", Ini(port, server.port()) + c.server_setting);
  RunningProgram relay(dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer client;
  client.SendTo(Pattern(10, 1), port);
  auto at_server = server.Receive();
  ASSERT_TRUE(at_server.has_value());

  UdpPeer other(0, c.from_host);
  other.SendTo(Pattern(12, 2), at_server->from);
  auto got = client.Receive(c.delivered ? 2000 : 500);
  EXPECT_EQ(got.has_value(), c.delivered);
  if (got) {
    EXPECT_EQ(got->data, Pattern(12, 2));
  }
  server.SendTo(Pattern(14, 3), at_server->from);  // the server itself is always heard
  auto reply = client.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->data, Pattern(14, 3));
  EndRelay(relay);
}

INSTANTIATE_TEST_SUITE_P(Program, WhoMayTalkToALink,
                         ::testing::Values(ReplySourceCase{"AnyHostByDefault", "", 7, true},
                                           ReplySourceCase{"NotAnotherHostWhenAsked",
                                                           "RepliesFromServerOnly=1\n", 7, false},
                                           ReplySourceCase{"TheServersAddressFromAnotherPort",
                                                           "RepliesFromServerOnly=1\n", 1, true}),
                         RowName());

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

struct KeptFileCase {
  const char* name;
  bool planted_link;  // packets.txt is a link owned by another user to a file of root's
};

void PrintTo(const KeptFileCase& c, std::ostream* out) {
  *out << c.name;
}

class StartingNeverDestroys : public ::testing::TestWithParam<KeptFileCase> {};

TEST_P(StartingNeverDestroys, AFileThatALogPathLeadsTo) {
  const KeptFileCase& c = GetParam();
  if (c.planted_link && (UnderWine() || geteuid() != 0))
    GTEST_SKIP() << "a link another user planted matters to a relay run as root on POSIX";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  std::string kept;
  if (c.planted_link) {
    dir.Write("root-only.txt", "root's own\n");
    ASSERT_EQ(symlink("root-only.txt", dir.File("packets.txt").c_str()), 0);
    ASSERT_EQ(lchown(dir.File("packets.txt").c_str(), 65534, 65534), 0);
    kept = "root-only.txt";
  } else {
    dir.Write("TAVORIN.INI", Ini(port, server.port(), "Log=TAVORIN.INI\n"));
    kept = "TAVORIN.INI";
  }
  const std::optional<std::string> before = dir.Read(kept);
  RunningProgram relay(dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  const std::string warning = relay.ErrorLines(1);
  EXPECT_NE(warning.find(c.planted_link ? "not followed when run as root" : "is the settings file"),
            std::string::npos)
      << warning;
  UdpPeer client;
  ExpectRelayed(client, port, server, 1);  // and it relays on
  EndRelay(relay);
  EXPECT_EQ(dir.Read(kept), before);
}

INSTANTIATE_TEST_SUITE_P(Program, StartingNeverDestroys,
                         ::testing::Values(KeptFileCase{"TheSettingsFile", false},
                                           KeptFileCase{"ALinkPlantedByAnotherUser", true}),
                         RowName());

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

// A source forged as some service that answers whatever it gets would loop through it without
// end; the relay cannot tell it from a client, and ClientRate bounds it.
TEST(Program, ClientRateBoundsWhatOneClientSendsAndOthersAreServed) {
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  dir.Write("TAVORIN.INI", Ini(port, server.port(), "ClientRate=20\n"));
  RunningProgram relay(dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer flood;
  for (unsigned i = 0; i < 200; ++i)
    flood.SendTo(Pattern(8, i), port);
  int passed = 0;
  while (server.Receive(500))
    ++passed;
  EXPECT_GE(passed, 5) << "a burst passes";
  EXPECT_LT(passed, 40) << "a tenth of a second's worth, and the rate";
  UdpPeer other;
  ExpectRelayed(other, port, server, 1);  // a bucket of its own
  const std::string told = relay.ErrorLines(1);
  EXPECT_NE(told.find(" over the rate of 20 a second from one client dropped (ClientRate in "
                      "[Proxy])\n"),
            std::string::npos)
      << told;
  EndRelay(relay);
}

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

struct LenientCase {
  const char* name;
  std::string proxy;   // lines of [Proxy] after Port and Log
  std::string server;  // lines of [Server], or the server's own port when empty
  std::string found;   // what the warning names
  std::string told;    // and what it says of it
};

void PrintTo(const LenientCase& c, std::ostream* out) {
  *out << c.name;
}

class SettingsNeverWrongInSilence : public ::testing::TestWithParam<LenientCase> {};

TEST_P(SettingsNeverWrongInSilence, ALenientReadingOrAnUnknownKeyIsNamed) {
  const LenientCase& c = GetParam();
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  dir.Write("TAVORIN.INI",
            "[Proxy]\nPort=" + std::to_string(port) + "\n" + c.proxy + "[Server]\n" +
                (c.server.empty() ? "Port=" + std::to_string(server.port()) + "\n" : c.server));
  RunningProgram relay(dir.path());
  EXPECT_NE(relay.ReadLines(4).find("Ready to rock on port "), std::string::npos);
  const std::string warning = relay.ErrorLines(1);
  EXPECT_EQ(warning.rfind("tavorin: warning: " + c.found + " in [", 0), 0u) << warning;
  EXPECT_NE(warning.find("TAVORIN.INI " + c.told + "\n"), std::string::npos) << warning;
  EndRelay(relay);
}

INSTANTIATE_TEST_SUITE_P(
    Program, SettingsNeverWrongInSilence,
    // How each key is read is the settings test's; these show the lines reach standard error.
    ::testing::Values(LenientCase{"PortPastTheTop", "", "Port=70000\n", "Port=70000",
                                  "is not a port number from 0 to 65535; using port 4464"},
                      LenientCase{"MisspeltKey", "Prt=15000\n", "", "Prt",
                                  "is not a key the relay knows; it is ignored"}),
    RowName());

}  // namespace
}  // namespace tavorin::testing
