// The client table's order and ownership.
#include <memory>
#include <vector>

#include "tests/relay_fixture.h"

namespace tavorin::testing {
namespace {

std::vector<ClientLink*> Walk(const ClientTable& table) {
  std::vector<ClientLink*> items;
  const ClientNode* previous = nullptr;
  for (const ClientNode* node = table.head(); node != nullptr; node = node->next.get()) {
    EXPECT_EQ(node->prev, previous) << "prev points to the newer node";
    items.push_back(node->item.get());
    previous = node;
  }
  EXPECT_EQ(table.tail(), previous);
  return items;
}

// A link of `owner`'s for the client 127.0.0.`host`:`port`, not started.
std::unique_ptr<ClientLink> LinkOf(Listener& owner, uint16_t port, int host = 1) {
  return std::make_unique<ClientLink>(LoopbackEndpoint(port, host), owner.port());
}

TEST(ClientTable, NodesOwnTheirItemAndALongTableGoesWithoutRecursion) {
  UdpPeer server;
  Listener owner;
  const int fds_before = CountEntries("fd");
  {
    ClientTable table;
    std::unique_ptr<ClientLink> link = LinkOf(owner, 9);
    ASSERT_TRUE(link->Start());
    ASSERT_TRUE(table.AddHead(link));
    std::unique_ptr<ClientLink> none;
    ASSERT_TRUE(table.AddHead(none)) << "a node may hold no link";
    for (int i = 0; i < 200000; ++i) {  // deeper than any stack, were nodes freed recursively
      std::unique_ptr<ClientLink> idle = LinkOf(owner, static_cast<uint16_t>(i), 2);
      ASSERT_TRUE(table.AddHead(idle));
    }
  }
  EXPECT_EQ(CountEntries("fd", fds_before), fds_before);
}

TEST(ClientTable, FindReturnsTheLinkAWalkFromTheHeadFindsFirst) {
  Listener owner;
  ClientTable table;
  uint32_t x = 12345;
  auto next = [&x] { return x = x * 1103515245u + 12345u; };
  auto random_client = [&] {
    Endpoint e = LoopbackEndpoint(static_cast<uint16_t>(next() % 40), 1 + next() % 3);
    e.v4.sin_zero[0] = static_cast<unsigned char>(next());  // never compared
    return e;
  };
  for (int i = 0; i < 300; ++i) {
    auto link = std::make_unique<ClientLink>(random_client(), owner.port());
    ASSERT_TRUE(table.AddHead(link));
  }
  for (int i = 0; i < 500; ++i) {
    Endpoint probe = random_client();
    ClientLink* walked = nullptr;
    for (ClientNode* n = table.head(); n != nullptr && walked == nullptr; n = n->next.get()) {
      if (SameAddressAndPort(n->item->client(), probe))
        walked = n->item.get();
    }
    ASSERT_EQ(table.Find(probe), walked);
  }
  table.RemoveAll();
  EXPECT_EQ(table.Find(LoopbackEndpoint(1)), nullptr) << "the index goes with the links";
}

// AddHead puts the newest first (a walk checks every prev, and that the tail ends it); expiry
// takes links out of any place in the table, and what is left stays whole and findable.
class ClientTableRemove : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(ClientTableRemove, TakesANodeFromAnyPlaceAndKeepsTheRestLinkedAndIndexed) {
  Listener owner;
  ClientTable table;
  EXPECT_EQ(Walk(table), std::vector<ClientLink*>{});
  EXPECT_EQ(table.head(), nullptr);
  std::vector<ClientLink*> left;  // newest first, as the table holds them
  for (uint16_t port = 1; port <= 4; ++port) {
    std::unique_ptr<ClientLink> link = LinkOf(owner, port);
    left.insert(left.begin(), link.get());
    ASSERT_TRUE(table.AddHead(link));
    EXPECT_EQ(link, nullptr) << "the table has taken it over";
    EXPECT_EQ(table.count(), port);
    EXPECT_EQ(Walk(table), left);
  }
  for (int place : GetParam()) {  // counted from the head of what is left
    ClientNode* node = table.head();
    for (int i = 0; i < place; ++i)
      node = node->next.get();
    ClientLink* expected = left[static_cast<size_t>(place)];
    std::unique_ptr<ClientLink> taken = table.Remove(node);
    EXPECT_EQ(taken.get(), expected) << "the link is handed over, not destroyed";
    left.erase(left.begin() + place);
    EXPECT_EQ(table.Find(taken->client()), nullptr);
    EXPECT_EQ(table.count(), left.size());
    EXPECT_EQ(Walk(table), left);
    for (ClientLink* link : left)
      EXPECT_EQ(table.Find(link->client()), link);
  }
  std::unique_ptr<ClientLink> again = LinkOf(owner, 1);  // a removed client comes back
  ClientLink* back = again.get();
  ASSERT_TRUE(table.AddHead(again));
  EXPECT_EQ(table.Find(LoopbackEndpoint(1)), back);
}

INSTANTIATE_TEST_SUITE_P(Places, ClientTableRemove,
                         ::testing::Values(std::vector<int>{0}, std::vector<int>{3},
                                           std::vector<int>{1, 1}, std::vector<int>{0, 0, 0, 0},
                                           std::vector<int>{3, 2, 1, 0},
                                           std::vector<int>{2, 0, 1, 0}));

TEST(KeyedHash, IsSipHash24AndDependsOnTheKey) {
  // The reference vector for the 8 bytes 00 01 .. 07 under the key 00 01 .. 0f.
  const KeyedHash reference(0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull);
  EXPECT_EQ(reference(0x0706050403020100ull), 0x93f5f5799a932462ull);
  const KeyedHash other(0x0706050403020100ull, 0x0f0e0d0c0b0a0909ull);
  EXPECT_NE(other(0x0706050403020100ull), reference(0x0706050403020100ull));
  EXPECT_NE(KeyedHash()(42), KeyedHash()(42)) << "every table draws a key of its own";
}

}  // namespace
}  // namespace tavorin::testing
