// ServiceNotifier against a datagram socket of the test's own that stands in for the service
// manager. A datagram sent to an AF_UNIX socket is in the receiver's queue once the send has
// returned, so what a call sent can be read at once, and what it did not send is not there.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_notify.h"
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
  ~ManagerSocket() { close(fd_); }
  ManagerSocket(const ManagerSocket&) = delete;
  ManagerSocket& operator=(const ManagerSocket&) = delete;

  // Every datagram waiting now, oldest first.
  std::vector<std::string> Waiting() {
    std::vector<std::string> all;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
      all.emplace_back(buffer, static_cast<size_t>(n));
    return all;
  }

 private:
  int fd_ = -1;
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
      return n.Watchdog();
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
    notifier.Watchdog();
    notifier.Stopping();
  }
  EXPECT_EQ(dir_.Read("file"), "");
}

// A manager that reads nothing fills its socket's queue; later messages are lost, and none of
// the calls waits for room. Once it reads again, the next message arrives.
TEST_F(ServiceNotifierTest, NeverWaitsForAManagerThatDoesNotRead) {
  ManagerSocket manager(dir_.File("notify"));
  setenv("NOTIFY_SOCKET", dir_.File("notify").c_str(), 1);
  ServiceNotifier notifier;
  for (int i = 0; i < 5000; ++i)
    notifier.Status("status " + std::to_string(i));
  const std::vector<std::string> queued = manager.Waiting();
  ASSERT_FALSE(queued.empty());
  EXPECT_LT(queued.size(), 5000u) << "the queue never filled: nothing was shown not to wait";
  EXPECT_EQ(queued.front(), "STATUS=status 0");
  notifier.Ready();
  EXPECT_EQ(manager.Waiting(), std::vector<std::string>{"READY=1"});
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
