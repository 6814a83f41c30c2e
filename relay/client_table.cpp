#include "relay/client_table.h"

#include <new>

#include "relay/client_link.h"

namespace tavorin {

ClientNode::~ClientNode() {
  delete item;
}

bool ClientTable::AddHead(ClientLink* link) {
  auto* node = new (std::nothrow) ClientNode(link);
  if (node == nullptr) {
    return false;
  }
  if (link != nullptr) {
    try {
      index_.insert_or_assign(Key(link->client()), link);
    } catch (const std::bad_alloc&) {
      node->item = nullptr;  // the link stays with the caller
      delete node;
      return false;
    }
  }
  node->next = head;
  if (tail == nullptr) {
    tail = node;
  } else {
    head->prev = node;
  }
  head = node;
  ++count;
  return true;
}

void ClientTable::RemoveAll(bool detach) {
  if (head != nullptr) {
    count = 0;
    for (ClientNode* node = head; node != nullptr;) {
      ClientNode* older = node->next;
      if (detach) {
        node->item = nullptr;
      }
      delete node;
      node = older;
    }
  }
  head = nullptr;
  tail = nullptr;
  index_.clear();
}

ClientLink* ClientTable::Find(const Endpoint& source) const {
  auto found = index_.find(Key(source));
  return found == index_.end() ? nullptr : found->second;
}

}  // namespace tavorin
