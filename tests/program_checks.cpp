#include "tests/program_checks.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

PreparedRelay::PreparedRelay(const RelaySetup& setup)
    : port(setup.port != 0 ? setup.port : FreePortPair()),
      server_port(setup.server_port),
      launch(setup.launch) {
  if (server_port == 0) {
    const BoundPair pair =
        BindNeighbours(setup.v6_server ? Loopback6Endpoint(0) : LoopbackEndpoint(0));
    held.reserve(2);
    held.push_back(UdpPeer::Adopt(pair.first));
    held.push_back(UdpPeer::Adopt(pair.second));
    server_port = held[0].port();
  }
  const std::string own_ip = setup.v6_server ? "::1" : "127.0.0.1";
  shown_ip = held.empty() && !setup.server_ip.empty() ? setup.server_ip : own_ip;
  const std::string settings = setup.file.value_or(
      "[Proxy]\nPort=" + std::to_string(port) + "\n" + setup.proxy +
      "[Server]\nPort=" + std::to_string(server_port) +
      "\nIP=" + (setup.server_ip.empty() ? own_ip : setup.server_ip) + "\n" + setup.server);
  if (!settings.empty())
    dir.Write("TAVORIN.INI", settings);
  if (setup.as_nobody && geteuid() == 0) {
    EXPECT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
    launch.user = 65534;
  }
  if (setup.prepare)
    setup.prepare(*this);
}

StartedRelay::StartedRelay(const RelaySetup& setup)
    : PreparedRelay(setup), RunningProgram(dir.path(), launch) {
  if (!setup.read_console)
    return;
  console = ReadLines(4);
  EXPECT_EQ(console, Lines(server_port, shown_ip, port)) << Errors(0);
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

uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const Endpoint local = LoopbackEndpoint(0);
  EXPECT_EQ(bind(fd, local.address(), local.size()), 0);
  const uint16_t port = LocalPort(fd);
  close(fd);
  return port;
}

int ListeningTcpSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const Endpoint local = LoopbackEndpoint(0);
  EXPECT_EQ(bind(fd, local.address(), local.size()), 0);
  EXPECT_EQ(listen(fd, 1), 0);
  return fd;
}

std::string HttpGet(const Endpoint& server, const std::string& path) {
  const int fd = socket(server.is_v6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval wait{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string answer;
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: relay\r\n\r\n";
  if (connect(fd, server.address(), server.size()) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
      answer.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

void ExpectTransfer(const std::string& log, const std::string& part, const Transfer& carried) {
  const size_t at = log.find(part);
  ASSERT_NE(at, std::string::npos) << "no line holds \"" << part << "\":\n" << log;
  const size_t begin = log.rfind('\n', at) + 1;
  const std::string line = log.substr(begin, log.find('\n', at) - begin);
  const std::pair<const char*, uint64_t> counts[] = {
      {" to_server_datagrams=", carried.to_server_datagrams},
      {" to_server_bytes=", carried.to_server_bytes},
      {" to_client_datagrams=", carried.to_client_datagrams},
      {" to_client_bytes=", carried.to_client_bytes}};
  for (const auto& [key, expected] : counts) {
    const size_t value = line.find(key);
    EXPECT_TRUE(value != std::string::npos &&
                std::stoull(line.substr(value + std::strlen(key))) == expected)
        << key << expected << " in " << line;
  }
}

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

std::string ShownPath(const TempDir& dir, const std::string& name) {
  std::string path = std::filesystem::canonical(dir.path()).string() + "/" + name;
  if (UnderWine()) {
    std::replace(path.begin(), path.end(), '/', '\\');
    path = "Z:" + path;
  }
  return path;
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
  return {.terminal = Terminal::kNone, .binary = binary, .arguments = std::move(arguments)};
}

bool BecomesBound(RunningProgram& server, uint16_t port, int timeout_ms) {
  bool bound = false;
  PollUntil(timeout_ms, [&] {
    const int fd = BindUdp(port);
    bound = fd < 0;
    return bound || close(fd) != 0 || !server.Running();
  });
  return bound;
}

std::string HowItFares(RunningProgram& program) {
  const std::optional<int> status = program.WaitForExit(0);
  std::string text =
      !status                ? "still running"
      : WIFEXITED(*status)   ? "exited with status " + std::to_string(WEXITSTATUS(*status))
      : WIFSIGNALED(*status) ? "killed by signal " + std::to_string(WTERMSIG(*status))
                             : "ended with wait status " + std::to_string(*status);
  return text + "; standard error: \"" + program.Errors(0) + "\"; standard output: \"" +
         program.RestOfOutput(0) + "\"";
}

}  // namespace tavorin::testing
