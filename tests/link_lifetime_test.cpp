// Links that expire, a cap on links, and the link log, against the built binary: all opt-in,
// and without their keys the relay keeps every link for life and the log file empty.
#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

// Longer than an idle timeout of one second and the sweep's second or so after it.
constexpr auto kPastTimeout = std::chrono::milliseconds(3000);

// The port the server sees for `client`'s next datagram through the relay's `port`.
uint16_t LinkPortOf(const UdpPeer& client, uint16_t port, const UdpPeer& server, unsigned seed) {
  client.SendTo(Pattern(20, seed), port);
  auto got = server.Receive(5000);
  EXPECT_TRUE(got.has_value()) << "nothing reached the server";
  if (got) {
    EXPECT_EQ(got->data, Pattern(20, seed));
  }
  return got ? ntohs(got->from.v4.sin_port) : 0;
}

struct LifetimeCase : NamedRow {
  std::string settings;  // lines for [Proxy]
  bool server_talks;     // the server sends to the link all through the silence
  bool expires;
};

class LinkLifetime : public ::testing::TestWithParam<LifetimeCase> {};

TEST_P(LinkLifetime, AnIdleLinkExpiresOnlyWhenAskedAndTheClientGetsANewOne) {
  const LifetimeCase& c = GetParam();
  StartedRelay relay({.proxy = c.settings});
  const UdpPeer& server = relay.server();
  UdpPeer client;
  const uint16_t first = LinkPortOf(client, relay.port, server, 1);
  EXPECT_EQ(LinkPortOf(client, relay.port, server, 2), first) << "the link is there while used";
  if (c.expires) {
    EXPECT_TRUE(relay.dir.Holds("packets.txt", " reason=idle "));
  } else {
    const auto until = std::chrono::steady_clock::now() + kPastTimeout;
    for (unsigned i = 0; std::chrono::steady_clock::now() < until; ++i) {
      if (c.server_talks) {
        server.SendTo(Pattern(10, 100 + i), LoopbackEndpoint(first));
        EXPECT_EQ(client.ReceiveData(), Pattern(10, 100 + i)) << "the server's datagram " << i;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  const uint16_t next = LinkPortOf(client, relay.port, server, 3);
  const std::string made = "link-made port=" + std::to_string(relay.port) +
                           " client=127.0.0.1:" + std::to_string(client.port());
  if (c.expires) {
    EXPECT_TRUE(relay.dir.Holds("packets.txt", "link-made", 2)) << "a new link for the next one";
    const std::string log = relay.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << "made, closed, made:\n" << log;
    EXPECT_TRUE(Contains(log, made + " link=" + std::to_string(next)));
    ExpectTransfer(log, " link=" + std::to_string(first) + " reason=idle ", {2, 40, 0, 0});
  } else {
    EXPECT_EQ(next, first) << "the link outlived the silence";
    EXPECT_EQ(relay.Log().find("link-closed"), std::string::npos) << relay.Log();
  }
  EndRelay(relay);
  EXPECT_EQ(relay.Errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Program, LinkLifetime,
    ::testing::Values(LifetimeCase{"WithoutTheKeysLinksLiveOn", "", false, false},
                      LifetimeCase{"IdleLinkExpires", "IdleTimeout=1\nLogLinks=1\n", false, true},
                      LifetimeCase{"ATalkingServerKeepsItsLink", "IdleTimeout=1\nLogLinks=1\n",
                                   true, false}),
    RowName());

TEST(Program, MaxClientsCapsEachPortAndTheRefusedGetInOnceLinksExpire) {
  StartedRelay relay({.proxy = "MaxClients=2\nIdleTimeout=1\nLogLinks=1\n"});
  const uint16_t port = relay.port;
  UdpPeer first;
  UdpPeer second;
  UdpPeer third;
  LinkPortOf(first, port, relay.server(), 1);
  LinkPortOf(second, port, relay.server(), 2);
  third.SendTo(Pattern(20, 3), port);
  EXPECT_TRUE(relay.server().Silent(500)) << "a third client on the port is refused";
  LinkPortOf(third, static_cast<uint16_t>(port + 1), relay.server_next(), 4);  // the other is free
  const std::string refused = relay.ErrorLines(1);
  EXPECT_EQ(refused, "tavorin: port " + std::to_string(port) +
                         ": new clients are refused (limit of 2 links reached); 2 links held\n");
  // Once the two links have expired, the third client gets one.
  EXPECT_TRUE(relay.dir.Holds("packets.txt", "link-closed port=" + std::to_string(port), 2));
  LinkPortOf(third, port, relay.server(), 5);
  EndRelay(relay);
}

// A server that answers nothing for SilenceSeconds is told, and so is its next answer.
TEST(Program, AServerThatAnswersNothingIsToldAndSoIsItsNextAnswer) {
  StartedRelay relay({.server = "SilenceSeconds=1\n"});
  const std::string server = "tavorin: port " + std::to_string(relay.port) +
                             ": the server 127.0.0.1:" + std::to_string(relay.server_port);
  UdpPeer client;
  const uint16_t link = LinkPortOf(client, relay.port, relay.server(), 1);
  LinkPortOf(client, relay.port, relay.server(), 2);
  const std::string silent = relay.ErrorLines(1);
  EXPECT_EQ(silent.rfind(server + " has answered none of the 2 datagrams of the last ", 0), 0u)
      << silent;
  relay.server().SendTo(Pattern(20, 3), LoopbackEndpoint(link));
  ASSERT_TRUE(client.Receive().has_value());
  EXPECT_EQ(relay.ErrorLines(1), server + " answers again\n");
  EndRelay(relay);
}

TEST(Program, TheLinkLogTellsEachLinkItsPortsAndCountsAndIsAppendedTo) {
  StartedRelay relay({.proxy = "LogLinks=1\n", .prepare = [](const PreparedRelay& r) {
                        r.dir.Write("packets.txt", "an earlier run's line\n");
                      }});
  const std::string p = std::to_string(relay.port);
  UdpPeer client;
  const uint16_t link = LinkPortOf(client, relay.port, relay.server(), 1);
  relay.server().SendTo(Pattern(30, 2), LoopbackEndpoint(link));
  ASSERT_TRUE(client.Receive().has_value());
  const std::string of_link = " port=" + p + " client=127.0.0.1:" + std::to_string(client.port()) +
                              " link=" + std::to_string(link);
  EXPECT_TRUE(relay.dir.Holds("packets.txt", " tavorin link-made" + of_link));
  EndRelay(relay);
  if (UnderWine())
    return;  // ended from outside, with no chance to close its links

  const std::string log = relay.Log();
  EXPECT_EQ(log.rfind("an earlier run's line\n", 0), 0u) << "appended to, not emptied";
  const std::string closed = " tavorin link-closed" + of_link + " reason=shutdown lived_s=";
  ExpectTransfer(log, closed, {1, 20, 1, 30});
  EXPECT_TRUE(
      Contains(log, " to_client_bytes=30 server_port=" + std::to_string(relay.server_port) + "\n"));
  EXPECT_TRUE(Contains(
      log, " tavorin counters port=" + p +
               " links_held=1 links_made=1 links_expired=0 clients_refused=0 "
               "datagrams_refused=0 clients_not_allowed=0 datagrams_not_allowed=0 "
               "links_closed_not_allowed=0 links_closed_family=0 links_taken_over=0 "
               "to_server_datagrams=1 to_server_bytes=20 "
               "to_client_datagrams=1 to_client_bytes=30 dropped_empty=0 dropped_oversize=0 "
               "dropped_loop=0 dropped_not_from_server=0 dropped_over_rate=0 "
               "dropped_proxy_header=0 dropped_by_system=0 "
               "send_failed_to_server=0 send_failed_to_client=0 server_refused=0 follow_refused=0 "
               "log_lines_lost=0\n"));
  EXPECT_TRUE(
      Contains(log, " tavorin counters port=" + std::to_string(relay.port + 1) + " links_held=0 "));
  // Each line: the time in UTC to the millisecond, then the relay's words.
  for (size_t at = log.find('\n') + 1; at < log.size(); at = log.find('\n', at) + 1) {
    const std::string line = log.substr(at, log.find('\n', at) - at);
    ASSERT_GT(line.size(), 25u) << line;
    EXPECT_EQ(line[4], '-') << line;
    EXPECT_EQ(line[10], 'T') << line;
    EXPECT_EQ(line.substr(23, 10), "Z tavorin ") << line;
  }
}

class StopSignal : public ::testing::TestWithParam<int> {};

// Stopped by a signal without a terminal, as a service is, the relay closes every link with its
// line in the log, writes the last counters of both ports and ends with status 0. A log moved
// away and reopened on SIGUSR1 before that loses nothing between the two files.
TEST_P(StopSignal, ClosesEveryLinkWithItsLineAndEndsWithStatus0) {
  SKIP_IF(UnderWine(), "signals are POSIX's");
  StartedRelay relay({.proxy = "LogLinks=1\n", .launch = {.terminal = Terminal::kNone}});
  const uint16_t port = relay.port;
  UdpPeer before_rotation;
  LinkPortOf(before_rotation, port, relay.server(), 1);
  ASSERT_TRUE(relay.dir.Holds("packets.txt", " link-made "));
  ASSERT_EQ(
      std::rename(relay.dir.File("packets.txt").c_str(), relay.dir.File("packets.txt.1").c_str()),
      0);
  relay.Signal(SIGUSR1);
  ASSERT_TRUE(relay.dir.BecomesEmpty("packets.txt", kExitDeadlineMs)) << "reopened under its name";
  UdpPeer clients[3];
  for (unsigned i = 0; i < 3; ++i) {
    LinkPortOf(clients[i], static_cast<uint16_t>(port + i / 2),
               i < 2 ? relay.server() : relay.server_next(), i);
  }
  relay.Signal(GetParam());
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));

  const std::string old_log = relay.dir.Read("packets.txt.1").value_or("");
  const std::string log = relay.Log();
  EXPECT_EQ(Occurrences(old_log, " link-made "), 1u) << old_log;
  EXPECT_EQ(Occurrences(old_log, " link-closed "), 0u) << old_log;
  EXPECT_EQ(Occurrences(log, " link-made "), 3u) << log;
  EXPECT_EQ(Occurrences(log, " reason=shutdown "), 4u) << log;
  for (uint16_t each : {port, static_cast<uint16_t>(port + 1)})
    EXPECT_EQ(Occurrences(log, " counters port=" + std::to_string(each) + " "), 1u) << log;
  EXPECT_TRUE(Contains(relay.Errors(), std::string("tavorin: SIG") + sigabbrev_np(GetParam())));
}

// AllowClients turns a client outside it away, told on standard error; a reload that narrows
// it closes the links of the clients it leaves out, each with its own reason in the link log,
// and a reload with a list it cannot read keeps the one that runs.
TEST(Program, AReloadThatNarrowsAllowClientsClosesTheLinksItLeavesOut) {
  SKIP_IF(UnderWine(), "signals are POSIX's");
  StartedRelay relay({.proxy = "LogLinks=1\nAllowClients=127.0.0.1/32, 127.0.0.2\n",
                      .launch = {.terminal = Terminal::kNone}});
  UdpPeer first(0, 1);
  UdpPeer second(0, 2);
  UdpPeer outside(0, 3);
  const uint16_t link_first = LinkPortOf(first, relay.port, relay.server(), 1);
  const uint16_t link_second = LinkPortOf(second, relay.port, relay.server(), 2);
  outside.SendTo(Pattern(8, 3), relay.port);
  EXPECT_TRUE(Contains(relay.ErrorLines(1),
                       ": 1 datagram from 1 new client outside AllowClients in [Proxy] turned away "
                       "(the latest from 127.0.0.3:" +
                           std::to_string(outside.port()) + ")\n"));
  EXPECT_TRUE(relay.server().Silent());

  relay.dir.Write("TAVORIN.INI", Ini(relay.port, static_cast<uint16_t>(relay.server_port),
                                     "LogLinks=1\nAllowClients=127.0.0.2\n"));
  relay.Signal(SIGUSR1);
  EXPECT_TRUE(Contains(relay.ErrorLines(1),
                       ": AllowClients in [Proxy] 127.0.0.1/32 127.0.0.2/32 -> 127.0.0.2/32\n"));
  EXPECT_TRUE(relay.dir.Holds("packets.txt",
                              " link=" + std::to_string(link_first) + " reason=not-allowed "));
  EXPECT_EQ(LinkPortOf(second, relay.port, relay.server(), 3), link_second) << "still allowed";
  first.SendTo(Pattern(8, 4), relay.port);
  EXPECT_TRUE(relay.server().Silent()) << "no link made anew";

  relay.dir.Write("TAVORIN.INI", Ini(relay.port, static_cast<uint16_t>(relay.server_port),
                                     "LogLinks=1\nAllowClients=127.0.0.2 everyone\n"));
  relay.Signal(SIGUSR1);
  EXPECT_TRUE(Contains(relay.ErrorLines(2), "the running value 127.0.0.2/32 stays\n"));
  first.SendTo(Pattern(8, 5), relay.port);
  EXPECT_TRUE(relay.server().Silent()) << "the list that runs still holds";
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
  EXPECT_TRUE(Contains(relay.Log(), " links_closed_not_allowed=1 "));
}

INSTANTIATE_TEST_SUITE_P(Program, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return std::string(sigabbrev_np(row.param));
                         });

// SIGUSR1 applies what may change while links run: the server moves and every link keeps its
// port, a bad new value keeps the running one, and what takes a restart is named and left as it
// runs.
TEST(Program, AReloadMovesTheServerAndKeepsEveryLink) {
  SKIP_IF(UnderWine(), "signals are POSIX's");
  const BoundPair pair = BindNeighbours();
  UdpPeer moved = UdpPeer::Adopt(pair.first);
  UdpPeer moved_next = UdpPeer::Adopt(pair.second);
  StartedRelay relay({.proxy = "ClientRate=1000\n", .launch = {.terminal = Terminal::kNone}});
  const std::string p = std::to_string(relay.port);
  const std::string path = std::filesystem::canonical(relay.dir.path()).string() + "/TAVORIN.INI";
  UdpPeer client;
  const uint16_t link = LinkPortOf(client, relay.port, relay.server(), 1);

  const uint16_t other_port = FreePortPair();
  relay.dir.Write("TAVORIN.INI",
                  Ini(other_port, moved.port(),
                      "ClientRate=many\nIdleTimeout=300\nLogLinks=1\nStatusAddress=127.0.0.1:1\n"));
  relay.Signal(SIGUSR1);
  const std::string told = relay.ErrorLines(3);
  for (const std::string& line :
       {"ClientRate=many in [Proxy] of " + path +
            " is not a whole number of 0 or more; the running value 1000 stays\n",
        "tavorin: reloaded " + path +
            ": IdleTimeout in [Proxy] 0 -> 300, LogLinks in [Proxy] 0 -> 1, Port in [Server] " +
            std::to_string(relay.server_port) + " -> " + std::to_string(moved.port()) + "\n",
        "tavorin: warning: Port in [Proxy] (" + p + " -> " + std::to_string(other_port) +
            "), StatusAddress in [Proxy] ((none) -> 127.0.0.1:1) take a restart; the relay runs on "
            "as it was\n"}) {
    EXPECT_TRUE(Contains(told, line)) << line << "\n" << told;
  }
  EXPECT_EQ(LinkPortOf(client, relay.port, moved, 2), link) << "the link stays, the server moves";
  EXPECT_TRUE(relay.dir.Holds("packets.txt", " link=" + std::to_string(link) + " held=1\n"))
      << "the log turned on names the link held";
  EXPECT_TRUE(relay.server().Silent());
  // A file gone for a moment puts nothing back to its default.
  ASSERT_EQ(std::remove(relay.dir.File("TAVORIN.INI").c_str()), 0);
  relay.Signal(SIGUSR1);
  EXPECT_TRUE(Contains(relay.ErrorLines(1), "; nothing reloaded, the relay runs on as it was\n"));
  // Nor does one emptied for a moment, nor one cut while it was written: it takes nothing of
  // either, good lines and all.
  relay.dir.Write("TAVORIN.INI", "");
  relay.Signal(SIGUSR1);
  EXPECT_TRUE(Contains(relay.ErrorLines(1), "TAVORIN.INI is empty; nothing reloaded"));
  relay.dir.Write("TAVORIN.INI", "[Proxy]\nIdleTimeout=5\n[Server]\nPo");
  relay.Signal(SIGUSR1);
  const std::string cut = relay.ErrorLines(2);
  EXPECT_TRUE(Contains(cut, "TAVORIN.INI has 1 line the reader cannot use; nothing reloaded"));
  UdpPeer newcomer;
  LinkPortOf(newcomer, static_cast<uint16_t>(relay.port + 1), moved_next, 3);
  // The server moves to the other family: each link keeps its port there.
  UdpPeer v6(Loopback6Endpoint(0));
  relay.dir.Write("TAVORIN.INI", "[Proxy]\nPort=" + p + "\n[Server]\nPort=" +
                                     std::to_string(v6.port()) + "\nIP=::1\n");
  relay.Signal(SIGUSR1);
  const std::string moved_line = relay.ErrorLines(1);
  EXPECT_TRUE(Contains(moved_line, ", the links held moved to IPv6: 2 kept their ports\n"));
  EXPECT_EQ(LinkPortOf(client, relay.port, v6, 4), link);
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
}

}  // namespace
}  // namespace tavorin::testing
