// The relay engine over real sockets on loopback.
#include <arpa/inet.h>
#include <dirent.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "relay/network_list.h"
#include "relay/proxy_header.h"
#include "relay/receive_loop.h"
#include "tests/listener_probe.h"
#include "tests/program_checks.h"
#include "tests/relay_fixture.h"

namespace tavorin::testing {
namespace {

// The clients played through ListenerProbe have ten neighbouring ports, PlayedPort(0) to
// PlayedPort(9), held on every address of both families for the whole run, so that no server or
// link of this process has one: a datagram from a server or a link is never taken for theirs.
uint16_t PlayedPort(int k) {
  static const uint16_t first = [] {
    for (uint16_t at = 40000; at < 60000; at += 10) {
      std::vector<int> held;
      for (uint16_t port = at; port < at + 10; ++port) {
        const int fd = BindUdp(MakeEndpoint6(in6addr_any, htons(port)));
        if (fd < 0)
          break;
        held.push_back(fd);
      }
      if (held.size() == 10)
        return at;  // and held until the run ends
      for (int fd : held)
        ::close(fd);
    }
    ADD_FAILURE() << "no ten neighbouring UDP ports could be held for the played clients";
    return uint16_t{0};
  }();
  return static_cast<uint16_t>(first + k);
}
const uint16_t played_ports_held = PlayedPort(0);

// Each listener relays byte for byte to its own server, on a link of its own, and the replies
// come back through the listener the client sent to, whichever link is answered first.
TEST_F(RelayTest, EachListenerRelaysToItsOwnServerByteForByteAndRepliesThroughItself) {
  UdpPeer client;
  Endpoint links[2];
  for (size_t size : {1u, 2u, 64u, 519u, 520u}) {
    for (int b = 0; b < 2; ++b) {  // P, then P + 1
      const Bytes request = Pattern(size, static_cast<unsigned>(size) + b);
      const Received at_server = Forward(client, request, b ? port_b() : port_a(), *servers_[b]);
      EXPECT_EQ(at_server.data, request) << size << " bytes to server " << b;
      links[b] = at_server.from;
    }
    for (int b = 1; b >= 0; --b) {
      const Bytes reply = Pattern(size, static_cast<unsigned>(size) + 1000 + b);
      servers_[b]->SendTo(reply, links[b]);
      auto at_client = client.Receive();
      ASSERT_TRUE(at_client.has_value()) << size << " bytes back from server " << b;
      EXPECT_EQ(at_client->data, reply);
      EXPECT_EQ(ntohs(at_client->from.port_net()), b ? port_b() : port_a()) << "from the listener";
    }
  }
  EXPECT_NE(links[0].port_net(), links[1].port_net()) << "one link in each listener";
  EXPECT_TRUE(server_a_.Silent(100) && server_b_.Silent(0)) << "a server got another's datagram";
}

TEST_F(RelayTest, ClientsAreToldApartByPortAndKeepTheirLinks) {
  UdpPeer first;
  UdpPeer second;
  uint16_t link_first = Forward(first, Pattern(5, 1), port_a(), server_a_).from.v4.sin_port;
  uint16_t link_second = Forward(second, Pattern(5, 2), port_a(), server_a_).from.v4.sin_port;
  EXPECT_NE(link_first, link_second) << "two ports of one host get two links";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Forward(first, Pattern(5, 3), port_a(), server_a_).from.v4.sin_port, link_first);
    EXPECT_EQ(Forward(second, Pattern(5, 4), port_a(), server_a_).from.v4.sin_port, link_second);
  }
  // What reaches a link goes to its own client only, whichever host sent it.
  UdpPeer stranger(0, 2);  // 127.0.0.2, not the server
  stranger.SendTo(Pattern(7, 5), LoopbackEndpoint(ntohs(link_second)));
  EXPECT_EQ(second.ReceiveData(), Pattern(7, 5));
  EXPECT_TRUE(first.Silent());
  a_.Stop();  // a link is counted after its first datagram has gone
  EXPECT_EQ(a_.links().count(), 2u);
  EXPECT_EQ(a_.counters().links_made(), 2u);
  EXPECT_EQ(a_.counters().datagrams_refused(), 0u);
  EXPECT_EQ(b_.counters().links_made(), 0u);
}

TEST_F(RelayTest, FindClientComparesFamilyAddressAndPortOnly) {
  a_.Stop();  // the table is driven from this thread below
  Endpoint source = LoopbackEndpoint(PlayedPort(0));
  std::memset(source.v4.sin_zero, 0xAB, sizeof source.v4.sin_zero);
  ListenerProbe::Relay(a_, "x", 1, source);
  ASSERT_EQ(a_.links().count(), 1u);
  ClientLink* link = a_.links().head()->item.get();
  EXPECT_EQ(std::memcmp(&link->client(), &source, sizeof source), 0) << "kept whole";

  const Endpoint same = LoopbackEndpoint(PlayedPort(0));  // no padding
  EXPECT_EQ(a_.FindClient(same), link);
  EXPECT_EQ(a_.FindClient(LoopbackEndpoint(PlayedPort(1))), nullptr);
  EXPECT_EQ(a_.FindClient(LoopbackEndpoint(PlayedPort(0), 2)), nullptr);
  EXPECT_EQ(a_.FindClient(MakeEndpoint6(in6addr_loopback, htons(PlayedPort(0)))), nullptr);
  EXPECT_EQ(a_.FindClient(Mapped(source)), nullptr) << "sources come in IPv4 form";

  ListenerProbe::Relay(a_, "y", 1, same);
  EXPECT_EQ(a_.links().count(), 1u) << "a known client makes no new link";
  ListenerProbe::Relay(a_, "z", 1, LoopbackEndpoint(PlayedPort(0), 2));
  EXPECT_EQ(a_.links().count(), 2u);
  EXPECT_EQ(a_.FindClient(source), link);
}

