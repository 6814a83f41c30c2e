// The relay engine through the platform layer's own sockets, on every system (under Wine too):
// no receive here waits for anything that is not on its way.
#include <chrono>
#include <memory>
#include <numeric>
#include <ostream>
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

// Bursts both ways, runs of one length and lengths that change, pass in order and whole: the
// receive thread sends a client's run in one call, and a link's thread takes its replies in
// batches and sends them on in one call.
TEST_F(PortableEngine, BurstsEachWayArriveInOrderByteForByte) {
  Listener listener;
  listener.SetServer(Local(server_.LocalPort()));
  ASSERT_TRUE(listener.Start(0));
  const Endpoint relay = Local(listener.LocalPort());
  ASSERT_EQ(server_.SetReceiveTimeout(std::chrono::seconds(5)), 0);
  ASSERT_EQ(client_.SetReceiveTimeout(std::chrono::seconds(5)), 0);
  const std::vector<size_t> lengths = {64,  64,  64, 64,  64,  64,  64, 64, 64, 64, 64, 20,
                                       200, 200, 7,  520, 520, 520, 1,  64, 64, 64, 64, 64};
  Bytes buffer(2048);
  auto arrive = [&](const UdpSocket& at, unsigned char seed, Endpoint* from) {
    for (size_t i = 0; i < lengths.size(); ++i) {
      ReceiveSlot slot{buffer.data(), buffer.size(), 0, false, {}, {}, {}, 0};
      ASSERT_EQ(at.ReceiveMany(&slot, 1).error, 0) << "datagram " << i << " did not come";
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(slot.length)),
                Fill(lengths[i], static_cast<unsigned char>(seed + i)))
          << "datagram " << i;
      *from = slot.source;
    }
  };
  for (size_t i = 0; i < lengths.size(); ++i) {
    const Bytes b = Fill(lengths[i], static_cast<unsigned char>(i));
    client_.SendTo(b.data(), b.size(), relay);
  }
  Endpoint link{};
  arrive(server_, 0, &link);
  for (size_t i = 0; i < lengths.size(); ++i) {
    const Bytes b = Fill(lengths[i], static_cast<unsigned char>(100 + i));
    server_.SendTo(b.data(), b.size(), link);
  }
  Endpoint from{};
  arrive(client_, 100, &from);
  EXPECT_EQ(ntohs(from.v4.sin_port), listener.LocalPort());
}

// A run of datagrams handed to one send arrives as the datagrams it was, in order and byte for
// byte, whether the system can send the run as one (one destination, equal lengths but a
// shorter last, within one IP datagram) or it goes datagram by datagram.
struct RunCase {
  const char* name;
  std::vector<size_t> lengths;
  size_t prefix = 0;     // bytes ahead of each datagram, from a buffer of their own
  bool sourced = false;  // sent from another loopback address, named
  bool v6_socket = false;
  bool last_elsewhere = false;  // the last datagram to another port
  bool to_v6 = false;           // to ::1 (from a socket of both families)
};

std::ostream& operator<<(std::ostream& out, const RunCase& c) {
  return out << c.name;
}

class SentRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(SentRun, ArrivesAsTheDatagramsItWas) {
  const RunCase& c = GetParam();
  SocketLibrary library;
  UdpSocket sender;
  UdpSocket receivers[2];
  ASSERT_TRUE(sender.OpenAndBind(EveryAddress(c.v6_socket)));
  const Endpoint loopback6 = MakeEndpoint6(in6addr_loopback, 0);
  for (UdpSocket& r : receivers) {
    if (!r.OpenAndBind(c.to_v6 ? loopback6 : EveryAddress(false)))
      GTEST_SKIP() << "no IPv6 loopback here";
    r.SetReceiveBuffer(4 << 20);
    ASSERT_EQ(r.SetReceiveTimeout(std::chrono::seconds(5)), 0);
  }
  auto at = [&](const UdpSocket& r) {
    return c.to_v6 ? MakeEndpoint6(in6addr_loopback, htons(r.LocalPort())) : Local(r.LocalPort());
  };
  const Endpoint to[2] = {at(receivers[0]), at(receivers[1])};
#ifdef _WIN32
  const Endpoint from = Local(0);
#else
  const Endpoint from = MakeEndpoint(htonl(INADDR_LOOPBACK + 1), 0);
#endif
  const Bytes prefix = Fill(c.prefix, 200);
  std::vector<Bytes> payloads;
  std::vector<OutgoingDatagram> run;
  for (size_t i = 0; i < c.lengths.size(); ++i)
    payloads.push_back(Fill(c.lengths[i], static_cast<unsigned char>(i)));
  for (const Bytes& p : payloads) {
    const bool elsewhere = c.last_elsewhere && &p == &payloads.back();
    run.push_back({p.data(), p.size(), &to[elsewhere ? 1 : 0], c.sourced ? &from : nullptr,
                   prefix.data(), prefix.size()});
  }
  const IoResult sent = sender.SendRun(run.data(), static_cast<int>(run.size()));
  EXPECT_EQ(sent.count, static_cast<int>(run.size()));
  EXPECT_EQ(sent.bytes, std::accumulate(c.lengths.begin(), c.lengths.end(), size_t{0}) +
                            c.lengths.size() * c.prefix);

  Bytes buffer(65536);
  for (size_t i = 0; i < payloads.size(); ++i) {
    const UdpSocket& receiver = receivers[run[i].to == &to[1] ? 1 : 0];
    ReceiveSlot slot{buffer.data(), buffer.size(), 0, false, {}, {}, {}, 0};
    ASSERT_EQ(receiver.ReceiveMany(&slot, 1).error, 0) << "datagram " << i << " did not come";
    Bytes expected = prefix;
    expected.insert(expected.end(), payloads[i].begin(), payloads[i].end());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(slot.length)), expected)
        << "datagram " << i;
    EXPECT_EQ(ntohs(slot.source.port_net()), sender.LocalPort());
    EXPECT_TRUE(SameAddress(slot.source, c.to_v6 ? loopback6 : c.sourced ? from : Local(0)));
  }
  for (const UdpSocket& r : receivers) {
    ReceiveSlot slot{buffer.data(), buffer.size(), 0, false, {}, {}, {}, 0};
    ASSERT_EQ(r.SetReceiveTimeout(std::chrono::milliseconds(100)), 0);
    EXPECT_NE(r.ReceiveMany(&slot, 1).error, 0) << "a datagram more than was sent";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, SentRun,
    ::testing::Values(RunCase{"EqualLengths", std::vector<size_t>(8, 64)},
                      RunCase{"AShorterLast", {300, 300, 300, 7}},
                      RunCase{"ALongerInTheMiddle", {100, 200, 100}},
                      RunCase{"AShorterInTheMiddle", {100, 50, 100}},
                      RunCase{"AnEmptyOne", {10, 0, 10}},
                      RunCase{"EachWithAPrefix", {48, 48, 48, 20}, 16},
                      RunCase{"FromAnAddressNamed", {64, 64, 64}, 0, true},
                      RunCase{"FromASocketOfBothFamilies", {64, 64, 30}, 0, true, true},
                      RunCase{"TheLastToAnotherPort", {64, 64, 64}, 0, false, false, true},
                      RunCase{"ToAnIPv6Address", {500, 500, 500, 499}, 0, false, true, false, true},
                      RunCase{"AFullBatch", std::vector<size_t>(64, 1000)},
                      RunCase{"LongerThanOneIpDatagram", std::vector<size_t>(50, 1400)}),
    [](const ::testing::TestParamInfo<RunCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavorin
