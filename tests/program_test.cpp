// The built tavorin binary, driven over a pseudo-terminal and real sockets on loopback.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

// Settings are read from the working directory alone: a file beside the program is not read.
TEST(Program, WithoutSettingsRelays15000To2000AndEndsOnAKey) {
  TempDir program_dir;
  const std::string copy = program_dir.File(UnderWine() ? "tavorin.exe" : "tavorin");
  std::filesystem::copy_file(RelayBinary(), copy);
  program_dir.Write("TAVORIN.INI", Ini(FreePortPair(), 7));
  UdpPeer server(2000);
  UdpPeer server_next(2001);
  WaitUntilFree(15000);
  StartedRelay relay({.launch = {.binary = copy}, .port = 15000, .server_port = 2000, .file = ""});
  const termios before = relay.InitialTerminalSettings();
  EXPECT_TRUE(relay.dir.BecomesEmpty("packets.txt")) << "the log file is created and left empty";

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
  EXPECT_EQ(relay.Log(), "");
}

// The server's port past the top is shown as given, warned of, and taken modulo 65536 (the
// other readings are the settings test's).
TEST(Program, ThePortsWrapAsInThe40000And70000Example) {
  UdpPeer server(4464);
  UdpPeer server_next(4465);
  StartedRelay relay({.port = 40000, .server_port = 70000, .prepare = [](const PreparedRelay& r) {
                        r.dir.Write("packets.txt", "left over from an earlier run\n");
                      }});
  UdpPeer client;
  ExpectRelayed(client, 40000, server, 3);
  ExpectRelayed(client, 40001, server_next, 4);
  EXPECT_TRUE(relay.dir.BecomesEmpty("packets.txt")) << "an existing log file is emptied";
  const std::string warning = relay.ErrorLines(1);
  EXPECT_EQ(warning.rfind("tavorin: warning: Port=70000 in [Server] of ", 0), 0u) << warning;
  EXPECT_TRUE(
      Contains(warning, "TAVORIN.INI is not a port number from 0 to 65535; using port 4464\n"));
  EndRelay(relay);
  // A negative port is shown as given too, and wraps: Port=-1 is 65535.
  const uint16_t port = FreePortPair();
  StartedRelay negative(
      {.port = port,
       .server_port = -1,
       .file = "[Proxy]\nPort=" + std::to_string(port - 65536) + "\n[Server]\nPort=-1\n"});
  EndRelay(negative);
}

// To a broadcast address the reply comes from an address of the client's interface (that it
// comes from the address a client sent to is the engine's test's).
TEST(Program, RepliesToABroadcastComeFromTheInterfacesAddress) {
  // Wine reports the destination address of a received datagram but sends WSASendMsg's
  // datagrams from the routing's address whatever IN_PKTINFO asks (checked here).
  SKIP_IF(UnderWine(), "Wine ignores the source address given to WSASendMsg");
  StartedRelay relay;
  UdpPeer client;  // on 127.0.0.1
  client.AllowBroadcast();
  client.Connect(LoopbackEndpoint(relay.port));  // hears from that address alone
  client.SendTo(Pattern(64, 1), MakeEndpoint(htonl(0x7FFFFFFFu), htons(relay.port)));
  auto at_server = relay.server().Receive();
  ASSERT_TRUE(at_server.has_value());
  relay.server().SendTo(Pattern(64, 2), at_server->from);
  EXPECT_EQ(client.ReceiveData(), Pattern(64, 2))
      << "the reply left from another address, or not at all";
  EndRelay(relay);
}

TEST(Program, SettingsWithCrLfCommentsQuotesAndOddSpacing) {
  StartedRelay relay({.prepare = [](const PreparedRelay& r) {
    r.dir.Write("TAVORIN.INI",
                "\xEF\xBB\xBF; written on another system\r\n"
                "[ server ]\r\n  ip =  localhost  \r\n PORT= " +
                    std::to_string(r.server_port) + " \r\n port = 9\r\n" +
                    "[proxy]\r\n;Port=1\r\n\tPort\t=\t" + std::to_string(r.port) +
                    "\r\nLOG = \"relay log.txt\"\r\n");
  }});
  EXPECT_TRUE(relay.dir.BecomesEmpty("relay log.txt"));
  EXPECT_FALSE(relay.dir.Read("packets.txt").has_value());
  UdpPeer client;
  ExpectRelayed(client, relay.port, relay.server(), 5);
  EndRelay(relay);
}

TEST(Program, AKeyPendingBeforeStartEndsItAtTheFirstTest) {
  SKIP_IF(UnderWine(), kNoWineConsole);
  StartedRelay relay({.launch = {.typed_before = "q"}, .server_port = 7, .read_console = false});
  const termios before = relay.InitialTerminalSettings();
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
  EXPECT_EQ(relay.ReadLines(4), Lines(7, "127.0.0.1", relay.port));
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
// that end a process end it at once; a reload, a signal ignored at start, or a stop and a
// continue, leaves it running, and one key (no Enter) still ends it. The terminal is given back
// whichever.
TEST_P(EndingSignal, GivesTheTerminalBackWhicheverWayItEnds) {
  SKIP_IF(UnderWine(), kNoWineConsole);
  const SignalCase& c = GetParam();
  StartedRelay relay(
      {.launch = {.ignored_signals =
                      c.ignored_at_start ? std::vector<int>{c.signal_number} : std::vector<int>{}},
       .server_port = 7});
  const termios before = relay.InitialTerminalSettings();
  ASSERT_TRUE(relay.KeyWaitBegins());
  if (c.signal_number == SIGINT) {
    relay.Type("\x03");
  } else if (c.signal_number == SIGSTOP) {
    relay.Signal(SIGSTOP);
    ASSERT_TRUE(relay.BecomesStopped());
    relay.SetTerminalSettings(before);  // a shell takes the terminal back in line mode
    relay.Signal(SIGCONT);
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
                      SignalCase{SIGUSR1, Outcome::kRunsOn}, SignalCase{SIGUSR2, Outcome::kRunsOn},
                      SignalCase{SIGALRM, Outcome::kDies}, SignalCase{SIGXCPU, Outcome::kDies},
                      SignalCase{SIGHUP, Outcome::kRunsOn, true},
                      SignalCase{SIGSTOP, Outcome::kRunsOn}),
    [](const ::testing::TestParamInfo<SignalCase>& row) {
      return std::string(sigabbrev_np(row.param.signal_number)) +
             (row.param.ignored_at_start ? "IgnoredAtStart" : "");
    });

// Started otherwise than from a terminal it is in front of: with standard descriptors closed
// (none costs a listening port), in the background, with no terminal, or as the service unit
// runs it (no terminal, an unprivileged user, standard input from the null device, stopped by
// SIGTERM, which the service manager counts as a clean stop). It relays on both ports, the log
// file is made, and a key on a terminal it is not in front of is not its key.
struct EnvironmentCase : NamedRow {
  Launch launch;
  bool as_nobody = false;
  const char* posix_only = nullptr;  // why it does not run under Wine
};

class Environment : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(Environment, RelaysOnBothPortsAndEndsCleanly) {
  const EnvironmentCase& c = GetParam();
  SKIP_IF(c.posix_only != nullptr && UnderWine(), c.posix_only);
  StartedRelay relay(
      {.launch = c.launch, .as_nobody = c.as_nobody, .read_console = c.launch.closed.empty()});
  const bool keyed = c.launch.terminal == Terminal::kForeground;
  if (!keyed) {
    const termios before = relay.InitialTerminalSettings();
    relay.Type("z");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_TRUE(relay.Running()) << "a key on a terminal it is not in front of is not its key";
    EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before));
  }
  EXPECT_TRUE(relay.dir.BecomesEmpty("packets.txt", kExitDeadlineMs));
  UdpPeer client;
  ExpectRelayed(client, relay.port, relay.server(), 1);
  ExpectRelayed(client, static_cast<uint16_t>(relay.port + 1), relay.server_next(), 2);
  if (keyed) {
    EndRelay(relay);
    return;
  }
  relay.Signal(SIGTERM);
  const std::optional<int> status = relay.WaitForExit(kExitDeadlineMs);
  if (UnderWine()) {
    EXPECT_TRUE(status.has_value());
    return;
  }
  EXPECT_TRUE(ExitedWith(status, 0)) << "a stop, not a failure";
  EXPECT_EQ(relay.Errors(), "tavorin: SIGTERM: stopping\n");
}

constexpr char kWindowsSockets[] = "a Windows socket never takes a C runtime descriptor's number";
constexpr char kProcessGroups[] = "process groups and terminal modes are POSIX's";
constexpr char kServiceUnits[] = "service units are systemd's";

INSTANTIATE_TEST_SUITE_P(
    Program, Environment,
    ::testing::Values(
        EnvironmentCase{"StandardOutputClosed", {.closed = {1}}, false, kWindowsSockets},
        EnvironmentCase{"AllThreeClosed", {.closed = {0, 1, 2}}, false, kWindowsSockets},
        EnvironmentCase{"StandardInputClosed", {.closed = {0}}, false, kWindowsSockets},
        EnvironmentCase{"StandardErrorClosed", {.closed = {2}}, false, kWindowsSockets},
        EnvironmentCase{"Background", {.terminal = Terminal::kBackground}, false, kProcessGroups},
        EnvironmentCase{"WithoutATerminal", {.terminal = Terminal::kNone}},
        EnvironmentCase{"AsTheServiceUnit", {.terminal = Terminal::kNone}, true, kServiceUnits}),
    RowName());

// A start that cannot go on ends before the ready line, naming the cause, with status 1, or
// kConfigurationStatus where the settings or the rights are at fault (no restart mends that). In
// the texts {P} is the listening port P, {Q} is P + 1 and {S} the server's port.
struct FailedStartCase : NamedRow {
  std::string proxy;  // rows of [Proxy]
  int server_port;    // S, counted from P when `near_p`
  bool near_p;
  std::string server_ip;  // IP= in [Server]; 127.0.0.1 when empty
  int occupied;           // P + this is held by another socket, unless negative
  int status;
  std::string output;                // all of standard output
  std::string error;                 // in standard error
  std::string also = "";             // in standard error too
  bool whole = false;                // standard error is `error`, all of it
  bool huge_stack = false;           // a default thread stack that no address space holds
  const char* posix_only = nullptr;  // why it does not run under Wine
};

std::string Filled(std::string text, int port, int server_port, int tcp_port) {
  const std::pair<const char*, int> values[] = {
      {"{P}", port}, {"{Q}", port + 1}, {"{S}", server_port}, {"{T}", tcp_port}};
  for (const auto& [key, value] : values)
    for (size_t at; (at = text.find(key)) != std::string::npos;)
      text.replace(at, 3, std::to_string(value));
  return text;
}

class FailedStart : public ::testing::TestWithParam<FailedStartCase> {};

TEST_P(FailedStart, EndsBeforeTheReadyLineNamingTheCause) {
  const FailedStartCase& c = GetParam();
  SKIP_IF(c.posix_only != nullptr && UnderWine(), c.posix_only);
#ifdef __SANITIZE_THREAD__
  SKIP_IF(c.huge_stack, "ThreadSanitizer's runtime does not start under a 1 TiB stack limit");
#endif
  const uint16_t port = FreePortPair();
  std::optional<UdpPeer> occupant;
  if (c.occupied >= 0)
    occupant.emplace(static_cast<uint16_t>(port + c.occupied));
  const int tcp_occupant = ListeningTcpSocket();
  const int server_port = c.server_port + (c.near_p ? port : 0);
  const auto filled = [&](const std::string& text) {
    return Filled(text, port, server_port, LocalPort(tcp_occupant));
  };
  StartedRelay relay(
      {.proxy = filled(c.proxy),
       .launch = {.stack = c.huge_stack ? std::optional<rlim_t>(rlim_t{1} << 40) : std::nullopt},
       .port = port,
       .server_port = server_port,
       .server_ip = c.server_ip,
       .read_console = false});
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), c.status));
  EXPECT_EQ(relay.RestOfOutput(), filled(c.output)) << "no ready line";
  const std::string errors = relay.Errors();
  EXPECT_TRUE(Contains(errors, filled(c.error)));
  EXPECT_TRUE(Contains(errors, filled(c.also)));
  EXPECT_TRUE(!c.whole || errors == filled(c.error)) << errors;
  close(tcp_occupant);
}

constexpr char kServerLines[] = "Server Port = {S}\nServer IP = 127.0.0.1\n";
constexpr char kOwnPort[] = "is this relay's own listening port";

