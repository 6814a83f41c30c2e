// Three relays behind the kernel's own distributor, as docs/operations.md ("Many instances
// behind a balancer") runs a fleet: on a gateway host an nftables rule hashes each client's
// address and port over three relay hosts, one server stands behind them all, and 300 clients
// share a host of their own. Every client keeps one relay for its whole life, nothing is lost,
// the relays' metrics add up to what the clients counted, and a relay told to stop drains: its
// health check says 503 while it serves its clients on, until their links go idle and it ends.
#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/net_host.h"
#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

constexpr int kClients = 300;
constexpr int kInstances = 3;
constexpr uint16_t kProxyPort = 40000;
constexpr uint16_t kServerPort = 41000;
constexpr char kServiceAddress[] = "192.0.2.1";  // the gateway's, where the clients send
constexpr char kServerAddress[] = "198.51.100.2";
// Datagrams in flight at once: well within every socket buffer on the way.
constexpr size_t kBatch = 50;
constexpr int kReplyDeadlineMs = 10000;

std::string InstanceAddress(int i) {
  return "198.51.100.1" + std::to_string(i + 1);
}
Endpoint StatusEndpoint(int i) {
  return At(InstanceAddress(i).c_str(), static_cast<uint16_t>(9151 + i));
}

// The first bytes of a datagram name its client and round; the rest is a pattern of theirs.
Bytes Request(int client, unsigned round) {
  Bytes data = Pattern(20 + (client * 7 + round * 13) % 180, client * 16 + round);
  data[0] = static_cast<unsigned char>(client >> 8);
  data[1] = static_cast<unsigned char>(client);
  data[2] = static_cast<unsigned char>(round);
  return data;
}
Bytes Twice(const Bytes& data) {
  Bytes both = data;
  both.insert(both.end(), data.begin(), data.end());
  return both;
}

// The server: answers every datagram with its bytes twice (so that the counts of the two ways
// differ), and notes the endpoints each client came from, which are the relays' links.
class FleetServer {
 public:
  explicit FleetServer(const Host& host) {
    host.In([&] { socket_.emplace(At(kServerAddress, kServerPort)); });
    thread_ = std::thread([this] { Run(); });
  }
  ~FleetServer() {
    running_ = false;
    thread_.join();
  }
  FleetServer(const FleetServer&) = delete;
  FleetServer& operator=(const FleetServer&) = delete;

  std::map<int, std::set<std::string>> Seen() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return seen_;
  }

 private:
  void Run() {
    while (running_) {
      const std::optional<Received> got = socket_->Receive(100);
      if (!got || got->data.size() < 3)
        continue;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        seen_[got->data[0] << 8 | got->data[1]].insert(EndpointText(got->from));
      }
      socket_->SendTo(Twice(got->data), got->from);
    }
  }

  std::optional<UdpPeer> socket_;
  mutable std::mutex mutex_;
  std::map<int, std::set<std::string>> seen_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// The clients, a socket each on one host, and what they counted.
struct Clients {
  std::vector<UdpPeer> peers;
  Transfer counted;  // to the server: sent; to the client: the right replies received
  int lost = 0;      // requests with no reply, or a wrong one

  // Every client sends one datagram of `round` to the service and takes its reply, `batch`
  // clients at a time.
  void Round(unsigned round, size_t batch) {
    const std::string service = std::string(kServiceAddress) + ":" + std::to_string(kProxyPort);
    for (size_t first = 0; first < peers.size(); first += batch) {
      const size_t end = std::min(peers.size(), first + batch);
      for (size_t i = first; i < end; ++i) {
        const Bytes request = Request(static_cast<int>(i), round);
        peers[i].SendTo(request, At(kServiceAddress, kProxyPort));
        counted.to_server_datagrams += 1;
        counted.to_server_bytes += request.size();
      }
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyDeadlineMs);
      for (size_t i = first; i < end; ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const std::optional<Received> reply =
            peers[i].Receive(static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (reply && reply->data == Twice(Request(static_cast<int>(i), round)) &&
            EndpointText(reply->from) == service) {
          counted.to_client_datagrams += 1;
          counted.to_client_bytes += reply->data.size();
        } else {
          ++lost;
        }
      }
    }
  }
};

