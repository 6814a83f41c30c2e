#include "relay/client_table.h"

#include <new>

namespace tavorin {

bool ClientTable::AddHead(std::unique_ptr<ClientLink>& link) {
  try {
    auto node = std::make_unique<ClientNode>();
    if (link != nullptr) {
      index_.insert_or_assign(Key(link->client()), link.get());
    }
    node->item = std::move(link);
    node->next = std::move(head);
    if (node->next != nullptr) {
      node->next->prev = node.get();
    } else {
      tail = node.get();
    }
    head = std::move(node);
  } catch (const std::bad_alloc&) {
    return false;  // nothing was taken over
  }
  ++count;
  return true;
}

void ClientTable::RemoveAll(bool detach) {
  if (head != nullptr) {
    count = 0;
    // One node at a time: letting the head go would destroy the whole chain recursively.
    while (head != nullptr) {
      std::unique_ptr<ClientNode> node = std::move(head);
      head = std::move(node->next);
      if (detach) {
        static_cast<void>(node->item.release());
      }
    }
  }
  tail = nullptr;
  index_.clear();
}

ClientLink* ClientTable::Find(const Endpoint& source) const {
  auto found = index_.find(Key(source));
  return found == index_.end() ? nullptr : found->second;
}

}  // namespace tavorin
