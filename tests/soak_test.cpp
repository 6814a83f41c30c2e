// 1,000 clients x 1,000 datagrams each through the built relay, across both port pairs: every
// reply checked byte for byte, none lost, none to the wrong client, while reloads change the
// links' rules under them; then a key ends it cleanly.
#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <unistd.h>
#include <csignal>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/echo_server.h"
#include "tests/program_checks.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {
namespace {

constexpr int kClients = 1000;
constexpr uint32_t kDatagrams = 1000;
constexpr int kWindow = 2;

// The datagram `sequence` of client `id`: its own length and bytes, the two numbers first.
Bytes Expected(uint32_t id, uint32_t sequence) {
  size_t length = 8 + (id * 131u + sequence * 17u) % 513u;  // 8 to 520 bytes
  Bytes b = Pattern(length, id * 7919u + sequence);
  std::memcpy(b.data(), &id, 4);
  std::memcpy(b.data() + 4, &sequence, 4);
  return b;
}

struct Client {
  int fd;
  uint32_t next = 0;      // the next sequence number to send
  uint32_t answered = 0;  // replies received, each checked
  std::vector<bool> seen = std::vector<bool>(kDatagrams);
};

TEST(Soak, AThousandClientsAThousandDatagramsEachNothingLostOrMixedUp) {
  EchoServer echo;
  StartedRelay relay({.proxy = "IdleTimeout=3600\n", .server_port = echo.port()});
  const uint16_t port = relay.port;
  // Every reload publishes a new route (the rules change), which every thread then reads.
  auto reload = [&](int n) {
    relay.dir.Write("TAVORIN.INI",
                    Ini(port, echo.port(), "IdleTimeout=" + std::to_string(3600 + n % 2) + "\n"));
    kill(relay.pid(), SIGUSR1);
  };

  int ep = epoll_create1(0);
  std::vector<Client> clients(kClients);
  auto send_next = [&](uint32_t id) {
    Client& c = clients[id];
    Bytes b = Expected(id, c.next++);
    ASSERT_EQ(send(c.fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
  };
  for (uint32_t id = 0; id < kClients; ++id) {
    Client& c = clients[id];
    c.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    Endpoint to = LoopbackEndpoint(static_cast<uint16_t>(port + id % 2));
    ASSERT_EQ(connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    epoll_event e{EPOLLIN, {}};
    e.data.u32 = id;
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
  }
  for (uint32_t id = 0; id < kClients; ++id) {
    for (int w = 0; w < kWindow; ++w)
      send_next(id);
  }

  uint64_t answered = 0;
  uint64_t wrong = 0;
  int reloads = 0;
  const uint64_t total = uint64_t{kClients} * kDatagrams;
  auto last_progress = std::chrono::steady_clock::now();
  auto start = last_progress;
  epoll_event events[256];
  unsigned char in[2048];
  while (answered < total) {
    int n = epoll_wait(ep, events, 256, 100);
    for (int i = 0; i < n; ++i) {
      uint32_t id = events[i].data.u32;
      Client& c = clients[id];
      ssize_t got;
      while ((got = recv(c.fd, in, sizeof in, 0)) > 0) {
        uint32_t who;
        uint32_t sequence;
        std::memcpy(&who, in, 4);
        std::memcpy(&sequence, in + 4, 4);
        if (who != id || sequence >= c.next || c.seen[sequence] ||
            Expected(id, sequence) != Bytes(in, in + got)) {
          ++wrong;
          continue;
        }
        c.seen[sequence] = true;
        ++c.answered;
        ++answered;
        if (c.next < kDatagrams)
          send_next(id);
      }
    }
    if (n > 0)
      last_progress = std::chrono::steady_clock::now();
    if (answered / 50000 > static_cast<uint64_t>(reloads))
      reload(++reloads);
    ASSERT_LT(std::chrono::steady_clock::now() - last_progress, std::chrono::seconds(10))
        << answered << " of " << total << " answered; the rest is lost";
    ASSERT_EQ(wrong, 0u) << "a reply was corrupted, repeated or for another client";
  }
  auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("round_trips_per_second", static_cast<int>(static_cast<double>(total) / took));
  std::printf("soak: %llu round trips in %.1f s, none lost or wrong\n",
              static_cast<unsigned long long>(total), took);
  // /proc/self/../PID is the relay's own directory.
  EXPECT_GE(CountEntries("../" + std::to_string(relay.pid()) + "/task"), 3 + kClients)
      << "a return thread per client";

  for (auto& c : clients)
    close(c.fd);
  close(ep);
  relay.Type("q");
  std::optional<int> status = relay.WaitForExit(10000);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
      << "status " << *status << " (a leak report under LeakSanitizer ends with 23)\n"
      << relay.Errors();
}

}  // namespace
}  // namespace tavorin::testing