// The sum of a metric over its labels in a Prometheus text answer; nothing when it is absent.
std::optional<uint64_t> Sum(const std::string& metrics, const std::string& name) {
  std::optional<uint64_t> sum;
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + "{", 0) == 0 || line.rfind(name + " ", 0) == 0)
      sum = sum.value_or(0) + std::stoull(line.substr(line.rfind(' ') + 1));
  }
  return sum;
}

TEST(Program, ManyInstancesBehindAHashingBalancer) {
  if (UnderWine())
    GTEST_SKIP() << "the namespaces and the balancing rule are Linux's";
  if (const std::string missing = NoNamespaces(); !missing.empty())
    GTEST_SKIP() << missing;
  Host client_host;
  Host gateway;
  Host server_host;
  std::array<Host, kInstances> relay_hosts;
  bool made = client_host.Made() && gateway.Made() && server_host.Made();
  for (const Host& host : relay_hosts)
    made = made && host.Made();
  if (!made)
    GTEST_SKIP() << "no network namespace can be had here";

  // The gateway takes the clients' side on one veth and bridges the relays and the server on
  // the other side; its rule spreads the clients over the relays, and its connection tracking
  // gives each relay's replies the service's address back.
  std::string wiring = "ip link add c0 type veth peer name e0 netns " + client_host.Path() +
                       "; ip addr add 192.0.2.1/24 dev c0; ip link set c0 up"
                       "; ip link add br0 type bridge; ip addr add 198.51.100.1/24 dev br0"
                       "; ip link set br0 up; echo 1 >/proc/sys/net/ipv4/ip_forward";
  std::string spread;
  for (int i = 0; i < kInstances; ++i) {
    const std::string port = "r" + std::to_string(i);
    wiring += "; ip link add " + port + " type veth peer name e0 netns " + relay_hosts[i].Path() +
              "; ip link set " + port + " master br0; ip link set " + port + " up";
    spread += (i == 0 ? "" : ", ") + std::to_string(i) + " : " + InstanceAddress(i);
  }
  wiring += "; ip link add s0 type veth peer name e0 netns " + server_host.Path() +
            "; ip link set s0 master br0; ip link set s0 up"
            "; nft 'table ip fleet { chain prerouting { type nat hook prerouting priority dstnat;"
            " ip daddr " +
            kServiceAddress + " udp dport " + std::to_string(kProxyPort) +
            " dnat to jhash ip saddr . udp sport mod " + std::to_string(kInstances) + " map { " +
            spread + " }; }; }'";
  ASSERT_TRUE(gateway.Run(wiring));
  ASSERT_TRUE(client_host.Run("ip addr add 192.0.2.2/24 dev e0; ip link set e0 up"));
  ASSERT_TRUE(server_host.Run(std::string("ip addr add ") + kServerAddress +
                              "/24 dev e0; ip link set e0 up"));
  for (int i = 0; i < kInstances; ++i) {
    ASSERT_TRUE(relay_hosts[i].Run("ip addr add " + InstanceAddress(i) +
                                   "/24 dev e0; ip link set e0 up"
                                   "; ip route add 192.0.2.0/24 via 198.51.100.1"));
  }

  FleetServer server(server_host);
  std::array<std::optional<StartedRelay>, kInstances> relays;
  for (int i = 0; i < kInstances; ++i) {
    relay_hosts[i].In([&] {
      relays[i].emplace(RelaySetup{
          .proxy = "IdleTimeout=10\nDrainSeconds=60\nStatusAddress=" +
                   EndpointText(StatusEndpoint(i)) + "\n",
          .launch = {.terminal = Terminal::kNone},
          .port = kProxyPort,
          .server_port = kServerPort,
          .server_ip = kServerAddress,
      });
    });
  }
  // Asked from the gateway, as a balancer's health check or a scraper would.
  const auto status = [&](int i, const std::string& path) {
    std::string answer;
    gateway.In([&] { answer = HttpGet(StatusEndpoint(i), path); });
    return answer;
  };
  const auto answers = [&](int i, const std::string& first_line) {
    return status(i, "/health").rfind("HTTP/1.1 " + first_line + "\r\n", 0) == 0;
  };
  for (int i = 0; i < kInstances; ++i)
    ASSERT_TRUE(PollUntil(10000, [&] { return answers(i, "200 OK"); })) << status(i, "/health");

  Clients clients;
  clients.peers.reserve(kClients);
  client_host.In([&] {
    for (int i = 0; i < kClients; ++i)
      clients.peers.emplace_back(At("192.0.2.2", 0));
  });
  const auto started = std::chrono::steady_clock::now();
  // The first datagram of each alone, so that the neighbours are learnt before the batches.
  clients.Round(0, 1);
  for (unsigned round = 1; round < 10; ++round)
    clients.Round(round, kBatch);
  ASSERT_EQ(clients.lost, 0);

  // One relay drains: its health check turns at once, and its clients go on being served.
  constexpr int kDrained = 0;
  relays[kDrained]->Signal(SIGTERM);
  ASSERT_TRUE(PollUntil(10000, [&] { return answers(kDrained, "503 Service Unavailable"); }))
      << status(kDrained, "/health");
  EXPECT_NE(status(kDrained, "/health").find("draining: "), std::string::npos);
  for (unsigned round = 10; round < 15; ++round)
    clients.Round(round, kBatch);
  EXPECT_EQ(clients.lost, 0) << "datagrams lost, some while a relay drained";
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(answers(kDrained, "503 Service Unavailable")) << "the drain is not over yet";
  ::testing::Test::RecordProperty(
      "rounds_ms",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

  // Each client came through one relay, on one link, for its whole life.
  const std::map<int, std::set<std::string>> seen = server.Seen();
  EXPECT_EQ(seen.size(), static_cast<size_t>(kClients));
  std::map<std::string, uint64_t> clients_of;  // by relay address
  for (const auto& [client, links] : seen) {
    EXPECT_EQ(links.size(), 1u) << "client " << client << " came through more than one link";
    const std::string& link = *links.begin();
    clients_of[link.substr(0, link.find(':'))] += 1;
  }

  // The relays' figures add up to what the clients counted, and each relay's links to the
  // clients the server saw through it.
  const std::pair<const char*, const uint64_t*> totals[] = {
      {"tavorin_to_server_datagrams_total", &clients.counted.to_server_datagrams},
      {"tavorin_to_server_bytes_total", &clients.counted.to_server_bytes},
      {"tavorin_to_client_datagrams_total", &clients.counted.to_client_datagrams},
      {"tavorin_to_client_bytes_total", &clients.counted.to_client_bytes},
  };
  std::array<std::string, kInstances> metrics;
  const auto sum_over_relays = [&](const char* name) {
    uint64_t sum = 0;
    for (const std::string& text : metrics)
      sum += Sum(text, name).value_or(0);
    return sum;
  };
  // The return threads count a reply just after sending it.
  PollUntil(kReplyDeadlineMs, [&] {
    for (int i = 0; i < kInstances; ++i)
      metrics[i] = status(i, "/metrics");
    for (const auto& [name, counted] : totals) {
      if (sum_over_relays(name) != *counted)
        return false;
    }
    return true;
  });
  for (const auto& [name, counted] : totals)
    EXPECT_EQ(sum_over_relays(name), *counted) << name;
  EXPECT_EQ(sum_over_relays("tavorin_datagrams_refused_total"), 0u);
  for (int i = 0; i < kInstances; ++i) {
    const uint64_t served = clients_of[InstanceAddress(i)];
    EXPECT_GT(served, 0u) << "the rule sent no client to " << InstanceAddress(i);
    EXPECT_EQ(Sum(metrics[i], "tavorin_links_made_total"), served) << metrics[i];
    EXPECT_EQ(Sum(metrics[i], "tavorin_links_held"), served) << metrics[i];
    EXPECT_EQ(Sum(metrics[i], "tavorin_draining"), i == kDrained ? 1u : 0u) << metrics[i];
    ::testing::Test::RecordProperty("clients_of_" + InstanceAddress(i), static_cast<int>(served));
  }

  // The drained relay's links go idle ten seconds on, and its stop follows.
  EXPECT_TRUE(ExitedWith(relays[kDrained]->WaitForExit(45000), 0));
  EXPECT_NE(relays[kDrained]->Errors().find("(every link has gone idle); 0 links left"),
            std::string::npos);
  for (int i = 0; i < kInstances; ++i) {
    if (i == kDrained)
      continue;
    relays[i]->Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(relays[i]->WaitForExit(20000), 0)) << InstanceAddress(i);
  }
}

}  // namespace
}  // namespace tavorin::testing
