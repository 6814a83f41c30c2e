// The status listener of a running relay: its counters as metrics, its links, its health, and
// the drain a stop begins with.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
           "tavorin_to_server_datagrams_total" + port + "1\n",
           "tavorin_to_client_bytes_total" + port + "520\n", "tavorin_server_silent" + port + "0\n",
           "tavorin_dropped_by_system_total" + port + "0\n", "tavorin_ready 1\n"})
    EXPECT_TRUE(Contains(metrics, part));
  EXPECT_TRUE(
      Contains(HttpGet(status, "/links"), "client=" + EndpointText(client.endpoint()) + " link="));
  EXPECT_TRUE(Contains(HttpGet(status, "/health"), "200 OK\r\n"));
  EXPECT_TRUE(Contains(HttpGet(status, "/nothing"), "404 Not Found\r\n"));

  if (UnderWine())
    return;  // what follows is Linux's: a connection taken once its request came, and signals
  // A dozen peers that say nothing, each given 0.5 s for its request, would hold this past 5 s.
  const Endpoint at = LoopbackEndpoint(status);
  std::vector<int> silent(12);
  for (int& fd : silent) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, at.address(), at.size()), 0);
  }
  EXPECT_TRUE(Contains(HttpGet(status, "/health"), "200 OK\r\n"));
  std::for_each(silent.begin(), silent.end(), close);
  relay.Signal(SIGTERM);
  EXPECT_TRUE(Contains(relay.ErrorLines(2), "draining: new clients refused; 1 links held"));
  EXPECT_TRUE(Contains(HttpGet(status, "/health"), "503 Service Unavailable\r\n"));
  UdpPeer newcomer;
  newcomer.SendTo(Pattern(10), relay.port);
  EXPECT_TRUE(relay.server().Silent()) << "a new client is refused while the relay drains";
  ExpectRelayed(client, relay.port, relay.server(), 2);
  // The link goes idle two seconds on, and the stop follows.
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(15000), 0));
  EXPECT_TRUE(Contains(relay.Errors(), "(every link has gone idle); 0 links left"));
}

}  // namespace
}  // namespace tavorin::testing
