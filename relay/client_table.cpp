#include "relay/client_table.h"

#include <new>

namespace tavorin {

bool ClientTable::AddHead(std::unique_ptr<ClientLink>& link) {
  try {
    auto node = std::make_unique<ClientNode>();
    if (link != nullptr) {
      const Endpoint& client = link->client();
      if (client.is_v6())
        index6_.insert_or_assign(Key6(client), link.get());
      else
        index4_.insert_or_assign(Key4(client), link.get());
    }
    node->item = std::move(link);
    node->next = std::move(head_);
    if (node->next != nullptr) {
      node->next->prev = node.get();
    } else {
      tail_ = node.get();
    }
    head_ = std::move(node);
  } catch (const std::bad_alloc&) {
    return false;  // nothing was taken over
  }
  ++count_;
  return true;
}

void ClientTable::RemoveAll() {
  count_ = 0;
  // One node at a time: letting the head go would destroy the whole chain recursively.
  while (head_ != nullptr) {
    std::unique_ptr<ClientNode> node = std::move(head_);
    head_ = std::move(node->next);
  }
  tail_ = nullptr;
  index4_.clear();
  index6_.clear();
}

std::unique_ptr<ClientLink> ClientTable::Remove(ClientNode* node) {
  std::unique_ptr<ClientNode>& holder = node->prev != nullptr ? node->prev->next : head_;
  std::unique_ptr<ClientNode> taken = std::move(holder);  // `node` itself
  holder = std::move(taken->next);
  if (holder != nullptr) {
    holder->prev = taken->prev;
  } else {
    tail_ = taken->prev;
  }
  --count_;
  if (const ClientLink* link = taken->item.get(); link != nullptr) {
    if (link->client().is_v6())
      Forget(index6_, Key6(link->client()), link);
    else
      Forget(index4_, Key4(link->client()), link);
  }
  return std::move(taken->item);
}

ClientLink* ClientTable::Find(const Endpoint& source) const {
  return source.is_v6() ? Lookup(index6_, Key6(source)) : Lookup(index4_, Key4(source));
}

}  // namespace tavorin
