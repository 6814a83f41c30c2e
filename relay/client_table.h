// The table of a Listener's client links: an owning doubly linked list, newest first, with an
// index beside it that finds a client's newest link without walking the list.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "platform/endpoint.h"
#include "relay/client_link.h"
#include "relay/keyed_hash.h"

namespace tavorin {

struct ClientNode {
  std::unique_ptr<ClientLink> item;  // may be empty
  std::unique_ptr<ClientNode> next;  // towards older nodes; each node owns the next one
  ClientNode* prev = nullptr;        // towards newer nodes
  // What the idle sweep saw of the link last time, and since when it has seen no more.
  uint64_t seen_activity = 0;
  std::chrono::steady_clock::time_point quiet_since{};
};

class ClientTable {
 public:
  ClientTable() = default;
  ~ClientTable() { RemoveAll(); }
  ClientTable(const ClientTable&) = delete;
  ClientTable& operator=(const ClientTable&) = delete;

  // Enters `link` as the newest node, and the table takes it over. When no memory for the
  // node can be had, false is returned and `link` stays with the caller.
  bool AddHead(std::unique_ptr<ClientLink>& link);

  // Empties the table, destroying the links newest first (each joins its return thread in
  // turn: whoever wants them to end side by side wakes them all first).
  void RemoveAll();

  // Takes `node` out of the table, whatever its place, and hands over its link. Constant time.
  std::unique_ptr<ClientLink> Remove(ClientNode* node);

  // The newest link whose client has the address and port of `source`, or null: the link a
  // walk from the head would find first.
  ClientLink* Find(const Endpoint& source) const;

  ClientNode* head() const { return head_.get(); }  // newest, or null
  ClientNode* tail() const { return tail_; }        // oldest, or null
  uint32_t count() const { return count_; }

 private:
  std::unique_ptr<ClientNode> head_;
  ClientNode* tail_ = nullptr;
  uint32_t count_ = 0;
  // An IPv4 client's address and port in one word, an IPv6 one's in three: IPv4 clients, the
  // common case, cost no more than before there were IPv6 ones.
  static uint64_t Key4(const Endpoint& e) {
    return (uint64_t{e.v4.sin_addr.s_addr} << 16) | e.port_net();
  }
  using Key6Words = std::array<uint64_t, 3>;
  static Key6Words Key6(const Endpoint& e) {
    Key6Words key{0, 0, e.port_net()};
    std::memcpy(key.data(), &e.v6.sin6_addr, 16);
    return key;
  }
  template <typename Index, typename Key>
  static ClientLink* Lookup(const Index& index, const Key& key) {
    auto found = index.find(key);
    return found == index.end() ? nullptr : found->second;
  }
  template <typename Index, typename Key>
  static void Forget(Index& index, const Key& key, const ClientLink* link) {
    auto found = index.find(key);
    if (found != index.end() && found->second == link)
      index.erase(found);
  }
  // Client address and port -> the newest link entered for them, one index a family, hashed
  // under a key of the table's own.
  std::unordered_map<uint64_t, ClientLink*, KeyedHash> index4_;
  std::unordered_map<Key6Words, ClientLink*, KeyedHash> index6_;
};

}  // namespace tavorin
