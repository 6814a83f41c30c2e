// The built tavorin binary, driven over a pseudo-terminal and real sockets on loopback.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

TEST(Program, WithoutSettingsRelays15000To2000AndEndsOnAKey) {
  TempDir dir;
  UdpPeer server(2000);
  UdpPeer server_next(2001);
  WaitUntilFree(15000);
  RunningProgram relay(dir.path());
  const termios before = relay.InitialTerminalSettings();
  EXPECT_EQ(relay.ReadLines(4), Lines(2000, "127.0.0.1", 15000));
  EXPECT_TRUE(dir.BecomesEmpty("packets.txt")) << "the log file is created and left empty";

  UdpPeer client;
  ExpectRelayed(client, 15000, server, 1);
  ExpectRelayed(client, 15001, server_next, 2);
  EXPECT_TRUE(relay.Running());
  if (UnderWine()) {
    EndRelay(relay);
    return;
  }

  relay.Type("k");
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0)) << "a key ends it";
  EXPECT_EQ(relay.RestOfOutput(), "") << "nothing more on standard output";
  EXPECT_EQ(relay.Errors(), "");
  EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before)) << "terminal given back";
  EXPECT_EQ(relay.PendingInput(), "k") << "the key is left unread";
  EXPECT_EQ(dir.Read("packets.txt"), "");
}

TEST(Program, ThePortsWrapAsInThe40000And70000Example) {
  TempDir dir;
  dir.Write("TAVORIN.INI", "[Proxy]\nPort=40000\n[Server]\nPort=70000\n");
  dir.Write("packets.txt", "left over from an earlier run\n");
  UdpPeer server(4464);
  UdpPeer server_next(4465);
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(70000, "127.0.0.1", 40000));
  UdpPeer client;
  ExpectRelayed(client, 40000, server, 3);
  ExpectRelayed(client, 40001, server_next, 4);
  EXPECT_TRUE(dir.BecomesEmpty("packets.txt")) << "an existing log file is emptied";
  EndRelay(relay);
}

TEST(Program, EmptyAndOversizeDatagramsStopAtTheRelayBothWays) {
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  RunningProgram relay(dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer client;
  client.SendTo(Bytes{}, port);
  client.SendTo(Pattern(521), port);
  EXPECT_TRUE(server.Silent(300)) << "0 and 521 bytes are not forwarded";
  client.SendTo(Pattern(520, 1), port);
  auto at_server = server.Receive();
  ASSERT_TRUE(at_server.has_value());
  EXPECT_EQ(at_server->data, Pattern(520, 1));
  server.SendTo(Bytes{}, at_server->from);
  server.SendTo(Pattern(521), at_server->from);
  server.SendTo(Pattern(520, 2), at_server->from);
  auto at_client = client.Receive();
  ASSERT_TRUE(at_client.has_value());
  EXPECT_EQ(at_client->data, Pattern(520, 2)) << "only the 520-byte reply comes back";
  EXPECT_TRUE(client.Silent());
  EndRelay(relay);
}

struct ReplyFromCase {
  const char* name;
  uint32_t sent_to;  // network order
  uint32_t heard_from;
};

void PrintTo(const ReplyFromCase& c, std::ostream* out) {
  *out << c.name;
}

class RepliesComeBack : public ::testing::TestWithParam<ReplyFromCase> {};

TEST_P(RepliesComeBack, FromTheAddressTheClientSentToOrItsInterfacesForABroadcast) {
  // Wine reports the destination address of a received datagram but sends WSASendMsg's
  // datagrams from the routing's address whatever IN_PKTINFO asks (checked here).
  if (UnderWine())
    GTEST_SKIP() << "Wine ignores the source address given to WSASendMsg";
  const ReplyFromCase& c = GetParam();
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  RunningProgram relay(dir.path());
  ASSERT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  UdpPeer client;  // on 127.0.0.1
  client.AllowBroadcast();
  client.Connect(MakeEndpoint(c.heard_from, htons(port)));  // hears from that address alone
  client.SendTo(Pattern(64, 1), MakeEndpoint(c.sent_to, htons(port)));
  auto at_server = server.Receive();
  ASSERT_TRUE(at_server.has_value());
  server.SendTo(Pattern(64, 2), at_server->from);
  auto at_client = client.Receive();
  ASSERT_TRUE(at_client.has_value()) << "the reply left from another address, or not at all";
  EXPECT_EQ(at_client->data, Pattern(64, 2));
  EndRelay(relay);
}

INSTANTIATE_TEST_SUITE_P(
    Program, RepliesComeBack,
    ::testing::Values(ReplyFromCase{"AnotherAddressOfThisHost", Loopback(3), Loopback(3)},
                      ReplyFromCase{"ABroadcastAddress", htonl(0x7FFFFFFFu), Loopback(1)}),
    RowName());

TEST(Program, SettingsAreReadFromTheWorkingDirectoryOnly) {
  TempDir program_dir;
  TempDir work_dir;
  std::string copy = program_dir.File(UnderWine() ? "tavorin.exe" : "tavorin");
  std::filesystem::copy_file(RelayBinary(), copy);
  program_dir.Write("TAVORIN.INI", Ini(FreePortPair(), 7));
  WaitUntilFree(15000);
  RunningProgram relay(work_dir.path(), Terminal::kForeground, {}, copy);
  EXPECT_EQ(relay.ReadLines(4), Lines(2000, "127.0.0.1", 15000));
}

TEST(Program, SettingsWithCrLfCommentsQuotesAndOddSpacing) {
  TempDir dir;
  UdpPeer server;
  uint16_t port = FreePortPair();
  dir.Write("TAVORIN.INI",
            "\xEF\xBB\xBF; written on another system\r\n"
            "[ server ]\r\n  ip =  localhost  \r\n PORT= " +
                std::to_string(server.port()) + " \r\n port = 9\r\n" +
                "[proxy]\r\n;Port=1\r\n\tPort\t=\t" + std::to_string(port) +
                "\r\nLOG = \"relay log.txt\"\r\n");
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  EXPECT_TRUE(dir.BecomesEmpty("relay log.txt"));
  EXPECT_FALSE(dir.Read("packets.txt").has_value());
  UdpPeer client;
  ExpectRelayed(client, port, server, 5);
}

struct PortValueCase {
  const char* name;
  const char* server_value;
  int shown;
};

void PrintTo(const PortValueCase& c, std::ostream* out) {
  *out << c.name;
}

class PortValue : public ::testing::TestWithParam<PortValueCase> {};

TEST_P(PortValue, ParsesWithSignJunkAndWrap) {
  const PortValueCase& c = GetParam();
  uint16_t port = FreePortPair();
  TempDir dir;
  dir.Write("TAVORIN.INI", "[Proxy]\nPort=" + std::to_string(port - 65536) +
                               "\n[Server]\nPort=" + c.server_value + "\n");
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(c.shown, "127.0.0.1", port));
  EndRelay(relay);
}

INSTANTIATE_TEST_SUITE_P(Program, PortValue,
                         // The rest of the readings are the settings test's.
                         ::testing::Values(PortValueCase{"Negative", "-1", -1},
                                           PortValueCase{"Wraps", "4294969296", 2000}),
                         RowName());

TEST(Program, AKeyPendingBeforeStartEndsItAtTheFirstTest) {
  if (UnderWine())
    GTEST_SKIP() << kNoWineConsole;
  TempDir dir;
  dir.Write("TAVORIN.INI", Ini(FreePortPair(), 7));
  RunningProgram relay(dir.path(), Terminal::kForeground, "q");
  const termios before = relay.InitialTerminalSettings();
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
  EXPECT_EQ(relay.ReadLines(4).size(), Lines(7, "127.0.0.1", 0).size() + 4);
  EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before));
  EXPECT_EQ(relay.PendingInput(), "q");
}

enum class Outcome { kStops, kDies, kRunsOn };

struct SignalCase {
  int signal_number;
  Outcome outcome;
  bool ignored_at_start = false;  // then it stays ignored, and a key still ends the relay
};

void PrintTo(const SignalCase& c, std::ostream* out) {
  *out << strsignal(c.signal_number) << (c.ignored_at_start ? ", ignored at start" : "");
}

class EndingSignal : public ::testing::TestWithParam<SignalCase> {};

// A stop asked for by a signal takes the orderly path and ends with status 0; the other signals
// that end a process end it at once; a reload, or a signal ignored at start, leaves it running.
// The terminal is given back whichever.
TEST_P(EndingSignal, GivesTheTerminalBackWhicheverWayItEnds) {
  if (UnderWine())
    GTEST_SKIP() << kNoWineConsole;
  const SignalCase& c = GetParam();
  TempDir dir;
  dir.Write("TAVORIN.INI", Ini(FreePortPair(), 7));
  Launch launch;
  if (c.ignored_at_start)
    launch.ignored_signals = {c.signal_number};
  RunningProgram relay(dir.path(), launch);
  const termios before = relay.InitialTerminalSettings();
  relay.ReadLines(4);
  ASSERT_TRUE(relay.KeyWaitBegins());
  if (c.signal_number == SIGINT) {
    relay.Type("\x03");
  } else {
    relay.Signal(c.signal_number);
  }
  switch (c.outcome) {
    case Outcome::kRunsOn:
      EXPECT_FALSE(relay.WaitForExit(1000).has_value());
      EXPECT_TRUE(relay.KeyWaitBegins()) << "the key wait goes on";
      EndRelay(relay);
      break;
    case Outcome::kStops:
      EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
      break;
    case Outcome::kDies:
      EXPECT_TRUE(KilledBy(relay.WaitForExit(kExitDeadlineMs), c.signal_number));
      break;
  }
  EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before));
}

INSTANTIATE_TEST_SUITE_P(
    Program, EndingSignal,
    ::testing::Values(SignalCase{SIGINT, Outcome::kStops}, SignalCase{SIGTERM, Outcome::kStops},
                      SignalCase{SIGHUP, Outcome::kStops}, SignalCase{SIGQUIT, Outcome::kDies},
                      SignalCase{SIGUSR1, Outcome::kRunsOn}, SignalCase{SIGUSR2, Outcome::kDies},
                      SignalCase{SIGALRM, Outcome::kDies}, SignalCase{SIGXCPU, Outcome::kDies},
                      SignalCase{SIGHUP, Outcome::kRunsOn, true}),
    [](const ::testing::TestParamInfo<SignalCase>& row) {
      return std::string(sigabbrev_np(row.param.signal_number)) +
             (row.param.ignored_at_start ? "IgnoredAtStart" : "");
    });

TEST(Program, InTheBackgroundItLeavesTheTerminalAloneAndRelays) {
  if (UnderWine())
    GTEST_SKIP() << "process groups and terminal modes are POSIX's";
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  RunningProgram relay(dir.path(), Terminal::kBackground);
  const termios before = relay.InitialTerminalSettings();
  EXPECT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  relay.Type("z");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_TRUE(relay.Running()) << "a key on a terminal it is not in front of is not its key";
  EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before));
  UdpPeer client;
  ExpectRelayed(client, port, server, 6);
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
}

TEST(Program, WithoutATerminalItRelaysUntilSigterm) {
  RelayDir setup;
  auto& [dir, server, server_next, port] = setup;
  RunningProgram relay(dir.path(), Terminal::kNone);
  EXPECT_EQ(relay.ReadLines(4), Lines(server.port(), "127.0.0.1", port));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(relay.Running());
  UdpPeer client;
  ExpectRelayed(client, port, server, 7);
  ExpectRelayed(client, static_cast<uint16_t>(port + 1), server_next, 8);
  relay.Signal(SIGTERM);
  std::optional<int> status = relay.WaitForExit(kExitDeadlineMs);
  EXPECT_TRUE(UnderWine() ? status.has_value() : ExitedWith(status, 0));
}

class PortInUse : public ::testing::TestWithParam<int> {};

TEST_P(PortInUse, IsAnErrorNamingThePort) {
  const int taken = GetParam();
  TempDir dir;
  uint16_t port = FreePortPair();
  UdpPeer occupant(static_cast<uint16_t>(port + taken));
  dir.Write("TAVORIN.INI", Ini(port, 7));
  RunningProgram relay(dir.path());
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 1));
  EXPECT_EQ(relay.RestOfOutput(), "Server Port = 7\nServer IP = 127.0.0.1\n") << "no banner";
  std::string errors = relay.Errors();
  EXPECT_NE(errors.find("port " + std::to_string(port + taken) + ":"), std::string::npos) << errors;
  EXPECT_NE(errors.find("in use"), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Program, PortInUse, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return row.param == 0 ? "P" : "PPlusOne";
                         });

