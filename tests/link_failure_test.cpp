// A new client for which no socket or thread can be had is dropped; everyone else is served.
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/relay_fixture.h"
#include "tests/thread_gate_double.h"

namespace tavorin::testing {
namespace {

// Takes every free descriptor below the current limit, so that the next socket() fails.
class DescriptorExhaustion {
 public:
  DescriptorExhaustion() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = 256;
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = dup(0)) >= 0;)
      held_.push_back(fd);
  }
  ~DescriptorExhaustion() {
    for (int fd : held_)
      close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<int> held_;
};

// The step that fails for the newcomer: no descriptor for its socket, or no thread.
class NewClientWithout : public RelayTest, public ::testing::WithParamInterface<Step> {};

TEST_P(NewClientWithout, IsDroppedLeavingNothingOpenAndTriesAgainWhileOthersAreServed) {
  UdpPeer known;
  UdpPeer newcomer;
  Received known_link = Forward(known, Pattern(4, 1), port_a(), server_a_);
  const int fds_before = CountEntries("fd");
  const int tasks_before = CountEntries("task");
  std::optional<DescriptorExhaustion> exhaustion;
  if (GetParam() == Step::kSocket)
    exhaustion.emplace();
  else
    FailThreadStarts(1);
  newcomer.SendTo(Pattern(4, 2), port_a());
  EXPECT_TRUE(server_a_.Silent(300)) << "the newcomer's datagram is dropped";
  EXPECT_EQ(Forward(known, Pattern(4, 3), port_a(), server_a_).data, Pattern(4, 3));
  server_a_.SendTo(Pattern(6, 4), known_link.from);
  EXPECT_EQ(known.ReceiveData(), Pattern(6, 4)) << "the known client is still served";
  exhaustion.reset();

  EXPECT_EQ(CountEntries("fd", fds_before), fds_before) << "the failed link left nothing open";
  EXPECT_EQ(CountEntries("task", tasks_before), tasks_before);
  EXPECT_EQ(a_.counters().datagrams_refused(), 1u);
  EXPECT_EQ(a_.counters().clients_refused(), 1u);
  EXPECT_EQ(a_.counters().last_refusal().step(), GetParam());
  if (GetParam() == Step::kSocket) {
    EXPECT_EQ(a_.counters().last_refusal().error(), EMFILE);
  }
  Received late = Forward(newcomer, Pattern(4, 5), port_a(), server_a_);
  EXPECT_EQ(late.data, Pattern(4, 5)) << "the newcomer's next datagram makes its link";
  a_.Stop();  // the link is counted after its first datagram has gone
  EXPECT_EQ(a_.counters().links_made(), 2u);
  EXPECT_EQ(a_.links().count(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Relay, NewClientWithout, ::testing::Values(Step::kSocket, Step::kThread),
                         [](const ::testing::TestParamInfo<Step>& row) {
                           return row.param == Step::kSocket ? "ADescriptor" : "AThread";
                         });

TEST(ListenerStart, NoThreadMeansStartFailsWithNothingLeftOpen) {
  const int fds_before = CountEntries("fd");
  Listener listener;
  FailThreadStarts(1);
  Outcome failed = listener.Start(0);
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.step(), Step::kThread);
  EXPECT_FALSE(listener.Started());
  EXPECT_EQ(CountEntries("fd", fds_before), fds_before);
  EXPECT_TRUE(listener.Start(0));
}

// Runs `body` in a child process in a network namespace of its own, with loopback up and the
// namespace's settings under /proc/sys/net as `sysctls` give them: the exit status of `body`
// (0 when all held, else the check that failed), or 77 when no namespace can be had.
using Sysctls = std::vector<std::pair<std::string, std::string>>;
int InOwnNetwork(const Sysctls& sysctls, const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0)
      _exit(77);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &loopback) != 0)
      _exit(77);
    loopback.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &loopback) != 0)
      _exit(77);
    close(s);
    for (const auto& [name, value] : sysctls) {
      std::ofstream setting("/proc/sys/net/" + name);
      if (!(setting << value << "\n").flush())
        _exit(77);
    }
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return 1;
  return WEXITSTATUS(status);
}

#define EXPECT_IN_OWN_NETWORK(sysctls, body)                       \
  do {                                                             \
    if (geteuid() != 0)                                            \
      GTEST_SKIP() << "a network namespace of its own needs root"; \
    int status = InOwnNetwork(sysctls, body);                      \
    if (status == 77)                                              \
      GTEST_SKIP() << "no network namespace can be had here";      \
    EXPECT_EQ(status, 0) << "the check that failed";               \
  } while (false)

// The ephemeral range holds four ports, two of them the server's: links take the other two,
// and newcomers beyond them are refused.
TEST(LinkPorts, ALinkNeverKeepsAPortOfTheServerOnThisHost) {
  EXPECT_IN_OWN_NETWORK((Sysctls{{"ipv4/ip_local_port_range", "41000 41003"}}), [] {
    LoopGuard guard;
    PublishedRoute route;
    Route servers;
    servers.SetServer(0, LoopbackEndpoint(41000));  // here, and down for now
    servers.SetServer(1, LoopbackEndpoint(41001));
    Publish(route, servers);
    Listener listener;
    listener.SetRoute(&route, 0);
    listener.SetLoopGuard(&guard);
    if (!listener.Start(45000))
      return 2;
    std::vector<std::unique_ptr<UdpPeer>> clients;
    for (uint16_t i = 0; i < 4; ++i) {
      clients.push_back(std::make_unique<UdpPeer>(static_cast<uint16_t>(46000 + i)));
      clients.back()->SendTo(Pattern(8, i), 45000);
    }
    Settle(
        [&] {
          return static_cast<int>(listener.counters().links_made() +
                                  listener.counters().datagrams_refused());
        },
        4);
    listener.Stop();
    for (const ClientNode* node = listener.links().head(); node; node = node->next.get()) {
      const uint16_t port = node->item->LocalPort();
      if (port == 41000 || port == 41001)
        return 3;  // a link took a port of the server's
    }
    return listener.links().count() == 2 && listener.counters().datagrams_refused() == 2 ? 0 : 4;
  });
}

