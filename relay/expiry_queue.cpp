#include "relay/expiry_queue.h"

#include <algorithm>
#include <new>
#include <utility>

namespace tavorin {

namespace {
// Room for this many expired links at least, once one has expired.
constexpr size_t kExpiringRoom = 64;
}  // namespace

bool ExpiryQueue::MakeRoom() {
  if (expiring_.size() < expiring_.capacity())
    return true;
  try {
    expiring_.reserve(std::max(kExpiringRoom, 2 * expiring_.capacity()));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void ExpiryQueue::HandOver() {
  if (expiring_.empty())
    return;
  std::unique_lock<std::mutex> lock(lock_, std::try_to_lock);
  if (!lock.owns_lock())
    return;
  if (expired_.empty()) {
    expired_.swap(expiring_);  // and the room of the vector taken last time comes back
    return;
  }
  try {
    expired_.reserve(expired_.size() + expiring_.size());
  } catch (const std::bad_alloc&) {
    return;
  }
  for (std::unique_ptr<ClientLink>& link : expiring_)
    expired_.push_back(std::move(link));
  expiring_.clear();
}

void ExpiryQueue::HandOverAll() {
  if (expiring_.empty())
    return;
  std::lock_guard<std::mutex> lock(lock_);
  for (std::unique_ptr<ClientLink>& link : expiring_)
    expired_.push_back(std::move(link));
  expiring_.clear();
}

void ExpiryQueue::TakeHandedOver() {
  std::lock_guard<std::mutex> lock(lock_);
  for (std::unique_ptr<ClientLink>& link : expired_)
    closing_.push_back(std::move(link));
  expired_.clear();
}

size_t ExpiryQueue::Close(size_t most, const LinkClosed& closed) {
  TakeHandedOver();
  const size_t count = std::min(most, closing_.size());
  EndLinks(
      [this, count](auto visit) {
        for (size_t k = 0; k < count; ++k)
          visit(*closing_[k], closing_[k]->end());
      },
      true, closed);
  closing_.erase(closing_.begin(), closing_.begin() + static_cast<std::ptrdiff_t>(count));
  return count;
}

std::deque<std::unique_ptr<ClientLink>> ExpiryQueue::TakeAll() {
  TakeHandedOver();
  return std::exchange(closing_, {});
}

}  // namespace tavorin