TEST_F(RelayTest, StartTakesThePortModulo65536AndReportsAPortInUse) {
  Listener wrapped;
  ASSERT_TRUE(wrapped.Start(65536));
  EXPECT_NE(wrapped.LocalPort(), 0) << "port 0 binds an ephemeral port";

  Listener clash;
  EXPECT_FALSE(clash.Start(static_cast<int32_t>(port_a()) - 65536)) << "same low 16 bits";
  EXPECT_FALSE(clash.Start(port_a()));
  EXPECT_FALSE(clash.Started());
  clash.Stop();
  clash.Stop();

  Listener never_started;
  never_started.Stop();
  EXPECT_FALSE(never_started.Started());
}

TEST_F(RelayTest, AfterStopRepliesAreNotDelivered) {
  UdpPeer client;
  Received at_server = Forward(client, Pattern(12), port_a(), server_a_);
  a_.Stop();
  EXPECT_FALSE(a_.Started());
  server_a_.SendTo(Pattern(12, 1), at_server.from);
  EXPECT_TRUE(client.Silent(300));
  client.SendTo(Pattern(12, 2), port_a());
  EXPECT_TRUE(server_a_.Silent(200)) << "nothing is received once stopped";
  // The other listener is untouched.
  Forward(client, Pattern(3), port_b(), server_b_);
}

TEST_F(RelayTest, RepliesLeaveFromTheAddressTheClientSentTo) {
  // A connected client socket takes datagrams from its peer only: 127.0.0.3 here, while the
  // routing would pick 127.0.0.1 as the source of a reply to 127.0.0.1.
  UdpPeer client;
  Endpoint third = LoopbackEndpoint(port_a(), 3);
  client.Connect(third);
  client.SendTo(Pattern(30, 1), third);
  auto at_server = server_a_.Receive();
  ASSERT_TRUE(at_server.has_value());
  server_a_.SendTo(Pattern(40, 2), at_server->from);
  auto r = client.Receive();
  ASSERT_TRUE(r.has_value()) << "the reply came from another address";
  EXPECT_EQ(r->from.v4.sin_addr.s_addr, Loopback(3));
  EXPECT_EQ(r->data, Pattern(40, 2));
}

// (The servers' own sockets sending to both listening ports for real is the built relay's test,
// DatagramsFromTheServersPortsStartNoLoop.)
TEST_F(RelayTest, DatagramsFromTheServersOrTheRelaysOwnEndpointsGoNowhere) {
  UdpPeer client;
  const uint16_t link =
      ntohs(Forward(client, Pattern(20, 3), port_a(), server_a_).from.v4.sin_port);
  a_.Stop();

  // Both servers' ports and the relay's own, a link's among them (a cycle between links needs no
  // server), as a forged source would give them, fed to the receive path.
  for (uint16_t own : {server_a_.port(), server_b_.port(), port_a(), port_b(), link}) {
    ListenerProbe::Relay(a_, "x", 1, LoopbackEndpoint(own), MakeEndpoint(Loopback(1), 0));
    ListenerProbe::Relay(a_, "x", 1, LoopbackEndpoint(own, 7), MakeEndpoint(Loopback(1), 0));
    if (std::optional<uint32_t> address = OwnNonLoopbackAddress()) {
      // Neither loopback nor the address the datagram was sent to: the system is asked.
      ListenerProbe::Relay(a_, "x", 1, MakeEndpoint(*address, htons(own)),
                           MakeEndpoint(Loopback(1), 0));
    }
  }
  EXPECT_EQ(a_.links().count(), 1u);
  EXPECT_TRUE(server_a_.Silent(200));

  // Another host whose port happens to have the same number is an ordinary client.
  ListenerProbe::Relay(a_, "y", 1, MakeEndpoint(inet_addr("198.51.100.7"), htons(port_b())),
                       MakeEndpoint(Loopback(1), 0));
  EXPECT_EQ(a_.links().count(), 2u);
  EXPECT_EQ(server_a_.ReceiveData(), Bytes{'y'});
}

// The relay never sends to its own links. Should a link hold the port of a client of this host
// (which a forged source can bring about), the relay's replies to that client would reach the
// link from a listening port, and go round: such datagrams are dropped as loops, whichever
// listening port and local address they come from, and the server's still go on.
TEST_F(RelayTest, ALinkDropsWhatComesFromTheRelaysListeningPorts) {
  if (geteuid() != 0)
    GTEST_SKIP() << "forging a source address takes a raw socket, which takes root";
  UdpPeer client;
  const Endpoint link = LoopbackEndpoint(
      ntohs(Forward(client, Pattern(20, 1), port_a(), server_a_).from.v4.sin_port));
  std::vector<Endpoint> relays = {LoopbackEndpoint(port_a()), LoopbackEndpoint(port_b()),
                                  LoopbackEndpoint(port_a(), 9)};
  if (std::optional<uint32_t> own = OwnNonLoopbackAddress())
    relays.push_back(MakeEndpoint(*own, htons(port_b())));  // the system is asked
  for (const Endpoint& from : relays)
    ASSERT_TRUE(SendForged(from, link, Pattern(10, 2)));
  server_a_.SendTo(Pattern(10, 3), link);  // behind them in the link's queue
  EXPECT_EQ(client.ReceiveData(), Pattern(10, 3));
  EXPECT_TRUE(client.Silent(200));
  EXPECT_EQ(a_.port_counters().dropped_loop(), relays.size());
}

// Refused datagrams and refused clients are counted apart: a client once in a run of refusals,
// however many datagrams it sends, and once more after a link has been made.
TEST(ListenerRefusals, CountEveryDatagramAndEachClientOnceARun) {
  UdpPeer server;
  Listener listener;  // never started: the test plays the receive thread
  listener.SetServer(server.endpoint());
  listener.SetRules({.max_links = 1});
  struct Row {
    const char* what;
    Endpoint client;
    int datagrams;
    bool room;  // the table is emptied first
    uint64_t datagrams_refused;
    uint64_t clients_refused;
  };
  const Row rows[] = {
      {"the first client gets the one link", LoopbackEndpoint(PlayedPort(1)), 1, false, 0, 0},
      {"a client sending 20 is one client", LoopbackEndpoint(PlayedPort(2)), 20, false, 20, 1},
      {"another address, the same port", LoopbackEndpoint(PlayedPort(2), 2), 1, false, 21, 2},
      {"IPv6, the same port", MakeEndpoint6(in6addr_loopback, htons(PlayedPort(2))), 1, false, 22,
       3},
      {"the first refused again", LoopbackEndpoint(PlayedPort(2)), 3, false, 25, 3},
      {"a link is made: the run ends", LoopbackEndpoint(PlayedPort(3)), 1, true, 25, 3},
      {"a new run counts the client anew", LoopbackEndpoint(PlayedPort(2)), 2, false, 27, 4},
  };
  for (const Row& row : rows) {
    if (row.room)
      listener.CloseAll(nullptr);
    for (int i = 0; i < row.datagrams; ++i)
      ListenerProbe::Relay(listener, "x", 1, row.client);
    EXPECT_EQ(listener.counters().datagrams_refused(), row.datagrams_refused) << row.what;
    EXPECT_EQ(listener.counters().clients_refused(), row.clients_refused) << row.what;
  }
  EXPECT_EQ(listener.counters().links_made(), 2u);
  EXPECT_EQ(listener.counters().last_refusal().step(), Step::kLimit);
}

NetworkList Networks(const char* text) {
  std::string problem;
  std::optional<NetworkList> list = NetworkList::Parse(text, &problem);
  EXPECT_TRUE(list.has_value()) << problem;
  return list.value_or(NetworkList());
}

// `payload` behind the header of `client`, which sent it to `destination`.
Bytes Headed(const Endpoint& client, const Endpoint& destination, const std::string& payload) {
  const ProxyHeader header = MakeProxyHeader(client, destination);
  Bytes whole(header.bytes, header.bytes + header.length);
  whole.insert(whole.end(), payload.begin(), payload.end());
  return whole;
}

// Who gets a link under AllowClients with a relay in front (ProxyProtocolFrom), a datagram at a
// time, and what the server gets: the front's header is taken off, the client it names is the
// one judged, and the server hears of it as the front told it; a header from anyone else is
// payload. A narrower list then closes the links of the clients it leaves out.
TEST(ListenerAccess, TheClientJudgedIsTheOneARelayInFrontNames) {
  UdpPeer server;
  Listener listener;  // never started: the test plays the receive thread
  listener.SetServer(server.endpoint());
  listener.SetProxyHeader(true);
  listener.SetFronts(Networks("127.0.0.5"));
  listener.SetRules({.allow_clients = Networks("127.0.0.0/30, ::1")});
  const Endpoint front = LoopbackEndpoint(40005, 5);
  const Endpoint sent_to = LoopbackEndpoint(15000, 5);  // what the front was sent to
  const Endpoint within = LoopbackEndpoint(5000, 2);
  const Endpoint v6 = Loopback6Endpoint(40002);
  struct Step {
    const char* what;
    Endpoint from;
    Bytes datagram;
    std::optional<Bytes> at_server;
    uint64_t not_allowed;
    uint64_t bad_header;
    uint32_t links;
  };
  const Bytes named = Headed(within, sent_to, "b");
  const Step steps[] = {
      {"a client within", LoopbackEndpoint(40001), Bytes{'a'},
       Headed(LoopbackEndpoint(40001), Endpoint(), "a"), 0, 0, 1},
      {"a client outside", LoopbackEndpoint(40001, 9), Bytes{'x'}, std::nullopt, 1, 0, 1},
      {"the front names a client within", front, named, named, 1, 0, 2},
      {"the front's next datagram", front, named, named, 1, 0, 2},
      {"the front names another client on that link", front,
       Headed(LoopbackEndpoint(5000, 3), sent_to, "c"), std::nullopt, 1, 1, 2},
      {"the front without a header", front, Bytes{'d'}, std::nullopt, 1, 2, 2},
      {"another port of the front names a client outside", LoopbackEndpoint(40006, 5),
       Headed(LoopbackEndpoint(5000, 66), sent_to, "e"), std::nullopt, 2, 2, 2},
      {"a header from a client is its payload", LoopbackEndpoint(40001),
       Headed(LoopbackEndpoint(1, 99), sent_to, "f"),
       [&] {
         Bytes both = Headed(LoopbackEndpoint(40001), Endpoint(), "");
         const Bytes inner = Headed(LoopbackEndpoint(1, 99), sent_to, "f");
         both.insert(both.end(), inner.begin(), inner.end());
         return both;
       }(),
       2, 2, 2},
      {"IPv6 within", v6, Bytes{'g'}, Headed(v6, Endpoint(), "g"), 2, 2, 3},
  };
  for (const Step& step : steps) {
    ListenerProbe::Relay(listener, step.datagram.data(), step.datagram.size(), step.from);
    const std::optional<Received> got = server.Receive(step.at_server ? 2000 : 100);
    EXPECT_EQ(got.has_value(), step.at_server.has_value()) << step.what;
    if (got && step.at_server) {
      EXPECT_EQ(got->data, *step.at_server) << step.what;
    }
    EXPECT_EQ(listener.counters().datagrams_not_allowed(), step.not_allowed) << step.what;
    EXPECT_EQ(listener.port_counters().dropped_proxy_header(), step.bad_header) << step.what;
    EXPECT_EQ(listener.links().count(), step.links) << step.what;
  }
  EXPECT_EQ(listener.counters().clients_not_allowed(), 2u);
  EXPECT_TRUE(
      SameAddressAndPort(listener.counters().latest_not_allowed(), LoopbackEndpoint(5000, 66)));
  const ClientLink* fronted = listener.FindClient(front);
  ASSERT_NE(fronted, nullptr);
  EXPECT_TRUE(SameAddressAndPort(fronted->origin(), within))
      << "keyed by the front, for its client";

  listener.SetRules({.allow_clients = Networks("127.0.0.2/32")});
  ListenerProbe::RelayBatch(listener, {}, front);  // the receive thread's next turn
  Told told;
  EXPECT_EQ(listener.CloseExpired(10, TellInto(told)), 2u);
  EXPECT_EQ(told, (Told{{40002, LinkEnd::kNotAllowed}, {40001, LinkEnd::kNotAllowed}}));
  EXPECT_EQ(listener.counters().links_closed_not_allowed(), 2u);
  EXPECT_EQ(listener.counters().links_held(), 1u);
  EXPECT_EQ(listener.FindClient(front), fronted) << "its client is still allowed";
  listener.CloseAll(nullptr);
}

// The turn the system gives thread `tid`, in microseconds (sched_getattr's runtime, which
// Linux fills in for the normal and batch classes from 6.12 on); 0 where it does not tell.
int64_t TurnOf(int tid) {
  struct {
    uint32_t size, policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime, deadline, period;
  } attributes{};
  if (syscall(SYS_sched_getattr, tid, &attributes, sizeof attributes, 0) != 0)
    return 0;
  return static_cast<int64_t>(attributes.runtime / 1000);
}

// Threads of this process that the system schedules for throughput (with a turn of `turn`,
// unless 0), settled towards `expected`: a thread that has just been joined may still be
// listed.
int ThreadsScheduledForThroughput(int expected,
                                  std::chrono::microseconds turn = std::chrono::microseconds{0}) {
  return Settle(
      [turn] {
        int batch = 0;
        DIR* tasks = opendir("/proc/self/task");
        while (dirent* entry = tasks == nullptr ? nullptr : readdir(tasks)) {
          int tid = std::atoi(entry->d_name);
          batch += tid > 0 && sched_getscheduler(tid) == SCHED_BATCH &&
                           (turn.count() == 0 || TurnOf(tid) == turn.count())
                       ? 1
                       : 0;
        }
        if (tasks != nullptr)
          closedir(tasks);
        return batch;
      },
      expected);
}

// Whether this system takes a turn asked for a thread: asked on a thread of its own.
bool SystemTakesTurns() {
  bool taken = false;
  std::thread([&] {
    const int tid = detail::ThisThreadSystemId();
    taken = detail::ScheduleForThroughput(tid, kRelayThreadSlice) &&
            TurnOf(tid) == kRelayThreadSlice.count();
  }).join();
  return taken;
}

TEST_F(RelayTest, EveryRelayThreadIsScheduledForThroughput) {
  bool allowed = false;
  std::thread([&] {
    sched_param none{};
    allowed = sched_setscheduler(0, SCHED_BATCH, &none) == 0;
  }).join();
  if (!allowed)
    GTEST_SKIP() << "this system refuses the batch scheduling class";
  constexpr int kReceiveThreads = 2;
  EXPECT_EQ(ThreadsScheduledForThroughput(kReceiveThreads), kReceiveThreads);
  UdpPeer first;
  UdpPeer second;
  UdpPeer third;
  Forward(first, Pattern(8, 1), port_a(), server_a_);
  Forward(second, Pattern(8, 2), port_a(), server_a_);
  Forward(third, Pattern(8, 3), port_b(), server_b_);
  // A link's first datagram goes out once its thread has been started and scheduled.
  EXPECT_EQ(ThreadsScheduledForThroughput(kReceiveThreads + 3), kReceiveThreads + 3);
  // Each with the short turn, where the system takes one.
  if (SystemTakesTurns()) {
    EXPECT_EQ(ThreadsScheduledForThroughput(kReceiveThreads + 3, kRelayThreadSlice),
              kReceiveThreads + 3);
  }
}

// The class and turn are had whether they are asked before the new thread has run or after:
// the thread takes them itself in the one case, the caller sets them in the other.
TEST(ListenerScheduling, AThreadTakesItsTurnWhenAskedBeforeOrAfterItRuns) {
  if (!SystemTakesTurns())
    GTEST_SKIP() << "this system takes no turn for a thread";
  struct Row {
    const char* what;
    bool ask_after_it_runs;
  };
  const Row rows[] = {{"asked at once", false}, {"asked once it runs", true}};
  for (const Row& row : rows) {
    struct Shared {
      std::atomic<int> tid{0};
      std::atomic<bool> release{false};
    } shared;
    StoppableThread thread;
    ASSERT_TRUE(thread.Start(
        [](void* argument) {
          auto* s = static_cast<Shared*>(argument);
          s->tid.store(detail::ThisThreadSystemId());
          while (!s->release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        &shared));
    auto known = [&] { return Settle([&] { return shared.tid.load() != 0 ? 1 : 0; }, 1) == 1; };
    if (row.ask_after_it_runs) {
      ASSERT_TRUE(known()) << row.what;
    }
    EXPECT_TRUE(thread.ScheduleForThroughput(kRelayThreadSlice)) << row.what;
    ASSERT_TRUE(known()) << row.what;
    const int tid = shared.tid.load();
    EXPECT_EQ(Settle([&] { return TurnOf(tid) == kRelayThreadSlice.count() ? 1 : 0; }, 1), 1)
        << row.what;
    EXPECT_EQ(sched_getscheduler(tid), SCHED_BATCH) << row.what;
    shared.release.store(true);
    thread.Join();
  }
}

TEST(ListenerScheduling, AClassChosenByWhoStartedTheRelayIsKept) {
  // Started from a thread in the idle class (which needs no privilege to enter), the relay's
  // threads inherit it and keep it.
  std::thread([] {
    sched_param none{};
    if (sched_setscheduler(0, SCHED_IDLE, &none) != 0)
      return;  // refused here: nothing to check
    UdpPeer server;
    Listener listener;
    listener.SetServer(server.endpoint());
    ASSERT_TRUE(listener.Start(0));
    UdpPeer client;
    client.SendTo(Pattern(8, 1), listener.LocalPort());
    ASSERT_TRUE(server.Receive().has_value());
    EXPECT_EQ(ThreadsScheduledForThroughput(0), 0);
    listener.Stop();
    EXPECT_EQ(listener.links().count(), 1u);
  }).join();
}

// A server's host with nobody on the server's port refuses each datagram (ICMP port
// unreachable): the link counts every refusal, sends on regardless, and relays again once the
// server takes datagrams.
// Sends, from `from` (a raw socket: root only), a report (ICMP `type` and `code`) for a datagram
// from `link` to `server`, as a host on the way could forge it. False when the system refuses
// raw sockets here.
bool ForgeReport(const char* from, const Endpoint& link, const Endpoint& server, uint8_t type,
                 uint8_t code) {
  Bytes icmp = {type, code, 0, 0, 0, 0, 0, 0};
  const Bytes quoted = UdpPacket(link, server, {});
  icmp.insert(icmp.end(), quoted.begin(), quoted.end());
  uint32_t sum = 0;
  for (size_t i = 0; i < icmp.size(); i += 2)
    sum += static_cast<uint32_t>(icmp[i] << 8 | icmp[i + 1]);
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  icmp[2] = static_cast<unsigned char>(~sum >> 8);
  icmp[3] = static_cast<unsigned char>(~sum);
  return SendRaw(IpPacket(inet_addr(from), Loopback(), IPPROTO_ICMP, icmp));
}

class ServerRefusals : public ::testing::TestWithParam<Endpoint> {};

TEST_P(ServerRefusals, EveryRefusedDatagramIsCountedAndNoLaterOneIsLost) {
  // The server's port is held by a socket that takes datagrams from one other peer alone: the
  // system refuses whatever else is sent there.
  UdpPeer elsewhere(GetParam());
  UdpPeer server(GetParam());
  server.Connect(elsewhere.endpoint());
  Listener listener;
  listener.SetServer(server.endpoint());
  listener.KeepLinkRecords();
  listener.CountRelayed();
  ASSERT_TRUE(listener.Start(0));
  UdpPeer client(GetParam());
  constexpr int kDatagrams = 12;
  for (int i = 0; i < kDatagrams; ++i)
    client.SendTo(Pattern(10, static_cast<unsigned>(i)), listener.LocalPort());
  const PortCounters& counters = listener.port_counters();
  EXPECT_TRUE(Reaches([&] { return counters.server_refused(); }, kDatagrams));
  EXPECT_EQ(counters.to_server_datagrams(), static_cast<uint64_t>(kDatagrams))
      << "a refusal fails no later send";
  EXPECT_EQ(counters.send_failed_to_server(), 0u);
  EXPECT_TRUE(SameAddressAndPort(counters.last_refused_by(), server.endpoint()));

  uint16_t link_port = 0;
  listener.made_records().TakeAll([&](const LinkMade& made) { link_port = made.link_port; });
  server.Connect(server.LoopbackAt(link_port));  // now it takes the link's datagrams
  client.SendTo(Pattern(10, 99), listener.LocalPort());
  auto got = server.Receive();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->data, Pattern(10, 99));
  EXPECT_EQ(counters.server_refused(), static_cast<uint64_t>(kDatagrams));
  server.SendTo(Pattern(11, 1), got->from);
  EXPECT_EQ(client.ReceiveData(), Pattern(11, 1)) << "the link, never restarted, carries the reply";

  // While the server answers, a client's run may go to it in one send, which a closed port
  // refuses once; the first refusal ends that, and each datagram refused after it counts.
  server.Connect(elsewhere.endpoint());
  client.SendTo(Pattern(10, 100), listener.LocalPort());
  ASSERT_TRUE(Reaches([&] { return counters.server_refused(); }, kDatagrams + 1));
  for (int i = 0; i < kDatagrams; ++i)
    client.SendTo(Pattern(10, static_cast<unsigned>(i)), listener.LocalPort());
  EXPECT_TRUE(Reaches([&] { return counters.server_refused(); }, 2 * kDatagrams + 1));

  // A report of a refusal that another address than the server's sent is no refusal of the
  // server's: anyone on the way can forge one (forged here for IPv4, where raw sockets may be had).
  const auto forge = [&](const char* from) {
    return !GetParam().is_v6() &&
           ForgeReport(from, LoopbackEndpoint(link_port), server.endpoint(), 3, 3);  // port
  };
  if (forge("127.0.0.66")) {
    for (int i = 0; i < 4; ++i)
      ASSERT_TRUE(forge("127.0.0.66"));
    ASSERT_TRUE(forge("127.0.0.1"));
    EXPECT_TRUE(Reaches([&] { return counters.server_refused(); }, 2 * kDatagrams + 2))
        << "the server's own report counts, the five forged ones do not";
  }
}

INSTANTIATE_TEST_SUITE_P(Families, ServerRefusals,
                         ::testing::Values(LoopbackEndpoint(0), Loopback6Endpoint(0)),
                         [](const ::testing::TestParamInfo<Endpoint>& param) {
                           return param.param.is_v6() ? "IPv6" : "IPv4";
                         });

// Each kind of report a host on the way can send for a link's datagram (forged here) fails the
// next receive of a socket that keeps reports, with an error the receive loop takes for a
// report's and goes on from at once: a pause at each would let a stream of forged reports hold
// back a link's replies. None counts as a refusal (ServerRefusals has those), and the datagram
// behind the report comes with the next receive.
TEST(Link, ForgedReportsFailOneReceiveEachAndHoldNothingBack) {
  UdpSocket link;
  ASSERT_TRUE(link.OpenAndBind(LoopbackEndpoint(0)));
  ASSERT_EQ(link.ReportRefusals(), 0);
  ASSERT_EQ(link.SetReceiveTimeout(std::chrono::milliseconds(2000)), 0);
  const Endpoint server = LoopbackEndpoint(9);
  UdpPeer peer;
  // ICMP type and code: network, protocol unreachable; source route failed; host unknown,
  // isolated; time exceeded; a parameter problem.
  for (const auto& [type, code] :
       {std::pair<uint8_t, uint8_t>{3, 0}, {3, 2}, {3, 5}, {3, 7}, {3, 8}, {11, 0}, {12, 0}}) {
    SCOPED_TRACE(::testing::Message() << "type " << int{type} << " code " << int{code});
    if (!ForgeReport("127.0.0.1", LoopbackEndpoint(link.LocalPort()), server, type, code))
      GTEST_SKIP() << "forging a report takes a raw socket, which takes root";
    peer.SendTo(Pattern(12, code), link.LocalPort());
    unsigned char buffer[64];
    ReceiveSlot slot{buffer, sizeof buffer, 0, false, {}, {}, {}, 0};
    const IoResult failed = link.ReceiveMany(&slot, 1);
    ASSERT_EQ(failed.count, 0);
    EXPECT_TRUE(IsReportedError(failed.error)) << std::strerror(failed.error);
    EXPECT_EQ(link.TakeRefusals(failed.error, server), 0);
    ASSERT_EQ(link.ReceiveMany(&slot, 1).count, 1);
    EXPECT_EQ(Bytes(buffer, buffer + slot.length), Pattern(12, code));
  }
}

// What overflows a socket's receive buffer the system drops, and the next datagram taken tells
// how many, as the system does when asked.
TEST(SystemDrops, AFullReceiveBufferIsCountedWithTheNextDatagram) {
  UdpSocket socket;
  ASSERT_TRUE(socket.OpenAndBind(LoopbackEndpoint(0)));
  ASSERT_EQ(socket.SetReceiveBuffer(1), 0);  // the system's least
  ASSERT_EQ(socket.ReportSystemDrops(), 0);
  UdpPeer sender;
  constexpr int kSent = 200;
  for (int i = 0; i < kSent; ++i)
    sender.SendTo(Pattern(100, static_cast<unsigned>(i)), socket.LocalPort());
  const auto dropped =
      static_cast<uint32_t>(Settle([&] { return static_cast<int>(socket.SystemDrops()); }));
  ASSERT_GT(dropped, 0u) << "the buffer held every datagram";
  unsigned char buffer[128];
  ReceiveSlot slot{buffer, sizeof buffer, 0, false, {}, {}, {}, 0};
  ASSERT_EQ(socket.SetReceiveTimeout(std::chrono::milliseconds(200)), 0);
  int kept = 0;
  while (socket.ReceiveMany(&slot, 1).count == 1)
    ++kept;
  EXPECT_EQ(kept + static_cast<int>(dropped), kSent);
  sender.SendTo(Pattern(100, 1), socket.LocalPort());
  ASSERT_EQ(socket.ReceiveMany(&slot, 1).count, 1);
  EXPECT_EQ(slot.system_drops, dropped);
}

// What a link counts as relayed is what went, and whatever of its client's reaches it keeps it:
// a datagram the system refuses to send adds neither to the datagrams nor to the bytes, and a
// client whose sends keep failing, or go over its rate, is not expired as idle; empty
// datagrams, dropped before the link, do not keep it.
TEST(ListenerAccounting, WhatWentIsCountedAndWhatReachesALinkKeepsIt) {
  constexpr size_t kProxyHeader4 = 28;  // the signature, version, family, length, addresses
  struct Row {
    const char* what;
    bool broadcast_server;  // which no socket here may send to
    uint32_t client_rate;
    std::vector<size_t> first;  // one batch at 0 s, which makes the link
    std::vector<size_t> then;   // one batch every second after, to 4 s
    uint64_t send_failed;
    bool expires;
    bool proxy_header = false;  // counted without it: the bytes the client sent
    bool once = false;          // the header on the link's first datagram alone
  };
  const Row rows[] = {
      {"a server that takes them", false, 0, {10, 200, 30}, {7, 9}, 0, false},
      {"a server no socket may send to", true, 0, {10, 200, 30}, {7, 9}, 11, false},
      {"over ClientRate, the bucket emptied", false, 1, {10, 10, 10, 10, 10, 10}, {7}, 0, false},
      {"only empty datagrams after the first", false, 0, {10}, {0}, 0, true},
      {"with the PROXY header", false, 0, {10, 200, 30}, {7, 9}, 0, false, true},
      {"with the PROXY header once", false, 0, {10, 200, 30}, {7, 9}, 0, false, true, true},
      {"with it once, the first send refused", true, 0, {10, 200}, {7}, 6, false, true, true},
  };
  for (const Row& row : rows) {
    UdpPeer server;
    Listener listener;  // never started: the test plays the receive thread
    listener.SetServer(row.broadcast_server
                           ? MakeEndpoint(htonl(INADDR_BROADCAST), htons(server.port()))
                           : server.endpoint());
    listener.SetRules({.idle_timeout = std::chrono::seconds(2), .client_rate = row.client_rate});
    listener.SetProxyHeader(row.proxy_header, row.once);
    listener.KeepLinkRecords();
    listener.CountRelayed();
    const Endpoint client = LoopbackEndpoint(PlayedPort(1));
    const auto start = std::chrono::steady_clock::now();
    ListenerProbe::RelayBatch(listener, row.first, client);
    for (int second = 1; second <= 4; ++second) {
      ListenerProbe::RelayBatch(listener, row.then, client);
      ListenerProbe::Sweep(listener, start + std::chrono::seconds(second));
    }
    ListenerProbe::Sweep(listener, start + std::chrono::seconds(5));

    // A send has delivered its datagram on loopback by the time it returns.
    Traffic arrived;
    while (std::optional<Received> got = server.Receive(100)) {
      const bool headed = row.proxy_header && (!row.once || arrived.datagrams == 0);
      arrived.bytes += got->data.size() - (headed ? kProxyHeader4 : 0);
      ++arrived.datagrams;
    }
    const PortCounters& counters = listener.port_counters();
    EXPECT_EQ(counters.to_server_datagrams(), arrived.datagrams) << row.what;
    EXPECT_EQ(counters.to_server_bytes(), arrived.bytes) << row.what;
    EXPECT_EQ(counters.send_failed_to_server(), row.send_failed) << row.what;
    EXPECT_EQ(listener.counters().links_expired(), row.expires ? 1u : 0u) << row.what;
    if (const ClientLink* link = listener.FindClient(client); link != nullptr) {
      EXPECT_EQ(link->to_server().datagrams, arrived.datagrams) << row.what;
      EXPECT_EQ(link->to_server().bytes, arrived.bytes) << row.what;
    }
    listener.CloseAll(nullptr);
  }
}

TEST(ListenerLifetime, DestroyingAListenerWith500LinksEndsEveryThreadAndSocket) {
  const int tasks_before = CountEntries("task");
  const int fds_before = CountEntries("fd");
  constexpr int kClients = 500;
  {
    UdpPeer server;
    auto listener = std::make_unique<Listener>();
    listener->SetServer(server.endpoint());
    ASSERT_TRUE(listener->Start(0));
    {
      std::vector<std::unique_ptr<UdpPeer>> clients;
      for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<UdpPeer>());
        clients.back()->SendTo(Pattern(16, static_cast<unsigned>(i)), listener->LocalPort());
      }
      int received = 0;
      while (received < kClients && server.Receive(3000))
        ++received;
      ASSERT_EQ(received, kClients);
    }
    listener->Stop();
    ASSERT_EQ(listener->links().count(), static_cast<uint32_t>(kClients));
    EXPECT_GE(CountEntries("task"), tasks_before + kClients) << "a return thread per link";

    listener.reset();  // returns once every return thread has been joined
  }
  EXPECT_EQ(CountEntries("task", tasks_before), tasks_before);
  EXPECT_EQ(CountEntries("fd", fds_before), fds_before);
}

// The Listener closes links itself: those expired a slice at a time, and at the end all that
// are left, the expired ones first, then the held ones newest first; each closed link's socket
// is closed and its return thread ended, and the table is left empty (again when closed twice).
TEST(ListenerClosing, ExpiredLinksCloseInSlicesAndCloseAllTakesTheRest) {
  UdpPeer server;
  const int fds_before = CountEntries("fd");
  const int tasks_before = CountEntries("task");
  Listener listener;
  listener.SetServer(server.endpoint());
  listener.SetRules({.idle_timeout = std::chrono::seconds(1)});
  ASSERT_TRUE(listener.Start(0));
  EXPECT_FALSE(listener.Start(0)) << "once";
  listener.Stop();  // the test plays the receive thread
  const auto start = std::chrono::steady_clock::now();
  for (int client = 1; client <= 3; ++client)
    ListenerProbe::Relay(listener, "x", 1, LoopbackEndpoint(PlayedPort(client)));
  // Each datagram's own sweep step has seen the first link; these see the rest, then expire all.
  ListenerProbe::Sweep(listener, start + std::chrono::seconds(1));
  ListenerProbe::Sweep(listener, start + std::chrono::seconds(3));
  for (int client = 4; client <= 5; ++client)
    ListenerProbe::Relay(listener, "x", 1, LoopbackEndpoint(PlayedPort(client)));
  EXPECT_EQ(listener.links().count(), 2u);
  EXPECT_EQ(listener.counters().links_expired(), 3u);

  Told told;
  EXPECT_EQ(listener.CloseExpired(2, TellInto(told)), 2u);
  // The sweep walks from the newest link.
  EXPECT_EQ(told, (Told{{PlayedPort(3), LinkEnd::kIdle}, {PlayedPort(2), LinkEnd::kIdle}}));
  EXPECT_EQ(CountEntries("task", tasks_before + 3), tasks_before + 3) << "two threads ended";
  listener.CloseAll(TellInto(told));
  EXPECT_EQ(told, (Told{{PlayedPort(3), LinkEnd::kIdle},
                        {PlayedPort(2), LinkEnd::kIdle},
                        {PlayedPort(1), LinkEnd::kIdle},
                        {PlayedPort(5), LinkEnd::kShutdown},
                        {PlayedPort(4), LinkEnd::kShutdown}}));
  EXPECT_EQ(CountEntries("task", tasks_before), tasks_before);
  EXPECT_EQ(CountEntries("fd", fds_before + 1), fds_before + 1) << "the listening socket alone";
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(listener.links().count(), 0u);
    EXPECT_EQ(listener.links().head(), nullptr);
    EXPECT_EQ(listener.links().tail(), nullptr);
    EXPECT_EQ(listener.CloseExpired(10, TellInto(told)), 0u);
    listener.CloseAll(nullptr);
  }
}

