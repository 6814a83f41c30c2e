// A value that one thread replaces now and then (a reload) while others read it at every
// datagram, with no lock: every value ever set is kept until the owner goes, so that a reader
// holding one across a send never sees it freed. A value costs its size for the owner's life.
#pragma once

#include <atomic>
#include <deque>

namespace tavorin {

template <typename T>
class Published {
 public:
  explicit Published(const T& first = T()) { Set(first); }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  // Any thread: the value as last set, whole.
  const T& Get() const { return *current_.load(std::memory_order_acquire); }
  // One thread at a time.
  void Set(const T& value) {
    kept_.push_back(value);  // a deque moves none of the values it holds
    current_.store(&kept_.back(), std::memory_order_release);
  }

 private:
  std::deque<T> kept_;
  std::atomic<const T*> current_{nullptr};
};

}  // namespace tavorin