TEST(Program, AnUnresolvableHostIsAnErrorNamingTheHost) {
  TempDir dir;
  dir.Write("TAVORIN.INI", "[Server]\nIP=no-such-host.invalid\n");
  RunningProgram relay(dir.path());
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 1));
  EXPECT_EQ(relay.RestOfOutput(), "Server Port = 2000\n");
  EXPECT_NE(relay.Errors().find("\"no-such-host.invalid\""), std::string::npos);
}

TEST(Program, ABroadcastServerAddressIsTakenAsGivenItsSendsFailToldAndAnEmptyLogWarns) {
  TempDir dir;
  uint16_t port = FreePortPair();
  dir.Write("TAVORIN.INI",
            "[Proxy]\nPort=" + std::to_string(port) + "\nLog=\n[Server]\nIP=255.255.255.255\n");
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(2000, "255.255.255.255", port));
  std::string errors = relay.ErrorLines(2);  // the empty Log, and the log not opened
  EXPECT_NE(errors.find("Log in [Proxy]"), std::string::npos) << errors;
  // No socket may broadcast: every send to the server fails, and standard error says so.
  UdpPeer client;
  client.SendTo(Pattern(8, 1), port);
  errors = relay.ErrorLines(1);
  EXPECT_EQ(errors.rfind("tavorin: port " + std::to_string(port) +
                             ": 1 datagram could not be sent (1 to the server; the latest to the "
                             "server 255.255.255.255:2000: ",
                         0),
            0u)
      << errors;
  EXPECT_TRUE(relay.Running());
  EndRelay(relay);
}

TEST(Program, HostileSettingsFilesGiveDefaultsAndNeverStopTheRelay) {
  std::string garbage;
  for (int i = 0; i < (1 << 20); ++i)
    garbage.push_back(static_cast<char>((i * 2654435761u) >> 24));
  const std::string huge_port = "[Proxy]\nPort=" + std::string(100000, '9') + "\n";
  for (const std::string& content : {garbage, huge_port, std::string(3 << 20, '[')}) {
    TempDir dir;
    dir.Write("TAVORIN.INI", content);
    WaitUntilFree(15000);
    RunningProgram relay(dir.path());
    std::string lines = relay.ReadLines(4);
    EXPECT_NE(lines.find("Ready to rock on port "), std::string::npos) << lines;
    EndRelay(relay);
  }
  TempDir dir;
  std::filesystem::create_directory(dir.File("TAVORIN.INI"));
  WaitUntilFree(15000);
  RunningProgram relay(dir.path());
  EXPECT_EQ(relay.ReadLines(4), Lines(2000, "127.0.0.1", 15000)) << "a directory is no file";
  EndRelay(relay);
  std::string errors = relay.Errors();
  EXPECT_NE(errors.find("tavorin: warning: cannot read "), std::string::npos) << errors;
  EXPECT_NE(errors.find("TAVORIN.INI: it is a directory, not a file; using the defaults"),
            std::string::npos)
      << errors;
}

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

struct AnsweredCase {
  std::string argument;
  std::string begins;  // what standard output begins with
};

void PrintTo(const AnsweredCase& c, std::ostream* out) {
  *out << c.argument;
}

class AnsweredArgument : public ::testing::TestWithParam<AnsweredCase> {};

TEST_P(AnsweredArgument, PrintsAndEndsWithoutTouchingAFileOrAPort) {
  TempDir dir;
  Launch launch;
  launch.arguments = {GetParam().argument};
  RunningProgram program(dir.path(), launch);
  EXPECT_TRUE(ExitedWith(program.WaitForExit(kExitDeadlineMs), 0));
  const std::string out = program.RestOfOutput();
  EXPECT_EQ(out.rfind(GetParam().begins, 0), 0u) << out;
  EXPECT_EQ(program.Errors(), "");
  EXPECT_FALSE(dir.Read("packets.txt").has_value()) << "no log file made";
}

INSTANTIATE_TEST_SUITE_P(Program, AnsweredArgument,
                         ::testing::Values(AnsweredCase{"--help", "Usage: tavorin [--help"},
                                           AnsweredCase{"-h", "Usage: tavorin [--help"},
                                           AnsweredCase{"--version", "tavorin 1.0.0\n"},
                                           AnsweredCase{"-V", "tavorin 1.0.0\n"}));

}  // namespace
}  // namespace tavorin::testing
