// The links a Listener's receive thread took out of its table (gone idle, or unable to follow
// the server to the other family), on their way to the thread that closes them. Three hands
// hold them in turn: the receive thread's own list until it hands them over (never waiting
// for the lock: a turn that finds it held tries again at the next), then the shared list under
// the lock, then the closing thread's, which wakes, joins and destroys them.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "relay/client_link.h"

namespace tavorin {

// Told of each link closed, once its thread has ended and before it is destroyed.
using LinkClosed = std::function<void(const ClientLink& link, LinkEnd why)>;

// Ends the return thread of every link `each(visit)` visits (visit(link, why)): all are woken
// before the first is joined, so that they end side by side; `scheduled_last` lets them end
// only when no relaying thread wants the processor. Then tells each, in the same order, to
// `closed` (may be empty).
template <typename EachLink>
void EndLinks(EachLink each, bool scheduled_last, const LinkClosed& closed) {
  each([scheduled_last](ClientLink& link, LinkEnd) {
    if (scheduled_last) {
      link.WakeScheduledLast();
    } else {
      link.Wake();
    }
  });
  each([&closed](ClientLink& link, LinkEnd why) {
    link.Join();
    if (closed)
      closed(link, why);
  });
}

class ExpiryQueue {
 public:
  // The receive thread: room for one more link, had before the link leaves the table; false
  // when no memory can be had (the link stays where it is for now).
  bool MakeRoom();
  // After MakeRoom: `link`, taken out of the table, to be closed for what it says (its end).
  void Add(std::unique_ptr<ClientLink> link) { expiring_.push_back(std::move(link)); }
  // Passes what was added to the closing thread, when that takes no waiting.
  void HandOver();
  // Once the receive thread has ended: what it had not handed over, passed on now.
  void HandOverAll();

  // The closing thread: closes up to `most` of the links handed over, those that expired first
  // first (see EndLinks, scheduled last). Returns how many.
  size_t Close(size_t most, const LinkClosed& closed);
  // The closing thread: every link handed over and not closed yet, in the order they expired,
  // taken out of the queue for the caller to end.
  std::deque<std::unique_ptr<ClientLink>> TakeAll();

 private:
  void TakeHandedOver();

  std::vector<std::unique_ptr<ClientLink>> expiring_;  // the receive thread's
  std::mutex lock_;
  std::vector<std::unique_ptr<ClientLink>> expired_;  // under lock_
  std::deque<std::unique_ptr<ClientLink>> closing_;   // the closing thread's
};

}  // namespace tavorin
