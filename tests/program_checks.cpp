#include "tests/program_checks.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace tavorin::testing {

std::string Lines(int server_port, const std::string& ip, int port) {
  return "Server Port = " + std::to_string(server_port) + "\nServer IP = " + ip +
         "\nTavorin BUILD 6 - Ready to rock on port " + std::to_string(port) +
         "!\nNOTE: Press any key to terminate.\n";
}

std::string Ini(uint16_t proxy_port, uint16_t server_port, const std::string& extra) {
  return "[Proxy]\nPort=" + std::to_string(proxy_port) + "\n" + extra +
         "[Server]\nPort=" + std::to_string(server_port) + "\nIP=127.0.0.1\n";
}

RelayDir::RelayDir(BoundPair servers)
    : server(UdpPeer::Adopt(servers.first)),
      server_next(UdpPeer::Adopt(servers.second)),
      port(FreePortPair()) {
  dir.Write("TAVORIN.INI", Ini(port, server.port()));
}

void ExpectRelayed(const UdpPeer& client, uint16_t port, const UdpPeer& server, unsigned seed) {
  Bytes request = Pattern(100 + seed, seed);
  client.SendTo(request, port);
  auto at_server = server.Receive();
  ASSERT_TRUE(at_server.has_value()) << "nothing reached server port " << server.port();
  EXPECT_EQ(at_server->data, request);
  Bytes reply = Pattern(520, seed + 1);
  server.SendTo(reply, at_server->from);
  auto at_client = client.Receive();
  ASSERT_TRUE(at_client.has_value()) << "no reply through port " << port;
  EXPECT_EQ(at_client->data, reply);
  EXPECT_EQ(EndpointText(at_client->from), EndpointText(client.LoopbackAt(port)))
      << "the reply comes from the address and port the client sent to";
}

bool ExitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

bool KilledBy(std::optional<int> status, int signal_number) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number;
}

void EndRelay(RunningProgram& relay) {
  if (UnderWine()) {
    relay.Signal(SIGKILL);
    EXPECT_TRUE(relay.WaitForExit(kExitDeadlineMs).has_value());
    return;
  }
  relay.Type("x");
  EXPECT_TRUE(ExitedWith(relay.WaitForExit(kExitDeadlineMs), 0));
}

Launch ToolLaunch(const std::string& binary, std::vector<std::string> arguments) {
  Launch launch;
  launch.terminal = Terminal::kNone;
  launch.binary = binary;
  launch.arguments = std::move(arguments);
  return launch;
}

bool BecomesBound(RunningProgram& server, uint16_t port, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (int fd; (fd = BindUdp(port)) >= 0;) {
    close(fd);
    if (std::chrono::steady_clock::now() >= deadline || !server.Running())
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tavorin::testing