// Both Listeners with ProxyProtocol on and the longest datagrams allowed.
class ProxyHeaderRelay : public RelayTest {
 protected:
  void SetUp() override {
    for (Listener* listener : {&a_, &b_}) {
      listener->SetProxyHeader(true);
      listener->SetMaxDatagram(kLargestDatagram);
    }
    RelayTest::SetUp();
  }
  // What the server must receive for `payload` from `client` to the listening `port`.
  static Bytes WithHeader(const UdpPeer& client, uint16_t port, const Bytes& payload) {
    const ProxyHeader header = MakeProxyHeader(client.endpoint(), client.LoopbackAt(port));
    Bytes whole(header.bytes, header.bytes + header.length);
    whole.insert(whole.end(), payload.begin(), payload.end());
    return whole;
  }
};

// 65,507 bytes in all is the most a datagram carries: a payload that the header would take
// past it is not sent, whether it makes the link or follows, and counts as a failed send.
TEST_F(ProxyHeaderRelay, ADatagramTooLongWithTheHeaderIsNotSentAndCountsAsAFailedSend) {
  const size_t most = kLargestDatagram - 28;
  UdpPeer newcomer;
  newcomer.SendTo(Pattern(most + 1, 1), port_a());
  EXPECT_TRUE(Reaches([this] { return a_.port_counters().send_failed_to_server(); }, 1));
  EXPECT_EQ(a_.counters().links_made(), 1u) << "the link is made all the same";

  UdpPeer client;
  EXPECT_EQ(Forward(client, Pattern(most, 2), port_a(), server_a_).data,
            WithHeader(client, port_a(), Pattern(most, 2)))
      << "the longest that fits";
  client.SendTo(Pattern(most + 1, 3), port_a());
  EXPECT_TRUE(Reaches([this] { return a_.port_counters().send_failed_to_server(); }, 2));
  EXPECT_EQ(a_.port_counters().last_failure_error(), EMSGSIZE);
  EXPECT_TRUE(server_a_.Silent()) << "neither too long a datagram reached the server";
  EXPECT_EQ(Forward(client, Pattern(10, 4), port_a(), server_a_).data,
            WithHeader(client, port_a(), Pattern(10, 4)))
      << "the link carries on";
}

}  // namespace
}  // namespace tavorin::testing
