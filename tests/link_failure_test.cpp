// A new client for which no socket or thread can be had is dropped; everyone else is served.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
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
  ~DescriptorExhaustion() { Release(); }
  void Release() {
    for (int fd : held_)
      close(fd);
    held_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<int> held_;
};

TEST_F(RelayTest, ANewClientWithoutADescriptorIsDroppedUntilOneFrees) {
  UdpPeer known;
  UdpPeer newcomer;
  Received known_link = Forward(known, Pattern(4, 1), port_a(), server_a_);
  const int fds_before = CountEntries("fd");

  DescriptorExhaustion exhaustion;
  newcomer.SendTo(Pattern(4, 2), port_a());
  EXPECT_TRUE(server_a_.Silent(300)) << "the newcomer's datagram is dropped";
  Received again = Forward(known, Pattern(4, 3), port_a(), server_a_);
  EXPECT_EQ(again.data, Pattern(4, 3));
  server_a_.SendTo(Pattern(6, 4), known_link.from);
  auto r = known.Receive();
  ASSERT_TRUE(r.has_value()) << "the known client is still served";
  EXPECT_EQ(r->data, Pattern(6, 4));
  exhaustion.Release();

  EXPECT_EQ(CountEntries("fd", fds_before), fds_before) << "the failed link left nothing open";
  EXPECT_EQ(a_.counters().refused(), 1u);
  EXPECT_EQ(a_.counters().last_refusal().step(), Step::kSocket);
  EXPECT_EQ(a_.counters().last_refusal().error(), EMFILE);
  Received late = Forward(newcomer, Pattern(4, 5), port_a(), server_a_);
  EXPECT_EQ(late.data, Pattern(4, 5)) << "the newcomer's next datagram makes its link";
  a_.Stop();  // the link is counted after its first datagram has gone
  EXPECT_EQ(a_.counters().made(), 2u);
  EXPECT_EQ(a_.links().count, 2u);
}

TEST_F(RelayTest, ANewClientWithoutAThreadIsDroppedAndTriesAgain) {
  UdpPeer known;
  UdpPeer newcomer;
  Forward(known, Pattern(4, 1), port_a(), server_a_);
  const int fds_before = CountEntries("fd");
  const int tasks_before = CountEntries("task");

  FailThreadStarts(1);
  newcomer.SendTo(Pattern(4, 2), port_a());
  EXPECT_TRUE(server_a_.Silent(300));
  EXPECT_EQ(CountEntries("fd", fds_before), fds_before);
  EXPECT_EQ(CountEntries("task", tasks_before), tasks_before);
  Forward(known, Pattern(4, 3), port_a(), server_a_);

  EXPECT_EQ(a_.counters().last_refusal().step(), Step::kThread);
  Received late = Forward(newcomer, Pattern(4, 4), port_a(), server_a_);
  EXPECT_EQ(late.data, Pattern(4, 4));
  a_.Stop();
  EXPECT_EQ(a_.links().count, 2u);
}

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

}  // namespace
}  // namespace tavorin::testing
