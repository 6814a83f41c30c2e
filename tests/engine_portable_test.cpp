// The relay engine through the platform layer's own sockets, on every system (under Wine too):
// no receive here waits for anything that is not on its way.
#include <chrono>
#include <memory>
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

}  // namespace
}  // namespace tavorin
