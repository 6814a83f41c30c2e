// The table of a Listener's client links: an owning doubly linked list, newest first.
#pragma once

#include <cstdint>

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

  ClientNode* head = nullptr;  // newest
  ClientNode* tail = nullptr;  // oldest
  uint32_t count = 0;
};

}  // namespace tavorin