// A TFTP-like server answers from a port of its own and lets it go; with two ports to give, the
// system hands that port to the next new client's link. The first link's next datagram goes to
// the server's own port, never to the other client's link, which would pass it to that client.
int FollowedPortGoesToAnotherLink() {
  for (int round = 0; round < 5; ++round) {
    UdpPeer server(40000);
    LoopGuard guard;
    Listener listener;
    listener.SetServer(server.endpoint());
    listener.SetRules({.follow_server_port = true});
    listener.SetLoopGuard(&guard);
    if (!listener.Start(45000))
      return 2;
    UdpPeer first(46000);
    UdpPeer second(46001);
    first.SendTo(Pattern(8, 1), 45000);
    std::optional<Received> got = server.Receive();
    if (!got)
      return 3;
    auto transfer = std::make_unique<UdpPeer>(0);  // takes the range's other port
    transfer->SendTo(Pattern(8, 2), got->from);
    if (!first.Receive())
      return 4;
    transfer.reset();
    second.SendTo(Pattern(8, 3), 45000);  // its link gets the port just let go
    if (!server.Receive())
      return 5;
    first.SendTo(Pattern(8, 4), 45000);
    got = server.Receive();
    if (!got || got->data != Pattern(8, 4))
      return 6;
    if (!second.Silent(200))
      return 7;  // the first client's datagram reached the second client
    if (listener.port_counters().follow_refused() != 1)
      return 8;
  }
  return 0;
}

TEST(LinkPorts, AFollowedPortHandedToAnotherLinkIsNeverSentTo) {
  EXPECT_IN_OWN_NETWORK((Sysctls{{"ipv4/ip_local_port_range", "41000 41001"}}),
                        FollowedPortGoesToAnotherLink);
}

// Forged clients on every port of a four-port ephemeral range, round after round: a link that
// took its own client's port would pass the server's reply to itself through the listening
// port for ever. No link keeps a client's port, each reply goes out once, and the clients
// whose port a link holds are dropped as loops.
TEST(LinkPorts, ALinkNeverKeepsAPortOfAClient) {
  if (geteuid() != 0)
    GTEST_SKIP() << "forging a source address takes a raw socket, which takes root";
  EXPECT_IN_OWN_NETWORK((Sysctls{{"ipv4/ip_local_port_range", "42140 42143"}}), [] {
    for (int round = 0; round < 12; ++round) {
      UdpPeer server(41500);
      LoopGuard guard;
      Listener listener;
      listener.SetServer(server.endpoint());
      listener.SetLoopGuard(&guard);
      if (!listener.Start(45000))
        return 2;
      for (uint16_t port = 42140; port <= 42143; ++port) {
        if (!SendForged(LoopbackEndpoint(port), LoopbackEndpoint(45000), Pattern(8, port)))
          return 3;
      }
      // Each forged client has a link or is dropped as a loop.
      const PortCounters& counts = listener.port_counters();
      const int links =
          Settle(
              [&] {
                return static_cast<int>(listener.counters().links_made() + counts.dropped_loop());
              },
              4) -
          static_cast<int>(counts.dropped_loop());
      if (links < 1 || counts.dropped_loop() == 0 || listener.counters().datagrams_refused() != 0)
        return 4;
      // The server answers each link once.
      for (int answered = 0; answered < links; ++answered) {
        std::optional<Received> got = server.Receive();
        if (!got)
          return 5;
        server.SendTo(got->data, got->from);
      }
      listener.Stop();
      // Sent, or refused by the system: nobody holds a forged client's port.
      int to_clients = Settle([&] {
        uint64_t sum = counts.send_failed_to_client();
        for (const ClientNode* node = listener.links().head(); node; node = node->next.get())
          sum += node->item->to_client().datagrams;
        return static_cast<int>(sum);
      });
      if (to_clients != links)
        return 6;  // a reply went round
      for (const ClientNode* node = listener.links().head(); node; node = node->next.get()) {
        for (const ClientNode* other = listener.links().head(); other; other = other->next.get()) {
          if (node->item->LocalPort() == ntohs(other->item->client().port_net()))
            return 7;  // a link on a client's port, its own or another's
        }
      }
    }
    return 0;
  });
}

// Where every address binds (high-availability pairs set net.ipv4.ip_nonlocal_bind), a remote
// address is still no address of this host: a relay in front of a remote server on its own
// port numbers starts, and remote clients on the server's port are served.
TEST(LinkPorts, AnAddressThatMerelyBindsIsNotThisHosts) {
  EXPECT_IN_OWN_NETWORK((Sysctls{{"ipv4/ip_nonlocal_bind", "1"}}), [] {
    if (IsAddressOfThisHost(MakeEndpoint(inet_addr("198.51.100.7"), 0)))
      return 2;
    return IsAddressOfThisHost(MakeEndpoint(Loopback(9), 0)) ? 0 : 3;
  });
}

}  // namespace
}  // namespace tavorin::testing
