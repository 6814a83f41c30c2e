// The table of a Listener's client links: an owning doubly linked list, newest first, with an
// index beside it that finds a client's newest link without walking the list.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/endpoint.h"

namespace tavorin {

class ClientLink;

struct ClientNode {
  explicit ClientNode(ClientLink* link) : item(link) {}
  ~ClientNode();  // destroys the item, if it is still there
  ClientNode(const ClientNode&) = delete;
  ClientNode& operator=(const ClientNode&) = delete;

  ClientLink* item;
  ClientNode* next = nullptr;  // towards older nodes
  ClientNode* prev = nullptr;  // towards newer nodes
};

class ClientTable {
 public:
  ClientTable() = default;
  ~ClientTable() { RemoveAll(false); }
  ClientTable(const ClientTable&) = delete;
  ClientTable& operator=(const ClientTable&) = delete;

  // Enters `link` as the newest node; the table owns it from then on. Returns false, leaving
  // the link with the caller, when no memory for the node could be had.
  bool AddHead(ClientLink* link);

  // Empties the table. With `detach` the links are let go of instead of destroyed, and
  // whoever holds them keeps them.
  void RemoveAll(bool detach);

  // The newest link whose client has the address and port of `source`, or null: the link a
  // walk from the head would find first.
  ClientLink* Find(const Endpoint& source) const;

  ClientNode* head = nullptr;  // newest
  ClientNode* tail = nullptr;  // oldest
  uint32_t count = 0;

 private:
  static uint64_t Key(const Endpoint& e) {
    return (uint64_t{e.sin_addr.s_addr} << 16) | e.sin_port;
  }
  // Client address and port -> the newest link entered for them.
  std::unordered_map<uint64_t, ClientLink*> index_;
};

}  // namespace tavorin
