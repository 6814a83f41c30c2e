// Which sources the loop guard turns away, on every system (under Wine too).
#include <gtest/gtest.h>

#include "platform/socket_api.h"
#include "platform/udp_socket.h"
#include "relay/loop_guard.h"

namespace tavorin {
namespace {

using Verdict = LoopGuard::Verdict;

uint32_t Address(const char* dotted) {
  return inet_addr(dotted);
}

Endpoint At(const char* dotted, uint16_t port) {
  return MakeEndpoint(Address(dotted), htons(port));
}

// An address no host here has (a documentation range that this machine does not use).
constexpr char kElsewhere[] = "198.51.100.7";

class LoopGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.started()); }
  SocketLibrary library_;
};

TEST_F(LoopGuardTest, TheServersEndpointsAreTurnedAwayAndOnlyThey) {
  LoopGuard guard;
  guard.AddServer(At(kElsewhere, 2000));
  guard.AddServer(At(kElsewhere, 2001));
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2000), 0), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2001), 0), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2002), 0), Verdict::kRelay)
      << "another port of the server's host";
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2000), Address("127.0.0.1")), Verdict::kRelay)
      << "a server elsewhere: a client here may use its port number";
  EXPECT_EQ(guard.Judge(At("198.51.100.8", 2000), 0), Verdict::kRelay);
}

TEST_F(LoopGuardTest, AServerOnThisHostIsEveryOwnAddressWithItsPorts) {
  LoopGuard guard;
  guard.AddServer(At("127.0.0.1", 2000));
  guard.AddServer(At("127.0.0.1", 2001));
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2001), 0), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At("127.0.0.9", 2000), 0), Verdict::kDrop) << "all of 127/8 is this host";
  EXPECT_EQ(guard.Judge(At("0.0.0.0", 2000), 0), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2000), 0), Verdict::kDropIfLocal)
      << "only the system can tell whether an address is this host's";
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2000), Address(kElsewhere)), Verdict::kDrop)
      << "the address a datagram was sent to is this host's";
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2002), 0), Verdict::kRelay);
}

TEST_F(LoopGuardTest, ListeningPortsCountOnceRecordedAndFromThisHostOnly) {
  LoopGuard guard;
  guard.AddServer(At(kElsewhere, 2000));
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 15001), 0), Verdict::kRelay) << "not recorded yet";
  guard.AddListeningPort(15000);
  guard.AddListeningPort(15001);
  guard.AddListeningPort(0);  // a port not bound counts for nothing
  for (uint16_t port : {15000, 15001}) {
    EXPECT_EQ(guard.Judge(At("127.0.0.1", port), Address("127.0.0.1")), Verdict::kDrop) << port;
    EXPECT_EQ(guard.Judge(At("127.3.2.1", port), Address("127.0.0.1")), Verdict::kDrop) << port;
    EXPECT_EQ(guard.Judge(At(kElsewhere, port), 0), Verdict::kDropIfLocal) << port;
  }
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 15002), 0), Verdict::kRelay);
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 0), 0), Verdict::kRelay);
}

TEST_F(LoopGuardTest, TheSystemTellsWhichAddressesAreThisHosts) {
  EXPECT_TRUE(IsAddressOfThisHost(Address("127.0.0.1")));
  EXPECT_TRUE(IsAddressOfThisHost(Address("127.200.0.1")));
  EXPECT_TRUE(IsAddressOfThisHost(0));
  EXPECT_FALSE(IsAddressOfThisHost(Address(kElsewhere)));
}

}  // namespace
}  // namespace tavorin
