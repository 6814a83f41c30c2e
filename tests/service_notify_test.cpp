// ServiceNotifier against a datagram socket of the test's own that stands in for the service
// manager. A datagram sent to an AF_UNIX socket is in the receiver's queue once the send has
// returned, so what a call sent can be read at once, and what it did not send is not there.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/carried_links.h"
#include "app/handover.h"
#include "app/socket_store.h"
#include "platform/service_notify.h"
#include "platform/socket_carrier.h"
#include "tests/program_checks.h"
#include "tests/program_runner.h"

namespace tavorin {
namespace {

using std::chrono::microseconds;

long long MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The manager's end: a datagram socket bound to `name`, a path or "@" and an abstract name.
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
      address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0)
        << name << ": " << std::strerror(errno);
  }
  ~ManagerSocket() {
    close(fd_);
    for (const auto& [name, fd] : kept_)
      close(fd);
  }
  ManagerSocket(const ManagerSocket&) = delete;
  ManagerSocket& operator=(const ManagerSocket&) = delete;

  // Every datagram waiting now, oldest first; a descriptor that comes with one goes to
  // `attached`, or is closed.
  std::vector<std::string> Waiting(std::vector<int>* attached = nullptr) {
    std::vector<std::string> all;
    char buffer[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    iovec text{buffer, sizeof buffer};
    for (;;) {
      msghdr header{nullptr, 0, &text, 1, control, sizeof control, 0};
      const ssize_t n = recvmsg(fd_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
      if (n < 0)
        return all;
      all.emplace_back(buffer, static_cast<size_t>(n));
      int fd = -1;
      if (cmsghdr* rights = CMSG_FIRSTHDR(&header); rights != nullptr)
        std::memcpy(&fd, CMSG_DATA(rights), sizeof fd);
      if (attached != nullptr)
        attached->push_back(fd);
      else if (fd >= 0)
        close(fd);
    }
  }
  // What a manager keeps for the next run, by name, after the datagrams waiting now.
  std::map<std::string, int>& Kept() {
    std::vector<int> attached;
    const std::vector<std::string> all = Waiting(&attached);
    for (size_t k = 0; k < all.size(); ++k) {
      std::string name = all[k].substr(all[k].find("FDNAME=") + 7);
      name = name.substr(0, name.find('\n'));
      if (all[k].starts_with("FDSTORE=1") && attached[k] >= 0) {
        kept_.emplace(name, attached[k]);
      } else if (all[k].starts_with("FDSTOREREMOVE=1") && kept_.count(name) != 0) {
        close(kept_[name]);
        kept_.erase(name);
      }
    }
    return kept_;
  }

 private:
  int fd_ = -1;
  std::map<std::string, int> kept_;
};

// A name in the abstract namespace that no other test process takes at the same time.
std::string AbstractName() {
  static int made = 0;
  return "@tavorin-test-" + std::to_string(getpid()) + "-" + std::to_string(++made);
}

// Sets the variables the notifier reads for one case, and puts them back as they were after it.
class ServiceNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i])
        setenv(kNames[i], saved_[i]->c_str(), 1);
      else
        unsetenv(kNames[i]);
    }
  }
  static void Set(const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }

  static constexpr const char* kNames[] = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
  std::vector<std::optional<std::string>> saved_;
  testing::TempDir dir_;
};

// The value of MONOTONIC_USEC in `message` must lie between the clock's readings before and
// after the calls; it is then written as N, so that the rest compares exactly.
std::string ClockChecked(std::string message, long long before, long long after) {
  const std::string key = "MONOTONIC_USEC=";
  const size_t at = message.find(key);
  if (at == std::string::npos)
    return message;
  const size_t from = at + key.size();
  const size_t to = message.find('\n', from);
  const std::string digits = message.substr(from, to - from);
  const long long value = std::atoll(digits.c_str());
  EXPECT_TRUE(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
      << message;
  EXPECT_GE(value, before) << message;
  EXPECT_LE(value, after) << message;
  return message.replace(from, digits.size(), 1, 'N');
}

// What a case calls, in order: kStatus sends the case's text, kPause waits a millisecond
// without sleeping, kForget unsets the variables the notifier read.
enum class Call { kReady, kReloading, kStatus, kStopping, kWatchdog, kPause, kForget };

void Make(ServiceNotifier& n, Call call, std::string_view text) {
  switch (call) {
    case Call::kReady:
      return n.Ready();
    case Call::kReloading:
      return n.Reloading();
    case Call::kStatus:
      return n.Status(text);
    case Call::kStopping:
      return n.Stopping();
    case Call::kWatchdog:
      return n.Turned();
    case Call::kPause:
      for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
           std::chrono::steady_clock::now() < end;) {
      }
      return;
    case Call::kForget:
      unsetenv("NOTIFY_SOCKET");
      unsetenv("WATCHDOG_USEC");
      return;
  }
}

