// Which sources the loop guard turns away, on every system (under Wine too).
#include <gtest/gtest.h>

#include "platform/resolve_host.h"
#include "platform/socket_api.h"
#include "platform/udp_socket.h"
#include "relay/loop_guard.h"

namespace tavorin {
namespace {

using Verdict = LoopGuard::Verdict;

// An address of either family, port 0.
Endpoint Address(const char* text) {
  std::optional<Endpoint> address = ParseAddress(text);
  EXPECT_TRUE(address.has_value()) << text;
  return address.value_or(Endpoint());
}

Endpoint At(const char* text, uint16_t port) {
  Endpoint e = Address(text);
  e.set_port_net(htons(port));
  return e;
}

const Endpoint kNone;

// An address no host here has (a documentation range that this machine does not use).
constexpr char kElsewhere[] = "198.51.100.7";

// A guard with the route whose servers it judges by.
struct Guarded {
  LoopGuard guard;
  Route route;
  int servers = 0;
  void AddServer(const Endpoint& server) { route.SetServer(servers++, server); }
  void AddListeningPort(uint16_t port) { guard.AddListeningPort(port); }
  Verdict Judge(const Endpoint& source, const Endpoint& local) const {
    return guard.Judge(source, local, route);
  }
  Verdict JudgeReply(const Endpoint& source) const { return guard.JudgeReply(source, route); }
  bool PortTaken(uint16_t port) const { return guard.PortTaken(port, route); }
};

class LoopGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.started()); }
  SocketLibrary library_;
};

TEST_F(LoopGuardTest, TheServersEndpointsAreTurnedAwayAndOnlyThey) {
  Guarded guard;
  guard.AddServer(At(kElsewhere, 2000));
  guard.AddServer(At(kElsewhere, 2001));
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2000), kNone), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2001), kNone), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2002), kNone), Verdict::kRelay)
      << "another port of the server's host";
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2000), Address("127.0.0.1")), Verdict::kRelay)
      << "a server elsewhere: a client here may use its port number";
  EXPECT_EQ(guard.Judge(At("198.51.100.8", 2000), kNone), Verdict::kRelay);
}

TEST_F(LoopGuardTest, AServerOnThisHostIsEveryOwnAddressWithItsPorts) {
  Guarded guard;
  guard.AddServer(At("127.0.0.1", 2000));
  guard.AddServer(At("127.0.0.1", 2001));
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2001), kNone), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At("127.0.0.9", 2000), kNone), Verdict::kDrop)
      << "all of 127/8 is this host";
  EXPECT_EQ(guard.Judge(At("0.0.0.0", 2000), kNone), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2000), kNone), Verdict::kDropIfLocal)
      << "only the system can tell whether an address is this host's";
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2000), Address(kElsewhere)), Verdict::kDrop)
      << "the address a datagram was sent to is this host's";
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2002), kNone), Verdict::kRelay);
}

TEST_F(LoopGuardTest, ListeningPortsCountOnceRecordedAndFromThisHostOnly) {
  Guarded guard;
  guard.AddServer(At(kElsewhere, 2000));
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 15001), kNone), Verdict::kRelay) << "not recorded yet";
  guard.AddListeningPort(15000);
  guard.AddListeningPort(15001);
  guard.AddListeningPort(0);  // a port not bound counts for nothing
  for (uint16_t port : {15000, 15001}) {
    EXPECT_EQ(guard.Judge(At("127.0.0.1", port), Address("127.0.0.1")), Verdict::kDrop) << port;
    EXPECT_EQ(guard.Judge(At("127.3.2.1", port), Address("127.0.0.1")), Verdict::kDrop) << port;
    EXPECT_EQ(guard.Judge(At(kElsewhere, port), kNone), Verdict::kDropIfLocal) << port;
  }
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 15002), kNone), Verdict::kRelay);
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 0), kNone), Verdict::kRelay);
}

// What reaches a link from a listening port at this host is the relay's own; the server is
// never turned away, though it answer from a port number the relay listens on elsewhere.
TEST_F(LoopGuardTest, RepliesFromTheRelaysOwnPortsAndThePortsLinksMustAvoid) {
  Guarded guard;
  guard.AddServer(At(kElsewhere, 15000));
  guard.AddListeningPort(15000);
  guard.AddListeningPort(15001);
  const struct {
    Endpoint source;
    Verdict verdict;
  } replies[] = {
      {At(kElsewhere, 15000), Verdict::kRelay},  {At(kElsewhere, 15001), Verdict::kDropIfLocal},
      {At("127.0.0.1", 15000), Verdict::kDrop},  {At("127.0.0.9", 15001), Verdict::kDrop},
      {At("::1", 15001), Verdict::kDrop},        {At("2001:db8::7", 15000), Verdict::kDropIfLocal},
      {At("127.0.0.1", 15002), Verdict::kRelay}, {At("127.0.0.1", 0), Verdict::kRelay},
  };
  for (const auto& row : replies)
    EXPECT_EQ(guard.JudgeReply(row.source), row.verdict) << EndpointText(row.source);

  EXPECT_TRUE(guard.PortTaken(15001));
  EXPECT_FALSE(guard.PortTaken(40000));
  {
    LoopGuard::Marks on_p(&guard.guard, 40000);  // one client on both listening ports, two links
    LoopGuard::Marks on_p1(&guard.guard, 40000);
    on_p1.Release();
    EXPECT_TRUE(guard.PortTaken(40000)) << "a link still serves a client on it";
  }
  EXPECT_FALSE(guard.PortTaken(40000));
}

// Links of different clients may hold one port number (transparent links, each on its client's
// address): the port stays the relay's until the last of them ends.
TEST_F(LoopGuardTest, ALinkPortIsTheRelaysUntilItsLastLinkEnds) {
  Guarded guard;
  guard.AddServer(At("127.0.0.1", 2000));
  guard.AddListeningPort(15000);
  LoopGuard::Marks first(&guard.guard, 50000);
  LoopGuard::Marks second(&guard.guard, 50001);
  first.HoldLinkPort(41000);
  second.HoldLinkPort(41000);
  first = LoopGuard::Marks();  // the first link ends
  EXPECT_TRUE(guard.guard.HeldByRelay(htons(41000)));
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 41000), kNone), Verdict::kDrop);
  EXPECT_TRUE(guard.guard.HeldByRelay(htons(15000)));
  EXPECT_FALSE(guard.guard.HeldByRelay(htons(2000))) << "the server's port is not the relay's";
  // What reaches a link from another link's port here was sent for that link's client.
  EXPECT_EQ(guard.guard.JudgeReply(At("127.0.0.1", 41000), guard.route), Verdict::kDrop);
  EXPECT_EQ(guard.guard.JudgeReply(At(kElsewhere, 41000), guard.route), Verdict::kRelay);
  EXPECT_EQ(guard.guard.JudgeReply(At("127.0.0.1", 41000), guard.route, true), Verdict::kRelay)
      << "transparent links hold their ports on their clients' addresses alone";
  second.Release();
  EXPECT_FALSE(guard.guard.HeldByRelay(htons(41000)));
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 41000), kNone), Verdict::kRelay);
}

TEST_F(LoopGuardTest, TheSystemTellsWhichAddressesAreThisHosts) {
  EXPECT_TRUE(IsAddressOfThisHost(Address("127.0.0.1")));
  EXPECT_TRUE(IsAddressOfThisHost(Address("127.200.0.1")));
  EXPECT_TRUE(IsAddressOfThisHost(Address("0.0.0.0")));
  EXPECT_FALSE(IsAddressOfThisHost(Address(kElsewhere)));
  EXPECT_TRUE(IsAddressOfThisHost(Address("::1")));
  EXPECT_TRUE(IsAddressOfThisHost(Address("::")));
  EXPECT_TRUE(IsAddressOfThisHost(Address("::ffff:127.0.0.1"))) << "IPv4 in IPv6 form";
  EXPECT_FALSE(IsAddressOfThisHost(Address("2001:db8::7")));
}

// A server of either family, and sources of the other: an IPv4 server given in IPv6 form is
// the IPv4 one, and an IPv6 source never matches an IPv4 server by its bytes.
TEST_F(LoopGuardTest, BothFamiliesAndIPv4InIPv6Form) {
  Guarded guard;
  guard.AddServer(At("::1", 2000));
  guard.AddServer(At("::ffff:198.51.100.7", 2001));
  EXPECT_EQ(guard.Judge(At("::1", 2000), kNone), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At("127.0.0.1", 2000), kNone), Verdict::kDrop) << "this host either way";
  EXPECT_EQ(guard.Judge(At(kElsewhere, 2001), kNone), Verdict::kDrop);
  EXPECT_EQ(guard.Judge(At("2001:db8::7", 2001), kNone), Verdict::kRelay);
  EXPECT_EQ(guard.Judge(At("2001:db8::7", 2000), At("2001:db8::7", 0)), Verdict::kDrop)
      << "the address a datagram was sent to is this host's";
  guard.AddListeningPort(15000);
  EXPECT_EQ(guard.Judge(At("::1", 15000), kNone), Verdict::kDrop);
}

}  // namespace
}  // namespace tavorin
