// Datagrams gathered from several sockets and sent in one flush, through the system's ring
// where it has one and through the socket calls otherwise.
#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/send_queue.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {
namespace {

class SendQueueTest : public ::testing::TestWithParam<bool> {};

TEST_P(SendQueueTest, EveryDatagramLeavesFromItsSocketInOrderAndARefusalSkipsOnlyItself) {
  UdpPeer peer;
  const Endpoint to = peer.endpoint();
  const Endpoint nowhere = LoopbackEndpoint(0);  // the system refuses to send to port 0
  UdpSocket sockets[3];
  for (UdpSocket& socket : sockets) {
    ASSERT_TRUE(socket.OpenAndBind(0));
  }
  // Runs of one socket and single datagrams, over more than a queue holds.
  constexpr int kDatagrams = kMaxBatch + 30;
  std::vector<Bytes> payloads;
  for (int i = 0; i < kDatagrams; ++i) {
    payloads.push_back(Pattern(1 + static_cast<size_t>(i) * 5, static_cast<unsigned>(i)));
  }
  SendQueue queue(GetParam());
  std::map<uint16_t, std::vector<Bytes>> expected;
  for (int i = 0; i < kDatagrams; ++i) {
    const UdpSocket& from = sockets[(i / 3 + i % 2) % 3];
    const bool refused = i == 7;
    queue.Add(from, {payloads[i].data(), payloads[i].size(), refused ? &nowhere : &to, 0});
    if (!refused)
      expected[from.LocalPort()].push_back(payloads[i]);
  }
  IoResult last = queue.Flush();
  EXPECT_EQ(queue.Flush().count, 0) << "a flush empties the queue";

  std::map<uint16_t, std::vector<Bytes>> got;
  for (int i = 0; i < kDatagrams - 1; ++i) {
    auto r = peer.Receive();
    ASSERT_TRUE(r.has_value()) << "only " << i << " datagrams came";
    got[ntohs(r->from.sin_port)].push_back(r->data);
  }
  EXPECT_TRUE(peer.Silent());
  EXPECT_EQ(got, expected);
  // The refused datagram was in the first, automatic flush; the second reports its own.
  EXPECT_EQ(last.count, kDatagrams - kMaxBatch);
  EXPECT_EQ(last.error, 0);
}

INSTANTIATE_TEST_SUITE_P(RingOrCalls, SendQueueTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "RingWhereThereIsOne" : "SocketCalls");
                         });

TEST(SendQueue, ARefusedSendIsReportedAndTheOthersStillGo) {
  for (bool ring : {true, false}) {
    UdpPeer peer;
    const Endpoint to = peer.endpoint();
    const Endpoint nowhere = LoopbackEndpoint(0);
    UdpSocket socket;
    ASSERT_TRUE(socket.OpenAndBind(0));
    SendQueue queue(ring);
    queue.Add(socket, {"a", 1, &to, 0});
    queue.Add(socket, {"b", 1, &nowhere, 0});
    queue.Add(socket, {"c", 1, &to, 0});
    IoResult result = queue.Flush();
    EXPECT_EQ(result.count, 2) << "ring " << ring;
    EXPECT_NE(result.error, 0) << "ring " << ring;
    for (const char* expected : {"a", "c"}) {
      auto r = peer.Receive();
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->data, Bytes(expected, expected + 1));
    }
  }
}

}  // namespace
}  // namespace tavorin::testing