struct Sends {
  const char* name;
  std::vector<Call> calls;
  std::vector<std::string> sent;        // the datagrams, in order
  const char* watchdog_usec = nullptr;  // WATCHDOG_USEC, or unset
  std::string_view text = {};           // for kStatus
  bool abstract = false;  // the manager's socket in the abstract namespace, not a path
};

TEST_F(ServiceNotifierTest, EachCallSendsItsMessage) {
  using enum Call;
  const std::vector<Sends> cases = {
      {"ready, status, stopping",
       {kReady, kStatus, kStopping},
       {"READY=1", "STATUS=3 links; 120 datagrams, 118 back", "STOPPING=1"},
       nullptr,
       "3 links; 120 datagrams, 118 back"},
      {"a reload and its end", {kReloading, kReady}, {"RELOADING=1\nMONOTONIC_USEC=N", "READY=1"}},
      {"status with a line end and a NUL kept on one line",
       {kStatus},
       {"STATUS=one two three"},
       nullptr,
       std::string_view("one\ntwo\0three", 13)},
      {"ready in the abstract namespace", {kReady}, {"READY=1"}, nullptr, {}, true},
      {"watchdog, once per quarter", {kWatchdog, kWatchdog}, {"WATCHDOG=1"}, "30000000"},
      {"after a quarter", {kWatchdog, kPause, kWatchdog}, {"WATCHDOG=1", "WATCHDOG=1"}, "2000"},
      {"past the clock's range", {kWatchdog, kWatchdog}, {"WATCHDOG=1"}, "40000000000000000"},
      {"no watchdog set", {kWatchdog}, {}},
      {"read once", {kForget, kReady, kWatchdog}, {"READY=1", "WATCHDOG=1"}, "30000000"},
  };
  for (const Sends& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.abstract ? AbstractName() : dir_.File("notify");
    if (!c.abstract)
      unlink(name.c_str());
    ManagerSocket manager(name);
    Set("NOTIFY_SOCKET", name);
    Set("WATCHDOG_USEC",
        c.watchdog_usec ? std::optional<std::string>(c.watchdog_usec) : std::nullopt);
    std::vector<std::string> sent;
    {
      ServiceNotifier notifier;
      EXPECT_TRUE(notifier.enabled());
      EXPECT_NE(std::getenv("NOTIFY_SOCKET"), nullptr) << "the variable is left as it was";
      const long long before = MonotonicMicroseconds();
      for (Call call : c.calls)
        Make(notifier, call, c.text);
      const long long after = MonotonicMicroseconds();
      for (std::string& message : manager.Waiting())
        sent.push_back(ClockChecked(std::move(message), before, after));
    }
    EXPECT_EQ(sent, c.sent);
  }
}

// Where there is no manager to send to, every call returns at once and nothing fails.
TEST_F(ServiceNotifierTest, NoManagerNoMessageNoFailure) {
  struct Case {
    const char* name;
    std::optional<std::string> notify_socket;
    bool enabled;
  };
  const std::vector<Case> cases = {
      {"unset", std::nullopt, false},
      {"empty", "", false},
      {"a relative path", "notify", false},
      {"a path longer than a socket's", "/" + std::string(200, 'x'), false},
      {"a path where nothing listens", dir_.File("nobody"), true},
      {"a path that is a file", dir_.File("file"), true},
      {"an abstract name nobody bound", AbstractName(), true},
  };
  dir_.Write("file", "");
  setenv("WATCHDOG_USEC", "1", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Set("NOTIFY_SOCKET", c.notify_socket);
    ServiceNotifier notifier;
    EXPECT_EQ(notifier.enabled(), c.enabled);
    notifier.Ready();
    notifier.Reloading();
    notifier.Status("status");
    notifier.Turned();
    notifier.Stopping();
  }
  EXPECT_EQ(dir_.Read("file"), "");
}

// A manager that reads nothing fills its socket's queue, and none of the calls waits for room:
// what did not go waits in the notifier (of the lines of status, the newest alone) and goes,
// in order, once there is room, ahead of anything the store sends.
TEST_F(ServiceNotifierTest, NeverWaitsForAManagerThatDoesNotRead) {
  ManagerSocket manager(dir_.File("notify"));
  setenv("NOTIFY_SOCKET", dir_.File("notify").c_str(), 1);
  ServiceNotifier notifier;
  auto fill = [&] {
    for (int i = 0; i < 5000; ++i)
      notifier.Status("status " + std::to_string(i));
  };
  fill();
  const std::vector<std::string> queued = manager.Waiting();
  ASSERT_FALSE(queued.empty());
  EXPECT_LT(queued.size(), 5000u) << "the queue never filled: nothing was shown not to wait";
  EXPECT_EQ(queued.front(), "STATUS=status 0");
  notifier.Ready();
  EXPECT_EQ(manager.Waiting(), (std::vector<std::string>{"STATUS=status 4999", "READY=1"}));
  fill();
  notifier.Stopping();
  EXPECT_FALSE(notifier.StoreSocket(0, "listen_P")) << "the store waits behind its states";
  manager.Waiting();
  EXPECT_TRUE(notifier.Resend());
  EXPECT_EQ(manager.Waiting(), (std::vector<std::string>{"STATUS=status 4999", "STOPPING=1"}));
}

TEST_F(ServiceNotifierTest, WatchdogIntervalFromTheEnvironment) {
  const std::string ours = std::to_string(getpid());
  const std::string other = std::to_string(getppid());
  struct Case {
    std::optional<std::string> usec;
    std::optional<std::string> pid;
    microseconds interval;
  };
  const std::vector<Case> cases = {
      {"30000000", ours, microseconds(30000000)},
      {"30000000", std::nullopt, microseconds(30000000)},
      {"30000000", other, microseconds(0)},
      {"30000000", ours + "x", microseconds(0)},
      {std::nullopt, ours, microseconds(0)},
      {"0", ours, microseconds(0)},
      {"-30000000", ours, microseconds(0)},
      {"30s", ours, microseconds(0)},
      {"99999999999999999999999", ours, microseconds(0)},
      {"40000000000000000", ours, ServiceNotifier::kLongestWatchdog},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("WATCHDOG_USEC " + c.usec.value_or("unset") + ", WATCHDOG_PID " +
                 c.pid.value_or("unset"));
    Set("WATCHDOG_USEC", c.usec);
    Set("WATCHDOG_PID", c.pid);
    EXPECT_EQ(ServiceNotifier().WatchdogInterval(), c.interval);
  }
}

}  // namespace
}  // namespace tavorin

namespace tavorin {
namespace {

// A name says what its socket is, and the next run reads it back as it was: an IPv4 address in
// IPv6 form stays in that form, as the client was seen, and a scope is kept.
TEST(SocketNames, SayWhatEachSocketIsAndReadBack) {
  const Endpoint v4 = testing::LoopbackEndpoint(5000, 7);
  Endpoint mapped = Mapped(v4);
  Endpoint scoped = testing::Loopback6Endpoint(5001);
  scoped.v6.sin6_scope_id = 3;
  struct Case {
    int which;
    Endpoint client;
    Endpoint reply_from;
    std::string name;
  } cases[] = {
      {0, v4, {}, "link_P_40123_127.0.0.7_5000"},
      {1, mapped, Mapped(testing::LoopbackEndpoint(0, 2)),
       "link_P+1_40123_--ffff-127.0.0.7_5000_--ffff-127.0.0.2"},
      {0, scoped, {}, "link_P_40123_--1%3_5001"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LinkSocketName(c.which, 40123, c.client, c.reply_from), c.name);
    const std::optional<NamedLink> read = ParseLinkSocketName(c.name);
    ASSERT_TRUE(read.has_value()) << c.name;
    EXPECT_EQ(read->which, c.which);
    EXPECT_EQ(read->client.is_v6(), c.client.is_v6()) << c.name;
    EXPECT_TRUE(SameAddressAndPort(read->client, c.client)) << c.name;
    EXPECT_EQ(read->client.is_v6() ? read->client.v6.sin6_scope_id : 0u,
              c.client.is_v6() ? c.client.v6.sin6_scope_id : 0u);
    EXPECT_EQ(read->reply_from.known(), c.reply_from.known()) << c.name;
  }
  for (const char* stranger :
       {"listen_P", "unknown", "link_Q_1_127.0.0.1_5", "link_P_1_x_5", "link_P_1_127.0.0.1_70000",
        "link_P_1_127.0.0.1_5_6_7", "link_P_1_fe80--1%lo_5", "link_P_1_--1%_5"})
    EXPECT_FALSE(ParseLinkSocketName(stranger).has_value()) << stranger;
}

// A record reads back as written, whatever its addresses; bytes of no record are none.
TEST(CarriedRecords, ReadBackAsWritten) {
  using testing::LoopbackEndpoint;
  in6_addr scoped_address{};
  inet_pton(AF_INET6, "fe80::7", &scoped_address);
  const CarriedLink rows[] = {
      {0, LoopbackEndpoint(5000, 7), {}, 40123, false, 1},
      {1, Mapped(LoopbackEndpoint(5001, 7)), Mapped(LoopbackEndpoint(0, 2)), 40124, true, 9},
      {0, MakeEndpoint6(scoped_address, htons(5002), 3), MakeEndpoint6(scoped_address, 0, 3), 1,
       true, 0xFFFFFFFF},
  };
  for (const CarriedLink& row : rows) {
    unsigned char bytes[kCarriedRecordBytes];
    EncodeCarried(row, bytes);
    const std::optional<CarriedLink> read = DecodeCarried(bytes);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(CarriedKey(read->which, read->client), CarriedKey(row.which, row.client));
    EXPECT_EQ(read->client.is_v6() ? read->client.v6.sin6_scope_id : 0u,
              row.client.is_v6() ? row.client.v6.sin6_scope_id : 0u);
    EXPECT_TRUE(SameAddress(read->reply_from, row.reply_from) || !row.reply_from.known());
    EXPECT_EQ(read->reply_from.known(), row.reply_from.known());
    EXPECT_EQ(std::tie(read->link_port, read->v6_socket, read->serial),
              std::tie(row.link_port, row.v6_socket, row.serial));
    for (size_t at : {0, 1, 2, 4}) {
      unsigned char junk[kCarriedRecordBytes];
      std::memcpy(junk, bytes, sizeof junk);
      junk[at] = 9;
      EXPECT_FALSE(DecodeCarried(junk).has_value()) << "byte " << at;
    }
  }
}

// Links made one by one go in full messages of one carrier, kept once; a closed link's socket
// leaves it at the next compaction, so that its port is free, and what is left comes out as
// it went in, each socket with its own record.
TEST(CarriedLinksTest, ClosedLinksLeaveAndTheRestComeOutWhole) {
  using testing::UdpPeer;
  std::vector<SocketCarrier> kept;
  CarriedLinks carried([&](const SocketCarrier& carrier, size_t number) {
    EXPECT_EQ(number, kept.size());
    kept.emplace_back(dup(carrier.in()), dup(carrier.out()));
  });
  constexpr int kLinks = 600;
  std::vector<std::unique_ptr<UdpPeer>> sockets;
  std::vector<UdpPeer> clients(kLinks);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLinks; ++i) {
    sockets.push_back(std::make_unique<UdpPeer>());
    carried.Add({i % 2, clients[i].endpoint(), {}, sockets[i]->port(), false, 0},
                dup(sockets[i]->fd()));
    if (i % 50 == 49)
      carried.Flush(start);
  }
  carried.Flush(start);
  ASSERT_EQ(kept.size(), 1u);
  std::vector<uint16_t> ports;
  for (int i = 0; i < kLinks; i += 2) {
    carried.Remove(i % 2, clients[i].endpoint());
    ports.push_back(sockets[i]->port());
    sockets[i].reset();  // only the carrier holds the closed link's socket now
  }
  carried.Flush(start + CarriedLinks::kCompactAfter);
  for (uint16_t port : ports) {
    const int fd = testing::BindUdp(testing::LoopbackEndpoint(port));
    EXPECT_GE(fd, 0) << "port " << port << " is still held";
    close(fd);
  }
  EXPECT_EQ(carried.carried(), static_cast<size_t>(kLinks / 2));
  const CarriedContents contents = TakeAll(kept[0]);
  ASSERT_EQ(contents.links.size(), static_cast<size_t>(kLinks / 2));
  EXPECT_TRUE(contents.strays.empty());
  std::map<uint16_t, int> by_port;
  for (int i = 1; i < kLinks; i += 2)
    by_port[sockets[i]->port()] = i;
  for (const auto& [link, socket] : contents.links) {
    const UdpSocket taken = UdpSocket::Adopt(socket);
    ASSERT_EQ(by_port.count(taken.LocalPort()), 1u);
    const int i = by_port[taken.LocalPort()];
    EXPECT_EQ(link.link_port, taken.LocalPort());
    EXPECT_EQ(CarriedKey(link.which, link.client), CarriedKey(i % 2, clients[i].endpoint()));
  }
}

ino_t Inode(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// Sends `links` into the carrier whose ends the manager keeps, as a run of the relay would,
// each record with the socket at its side.
void Carry(std::map<std::string, int>& kept,
           const std::vector<std::pair<CarriedLink, const testing::UdpPeer*>>& links) {
  SocketCarrier carrier(dup(kept.at(CarrierName(0, true))), dup(kept.at(CarrierName(0, false))));
  std::vector<unsigned char> bytes(links.size() * kCarriedRecordBytes);
  std::vector<SocketHandle> sockets;
  for (size_t k = 0; k < links.size(); ++k) {
    EncodeCarried(links[k].first, bytes.data() + k * kCarriedRecordBytes);
    sockets.push_back(links[k].second->fd());
  }
  ASSERT_EQ(carrier.Send(bytes.data(), bytes.size(), sockets.data(), sockets.size()), 0);
}

// A relay run by a manager that keeps its sockets: a restart hands every link on, on its port,
// with what arrived meanwhile, at once however long a drain it would have (SIGUSR2 first, as
// the unit sends it); a restart on another port closes them. Sockets that do not match their
// records are closed, and a client's newest record counts; sockets passed to another process
// are closed, so the port is bound anew.
struct HandOnRow : testing::NamedRow {
  bool same_port;
  bool forged = false;      // records that lie are added to the carrier
  bool to_another = false;  // $LISTEN_PID is not the relay's
  std::string lines;        // the start's lines on standard error
};

class HandOn : public ServiceNotifierTest, public ::testing::WithParamInterface<HandOnRow> {};

TEST_P(HandOn, ARestartKeepsEveryLinkOnItsPort) {
  using namespace testing;
  const HandOnRow& row = GetParam();
  if (UnderWine())
    GTEST_SKIP() << "a service manager's store of sockets is Linux's";
  const std::string name = AbstractName();
  ManagerSocket manager(name);
  Set("NOTIFY_SOCKET", name);
  StartedRelay first({.proxy = "LogLinks=1\nDrainSeconds=60\n"});
  UdpPeer clients[3];
  uint16_t link_ports[3];
  for (int i = 0; i < 3; ++i) {
    clients[i].SendTo(Pattern(10, i), first.port);
    std::optional<Received> at_server = first.server().Receive();
    ASSERT_TRUE(at_server.has_value());
    link_ports[i] = ntohs(at_server->from.port_net());
  }
  // The listening sockets, and both ends of the carrier that holds the links' sockets.
  ASSERT_EQ(Settle([&] { return static_cast<int>(manager.Kept().size()); }, 4), 4);
  first.Signal(SIGUSR2);
  first.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(first.WaitForExit(10000), 0)) << "no drain when the links go on";
  EXPECT_EQ(Occurrences(first.Log(), "reason=handed-on"), 3u) << first.Log();
  // Meanwhile: a client's datagram waits in the listening socket, a reply in a link's.
  clients[0].SendTo(Pattern(11, 9), first.port);
  first.server().SendTo(Pattern(12, 8), LoopbackEndpoint(link_ports[1]));
  UdpPeer liars[4];
  if (row.forged) {
    auto record = [&](const UdpPeer& client, const UdpPeer& socket, uint32_t serial) {
      return CarriedLink{0,     client.endpoint(), {}, ntohs(socket.endpoint().port_net()), false,
                         serial};
    };
    Carry(manager.Kept(), {// two sockets swapped
                           {record(liars[0], liars[0], 1), &liars[1]},
                           {record(liars[1], liars[1], 1), &liars[0]},
                           // one socket under two records
                           {record(liars[0], liars[2], 1), &liars[2]},
                           {record(liars[1], liars[2], 1), &liars[2]},
                           // a record older than client 0's own
                           {record(clients[0], liars[3], 0), &liars[3]}});
  }

  Launch launch{.passed_to_another = row.to_another};
  for (const auto& [kept_name, fd] : manager.Kept())
    launch.passed.emplace_back(fd, kept_name);
  StartedRelay second({.proxy = "LogLinks=1\n",
                       .launch = launch,
                       .port = row.same_port ? first.port : uint16_t{0},
                       .server_port = first.server_port});
  if (!row.lines.empty()) {
    EXPECT_EQ(second.ErrorLines(static_cast<int>(Occurrences(row.lines, "\n"))), row.lines);
  }
  if (row.to_another) {
    // None of what was passed stays open in the relay.
    std::set<ino_t> passed;
    for (const auto& [kept_name, fd] : manager.Kept())
      passed.insert(Inode("/proc/self/fd/" + std::to_string(fd)));
    const std::string fds = "/proc/" + std::to_string(second.pid()) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds))
      EXPECT_EQ(passed.count(Inode(entry.path())), 0u) << entry.path();
  }
  if (row.same_port && !row.to_another) {
    std::optional<Received> waited = first.server().Receive();
    ASSERT_TRUE(waited.has_value()) << "the datagram sent meanwhile is relayed";
    EXPECT_EQ(waited->data, Pattern(11, 9));
    EXPECT_EQ(ntohs(waited->from.port_net()), link_ports[0]) << "from the link's port";
    std::optional<Received> reply = clients[1].Receive();
    ASSERT_TRUE(reply.has_value()) << "the reply sent meanwhile reaches the client";
    EXPECT_EQ(reply->data, Pattern(12, 8));
    ExpectRelayed(clients[2], second.port, first.server(), 3);
  } else {
    ExpectRelayed(clients[2], second.port, first.server(), 3);
  }
  const int links_kept = row.same_port && !row.to_another ? 3 : 0;
  EXPECT_EQ(Settle([&] { return static_cast<int>(manager.Kept().size()); }, 4), 4)
      << "the manager keeps the listening sockets and the carrier, no more";
  second.Signal(SIGUSR2);
  second.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(second.WaitForExit(10000), 0));
  EXPECT_EQ(Occurrences(second.Log(), "taken_over=1"), static_cast<size_t>(links_kept))
      << second.Log();
  // Each link taken over says where it sends, whether or not it has sent since.
  EXPECT_EQ(Occurrences(second.Log(), "server_port=" + std::to_string(first.server_port)),
            static_cast<size_t>(links_kept != 0 ? 3 : 1))
      << second.Log();
  if (links_kept != 0) {
    // And on to a third run, as the second carried them.
    Launch again;
    for (const auto& [kept_name, fd] : manager.Kept())
      again.passed.emplace_back(fd, kept_name);
    StartedRelay third({.launch = again, .port = first.port, .server_port = first.server_port});
    EXPECT_EQ(third.ErrorLines(1),
              "tavorin: taken over from the previous run: 3 links with their ports\n");
    ExpectRelayed(clients[2], third.port, first.server(), 4);
    third.Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(third.WaitForExit(10000), 0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Program, HandOn,
    ::testing::Values(
        HandOnRow{{"SamePort"},
                  true,
                  true,
                  false,
                  "tavorin: taken over from the previous run: 3 links with their ports\n"
                  "tavorin: warning: closed 4 passed-in sockets that do not match their records "
                  "(another port or family, one socket under two records, or no record at all)\n"},
        HandOnRow{{"NewPort"},
                  false,
                  false,
                  false,
                  "tavorin: taken over from the previous run: 0 links with their ports; 3 closed "
                  "(their listening port is not this relay's now)\n"},
        HandOnRow{{"PassedToAnother"}, false, false, true, ""}),
    testing::RowName());

}  // namespace
}  // namespace tavorin
