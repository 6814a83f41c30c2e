// The relay engine through the platform layer's own sockets, on every system (under Wine too):
// no receive here waits for anything that is not on its way.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket_api.h"
#include "platform/udp_socket.h"
#include "relay/client_link.h"
#include "relay/listener.h"

namespace tavorin {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes Fill(size_t size, unsigned char seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i)
    b[i] = static_cast<unsigned char>(seed + i * 31);
  return b;
}

Endpoint Local(uint16_t port) {
  return MakeEndpoint(htonl(INADDR_LOOPBACK), htons(port));
}

class PortableEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.started());
    ASSERT_TRUE(server_.OpenAndBind(EveryAddress(false)));
    ASSERT_TRUE(client_.OpenAndBind(EveryAddress(false)));
  }
  // The next datagram on `socket`, which the test knows to be on its way.
  static Bytes Next(const UdpSocket& socket, Endpoint* from) {
    Bytes b(2048);
    ReceiveSlot slot{b.data(), b.size(), 0, false, {}, {}, {}, 0};
    while (socket.ReceiveMany(&slot, 1).error != 0) {
    }
    *from = slot.source;
    b.resize(slot.length);
    return b;
  }
  SocketLibrary library_;  // outlives the sockets below
  UdpSocket server_;
  UdpSocket client_;
};

TEST_F(PortableEngine, RelaysBothWaysDropsWhatDoesNotFitAndStopsPromptly) {
  auto listener = std::make_unique<Listener>();
  listener->SetServer(Local(server_.LocalPort()));
  ASSERT_TRUE(listener->Start(0));
  const Endpoint relay = Local(listener->LocalPort());

  // Empty and oversize datagrams are dropped both ways: the first to reach the server is the 520
  // bytes, and the first to reach the client the 520 bytes back.
  client_.SendTo("", 0, relay);
  const Bytes too_long = Fill(521, 1);
  const Bytes far_too_long = Fill(65000, 4);
  client_.SendTo(too_long.data(), too_long.size(), relay);
  client_.SendTo(far_too_long.data(), 9000, relay);
  Bytes request = Fill(520, 2);
  client_.SendTo(request.data(), request.size(), relay);
  Endpoint link{};
  EXPECT_EQ(Next(server_, &link), request);

  server_.SendTo("", 0, link);
  server_.SendTo(too_long.data(), too_long.size(), link);
  server_.SendTo(far_too_long.data(), far_too_long.size(), link);
  Bytes reply = Fill(520, 3);
  server_.SendTo(reply.data(), reply.size(), link);
  Endpoint from{};
  EXPECT_EQ(Next(client_, &from), reply);
  EXPECT_EQ(ntohs(from.v4.sin_port), listener->LocalPort()) << "the reply comes from the listener";

  // A second client: a second link, on another port.
  UdpSocket other;
  ASSERT_TRUE(other.OpenAndBind(EveryAddress(false)));
  other.SendTo(request.data(), 7, relay);
  Endpoint second_link{};
  EXPECT_EQ(Next(server_, &second_link).size(), 7u);
  EXPECT_NE(second_link.v4.sin_port, link.v4.sin_port);
  client_.SendTo(request.data(), 9, relay);
  EXPECT_EQ(Next(server_, &link).size(), 9u);

  // Stopping and destroying wake every blocked receive and join every thread: both return.
  listener->Stop();
  EXPECT_EQ(listener->links().count(), 2u);
  const ClientLink* first = listener->FindClient(Local(client_.LocalPort()));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->to_server().bytes, 520u + 9u) << "the link's first datagram and the next";
  listener.reset();
}

// A run of datagrams handed to one send arrives as the datagrams it was, in order and byte for
// byte, whether the system can send it as one (one destination and source, equal lengths but a
// shorter last, within one IP datagram) or it goes datagram by datagram.
struct RunCase {
  const char* name;
  std::vector<size_t> lengths;
  size_t prefix = 0;     // bytes ahead of each datagram, from a buffer of their own
  bool sourced = false;  // sent from another loopback address, named
  bool v6_socket = false;
  bool last_elsewhere = false;  // the last datagram to another port
};

class SentRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(SentRun, ArrivesAsTheDatagramsItWas) {
  const RunCase& c = GetParam();
  SocketLibrary library;
  UdpSocket sender;
  UdpSocket receivers[2];
  ASSERT_TRUE(sender.OpenAndBind(EveryAddress(c.v6_socket)));
  Endpoint to[2];
  for (int r = 0; r < 2; ++r) {
    ASSERT_TRUE(receivers[r].OpenAndBind(EveryAddress(false)));
    ASSERT_EQ(receivers[r].SetReceiveTimeout(std::chrono::seconds(5)), 0);
    to[r] = Local(receivers[r].LocalPort());
  }
#ifdef _WIN32
  const Endpoint from = Local(0);
#else
  const Endpoint from = MakeEndpoint(htonl(INADDR_LOOPBACK + 1), 0);
#endif
  const Bytes prefix = Fill(c.prefix, 200);
  std::vector<Bytes> expected;
  std::vector<OutgoingDatagram> run;
  size_t bytes = 0;
  for (size_t i = 0; i < c.lengths.size(); ++i)
    expected.push_back(Fill(c.lengths[i], static_cast<unsigned char>(i)));
  for (Bytes& e : expected) {
    run.push_back({e.data(), e.size(), &to[c.last_elsewhere && &e == &expected.back()],
                   c.sourced ? &from : nullptr, prefix.data(), prefix.size()});
    bytes += prefix.size() + e.size();
  }
  RunRoom room;
  const IoResult sent = sender.SendRun(run.data(), static_cast<int>(run.size()), room);
  EXPECT_EQ(sent.count, static_cast<int>(run.size()));
  EXPECT_EQ(sent.bytes, bytes);
  Bytes buffer(65536);
  for (size_t i = 0; i < run.size(); ++i) {
    ReceiveSlot slot{buffer.data(), buffer.size(), 0, false, {}, {}, {}, 0};
    ASSERT_EQ(receivers[run[i].to == &to[1]].ReceiveMany(&slot, 1).error, 0) << "datagram " << i;
    expected[i].insert(expected[i].begin(), prefix.begin(), prefix.end());
    EXPECT_EQ(Bytes(buffer.data(), buffer.data() + slot.length), expected[i]) << "datagram " << i;
    EXPECT_EQ(ntohs(slot.source.port_net()), sender.LocalPort());
    EXPECT_TRUE(SameAddress(slot.source, c.sourced ? from : Local(0)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, SentRun,
    ::testing::Values(RunCase{"EqualLengths", std::vector<size_t>(8, 64)},
                      RunCase{"AShorterLast", {300, 300, 300, 7}},
                      RunCase{"ALongerThenAShorterInTheMiddle", {100, 200, 50, 100}},
                      RunCase{"EachWithAPrefix", {48, 48, 48, 20}, 16},
                      RunCase{"FromAnAddressNamed", {64, 64, 64}, 0, true},
                      RunCase{"FromASocketOfBothFamilies", {64, 64, 30}, 0, true, true},
                      RunCase{"TheLastToAnotherPort", {64, 64, 64}, 0, false, false, true},
                      RunCase{"AFullBatch", std::vector<size_t>(64, 1000)}),
    [](const ::testing::TestParamInfo<RunCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavorin
