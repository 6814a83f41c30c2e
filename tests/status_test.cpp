// The status listener of a running relay: its counters as metrics, its links, its health, and
// the drain a stop begins with.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

TEST(Program, StatusListenerShowsTheRelayAndDrainsBeforeTheStop) {
  const uint16_t status = FreeTcpPort();
  StartedRelay relay({.proxy = "IdleTimeout=2\nDrainSeconds=30\nStatusAddress=127.0.0.1:" +
                               std::to_string(status) + "\n"});
  const std::string port = "{port=\"" + std::to_string(relay.port) + "\"} ";
  UdpPeer client;
  ExpectRelayed(client, relay.port, relay.server(), 1);
  const std::string metrics = HttpGet(status, "/metrics");
  for (const std::string& part : std::initializer_list<std::string>{
           "HTTP/1.1 200 OK\r\n", "# TYPE tavorin_links_held gauge\n",
           "tavorin_links_held" + port + "1\n", "# TYPE tavorin_links_made_total counter\n",
           "# HELP tavorin_to_server_datagrams_total datagrams relayed to the server\n",
           "tavorin_to_server_datagrams_total" + port + "1\n",
           "tavorin_log_lines_lost_total" + port + "0\n",
           "tavorin_to_client_bytes_total" + port + "520\n", "tavorin_server_silent" + port + "0\n",
           "tavorin_dropped_by_system_total" + port + "0\n", "tavorin_ready 1\n"})
    EXPECT_TRUE(Contains(metrics, part));
  EXPECT_TRUE(
      Contains(HttpGet(status, "/links"), "client=" + EndpointText(client.endpoint()) + " link="));
  EXPECT_TRUE(Contains(HttpGet(status, "/health"), "200 OK\r\n"));
  EXPECT_TRUE(Contains(HttpGet(status, "/health"), "\r\n\r\nready: 1 link held\n"));
  EXPECT_TRUE(Contains(HttpGet(status, "/nothing"), "404 Not Found\r\n"));

  // Peers past the cap that say nothing, and peers that trickle a request a byte at a time,
  // hold up no answer to a health check or a scrape.
  const Endpoint at = LoopbackEndpoint(status);
  std::vector<int> peers(20 + 300);
  for (int& fd : peers) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, at.address(), at.size()), 0);
  }
  for (int turn = 0; turn < 3; ++turn) {
    for (size_t i = 0; i < 20; ++i)
      send(peers[i], "GET /health HTTP/1.1\r\n" + turn, 1, MSG_NOSIGNAL);
    for (const auto& [path, most] : {std::pair{"/health", 500}, std::pair{"/metrics", 1000}}) {
      const auto asked = std::chrono::steady_clock::now();
      EXPECT_TRUE(Contains(HttpGet(status, path), "200 OK\r\n")) << path;
      EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(most)) << path;
    }
  }
  std::for_each(peers.begin(), peers.end(), close);
  // Past the cap of 256, the oldest of them were let go, and counted.
  const std::string counted = HttpGet(status, "/metrics");
  const size_t let_go = counted.find("\ntavorin_status_let_go_total ");
  ASSERT_NE(let_go, std::string::npos) << counted;
  EXPECT_GE(std::stoul(counted.substr(let_go + 29)), 20u + 300u - 256u);
  ExpectRelayed(client, relay.port, relay.server(), 3);  // the link held, however long that took
  if (UnderWine())
    return;  // what follows is Linux's: signals
  relay.Signal(SIGTERM);
  EXPECT_TRUE(Contains(relay.ErrorLines(2), "draining: new clients refused; 1 link held,"));
  EXPECT_TRUE(Contains(HttpGet(status, "/health"), "503 Service Unavailable\r\n"));
  UdpPeer newcomer;
  newcomer.SendTo(Pattern(10), relay.port);
  EXPECT_TRUE(relay.server().Silent()) << "a new client is refused while the relay drains";
  ExpectRelayed(client, relay.port, relay.server(), 2);
  // The link goes idle two seconds on, and the stop follows.
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(15000), 0));
  EXPECT_TRUE(Contains(relay.Errors(), "(every link has gone idle); 0 links left"));
}

// The drain turns as the relaying does: a key pressed during it ends it, as a second stop
// request does, but not the key that stopped the relay (it stays in the terminal's input); the
// terminal is given back.
TEST(Program, AKeyPressedDuringTheDrainEndsIt) {
  SKIP_IF(UnderWine(), kNoWineConsole);
  for (const bool key_stops : {false, true}) {
    StartedRelay relay({.proxy = "DrainSeconds=30\n"});
    const termios before = relay.InitialTerminalSettings();
    UdpPeer client;
    ExpectRelayed(client, relay.port, relay.server(), 1);
    ASSERT_TRUE(relay.KeyWaitBegins());
    if (key_stops) {
      relay.Type("k");
    } else {
      relay.Signal(SIGTERM);
    }
    EXPECT_TRUE(Contains(relay.ErrorLines(key_stops ? 1 : 2),
                         "draining: new clients refused; 1 link held,"));
    if (key_stops) {
      EXPECT_FALSE(relay.WaitForExit(1000).has_value()) << "the stopping key ends no drain";
      relay.Signal(SIGTERM);
    } else {
      relay.Type("k");
    }
    EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
    EXPECT_TRUE(Contains(relay.Errors(), key_stops ? " s (a second stop request); 1 link left\n"
                                                   : " s (a key); 1 link left\n"))
        << relay.Errors();
    EXPECT_TRUE(SameSettings(relay.TerminalSettings(), before));
  }
}

}  // namespace
}  // namespace tavorin::testing
