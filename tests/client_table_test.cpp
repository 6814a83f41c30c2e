// The client table's order and ownership.
#include <vector>

#include "tests/relay_fixture.h"

namespace tavorin::testing {
namespace {

std::vector<ClientLink*> Walk(const ClientTable& table) {
  std::vector<ClientLink*> items;
  const ClientNode* previous = nullptr;
  for (const ClientNode* node = table.head; node != nullptr; node = node->next) {
    EXPECT_EQ(node->prev, previous) << "prev points to the newer node";
    items.push_back(node->item);
    previous = node;
  }
  EXPECT_EQ(table.tail, previous);
  return items;
}

TEST(ClientTable, AddHeadPutsTheNewestFirst) {
  Listener owner;
  ClientTable table;
  EXPECT_EQ(table.head, nullptr);
  EXPECT_EQ(table.tail, nullptr);
  std::vector<ClientLink*> added;
  for (uint16_t port = 1; port <= 4; ++port) {
    added.insert(added.begin(), new ClientLink(LoopbackEndpoint(port), &owner));
    ASSERT_TRUE(table.AddHead(added.front()));
    EXPECT_EQ(table.count, port);
    EXPECT_EQ(Walk(table), added);
  }
  EXPECT_EQ(table.head->prev, nullptr);
  EXPECT_EQ(table.tail->next, nullptr);
}

TEST(ClientTable, RemoveAllDestroysTheLinksOrLetsThemGo) {
  UdpPeer server;
  Listener owner;
  owner.SetServer(server.endpoint());
  const int fds_before = CountEntries("fd");
  const int tasks_before = CountEntries("task");

  ClientTable table;
  std::vector<ClientLink*> links;
  for (uint16_t port = 1; port <= 3; ++port) {
    links.push_back(new ClientLink(LoopbackEndpoint(port), &owner));
    ASSERT_TRUE(links.back()->Start());
    ASSERT_TRUE(table.AddHead(links.back()));
  }
  EXPECT_EQ(CountEntries("fd"), fds_before + 3);
  EXPECT_EQ(CountEntries("task"), tasks_before + 3);

  table.RemoveAll(true);
  EXPECT_EQ(table.head, nullptr);
  EXPECT_EQ(table.tail, nullptr);
  EXPECT_EQ(table.count, 0u);
  EXPECT_EQ(CountEntries("fd"), fds_before + 3) << "detached links live on";
  for (ClientLink* link : links) {
    EXPECT_NE(link->LocalPort(), 0);
    ASSERT_TRUE(table.AddHead(link));
  }

  table.RemoveAll(false);
  EXPECT_EQ(table.count, 0u);
  EXPECT_EQ(table.head, nullptr);
  EXPECT_EQ(CountEntries("fd"), fds_before) << "each link's socket is closed";
  EXPECT_EQ(CountEntries("task"), tasks_before) << "each return thread has ended";

  table.RemoveAll(false);  // an empty table stays empty
  EXPECT_EQ(table.tail, nullptr);
}

TEST(ClientTable, NodesOwnTheirItem) {
  UdpPeer server;
  Listener owner;
  const int fds_before = CountEntries("fd");
  auto* link = new ClientLink(LoopbackEndpoint(9), &owner);
  ASSERT_TRUE(link->Start());
  delete new ClientNode(link);
  EXPECT_EQ(CountEntries("fd"), fds_before);
  delete new ClientNode(nullptr);
}

}  // namespace
}  // namespace tavorin::testing

namespace tavorin::testing {
namespace {

TEST(ClientTable, FindReturnsTheLinkAWalkFromTheHeadFindsFirst) {
  Listener owner;
  ClientTable table;
  uint32_t x = 12345;
  auto next = [&x] { return x = x * 1103515245u + 12345u; };
  auto random_client = [&] {
    Endpoint e = LoopbackEndpoint(static_cast<uint16_t>(next() % 40), 1 + next() % 3);
    e.sin_zero[0] = static_cast<unsigned char>(next());  // never compared
    return e;
  };
  for (int i = 0; i < 300; ++i)
    ASSERT_TRUE(table.AddHead(new ClientLink(random_client(), &owner)));
  for (int i = 0; i < 500; ++i) {
    Endpoint probe = random_client();
    ClientLink* walked = nullptr;
    for (ClientNode* n = table.head; n != nullptr && walked == nullptr; n = n->next) {
      if (SameAddressAndPort(n->item->client(), probe))
        walked = n->item;
    }
    ASSERT_EQ(table.Find(probe), walked);
  }
  table.RemoveAll(false);
  EXPECT_EQ(table.Find(LoopbackEndpoint(1)), nullptr) << "the index goes with the links";
}

}  // namespace
}  // namespace tavorin::testing