INSTANTIATE_TEST_SUITE_P(
    Program, FailedStart,
    ::testing::Values(
        FailedStartCase{"PInUse", "", 7, false, "", 0, 1, kServerLines, "port {P}:", "in use"},
        FailedStartCase{"PPlusOneInUse", "", 7, false, "", 1, 1, kServerLines,
                        "port {Q}:", "in use"},
        FailedStartCase{"SIsP", "", 0, true, "", -1, kConfigurationStatus, kServerLines, kOwnPort},
        FailedStartCase{"SIsPPlusOne", "", 1, true, "", -1, kConfigurationStatus, kServerLines,
                        kOwnPort},
        FailedStartCase{"SPlusOneIsP", "", -1, true, "", -1, kConfigurationStatus, kServerLines,
                        kOwnPort},
        FailedStartCase{"AnUnresolvableHost", "", 2000, false, "no-such-host.invalid", -1, 1,
                        "Server Port = 2000\n", "\"no-such-host.invalid\""},
        FailedStartCase{"NoReceiveThread", "", 7, false, "", -1, 1, kServerLines,
                        "tavorin: cannot start the receive thread for UDP port {P}: " +
                            std::string(std::strerror(EAGAIN)) + "\n",
                        "", true, true, "stack limits are POSIX's"},
        // A listening address that is not one of this host's: listening on every address
        // instead would widen what the key exists to narrow. A value that is no address is the
        // settings' fault; one the host lacks (a documentation address) may come later.
        FailedStartCase{"ListeningOnAName", "IP=localhost\n", 7, false, "", -1,
                        kConfigurationStatus, "", "IP=localhost "},
        // The status port is bound before the relay says it is ready.
        FailedStartCase{"StatusPortInUse", "StatusAddress=127.0.0.1:{T}\n", 7, false, "", -1, 1,
                        kServerLines, "cannot listen on TCP 127.0.0.1:{T} (StatusAddress="},
        FailedStartCase{"ListeningOnATypo", "IP=127.0.0.l\n", 7, false, "", -1,
                        kConfigurationStatus, "", "IP=127.0.0.l "},
        // An access list the relay cannot read lets nobody in, and no list at all would let
        // everybody: the start ends, naming the entry.
        FailedStartCase{"AnAccessListWithABadEntry", "AllowClients=10.0.0.0/8 10.0.0.300/32\n", 7,
                        false, "", -1, kConfigurationStatus, "",
                        "has the entry \"10.0.0.300/32\", which is not an IPv4 or IPv6 address"},
        FailedStartCase{"ListeningOnAnAddressTheHostLacks", "IP=192.0.2.1\n", 7, false, "", -1, 1,
                        kServerLines, "IP=192.0.2.1 ", "port {P}:", false, false,
                        "Wine's sockets bind any address at all"}),
    RowName());

TEST(Program, ABroadcastServerAddressIsTakenAsGivenItsSendsFailToldAndAnEmptyLogWarns) {
  StartedRelay relay({.proxy = "Log=\n", .server_port = 2000, .server_ip = "255.255.255.255"});
  std::string errors = relay.ErrorLines(2);  // the empty Log, and the log not opened
  EXPECT_TRUE(Contains(errors, "Log in [Proxy]"));
  // No socket may broadcast: every send to the server fails, and standard error says so.
  UdpPeer client;
  client.SendTo(Pattern(8, 1), relay.port);
  errors = relay.ErrorLines(1);
  EXPECT_EQ(errors.rfind("tavorin: port " + std::to_string(relay.port) +
                             ": 1 datagram could not be sent (1 to the server; the latest to the "
                             "server 255.255.255.255:2000: ",
                         0),
            0u)
      << errors;
  EXPECT_TRUE(relay.Running());
  EndRelay(relay);
}

// Two relays in a row: the one in front names the client in a header on every datagram, the one
// behind takes it off, judges that client by AllowClients, logs it with the relay in front, and
// tells its server of it; the reply goes back through both without a header. A client outside
// the list reaches no server, and a datagram of the front's network without a header none.
TEST(Program, TwoRelaysInARowTellTheServerTheRealClient) {
  StartedRelay behind(
      {.proxy = "LogLinks=1\nProxyProtocolFrom=127.0.0.1/32\nAllowClients=127.0.0.7\n",
       .server = "ProxyProtocol=2\n"});
  StartedRelay front({.server = "ProxyProtocol=2\n", .server_port = behind.port});
  UdpPeer client(0, 7);
  const Bytes payload = Pattern(40, 1);
  client.SendTo(payload, front.port);
  const std::optional<Received> got = behind.server().Receive();
  ASSERT_TRUE(got.has_value());
  // Signature, version 2 PROXY, UDP over IPv4, 12 bytes of addresses and ports: the client's
  // address first, its port after both addresses.
  ASSERT_EQ(got->data.size(), 28 + payload.size());
  const Endpoint named = client.endpoint();
  EXPECT_EQ(got->data[12], 0x21);
  EXPECT_EQ(got->data[13], 0x12);
  EXPECT_EQ(std::memcmp(got->data.data() + 16, &named.v4.sin_addr, 4), 0)
      << "the real client, not the relay in front";
  EXPECT_EQ(std::memcmp(got->data.data() + 24, &named.v4.sin_port, 2), 0);
  EXPECT_EQ(Bytes(got->data.begin() + 28, got->data.end()), payload);
  behind.server().SendTo(Pattern(30, 2), got->from);
  const std::optional<Received> reply = client.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->data, Pattern(30, 2)) << "no header on the way back";
  EXPECT_EQ(ntohs(reply->from.port_net()), front.port);
  EXPECT_TRUE(behind.dir.Holds(
      "packets.txt", " client=127.0.0.7:" + std::to_string(client.port()) + " via=127.0.0.1:"));

  UdpPeer outside(0, 8);
  outside.SendTo(Pattern(8, 3), front.port);
  EXPECT_TRUE(Contains(behind.ErrorLines(1),
                       "outside AllowClients in [Proxy] turned away (the "
                       "latest from 127.0.0.8:" +
                           std::to_string(outside.port()) + ")"));
  UdpPeer bare(0, 1);
  bare.SendTo(Pattern(8, 4), behind.port);
  EXPECT_TRUE(Contains(behind.ErrorLines(1),
                       ": 1 datagram from ProxyProtocolFrom in [Proxy] without a valid PROXY v2 "
                       "header, or naming another client than their link's, dropped"));
  EXPECT_TRUE(behind.server().Silent());
  EndRelay(front);
  EndRelay(behind);
}

// Whatever the file holds, the relay starts on the defaults; one that cannot be read (a
// directory, or a file without read permission to the relay run as nobody, since root reads
// any) is named with the reason (the reasons are the reader's test's).
TEST(Program, HostileSettingsFilesGiveDefaultsAndNeverStopTheRelay) {
  std::string garbage;
  for (int i = 0; i < (1 << 20); ++i)
    garbage.push_back(static_cast<char>((i * 2654435761u) >> 24));
  const std::string huge_port = "[Proxy]\nPort=" + std::string(100000, '9') + "\n";
  for (const std::string& content : {garbage, huge_port, std::string(3 << 20, '[')}) {
    WaitUntilFree(15000);
    StartedRelay relay({.file = content, .read_console = false});
    const std::string lines = relay.ReadLines(4);
    EXPECT_TRUE(Contains(lines, "Ready to rock on port "));
    EndRelay(relay);
  }
  for (const bool directory : {true, false}) {
    if (!directory && UnderWine())
      continue;  // file modes are POSIX's
    WaitUntilFree(15000);
    StartedRelay relay({.launch = {.terminal = directory ? Terminal::kForeground : Terminal::kNone},
                        .as_nobody = !directory,
                        .port = 15000,
                        .server_port = 2000,
                        .file = directory ? "" : "[Proxy]\nPort=1\n",
                        .prepare = [&](const PreparedRelay& r) {
                          if (directory)
                            std::filesystem::create_directory(r.dir.File("TAVORIN.INI"));
                          else
                            chmod(r.dir.File("TAVORIN.INI").c_str(), 0);
                        }});
    if (directory) {
      EndRelay(relay);
    } else {
      relay.Signal(SIGTERM);
      EXPECT_TRUE(relay.WaitForExit(kExitDeadlineMs).has_value());
    }
    EXPECT_EQ(relay.Errors(),
              "tavorin: warning: cannot read " + ShownPath(relay.dir, "TAVORIN.INI") + ": " +
                  (directory ? "it is a directory, not a file" : std::strerror(EACCES)) +
                  "; using the defaults\n" + (directory ? "" : "tavorin: SIGTERM: stopping\n"));
  }
}

struct AnsweredCase : NamedRow {
  std::string begins;  // what standard output begins with
};

class AnsweredArgument : public ::testing::TestWithParam<AnsweredCase> {};

TEST_P(AnsweredArgument, PrintsAndEndsWithoutTouchingAFileOrAPort) {
  StartedRelay program({.launch = {.arguments = {GetParam().name}}, .read_console = false});
  EXPECT_TRUE(ExitedWith(program.WaitForExit(kExitDeadlineMs), 0));
  const std::string out = program.RestOfOutput();
  EXPECT_EQ(out.rfind(GetParam().begins, 0), 0u) << out;
  EXPECT_EQ(program.Errors(), "");
  EXPECT_FALSE(program.dir.Read("packets.txt").has_value()) << "no log file made";
}

INSTANTIATE_TEST_SUITE_P(Program, AnsweredArgument,
                         ::testing::Values(AnsweredCase{"--help", "Usage: tavorin [--help"},
                                           AnsweredCase{"-h", "Usage: tavorin [--help"},
                                           AnsweredCase{"--version", "tavorin 1.0.0\n"},
                                           AnsweredCase{"-V", "tavorin 1.0.0\n"}));

}  // namespace
}  // namespace tavorin::testing
